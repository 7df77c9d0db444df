// The watch against simulated decoders: checks are plain reads stored as "check", the drift
// of a fast clock is measured, and its forecast crossing turns an OK lamp into a warning.
#include <QCheckBox>
#include <QLabel>

#include <algorithm>
#include <cstdlib>
#include <fstream>

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
    // Each offset also holds the delay of its reply on a loaded machine, the same for both
    // decoders of a round: their rates wander together, the difference between them does not.
    EXPECT_NEAR(tab->Fits()[0].ppm - tab->Fits()[1].ppm, 2000, 700);

    // 50 ms apart in well under 30 minutes: the forecast names the fast one first.
    const std::string forecast = tab->ForecastLine().toStdString();
    EXPECT_EQ(forecast.rfind("Spread reaches 50 ms at about ", 0), 0u) << forecast;
    EXPECT_NE(forecast.find("(PIT IN "), std::string::npos) << forecast;
    EXPECT_NE(forecast.find(", T1 "), std::string::npos) << forecast;
    EXPECT_EQ(w.LblSyncResult->text().toStdString(), "Synchronization Warning");
    EXPECT_EQ(rounds.front().verdict, "Synchronization Warning");
    EXPECT_EQ(rounds.front().reason, forecast);

    // The report of the day: a PDF and the CSV of every reading (two slots per check).
    const QString pdf = QString::fromStdString((h.Folder() / "report.pdf").string());
    const QString csv = QString::fromStdString((h.Folder() / "report.csv").string());
    ASSERT_TRUE(tab->ExportReport(QDate::currentDate(), pdf, csv));
    std::ifstream pdfFile(pdf.toStdString(), std::ios::binary);
    std::string magic(4, '\0');
    pdfFile.read(magic.data(), 4);
    EXPECT_EQ(magic, "%PDF");
    std::ifstream csvFile(csv.toStdString(), std::ios::binary);
    const std::string csvText((std::istreambuf_iterator<char>(csvFile)), {});
    EXPECT_EQ(std::count(csvText.begin(), csvText.end(), '\n'), 1 + 2 * kChecks);

    if (const char* dir = std::getenv("SINCROVIA_HISTORY_SCREENSHOT"); dir != nullptr && *dir != '\0') {
        w.PgctrlMultiSync->setCurrentWidget(tab);
        h.PumpFor(300);
        w.grab().save(dir);
    }
}

}  // namespace
}  // namespace sincrovia::e2e
