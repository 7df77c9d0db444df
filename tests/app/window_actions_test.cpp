// The action list, the buttons bound to it, the idle-time update rules and the small controls
// the procedures rely on (up-downs, lamp, port lists, log memos).
#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QtAppEnvironment.h"
#include "app/SSincrovia.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

class WindowActions : public ::testing::Test {
protected:
    RecordingDesktop desktop;
    ScopedDesktop scoped{desktop};
    TSincrovia window;
};

/// Runs the event loop until it has blocked at least once (a short timer ends it).
void LetTheLoopIdle() {
    QEventLoop loop;
    QTimer::singleShot(30, &loop, &QEventLoop::quit);
    loop.exec();
}

TEST_F(WindowActions, ActionListNamesCategoriesAndCaptions) {
    struct Row {
        const char* name;
        const char* category;
        const char* caption;
    };
    const Row rows[] = {
        {"ActBotWriteDateAndTimeComPitIN", "Bot Control", "Set Time 1"},
        {"ActBotWriteDateAndTimeComPitOut", "Bot Control", "Set Time 2"},
        {"ActBotWriteDateAndTimeComStart", "Bot Control", "Set Time 3"},
        {"ActBotWriteDateAndTimeComBackUp", "Bot Control", "Set Time 4"},
        {"ActApriCOM_All", "CtrlCOM", "1-Open COM"},
        {"ActBotSendCmd07", "Bot Control", "Reset Reader"},
        {"ActBotAutoSync", "Bot Control", "4-Auto Synchronization"},
        {"ActBotSendCmd55", "Bot Control", "5-Send Cmd 55 (Rst GPS)"},
        {"ActChiudiCOM_All", "CtrlCOM", "5-Close COM"},
        {"ActBotCalcDif", "Bot Control", "Calc Max Dif."},
        {"ActBot2ReadDateAndTime", "Bot Control", "2-Read Date and Time"},
        {"ActBot3WriteDateAndTime", "Bot Control", "3-Synchro Date and Time"},
        {"ActBotClearCOM_X", "Bot Control", "Clear Com"},
    };
    ASSERT_EQ(window.ActionList().size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        QAction* action = window.ActionList()[i];
        EXPECT_EQ(action->objectName(), rows[i].name);
        EXPECT_EQ(action->property("category").toString(), rows[i].category);
        EXPECT_EQ(action->text(), rows[i].caption);
        EXPECT_EQ(window.findChild<QAction*>(rows[i].name), action);
        EXPECT_EQ(action->isEnabled(), std::string(rows[i].name) != "ActBotAutoSync")
            << "only the auto-sync action starts disabled";
    }
}

struct Binding {
    const char* button;
    const char* action;
};
const Binding kBindings[] = {
    {"BtClrCOM_1", "ActBotClearCOM_X"},
    {"BtClrCOM_2", "ActBotClearCOM_X"},
    {"BtClrCOM_3", "ActBotClearCOM_X"},
    {"BtClrCOM_4", "ActBotClearCOM_X"},
    {"BotWriteDateAndTimeCom1", "ActBotWriteDateAndTimeComPitIN"},
    {"BotWriteDateAndTimeCom2", "ActBotWriteDateAndTimeComPitOut"},
    {"BotWriteDateAndTimeCom3", "ActBotWriteDateAndTimeComStart"},
    {"BotWriteDateAndTimeCom4", "ActBotWriteDateAndTimeComBackUp"},
    {"SpButComOpen", "ActApriCOM_All"},
    {"SpButComClose", "ActChiudiCOM_All"},
    {"BotCalcdelta", "ActBotCalcDif"},
    {"BtResetTimer", "ActBotSendCmd07"},
    {"BtSendCmd55", "ActBotSendCmd55"},
    {"SpBtReadDtAndTm", "ActBot2ReadDateAndTime"},
    {"SpBtWriteDtAndTm", "ActBot3WriteDateAndTime"},
    {"BtAutoSinc", "ActBotAutoSync"},
};

