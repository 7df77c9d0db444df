// The decoder link's test window: caption, size, refusal to close, status panels, the test
// area's controls with their captions, hints and anchors, the "Bat Low" button rule, and what
// each button hands to the link's callback and to the window's list.
#include <QApplication>
#include <QCloseEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "QtAppEnvironment.h"
#include "app/LinkTestWindow.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "decoder_link/TestData.h"

namespace sincrovia {
namespace {

const char* const kFirstLine = "0000002-17-08-13-17-45-00-214-0108-000-00000001-001";
const char* const kSecondLine = "0036507-16-05-25-18-10-00-214-0108-000-00000001-001";

std::vector<ByteString>& Received() {
    static std::vector<ByteString> texts;
    return texts;
}

void RecordText(const ByteString& text, int /*reserved*/) { Received().push_back(text); }

class LinkWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        SetLinkProgramFolder(folder_.path().toStdString());
        SetTestViewFactory(MakeLinkTestWindow);
        Received().clear();
        SetProgramRandSeed(0);
    }

    void TearDown() override {
        links_.clear();
        SetTestViewFactory(nullptr);
        SetLinkProgramFolder("");
    }

    /// Sets one key of the default "Lapix.ini" (written by a first, windowless link).
    void IniWith(const std::string& key, const std::string& value) {
        { TTest first(nullptr, "X", nullptr, false, "", nullptr); }
        const std::string path = folder_.path().toStdString() + "/Lapix.ini";
        std::stringstream content;
        content << std::ifstream(path, std::ios::binary).rdbuf();
        std::string text = content.str();
        const size_t at = text.find("\n" + key + "=");
        ASSERT_NE(at, std::string::npos) << key;
        text.replace(at + 1, text.find('\r', at + 1) - at - 1, key + "=" + value);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    /// A link with its test window; its tick counter is `tickMs_`.
    TTest& MakeLink(const std::string& port = "COM3") {
        links_.push_back(std::make_unique<TTest>(nullptr, port, RecordText, true, "", nullptr));
        TTest& link = *links_.back();
        link.SetTickSource([this] { return tickMs_; });
        return link;
    }

    static LinkTestWindow& WindowOf(TTest& link) {
        auto* window = dynamic_cast<LinkTestWindow*>(link.View());
        if (window == nullptr) throw std::runtime_error("the link has no test window");
        return *window;
    }

    template <class T>
    static T* Control(TTest& link, const char* name) {
        return WindowOf(link).findChild<T*>(name);
    }

    QTemporaryDir folder_;
    std::vector<std::unique_ptr<TTest>> links_;
    int64_t tickMs_ = 5'000'000;
};

/// A press and (unless `releaseOutside`) a release of `button` on the middle of `target`.
void Click(QWidget* target, Qt::MouseButton button, Qt::KeyboardModifiers keys) {
    const QPointF at = QRectF(target->rect()).center();
    const QPointF global = target->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, button, button, keys);
    QApplication::sendEvent(target, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, button, Qt::NoButton, keys);
    QApplication::sendEvent(target, &release);
}

std::vector<std::string> Lines(const QListWidget* list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdString());
    return lines;
}

TEST_F(LinkWindowTest, CaptionSizeAndNoCloseBox) {
    TTest& link = MakeLink("COM3");
    LinkTestWindow& window = WindowOf(link);
    EXPECT_EQ(window.windowTitle(), "COM3 - Test DLL Kivo");
    EXPECT_EQ(window.size(), QSize(391, 294));
    EXPECT_EQ(window.minimumSize(), QSize(390, 233));
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(link.View()->Visible());
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(window.testAttribute(Qt::WA_QuitOnClose));
}

TEST_F(LinkWindowTest, RefusesToClose) {
    TTest& link = MakeLink();
    LinkTestWindow& window = WindowOf(link);
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());
    QCloseEvent event;
    QApplication::sendEvent(&window, &event);
    EXPECT_FALSE(event.isAccepted());
}

