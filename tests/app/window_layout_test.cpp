// The main window's controls: the procedures find them by object name, so names, kinds,
// positions and initial contents are checked against the window's layout table.
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "QtAppEnvironment.h"
#include "app/SSincrovia.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

struct ControlCase {
    const char* legend;
    std::string name;
    QRect geometry;   // relative to the page
    QString caption;  // text shown at creation (label/static text/button/edit/current item)
};

QString CaptionOf(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
    if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText();
    if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
    return {};
}

std::vector<ControlCase> SlotCases() {
    struct Edges {
        int left, clear, offset, upDown;
        const char* upDownName;
    };
    // Left edges per slot, and the up-down names (slots 1 and 2 carry UpDown2 and UpDown1).
    const Edges edges[4] = {{17, 126, 141, 170, "UpDown2"},
                            {200, 309, 324, 353, "UpDown1"},
                            {383, 492, 507, 536, "UpDown3"},
                            {566, 675, 690, 719, "UpDown4"}};
    std::vector<ControlCase> cases;
    for (int n = 1; n <= 4; ++n) {
        const Edges& e = edges[n - 1];
        const std::string d = std::to_string(n);
        cases.push_back({"port list", "CmbCOMPort_" + d, {e.left, 25, 104, 24}, ""});
        cases.push_back({"clear button", "BtClrCOM_" + d, {e.clear, 20, 58, 30}, "Clear Com"});
        cases.push_back({"firmware label", "StTxtFrmwrVer_" + d, {e.left, 58, 168, 20}, "Firmware V: --.-"});
        cases.push_back({"set-time button",
                         "BotWriteDateAndTimeCom" + d,
                         {e.left, 88, 118, 37},
                         QString("Set Time ") + QString::number(n)});
        cases.push_back({"offset box", "StTxtSecOffset_" + d, {e.offset, 100, 29, 24}, "0"});
        cases.push_back({"offset up-down", e.upDownName, {e.upDown, 100, 15, 24}, ""});
        cases.push_back({"date box", "EdtDate_" + d, {e.left, 150, 168, 22}, ""});
        cases.push_back({"time box", "EdtTime_" + d, {e.left, 196, 168, 22}, ""});
    }
    return cases;
}

const std::vector<ControlCase> kOtherControls = {
    {"open button", "SpButComOpen", {750, 16, 234, 93}, "1-Open COM"},
    {"close button", "SpButComClose", {748, 129, 236, 92}, "5-Close COM"},
    {"frozen PC time", "EdtPcTimeOnRead", {8, 262, 182, 24}, ""},
    {"mean decoder time", "EdtMediaTimeDecoder", {8, 314, 182, 24}, ""},
    {"decoder spread", "EdtDeltaTimeAllDecoder", {200, 260, 210, 29}, ""},
    {"PC difference", "EdtDeltaTimePcDecoder", {200, 312, 210, 29}, ""},
    {"calc button", "BotCalcdelta", {420, 251, 85, 89}, "Calc Max Dif."},
    {"reset-reader radio", "ChkBoxResetTimerKivoAfter", {513, 272, 279, 17}, "Send Reset Reader after Synchronize"},
    {"reset-GPS radio", "ChkBoxCmd55ReseGPSKivoAfter", {513, 302, 279, 17}, "Send Reset GPS after Synchronize"},
    {"PC clock", "FrameDigitalWatch1", {793, 273, 198, 47}, ""},
    {"threshold list", "CmbMaxErrSync", {24, 378, 187, 24}, "50"},
    {"threshold label", "LblThMoltiplierFactorForPC", {24, 406, 213, 17}, "TH: for Decoder x1, for PC x"},
    {"lamp", "ShpSyncResult", {255, 358, 65, 65}, ""},
    {"latency box", "EdtLatencySendCmd55", {334, 413, 171, 24}, "100"},
    {"reset reader button", "BtResetTimer", {600, 356, 199, 67}, "Reset Reader"},
    {"reset GPS button keeps its own caption", "BtSendCmd55", {799, 356, 183, 67}, "Reset GPS"},
    {"read button", "SpBtReadDtAndTm", {8, 443, 302, 101}, "2-Read Date and Time"},
    {"synchro button", "SpBtWriteDtAndTm", {339, 443, 321, 101}, "3-Synchro Date and Time"},
    {"auto-sync button", "BtAutoSinc", {690, 443, 302, 101}, "4-Auto Synchronization"},
};

