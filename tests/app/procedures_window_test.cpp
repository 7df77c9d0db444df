// The procedures inside the window, without decoders: the port choice and its file, the
// update rules, the intake of delivered texts, the verdict as shown, the unlock gesture and
// the step engine's endings.
#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "QtAppEnvironment.h"
#include "app/Procedures.h"
#include "app/SSincrovia.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

std::filesystem::path MakeTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sincrovia-proc-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

/// A shown window with its procedures, fake ports and a folder of its own.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override { folder_ = MakeTempFolder(); }
    void TearDown() override {
        window_.reset();
        SetLinkProgramFolder("");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    /// Builds and shows the window; `settings` (if given) is written as "MemCom.set" first.
    void Build(const char* settings = nullptr, std::string settingsFolder = {}) {
        SetLinkProgramFolder(folder_.string());
        if (settings != nullptr) std::ofstream(folder_ / SettingsFileName, std::ios::binary) << settings;
        TStartupServices services;
        services.ListPorts = [] { return std::vector<std::string>{"NOPORT0", "PITIN", "START"}; };
        window_ = std::make_unique<TSincrovia>(services);
        TProcedureOptions options;
        options.settingsFolder = settingsFolder.empty() ? folder_.string() : settingsFolder;
        procedures_ = AttachProcedures(*window_, options);
        window_->SetStartupWarningEnabled(false);
        window_->show();
    }
    TSincrovia& W() { return *window_; }
    TDecoderSlot& S(int slot) { return procedures_->Slot(slot); }
    std::string Log(int slot) { return W().LogMemo(slot)->toPlainText().toStdString(); }
    /// Opens a round as a read does, for `asked` as if their ports were open (there are no
    /// links, so nothing is sent).
    void OpenRound(std::initializer_list<int> asked) {
        for (int slot = 1; slot <= SlotCount; ++slot) S(slot).PortOpen = false;
        for (const int slot : asked) S(slot).PortOpen = true;
        procedures_->SendReadDateTimeAll(Now());
        for (int slot = 1; slot <= SlotCount; ++slot) S(slot).PortOpen = false;
        while (QApplication::overrideCursor() != nullptr) QApplication::restoreOverrideCursor();
    }

    RecordingDesktop desktop_;
    ScopedDesktop scoped_{desktop_};
    std::filesystem::path folder_;
    std::unique_ptr<TSincrovia> window_;
    TSincroviaProcedures* procedures_ = nullptr;
};