TEST_F(WindowActions, EachButtonFiresItsActionAndNamesItselfAsSender) {
    for (const Binding& b : kBindings) {
        SCOPED_TRACE(b.button);
        auto* button = window.findChild<QAbstractButton*>(b.button);
        auto* action = window.findChild<QAction*>(b.action);
        ASSERT_NE(button, nullptr);
        ASSERT_NE(action, nullptr);
        action->setEnabled(true);
        int fired = 0;
        QObject* sender = nullptr;
        auto connection = QObject::connect(action, &QAction::triggered, [&] {
            ++fired;
            sender = window.ActionSender();
        });
        button->click();
        QObject::disconnect(connection);
        EXPECT_EQ(fired, 1);
        EXPECT_EQ(sender, button);
        EXPECT_EQ(window.ActionSender(), nullptr) << "sender only valid while the action executes";
    }
}

TEST_F(WindowActions, ButtonsFollowTheEnabledStateButKeepTheirCaption) {
    for (const Binding& b : kBindings) {
        SCOPED_TRACE(b.button);
        auto* button = window.findChild<QAbstractButton*>(b.button);
        auto* action = window.findChild<QAction*>(b.action);
        const QString caption = button->text();
        action->setEnabled(false);
        EXPECT_FALSE(button->isEnabled());
        int fired = 0;
        auto connection = QObject::connect(action, &QAction::triggered, [&] { ++fired; });
        button->click();
        EXPECT_EQ(fired, 0) << "a disabled action does not run";
        action->setEnabled(true);
        EXPECT_TRUE(button->isEnabled());
        action->setText("changed caption");
        EXPECT_EQ(button->text(), caption);
        QObject::disconnect(connection);
    }
}

TEST_F(WindowActions, UpdateRulesRunWhenTheLoopGoesIdle) {
    bool slotOpen = false;
    int idleCalls = 0;
    window.SetUpdateRule(window.ActChiudiCOM_All, [&] { return slotOpen; });
    window.SetUpdateRule(window.ActApriCOM_All, [&] { return !slotOpen; });
    window.AddIdleHandler([&] { ++idleCalls; });

    LetTheLoopIdle();
    EXPECT_FALSE(window.ActChiudiCOM_All->isEnabled());
    EXPECT_FALSE(window.SpButComClose->isEnabled());
    EXPECT_TRUE(window.ActApriCOM_All->isEnabled());
    EXPECT_GT(idleCalls, 0);

    slotOpen = true;
    LetTheLoopIdle();
    EXPECT_TRUE(window.SpButComClose->isEnabled());
    EXPECT_FALSE(window.SpButComOpen->isEnabled());
}

TEST_F(WindowActions, AnUpdateDoesNotReenterItself) {
    int depth = 0, maxDepth = 0;
    window.SetUpdateRule(window.ActBotCalcDif, [&] {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        window.UpdateActions();  // e.g. a rule that pumps events
        --depth;
        return true;
    });
    window.UpdateActions();
    EXPECT_EQ(maxDepth, 1);
}

TEST_F(WindowActions, UpDownStepsWithinItsRangeFromWhatTheBoxShows) {
    struct Case {
        const char* legend;
        const char* shown;
        int clicks;  // positive up, negative down
        const char* expected;
    };
    const Case cases[] = {
        {"one up from zero", "0", 1, "1"},
        {"one down from zero", "0", -1, "-1"},
        {"stops at +3", "2", 4, "3"},
        {"stops at -3", "-2", -5, "-3"},
        {"a box reset to 0 elsewhere is where the next step starts", "0", 1, "1"},
        {"a box showing an out-of-range number is clamped first", "9", -1, "2"},
    };
    TUpDown* upDown = window.OffsetUpDown(1);
    ASSERT_EQ(upDown->objectName(), "UpDown2");
    upDown->SetPosition(3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        window.OffsetBox(1)->setText(c.shown);
        for (int i = 0; i < std::abs(c.clicks); ++i) upDown->Step(c.clicks > 0 ? 1 : -1);
        EXPECT_EQ(window.OffsetBox(1)->text(), c.expected);
    }
    EXPECT_EQ(window.OffsetBox(2)->text(), "0") << "another slot's box is not touched";
}

