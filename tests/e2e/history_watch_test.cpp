// The watch against simulated decoders: checks are plain reads stored as "check", the drift
// of a fast clock is measured, and its forecast crossing turns an OK lamp into a warning.
#include <QCheckBox>
#include <QLabel>

#include <cstdlib>

#include "SyncHarness.h"
#include "app/HistoryTab.h"

namespace sincrovia::e2e {
namespace {

constexpr int kOpenTimeoutMs = 8000;
constexpr int kReadTimeoutMs = 5000;
constexpr int kChecks = 5;
/// Pause between checks: the fast clock gains 2 ms on the other per second.
constexpr int kBetweenChecksMs = 900;

TEST(HistoryWatch, FastDecoderIsNamedByTheForecastAndTheCheckWarns) {
    sim::DecoderConfig fast = Decoder("PITIN", 0);
    fast.driftPpm = 2000;
    fast.jitterMs = 0;
    sim::DecoderConfig steady = Decoder("T1", 0);
    steady.jitterMs = 0;
    THistoryTab* tab = nullptr;
    SyncHarness h({fast, steady}, false, [&tab](TSincrovia& window, TProcedureOptions options) {
        options = AttachHistory(window, options);
        tab = window.findChild<THistoryTab*>("TabShHistory");
        return options;
    });
    ASSERT_NE(tab, nullptr);
    TSincrovia& w = h.Window();
    h.Choose(1, h.Sim().PortName(0));
    h.Choose(4, h.Sim().PortName(1));
    ASSERT_TRUE(h.OpenAll(kOpenTimeoutMs));

    for (int i = 0; i < kChecks; ++i) {
        tab->WatchTick();
        ASSERT_TRUE(h.WaitIdle(kReadTimeoutMs));
        h.PumpFor(kBetweenChecksMs);
    }
    EXPECT_TRUE(h.Frames(DecoderCommand::SetDateTime).empty());  // a check never writes a clock

    const auto rounds = tab->Store().LastRounds(kChecks + 1);
    ASSERT_EQ(rounds.size(), static_cast<std::size_t>(kChecks));
    for (const auto& r : rounds) EXPECT_EQ(r.kind, "check");
    ASSERT_EQ(tab->Fits().size(), 2u);
    EXPECT_EQ(tab->Fits()[0].decoder, "PIT IN");
    // Readings are whole milliseconds a few seconds apart: the rates are rough, their order is not.
    EXPECT_NEAR(tab->Fits()[0].ppm, 2000, 1000);
    EXPECT_GT(tab->Fits()[0].ppm - tab->Fits()[1].ppm, 1000);

    // 50 ms apart in well under 30 minutes: the forecast names the fast one first.
    const std::string forecast = tab->ForecastLine().toStdString();
    EXPECT_EQ(forecast.rfind("Spread reaches 50 ms at about ", 0), 0u) << forecast;
    EXPECT_NE(forecast.find("(PIT IN +"), std::string::npos) << forecast;
    EXPECT_EQ(w.LblSyncResult->text().toStdString(), "Synchronization Warning");
    EXPECT_EQ(rounds.front().verdict, "Synchronization Warning");
    EXPECT_EQ(rounds.front().reason, forecast);

    if (const char* dir = std::getenv("SINCROVIA_HISTORY_SCREENSHOT"); dir != nullptr && *dir != '\0') {
        w.PgctrlMultiSync->setCurrentWidget(tab);
        h.PumpFor(300);
        w.grab().save(dir);
    }
}

}  // namespace
}  // namespace sincrovia::e2e