TEST_F(LinkWindowTest, StatusPanels) {
    TTest& link = MakeLink("COM3");
    const int widths[] = {140, 95, 75};
    const char* texts[] = {"", "", "Ver"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "StatusBarPanel" + std::to_string(i);
        auto* panel = Control<QLabel>(link, name.c_str());
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(panel->width(), widths[i]);
        EXPECT_EQ(panel->text(), texts[i]);
        EXPECT_EQ(panel->parentWidget(), Control<QStatusBar>(link, "StatusBar"));
    }
    // A panel text the link sets reaches the window, in the 8-bit code page.
    link.View()->StatusChanged(1, "Priorit\xE0");
    EXPECT_EQ(Control<QLabel>(link, "StatusBarPanel1")->text(), QString::fromUtf8("Priorità"));
    link.View()->StatusChanged(3, "ignored");  // there is no fourth panel
    EXPECT_EQ(Control<QLabel>(link, "StatusBarPanel2")->text(), "Ver");
}

TEST_F(LinkWindowTest, ControlsCaptionsAndHints) {
    struct Case {
        const char* legend;
        const char* name;
        QString caption;
        QString hint;
    };
    const std::vector<Case> cases = {
        {"send button", "BotSend", "Invia Stringa", "Invia la stringa della prima riga in elenco"},
        {"firmware button", "SpeedButton1", "Tx Frmw Vr", "Premere Shit per inviare firmware non compatibile"},
        {"random battery button", "BotDatiRandomBatLow", "Genera dati casuali Bat Low", ""},
        {"random button", "BotGeneraDatiCasuali", "Genera dati casuali", ""},
        {"simulated record button", "BotSimulaRicezionePassaggioTrDaCOMKivo",
         "Struttura simulata su COM eq. transito TP", "Invia TP con ID superiore a 5 non compatibile con il software"},
    };
    TTest& link = MakeLink();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        auto* button = Control<QToolButton>(link, c.name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), c.caption);
        EXPECT_EQ(button->toolTip(), c.hint);
        EXPECT_TRUE(button->isVisible());
    }
    auto* label = Control<QLabel>(link, "Label1");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QString::fromUtf8("Stringa da inviare (1° riga) / Elenco stringhe autogenerate"));
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    auto* list = Control<QListWidget>(link, "MemoStrDaInviare");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Lines(list), (std::vector<std::string>{kFirstLine, kSecondLine}));
    EXPECT_EQ(list->font().pixelSize(), 13);
    EXPECT_EQ(list->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    ASSERT_NE(Control<QFrame>(link, "Bevel2"), nullptr);
    for (const char* action : {"ActInviaStringa", "ActBotGeneraDatiCasuali", "ActBotGeneraDatiCasualiBatLow"})
        EXPECT_NE(WindowOf(link).findChild<QAction*>(action), nullptr) << action;
}

// Where a control designed at `designed` belongs when the area grew by dx, dy.
QRect Expected(const QRect& designed, Qt::Edges anchors, int dx, int dy) {
    auto axis = [](int start, int size, bool nearEdge, bool farEdge, int growth) {
        if (nearEdge && farEdge) return std::pair<int, int>{start, size + growth};
        if (farEdge) return std::pair<int, int>{start + growth, size};
        return std::pair<int, int>{start, size};
    };
    const auto [left, width] =
        axis(designed.left(), designed.width(), anchors.testFlag(Qt::LeftEdge), anchors.testFlag(Qt::RightEdge), dx);
    const auto [top, height] =
        axis(designed.top(), designed.height(), anchors.testFlag(Qt::TopEdge), anchors.testFlag(Qt::BottomEdge), dy);
    return {left, top, width, height};
}

struct PlaceCase {
    const char* legend;
    const char* name;
    QRect designed;
    Qt::Edges anchors;
};