TEST_F(WindowActions, UpDownArrowsAreClickable) {
    TUpDown* upDown = window.OffsetUpDown(2);
    EXPECT_EQ(upDown->objectName(), "UpDown1");
    auto* up = upDown->findChild<QToolButton*>("Up");
    auto* down = upDown->findChild<QToolButton*>("Down");
    ASSERT_NE(up, nullptr);
    ASSERT_NE(down, nullptr);
    up->click();
    up->click();
    EXPECT_EQ(window.OffsetBox(2)->text(), "2");
    down->click();
    EXPECT_EQ(window.OffsetBox(2)->text(), "1");
}

TEST_F(WindowActions, LampReportsButtonsModifiersAndDoubleClicks) {
    struct Press {
        const char* legend;
        QEvent::Type type;
        Qt::MouseButton button;
        Qt::KeyboardModifiers modifiers;
        bool doubleClick;
    };
    const Press presses[] = {
        {"right with shift and ctrl", QEvent::MouseButtonPress, Qt::RightButton,
         Qt::ShiftModifier | Qt::ControlModifier, false},
        {"left plain", QEvent::MouseButtonPress, Qt::LeftButton, Qt::NoModifier, false},
        {"right with alt too", QEvent::MouseButtonPress, Qt::RightButton,
         Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier, false},
        {"double click", QEvent::MouseButtonDblClick, Qt::RightButton, Qt::ShiftModifier | Qt::ControlModifier, true},
    };
    for (const Press& p : presses) {
        SCOPED_TRACE(p.legend);
        std::vector<std::tuple<Qt::MouseButton, Qt::KeyboardModifiers, bool>> seen;
        auto c = QObject::connect(window.ShpSyncResult, &TShape::MouseDown,
                                  [&](Qt::MouseButton b, Qt::MouseButtons, Qt::KeyboardModifiers m, bool dbl) {
                                      seen.emplace_back(b, m, dbl);
                                  });
        const QPointF at(30, 30);
        QMouseEvent event(p.type, at, window.ShpSyncResult->mapToGlobal(at), p.button, p.button, p.modifiers);
        QCoreApplication::sendEvent(window.ShpSyncResult, &event);
        QObject::disconnect(c);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(std::get<0>(seen[0]), p.button);
        EXPECT_EQ(std::get<1>(seen[0]), p.modifiers);
        EXPECT_EQ(std::get<2>(seen[0]), p.doubleClick);
    }
    window.ShpSyncResult->SetBrushColor(QColor(255, 255, 0));
    EXPECT_EQ(window.ShpSyncResult->BrushColor(), QColor(255, 255, 0));
}

TEST_F(WindowActions, PortListAnnouncesItsDropDownBeforeShowingItems) {
    window.SetStartupWarningEnabled(false);
    window.show();  // the first show refills the lists, so the item goes in afterwards
    TDropDownList* list = window.PortList(3);
    list->addItem("ttyS0");
    list->setCurrentIndex(0);
    int itemsWhenAnnounced = -1;
    QObject::connect(list, &TDropDownList::DropDown, [&] {
        itemsWhenAnnounced = list->count();
        window.RefillPortList(list);
    });
    list->showPopup();
    EXPECT_EQ(itemsWhenAnnounced, 1);
    EXPECT_EQ(list->count(), 0) << "no lister given: refilled empty";
    EXPECT_EQ(list->currentIndex(), -1) << "the previous choice is lost";
    list->hidePopup();
}

TEST_F(WindowActions, LogLinesArriveInTheSlotsMemoDecodedFromTheCodePage) {
    struct Case {
        const char* legend;
        std::string bytes;
        QString shown;
    };
    const Case cases[] = {
        {"plain ASCII", "08 Dec 03:52:33.123;Rx On Com 1: x", "08 Dec 03:52:33.123;Rx On Com 1: x"},
        {"Italian accent in the 8-bit code page", "Velocit\xE0", QString::fromUtf8("Velocit\xC3\xA0")},
        {"euro sign at 0x80", "\x80", QString::fromUtf8("\xE2\x82\xAC")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        window.MemoLines(2)->AddLine(c.bytes);
        const QStringList lines = window.LogMemo(2)->toPlainText().split('\n');
        EXPECT_EQ(lines.back(), c.shown);
    }
    EXPECT_TRUE(window.LogMemo(1)->toPlainText().isEmpty());
    EXPECT_EQ(window.LogMemo(2)->blockCount(), 3);
}

}  // namespace
}  // namespace sincrovia