class WindowLayout : public ::testing::Test {
protected:
    RecordingDesktop desktop;
    ScopedDesktop scoped{desktop};
};

TEST_F(WindowLayout, EveryControlHasItsNameGeometryAndCaption) {
    TSincrovia window;
    std::vector<ControlCase> cases = SlotCases();
    cases.insert(cases.end(), kOtherControls.begin(), kOtherControls.end());
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(std::string(c.legend) + " " + c.name);
        // The procedures find controls by name: each name belongs to exactly one control.
        const auto found = window.findChildren<QWidget*>(QString::fromStdString(c.name));
        ASSERT_EQ(found.size(), 1);
        QWidget* w = found.front();
        EXPECT_EQ(w->parentWidget(), window.PageControlPanel) << "on page Control panel";
        EXPECT_EQ(w->geometry(), c.geometry);
        EXPECT_EQ(CaptionOf(w), c.caption);
    }
}

TEST_F(WindowLayout, CaptionsStandWhereTheLayoutPutsThem) {
    struct Caption {
        const char* text;
        int left, top;
        QColor color;
        bool bold;
    };
    const QColor navy(0, 0, 128), maroon(128, 0, 0);
    const Caption captions[] = {
        {"Decoder PIT IN", 17, 9, maroon, true},           {"Decoder PIT OUT", 200, 9, maroon, true},
        {"Decoder START", 383, 9, maroon, true},           {"Decoder T1", 566, 9, maroon, true},
        {"PC Time Freeze on read", 8, 247, navy, true},    {"Medium Time Decoder", 8, 298, navy, true},
        {"DIFF. between Decoder", 200, 245, maroon, true}, {"DIFF between PC and Decoder", 200, 297, maroon, true},
        {"PC Clock Time", 848, 254, navy, false},          {"Error synch Threshold in mSec", 24, 362, navy, false},
    };
    TSincrovia window;
    const auto labels = window.PageControlPanel->findChildren<QLabel*>();
    for (const Caption& c : captions) {
        SCOPED_TRACE(c.text);
        QLabel* found = nullptr;
        for (QLabel* l : labels)
            if (l->text() == c.text) found = l;
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->x(), c.left);
        EXPECT_EQ(found->y(), c.top);
        EXPECT_EQ(found->palette().color(QPalette::WindowText), c.color);
        EXPECT_EQ(found->font().bold(), c.bold);
    }
    int offsetCaptions = 0, dateCaptions = 0, timeCaptions = 0;
    for (QLabel* l : labels) {
        offsetCaptions += l->text() == "+/- Sec";
        dateCaptions += l->text() == "Date" && l->y() == 134;
        timeCaptions += l->text() == "Time" && l->y() == 180;
    }
    EXPECT_EQ(offsetCaptions, 4);
    EXPECT_EQ(dateCaptions, 4);
    EXPECT_EQ(timeCaptions, 4);
}