constexpr Qt::Edges kAll = Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge | Qt::BottomEdge;
constexpr Qt::Edges kLeftBottom = Qt::LeftEdge | Qt::BottomEdge;
constexpr Qt::Edges kRightBottom = Qt::RightEdge | Qt::BottomEdge;
constexpr Qt::Edges kLeftRightBottom = Qt::LeftEdge | Qt::RightEdge | Qt::BottomEdge;

const std::vector<PlaceCase> kPlaces = {
    {"frame follows every edge", "Bevel2", {8, 8, 368, 232}, kAll},
    {"list follows every edge", "MemoStrDaInviare", {18, 29, 346, 148}, kAll},
    {"send button stays left, follows the bottom", "BotSend", {18, 182, 91, 27}, kLeftBottom},
    {"firmware button follows right and bottom", "SpeedButton1", {108, 182, 91, 27}, kRightBottom},
    {"battery button stretches, follows the bottom", "BotDatiRandomBatLow", {198, 182, 166, 27}, kLeftRightBottom},
    {"random button stays left, follows the bottom", "BotGeneraDatiCasuali", {18, 209, 121, 27}, kLeftBottom},
    {"simulated record button stretches",
     "BotSimulaRicezionePassaggioTrDaCOMKivo",
     {138, 209, 226, 27},
     kLeftRightBottom},
};

void ExpectPlaces(TTest& link, const std::vector<PlaceCase>& places, const char* when) {
    SCOPED_TRACE(when);
    auto* bevel = link.View() != nullptr ? dynamic_cast<QWidget*>(link.View())->findChild<QWidget*>("Bevel2") : nullptr;
    ASSERT_NE(bevel, nullptr);
    // The frame follows every edge, so its growth is the area's growth.
    const int dx = bevel->width() - 368;
    const int dy = bevel->height() - 232;
    for (const PlaceCase& c : places) {
        SCOPED_TRACE(c.legend);
        auto* widget = dynamic_cast<QWidget*>(link.View())->findChild<QWidget*>(c.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), Expected(c.designed, c.anchors, dx, dy));
    }
}

TEST_F(LinkWindowTest, ControlsKeepTheirAnchorsWhenResized) {
    TTest& link = MakeLink();
    LinkTestWindow& window = WindowOf(link);
    QApplication::processEvents();
    ExpectPlaces(link, kPlaces, "at creation");
    // At the opening width every control is at its designed place: the buttons of a row meet
    // without covering each other.
    EXPECT_EQ(Control<QWidget>(link, "Bevel2")->x() + Control<QWidget>(link, "Bevel2")->width(), 8 + 368);
    const QRect bevelBefore = Control<QWidget>(link, "Bevel2")->geometry();

    struct Size {
        const char* legend;
        QSize size;
    };
    const Size sizes[] = {{"larger", {520, 400}}, {"at the minimum", {390, 233}}, {"back to the start", {391, 294}}};
    for (const Size& s : sizes) {
        window.resize(s.size);
        QApplication::processEvents();
        ExpectPlaces(link, kPlaces, s.legend);
    }
    EXPECT_EQ(Control<QWidget>(link, "Bevel2")->geometry(), bevelBefore);
    // Growing the window grows the frame by the same amount.
    window.resize(491, 344);
    QApplication::processEvents();
    EXPECT_EQ(Control<QWidget>(link, "Bevel2")->size(), bevelBefore.size() + QSize(100, 50));
}