TEST_F(WindowFixture, PortChoiceRestoredFromTheFile) {
    const struct {
        const char* legend;
        const char* file;  // nullptr: no file
        std::array<int, 4> index;
    } cases[] = {
        {"two slots", "CmbCOMPort_1=PITIN\r\nCmbCOMPort_3=START\r\n", {1, -1, 2, -1}},
        {"names and values in any letter case", "cmbcomport_2=pitin\r\nCMBCOMPORT_4=Start\r\n", {-1, 1, -1, 2}},
        {"a port not present leaves no selection", "CmbCOMPort_1=COM9\r\n", {-1, -1, -1, -1}},
        {"no file", nullptr, {-1, -1, -1, -1}},
        {"other lines ignored", "junk\r\nCmbMaxErrSync=90\r\nCmbCOMPort_2=START\r\n", {-1, 2, -1, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        std::filesystem::remove(folder_ / SettingsFileName);
        Build(c.file);
        for (int slot = 1; slot <= 4; ++slot)
            EXPECT_EQ(c.index[static_cast<std::size_t>(slot - 1)], W().PortList(slot)->currentIndex()) << slot;
        window_.reset();
    }
}

TEST_F(WindowFixture, OpeningTheListDropsTheRestoredChoice) {
    Build("CmbCOMPort_1=PITIN\r\n");
    ASSERT_EQ(1, W().PortList(1)->currentIndex());
    W().PortList(1)->showPopup();
    W().PortList(1)->hidePopup();
    EXPECT_EQ(-1, W().PortList(1)->currentIndex());
    EXPECT_EQ(3, W().PortList(1)->count());
}

TEST_F(WindowFixture, ClearComTakesTheSlotFromTheButton) {
    Build("CmbCOMPort_1=PITIN\r\nCmbCOMPort_2=START\r\n");
    W().UpdateActions();
    ASSERT_TRUE(W().SpButComOpen->isEnabled());
    W().ClearButton(2)->click();
    EXPECT_EQ(1, W().PortList(1)->currentIndex());
    EXPECT_EQ(-1, W().PortList(2)->currentIndex());
    W().ClearButton(1)->click();
    W().UpdateActions();
    EXPECT_FALSE(W().SpButComOpen->isEnabled());
    EXPECT_FALSE(W().ClearButton(3)->isEnabled());
}

TEST_F(WindowFixture, UpdateRulesWithoutOpenPorts) {
    Build("CmbCOMPort_1=PITIN\r\n");
    W().UpdateActions();
    const struct {
        const char* legend;
        QAction* action;
        bool enabled;
    } cases[] = {
        {"open: a port is chosen", W().ActApriCOM_All, true},
        {"close: nothing open", W().ActChiudiCOM_All, false},
        {"read: nothing open", W().ActBot2ReadDateAndTime, false},
        {"synchronise: nothing open", W().ActBot3WriteDateAndTime, false},
        {"set time 1: nothing open", W().ActBotWriteDateAndTimeComPitIN, false},
        {"calc: no time shown", W().ActBotCalcDif, false},
        {"auto synchronisation: never", W().ActBotAutoSync, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(c.enabled, c.action->isEnabled());
    }
    EXPECT_TRUE(W().PortList(2)->isEnabled());
    W().TimeBox(3)->setText("10h 00m 00s 000ms");
    W().UpdateActions();
    EXPECT_TRUE(W().ActBotCalcDif->isEnabled());
    W().FBusy = true;
    W().UpdateActions();
    EXPECT_FALSE(W().ActBotCalcDif->isEnabled());
    W().FBusy = false;
}

TEST_F(WindowFixture, OpenFailureStillSavesTheChoiceAndClosesEverything) {
    Build("CmbCOMPort_2=NOPORT0\r\n");
    W().UpdateActions();
    W().SpButComOpen->click();
    EXPECT_EQ("CmbCOMPort_2=NOPORT0\r\n", [&] {
        std::ifstream f(folder_ / SettingsFileName, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }());
    EXPECT_EQ(nullptr, S(2).DecoderLink);
    EXPECT_FALSE(S(2).PortOpen);
    W().UpdateActions();
    EXPECT_TRUE(W().SpButComOpen->isEnabled());
}

TEST_F(WindowFixture, UnwritableFolderIsReportedAndNothingElseLost) {
    Build(nullptr, (folder_ / "missing" / "deeper").string());
    W().PortList(3)->setCurrentIndex(0);
    W().UpdateActions();
    desktop_.Clear();
    W().SpButComOpen->click();
    bool reported = false;
    for (const auto& box : desktop_.Boxes())
        reported = reported || box.text.find("The port choice could not be saved to ") == 0;
    EXPECT_TRUE(reported);
    EXPECT_EQ(0, W().PortList(3)->currentIndex());
    W().UpdateActions();
    EXPECT_TRUE(W().SpButComOpen->isEnabled());
}

TEST_F(WindowFixture, DeliveredTexts) {
    Build();
    const struct {
        const char* legend;
        TRxTextProc rx;
        int slot;
        bool inRound;  // a round awaits the slot's reply
        const char* text;
        const char* date;  // date box afterwards ("" = untouched, empty)
        const char* time;
        bool valid;
        bool decoderTimeSet;
        const char* logPart;
        const char* boxPart;  // nullptr: no message box
    } cases[] = {
        {"passage on slot 1", RxOnCom1, 1, true, "0000002-17-08-13-17-45-00-214-0108-000-00000001-001", "13 Aug 2017",
         "17h 45m 00s 214ms", true, true, "IdTransponder Received: 2", nullptr},
        {"transponder 1005 accepted", RxOnCom2, 2, true, "0001005-26-12-08-03-52-33-123", "08 Dec 2026",
         "03h 52m 33s 123ms", true, true, "Rx On Com 2: 0001005-26-12-08-03-52-33-123", nullptr},
        {"transponder 1006 logged and not shown", RxOnCom3, 3, true, "0001006-26-12-08-03-52-33-123", "", "", false,
         true, "Only Transponder with Id Not greater than '1005' are Valid! IdTransponder Received: 1006", nullptr},
        {"month 13: box, the slot shows a bad reply, not a date", RxOnCom4, 4, true, "0000002-17-13-13-17-45-00-214",
         "", BadReplyText, false, false, "Decoder T1 (): reply did not decode",
         "Error in Decod data RX from Decoder: "},
        {"transponder no number: the program's handler", RxOnCom1, 1, true, "ABC-17-08-13-17-45-00-214", "", "", false,
         false, "Rx On Com 1: ABC", "'ABC' is not a valid integer value"},
        {"passage no round awaits: logged as late, counted nowhere", RxOnCom2, 2, false,
         "0000002-26-12-08-03-52-33-123", "", "", false, false,
         "Decoder PIT OUT (): late reply, not counted in any verdict: 03h 52m 33s 123ms", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        procedures_->ClearReadings(true);
        S(c.slot).SlotReading = {};
        if (c.inRound) OpenRound({c.slot});
        desktop_.Clear();
        c.rx(c.text, 0);
        EXPECT_EQ(c.date, W().DateBox(c.slot)->text().toStdString());
        EXPECT_EQ(c.time, W().TimeBox(c.slot)->text().toStdString());
        EXPECT_EQ(c.valid, S(c.slot).SlotReading.Valid);
        EXPECT_EQ(c.decoderTimeSet, S(c.slot).DecoderTime != 0);
        EXPECT_NE(std::string::npos, Log(c.slot).find(c.logPart));
        const auto boxes = desktop_.Boxes();
        if (c.boxPart == nullptr) {
            EXPECT_TRUE(boxes.empty());
        } else {
            ASSERT_EQ(1u, boxes.size());
            EXPECT_NE(std::string::npos, boxes[0].text.find(c.boxPart)) << boxes[0].text;
        }
    }
}

TEST_F(WindowFixture, FirmwareReplyTouchesOnlyTheLabel) {
    Build();
    W().TimeBox(2)->setText("keep");
    RxOnCom2("\x01xyz teKAN - teVO Ver: 6.33", 0);
    EXPECT_EQ("Firmware V: 6.33", W().FirmwareLabel(2)->text().toStdString());
    EXPECT_EQ(ColorRed, W().FirmwareLabel(2)->Color());
    EXPECT_EQ("6.33", S(2).FirmwareVer);
    EXPECT_EQ("keep", W().TimeBox(2)->text().toStdString());
    RxOnCom2("teKAN - teVO Ver: 6.33.1", 0);
    EXPECT_EQ(ColorGreen, W().FirmwareLabel(2)->Color());
    // A log line: stamp, then the slot's prefix and the text.
    const std::string log = Log(2);
    EXPECT_NE(std::string::npos, log.find(";Rx On Com 2: teKAN - teVO Ver: 6.33.1"));
}

TEST_F(WindowFixture, ClearingAndStaticTextColours) {
    Build();
    for (int slot = 1; slot <= SlotCount; ++slot) S(slot).DecoderTime = slot;
    S(1).FirmwareVer = "6.33.1";
    W().DateBox(1)->setText("x");
    W().EdtPcTimeOnRead->setText("x");
    W().EdtDeltaTimeAllDecoder->SetColor(ColorRed);
    procedures_->ClearReadings(true);
    EXPECT_EQ("", W().DateBox(1)->text().toStdString());
    EXPECT_EQ(ColorWindow, W().DateBox(1)->Color());
    EXPECT_EQ(ColorWindow, W().TimeBox(4)->Color());
    EXPECT_EQ("", W().EdtPcTimeOnRead->text().toStdString());
    for (TStaticText* box :
         {W().EdtPcTimeOnRead, W().EdtMediaTimeDecoder, W().EdtDeltaTimeAllDecoder, W().EdtDeltaTimePcDecoder})
        EXPECT_EQ(ColorMoneyGreen, box->Color()) << box->objectName().toStdString();
    for (int slot = 1; slot <= SlotCount; ++slot) EXPECT_EQ(0, S(slot).DecoderTime) << slot;
    EXPECT_EQ("6.33.1", S(1).FirmwareVer);
    EXPECT_EQ("Firmware V: --.-", W().FirmwareLabel(1)->text().toStdString());
    procedures_->ClearReadings(false);
    EXPECT_EQ("", S(1).FirmwareVer);
}

TEST_F(WindowFixture, VerdictAsShown) {
    Build();
    // Two readings 10 ms apart, the PC 600 ms away: spread box green, PC box red, lamp yellow.
    OpenRound({1, 2});
    RxOnCom1("0000001-26-12-08-10-00-00-000", 0);
    RxOnCom2("0000001-26-12-08-10-00-00-010", 0);
    procedures_->FreezePcTime(EncodeDate(2026, 12, 8) + EncodeTime(10, 0, 0, 605));
    W().ActBotCalcDif->trigger();
    EXPECT_EQ("Synchronization Warning", W().LblSyncResult->text().toStdString());
    EXPECT_EQ(ColorYellow, W().ShpSyncResult->BrushColor());
    EXPECT_EQ(ColorGreen, W().EdtDeltaTimeAllDecoder->Color());
    EXPECT_EQ(ColorRed, W().EdtDeltaTimePcDecoder->Color());
    EXPECT_EQ("00h 00m 00s 010ms", W().EdtDeltaTimeAllDecoder->text().toStdString());
    EXPECT_EQ("10h 00m 00s 005ms", W().EdtMediaTimeDecoder->text().toStdString());
    EXPECT_EQ("00h 00m 00s 600ms", W().EdtDeltaTimePcDecoder->text().toStdString());
    EXPECT_FALSE(S(1).SlotReading.Valid);
    // Half a millisecond over the PC limit: the box shows the value judged, 501 ms, in red.
    procedures_->FreezePcTime(EncodeDate(2026, 12, 8) + EncodeTime(10, 0, 0, 505) + OneMs / 2);
    W().ActBotCalcDif->trigger();
    EXPECT_EQ("00h 00m 00s 501ms", W().EdtDeltaTimePcDecoder->text().toStdString());
    EXPECT_EQ(ColorRed, W().EdtDeltaTimePcDecoder->Color());

    // Nothing read at all: red lamp, idle text, the value boxes keep their texts.
    procedures_->ClearReadings(true);
    W().EdtMediaTimeDecoder->setText("kept");
    W().ActBotCalcDif->trigger();
    EXPECT_EQ(ColorRed, W().ShpSyncResult->BrushColor());
    EXPECT_EQ("Synchronization Result", W().LblSyncResult->text().toStdString());
    EXPECT_EQ("kept", W().EdtMediaTimeDecoder->text().toStdString());
    EXPECT_EQ(ColorRed, W().EdtDeltaTimePcDecoder->Color());
}

TEST_F(WindowFixture, UnlockGesture) {
    Build();
    const auto shiftCtrl = Qt::ShiftModifier | Qt::ControlModifier;
    const struct {
        const char* legend;
        QEvent::Type type;
        Qt::MouseButton button;
        Qt::MouseButtons held;
        Qt::KeyboardModifiers modifiers;
        bool toggles;
    } cases[] = {
        {"right button with Shift+Ctrl", QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, shiftCtrl, true},
        {"Shift+Ctrl+Alt", QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, shiftCtrl | Qt::AltModifier,
         false},
        {"left button", QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, shiftCtrl, false},
        {"Shift only", QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, Qt::ShiftModifier, false},
        {"another button held too", QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton | Qt::LeftButton,
         shiftCtrl, false},
        {"double click", QEvent::MouseButtonDblClick, Qt::RightButton, Qt::RightButton, shiftCtrl, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const bool before = W().ChkBoxResetTimerKivoAfter->isEnabled();
        QMouseEvent event(c.type, QPointF(3, 3), QPointF(3, 3), c.button, c.held, c.modifiers);
        QApplication::sendEvent(W().ShpSyncResult, &event);
        EXPECT_EQ(c.toggles ? !before : before, W().ChkBoxResetTimerKivoAfter->isEnabled());
        EXPECT_EQ(W().ChkBoxResetTimerKivoAfter->isEnabled(), W().ChkBoxCmd55ReseGPSKivoAfter->isEnabled());
    }
    // One gesture above toggled: a second restores the start.
    QMouseEvent again(QEvent::MouseButtonPress, QPointF(3, 3), QPointF(3, 3), Qt::RightButton, Qt::RightButton,
                      shiftCtrl);
    QApplication::sendEvent(W().ShpSyncResult, &again);
    EXPECT_FALSE(W().ChkBoxResetTimerKivoAfter->isEnabled());
    EXPECT_TRUE(W().ChkBoxResetTimerKivoAfter->isChecked());
}

TEST_F(WindowFixture, StepEngineEndings) {
    Build("CmbCOMPort_1=PITIN\r\n");
    const struct {
        const char* legend;
        ProcedureStep step;
        const char* status;  // afterwards
        QColor lamp;         // afterwards (grey: untouched)
    } cases[] = {
        {"read step with every port closed aborts and judges", ProcedureStep::ReadAfterWrite, AbortedByUserText,
         ColorRed},
        {"firmware step with every port closed aborts", ProcedureStep::ReadFirmware, AbortedByUserText, ColorRed},
        {"second single-write step aborts", ProcedureStep::ReadAfterSingle, AbortedByUserText, ColorRed},
        {"final quiet step finishes without judging", ProcedureStep::FinishQuiet, "", ColorGrey},
        {"final read step finishes with judging", ProcedureStep::FinishRead, "", ColorRed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        procedures_->ShowSyncResult(srIdle);
        W().SetStatusText("busy");
        W().FBusy = true;
        W().ThreadedTimer1.SetInterval(StepInterval(c.step));
        procedures_->TimerTick();
        EXPECT_EQ(c.status, W().StatusText().toStdString());
        EXPECT_EQ(c.lamp, W().ShpSyncResult->BrushColor());
        EXPECT_FALSE(W().FBusy);
        EXPECT_FALSE(W().ThreadedTimer1.Enabled());
        EXPECT_EQ(StepInterval(ProcedureStep::Idle), W().ThreadedTimer1.Interval());
    }
}

}  // namespace
}  // namespace sincrovia