TEST_F(WindowLayout, StylesOfTheBoxesAndButtons) {
    struct Style {
        const char* name;
        int px;
        bool bold;
        QColor text;
    };
    const QColor navy(0, 0, 128), white(255, 255, 255), black(0, 0, 0);
    const Style styles[] = {
        {"StTxtFrmwrVer_1", 13, false, white},
        {"StTxtSecOffset_2", 16, false, black},
        {"EdtDate_3", 16, false, black},
        {"EdtTime_4", 16, false, black},
        {"EdtPcTimeOnRead", 16, true, black},
        {"EdtMediaTimeDecoder", 16, true, black},
        {"EdtDeltaTimeAllDecoder", 19, true, white},
        {"EdtDeltaTimePcDecoder", 19, true, white},
        {"SpButComOpen", 24, false, navy},
        {"SpBtWriteDtAndTm", 24, false, navy},
        {"BtResetTimer", 21, false, navy},
        {"BtSendCmd55", 21, false, navy},
        {"ChkBoxResetTimerKivoAfter", 16, false, navy},
        {"BotCalcdelta", 11, false, navy},
        {"LblSyncResult", 24, false, black},
    };
    TSincrovia window;
    for (const Style& s : styles) {
        SCOPED_TRACE(s.name);
        auto* w = window.findChild<QWidget*>(s.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->font().pixelSize(), s.px);
        EXPECT_EQ(w->font().bold(), s.bold);
        const QPalette::ColorRole role =
            qobject_cast<QAbstractButton*>(w) ? QPalette::ButtonText : QPalette::WindowText;
        EXPECT_EQ(w->palette().color(QPalette::Active, role), s.text) << "colour of the enabled control";
    }
}

TEST_F(WindowLayout, StaticTextsAreExactlyTheValueBoxesWithTheirBackgrounds) {
    // The procedures address "every static text whose name contains X"; the hidden latency edit
    // box and the labels must not be among them.
    TSincrovia window;
    std::map<QString, QColor> expected;
    for (int n = 1; n <= 4; ++n) {
        const QString d = QString::number(n);
        expected["StTxtFrmwrVer_" + d] = QColor(109, 109, 109);
        expected["StTxtSecOffset_" + d] = QColor(255, 255, 255);
        expected["EdtDate_" + d] = QColor(255, 255, 255);
        expected["EdtTime_" + d] = QColor(255, 255, 255);
    }
    for (const char* name :
         {"EdtPcTimeOnRead", "EdtMediaTimeDecoder", "EdtDeltaTimeAllDecoder", "EdtDeltaTimePcDecoder"})
        expected[name] = QColor(192, 220, 192);
    std::map<QString, QColor> actual;
    for (TStaticText* t : window.findChildren<TStaticText*>()) actual[t->objectName()] = t->Color();
    EXPECT_EQ(actual, expected);
}

TEST_F(WindowLayout, SlotAccessorsReturnTheNamedControls) {
    TSincrovia window;
    for (int n = 1; n <= 4; ++n) {
        const QString d = QString::number(n);
        SCOPED_TRACE(n);
        EXPECT_EQ(window.PortList(n)->objectName(), "CmbCOMPort_" + d);
        EXPECT_EQ(window.FirmwareLabel(n)->objectName(), "StTxtFrmwrVer_" + d);
        EXPECT_EQ(window.DateBox(n)->objectName(), "EdtDate_" + d);
        EXPECT_EQ(window.TimeBox(n)->objectName(), "EdtTime_" + d);
        EXPECT_EQ(window.OffsetBox(n)->objectName(), "StTxtSecOffset_" + d);
        EXPECT_EQ(window.OffsetUpDown(n)->Associate(), window.OffsetBox(n)) << "up-down bound to its own slot";
        EXPECT_EQ(window.LogMemo(n)->objectName(), "MmLogCom_" + d);
        EXPECT_EQ(window.ClearButton(n)->objectName(), "BtClrCOM_" + d);
        EXPECT_EQ(window.SetTimeButton(n)->objectName(), "BotWriteDateAndTimeCom" + d);
        EXPECT_TRUE(window.SetTimeAction(n)->text().endsWith(d));
        EXPECT_EQ(window.SetTimeAction(n)->data().toInt(), n) << "the slot the action writes";
    }
    for (int outside : {0, 5, -1}) {
        EXPECT_EQ(window.PortList(outside), nullptr);
        EXPECT_EQ(window.MemoLines(outside), nullptr);
    }
}