TEST_F(LinkWindowTest, BatteryButtonFollowsTheBatteryFlag) {
    struct Case {
        const char* legend;
        const char* flag;
        bool batteryButtonShown;
        PlaceCase randomButton;
    };
    const std::vector<Case> cases = {
        {"flag used: both random buttons",
         "True",
         true,
         {"random button as designed", "BotGeneraDatiCasuali", {18, 209, 121, 27}, kLeftBottom}},
        {"flag not used: battery button hidden",
         "False",
         false,
         {"random button as wide as the send button, stretching",
          "BotGeneraDatiCasuali",
          {18, 209, 91, 27},
          kLeftRightBottom}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        IniWith("GstFlagBatLow", c.flag);
        TTest& link = MakeLink();
        QApplication::processEvents();
        EXPECT_EQ(Control<QToolButton>(link, "BotDatiRandomBatLow")->isVisible(), c.batteryButtonShown);
        ExpectPlaces(link, {c.randomButton}, "at creation");
        WindowOf(link).resize(500, 300);
        QApplication::processEvents();
        ExpectPlaces(link, {c.randomButton}, "wider");
        links_.clear();
    }
}

TEST_F(LinkWindowTest, ButtonsHandTheirTextsToTheCallback) {
    struct Case {
        const char* legend;
        const char* iniKey;  // a "Lapix.ini" key set for this case, or nullptr
        const char* iniValue;
        const char* button;
        Qt::MouseButton mouse;
        Qt::KeyboardModifiers keys;
        int clicks;  // one second apart
        std::vector<ByteString> texts;
        bool listed;  // texts delivered by the link are also appended to the list
        std::string panel0;
    };
    const std::vector<Case> cases = {
        {"send: the list's first line",
         nullptr,
         nullptr,
         "BotSend",
         Qt::LeftButton,
         Qt::NoModifier,
         1,
         {kFirstLine},
         false,
         ""},
        {"send with another mouse button: nothing",
         nullptr,
         nullptr,
         "BotSend",
         Qt::RightButton,
         Qt::NoModifier,
         1,
         {},
         false,
         ""},
        {"firmware click: compatible firmware, then the first line",
         nullptr,
         nullptr,
         "SpeedButton1",
         Qt::LeftButton,
         Qt::NoModifier,
         1,
         {"teKAN - teVO Ver: 6.33.1", kFirstLine},
         false,
         ""},
        {"firmware Shift-click: old firmware, then the first line",
         nullptr,
         nullptr,
         "SpeedButton1",
         Qt::LeftButton,
         Qt::ShiftModifier,
         1,
         {"teKAN - teVO Ver: 6.33", kFirstLine},
         false,
         ""},
        {"firmware right press: the firmware text only",
         nullptr,
         nullptr,
         "SpeedButton1",
         Qt::RightButton,
         Qt::NoModifier,
         1,
         {"teKAN - teVO Ver: 6.33.1"},
         false,
         ""},
        {"firmware Shift right press",
         nullptr,
         nullptr,
         "SpeedButton1",
         Qt::RightButton,
         Qt::ShiftModifier,
         1,
         {"teKAN - teVO Ver: 6.33"},
         false,
         ""},
        {"simulated record through the record decoder",
         nullptr,
         nullptr,
         "BotSimulaRicezionePassaggioTrDaCOMKivo",
         Qt::LeftButton,
         Qt::NoModifier,
         1,
         {"0036331-16-05-25-17-52-48-214-0198-000-00000001-001"},
         true,
         "Generati: 0 Inviati: 1"},
        {"random hits: transponder 1 published at the second click",
         nullptr,
         nullptr,
         "BotGeneraDatiCasuali",
         Qt::LeftButton,
         Qt::NoModifier,
         2,
         {"00001-0-00-000-23:20.00-00000500000-0-0003"},
         true,
         "Generati: 2 Inviati: 1"},
        {"random hits with low battery",
         nullptr,
         nullptr,
         "BotDatiRandomBatLow",
         Qt::LeftButton,
         Qt::NoModifier,
         2,
         {"00001-1-00-000-23:20.00-00000500000-0-0003"},
         true,
         "Generati: 2 Inviati: 1"},
        {"speed trap: template texts, one per click",
         "SpeedTrap",
         "True",
         "BotGeneraDatiCasuali",
         Qt::LeftButton,
         Qt::NoModifier,
         1,
         {"00001-0-00-000-00000005-00000000000-0-0106-"},
         true,
         "Generati: 0 Inviati: 1"},
        {"speed trap from the battery button",
         "SpeedTrap",
         "True",
         "BotDatiRandomBatLow",
         Qt::LeftButton,
         Qt::NoModifier,
         1,
         {"00001-0-00-000-00000005-00000000000-0-0106-"},
         true,
         "Generati: 0 Inviati: 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        if (c.iniKey != nullptr) IniWith(c.iniKey, c.iniValue);
        tickMs_ = 5'000'000;
        TTest& link = MakeLink();
        SetProgramRandSeed(0);
        Received().clear();
        for (int i = 0; i < c.clicks; ++i) {
            auto* button = Control<QToolButton>(link, c.button);
            ASSERT_NE(button, nullptr);
            Click(button, c.mouse, c.keys);
            tickMs_ += 1000;
        }
        std::vector<ByteString> received = Received();
        // Template texts end with the PC date and time: compare what comes before it.
        if (c.iniKey != nullptr)
            for (ByteString& text : received) text = text.substr(0, 43);
        EXPECT_EQ(received, c.texts);
        std::vector<std::string> list = {kFirstLine, kSecondLine};
        if (c.listed) list.insert(list.end(), Received().begin(), Received().end());
        EXPECT_EQ(Lines(Control<QListWidget>(link, "MemoStrDaInviare")), list);
        EXPECT_EQ(WindowOf(link).Bench().MemoStrDaInviare(), list);
        EXPECT_EQ(Control<QLabel>(link, "StatusBarPanel0")->text().toStdString(), c.panel0);
        links_.clear();
        std::remove((folder_.path().toStdString() + "/Lapix.ini").c_str());
    }
}

TEST_F(LinkWindowTest, EditedFirstLineIsWhatSendSends) {
    TTest& link = MakeLink();
    auto* list = Control<QListWidget>(link, "MemoStrDaInviare");
    list->item(0)->setText(QString::fromUtf8("prova 1° giro"));
    Click(Control<QToolButton>(link, "BotSend"), Qt::LeftButton, Qt::NoModifier);
    // The list holds the text in the 8-bit code page, as every text the link hands over.
    EXPECT_EQ(Received(), (std::vector<ByteString>{"prova 1\xB0 giro"}));
    EXPECT_EQ(WindowOf(link).Bench().MemoStrDaInviare().size(), 2u);
    // A delivered text appended later does not change the first line.
    WindowOf(link).Bench().BotSimulaRicezionePassaggioTrDaCOMKivoClick();
    Received().clear();
    Click(Control<QToolButton>(link, "BotSend"), Qt::LeftButton, Qt::NoModifier);
    EXPECT_EQ(Received(), (std::vector<ByteString>{"prova 1\xB0 giro"}));
    EXPECT_EQ(list->count(), 3);
}

TEST_F(LinkWindowTest, HiddenWindowListsNothing) {
    TTest& link = MakeLink();
    WindowOf(link).hide();
    WindowOf(link).Bench().BotSimulaRicezionePassaggioTrDaCOMKivoClick();
    EXPECT_EQ(Received().size(), 1u);
    EXPECT_EQ(Control<QListWidget>(link, "MemoStrDaInviare")->count(), 2);
    EXPECT_EQ(WindowOf(link).Bench().SentCount(), 0);
}

TEST_F(LinkWindowTest, FailedOpeningShowsDisconnected) {
    TTest& link = MakeLink("/nonexistent/tty-for-link-window-test");
    EXPECT_FALSE(link.LinkControl(LinkMode::Open));
    EXPECT_EQ(Control<QLabel>(link, "StatusBarPanel0")->text(), "Hardware disconnected");
    EXPECT_EQ(Control<QLabel>(link, "StatusBarPanel1")->text(), "");
    link.LinkControl(LinkMode::Close);
}

}  // namespace
}  // namespace sincrovia