TEST_F(WindowLayout, WindowFrameStatusBarAndPages) {
    TSincrovia window;
    window.SetStartupWarningEnabled(false);
    EXPECT_EQ(window.windowTitle(), "Sincrovia");
    EXPECT_EQ(window.minimumSize(), QSize(1004, 630));
    EXPECT_EQ(window.maximumSize(), QSize(1004, 630)) << "not resizable";
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);

    QTabWidget* pages = window.findChild<QTabWidget*>("PgctrlMultiSync");
    ASSERT_NE(pages, nullptr);
    ASSERT_EQ(pages->count(), 2);
    EXPECT_EQ(pages->tabText(0), "Control panel");
    EXPECT_EQ(pages->tabText(1), "Com Message");
    EXPECT_EQ(pages->tabBar()->font().pixelSize(), 13);
    EXPECT_EQ(pages->currentIndex(), 0);

    QStatusBar* bar = window.findChild<QStatusBar*>("StatusBar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->height(), 45);
    EXPECT_FALSE(bar->isSizeGripEnabled());
    window.SetStatusText("Procedure aborted by User");
    EXPECT_EQ(window.StatusText(), "Procedure aborted by User");
    auto* panel = bar->findChild<QLabel*>("StatusBarPanel0");
    ASSERT_NE(panel, nullptr);
    EXPECT_GE(panel->minimumWidth(), 150);
    EXPECT_EQ(panel->font().pixelSize(), 32);
}

TEST_F(WindowLayout, FourLogsStackedOnTheComMessagePage) {
    TSincrovia window;
    window.SetStartupWarningEnabled(false);
    window.show();
    window.PgctrlMultiSync->setCurrentIndex(1);
    QCoreApplication::processEvents();
    const int pageWidth = window.PageComMessage->width();
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        QPlainTextEdit* log = window.LogMemo(n);
        EXPECT_EQ(log->parentWidget(), window.PageComMessage);
        EXPECT_EQ(log->geometry(), QRect(0, 137 * (n - 1), pageWidth, 137));
        EXPECT_TRUE(QFontInfo(log->font()).fixedPitch());
        EXPECT_EQ(log->font().pixelSize(), 11);
        EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
        EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    }
}

TEST_F(WindowLayout, InitialStateOfListsRadiosLampAndHiddenLatency) {
    TSincrovia window;
    QStringList items;
    for (int i = 0; i < window.CmbMaxErrSync->count(); ++i) items << window.CmbMaxErrSync->itemText(i);
    EXPECT_EQ(items, QStringList({"4", "7", "10", "15", "25", "35", "50", "70", "90"}));
    EXPECT_FALSE(window.CmbMaxErrSync->isEditable());
    for (int n = 1; n <= 4; ++n) {
        EXPECT_FALSE(window.PortList(n)->isEditable());
        EXPECT_EQ(window.PortList(n)->currentIndex(), -1);
    }
    EXPECT_TRUE(window.ChkBoxResetTimerKivoAfter->isChecked());
    EXPECT_FALSE(window.ChkBoxCmd55ReseGPSKivoAfter->isChecked());
    EXPECT_FALSE(window.ChkBoxResetTimerKivoAfter->isEnabled());
    EXPECT_FALSE(window.ChkBoxCmd55ReseGPSKivoAfter->isEnabled());
    EXPECT_EQ(window.ShpSyncResult->BrushColor(), QColor(128, 128, 128));
    EXPECT_EQ(window.LblSyncResult->text(), "Synchronization Result");
    EXPECT_TRUE(window.EdtLatencySendCmd55->isHidden());
    EXPECT_FALSE(window.ThreadedTimer1.Enabled());
    EXPECT_EQ(window.ThreadedTimer1.Interval(), 700u);
    EXPECT_FALSE(window.FBusy);
    EXPECT_FALSE(window.FAbortRequest);
}

}  // namespace
}  // namespace sincrovia
