// First show of the main window, the deferred start-up warning and the close confirmation.
#include <QCoreApplication>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QtAppEnvironment.h"
#include "app/SSincrovia.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

const std::string kWarning =
    "Please DISABLE automatic NTP clock synchronization from internet or use GPS synchronizer !\r\n\r\n"
    "It is recommended that you CLOSE ALL APPLICATION for a good operation of this program!";

TStartupServices Services(std::vector<std::string> ports, std::string version, bool developer) {
    TStartupServices s;
    s.ListPorts = [ports] { return ports; };
    s.FileVersion = [version] { return version; };
    s.IsDeveloperWorkstation = [developer] { return developer; };
    return s;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override { desktop.SetAnswer(MsgAnswer::Yes); }
    RecordingDesktop desktop;
    ScopedDesktop scoped{desktop};
};

TEST_F(Startup, CaptionGetsTheVersionOnce) {
    struct Case {
        const char* legend;
        std::string version;
        QString caption;
    };
    const Case cases[] = {
        {"four-number version", "1.0.3.12", "Sincrovia - Ver. 1.0.3.12"},
        {"no version record: appended as it comes", "", "Sincrovia - Ver. "},
        {"odd text: appended as it comes", "v2 beta", "Sincrovia - Ver. v2 beta"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        TSincrovia window(Services({}, c.version, true));
        EXPECT_EQ(window.windowTitle(), "Sincrovia") << "before the first show";
        window.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(window.windowTitle(), c.caption);
        window.setWindowState(Qt::WindowMinimized);
        window.setWindowState(Qt::WindowNoState);
        QCoreApplication::processEvents();
        EXPECT_EQ(window.windowTitle(), c.caption) << "a restore is no new show";
        window.hide();
    }
}

TEST_F(Startup, FirstShowFillsPortListsThenRestoresTheChoice) {
    TSincrovia window(Services({"ttyS0", "ttyUSB0", "sim1"}, "1.0.0.0", true));
    int restored = 0;
    int itemsSeenByRestore = -1;
    window.RestoreComSelection = [&] {
        ++restored;
        itemsSeenByRestore = window.PortList(4)->count();
        window.PortList(2)->setCurrentIndex(1);
    };
    window.PgctrlMultiSync->setCurrentIndex(1);
    window.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(restored, 1);
    EXPECT_EQ(itemsSeenByRestore, 3) << "the lists are filled before the choice is restored";
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(window.PortList(n)->count(), 3);
        EXPECT_EQ(window.PortList(n)->itemText(0), "ttyS0");
        EXPECT_EQ(window.PortList(n)->itemText(2), "sim1");
    }
    EXPECT_EQ(window.PortList(1)->currentIndex(), -1) << "no item selected by the fill";
    EXPECT_EQ(window.PortList(2)->currentText(), "ttyUSB0");
    EXPECT_EQ(window.PgctrlMultiSync->currentIndex(), 0) << "Control panel is the active page";
    EXPECT_EQ(window.LblThMoltiplierFactorForPC->text(), "TH Decoder 50ms, PC 500ms");
    EXPECT_TRUE(window.FrameDigitalWatch1->ClockRunning());
}

TEST_F(Startup, ThresholdLabel) {
    struct Case {
        const char* legend;
        QString threshold;
        QString label;
    };
    const Case cases[] = {
        {"default", "50", "TH Decoder 50ms, PC 500ms"},
        {"largest item", "90", "TH Decoder 90ms, PC 900ms"},
        {"smallest item", "4", "TH Decoder 4ms, PC 40ms"},
        {"no number: no PC limit is invented", "", "TH Decoder ms"},
    };
    TSincrovia window;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        window.ShowThreshold(c.threshold);
        EXPECT_EQ(window.LblThMoltiplierFactorForPC->text(), c.label);
    }
}

TEST_F(Startup, WarningShowsOnceTheLoopRunsUnlessOnTheDeveloperWorkstation) {
    struct Case {
        const char* legend;
        bool developer;
        size_t boxes;
    };
    const Case cases[] = {
        {"normal workstation: one warning", false, 1},
        {"developer workstation: no warning", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        desktop.Clear();
        TSincrovia window(Services({}, "1.0.0.0", c.developer));
        window.show();
        EXPECT_TRUE(desktop.Boxes().empty()) << "deferred: not inside the show";
        QCoreApplication::processEvents();
        const auto boxes = desktop.Boxes();
        ASSERT_EQ(boxes.size(), c.boxes);
        if (c.boxes == 1) {
            EXPECT_EQ(boxes[0].caption, "Sincrovia");
            EXPECT_EQ(boxes[0].text, kWarning);
            EXPECT_EQ(boxes[0].icon, MsgIcon::Warning);
            EXPECT_EQ(boxes[0].buttons, MsgButtons::Ok);
        }
        window.hide();
    }
}

TEST_F(Startup, OnlyTheWarningParameterSelectsTheWarning) {
    struct Case {
        const char* legend;
        int wParam;
        size_t boxes;
    };
    const Case cases[] = {
        {"100 selects the warning", 100, 1},  {"zero", 0, 0},        {"just below", 99, 0}, {"just above", 101, 0},
        {"the message id itself", 0x8000, 0}, {"negative", -100, 0},
    };
    TSincrovia window;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        desktop.Clear();
        window.PostAppMessage(c.wParam, 100);
        EXPECT_TRUE(desktop.Boxes().empty()) << "queued, not run at once";
        QCoreApplication::processEvents();
        EXPECT_EQ(desktop.Boxes().size(), c.boxes);
    }
}

TEST_F(Startup, CloseAsksAndNoKeepsEverythingRunning) {
    int linksClosed = 0;  // outlives the window, whose destruction calls the hook as well
    TSincrovia window(Services({"ttyS0"}, "1.0.0.0", true));
    window.CloseAllLinks = [&] { ++linksClosed; };
    window.show();
    QCoreApplication::processEvents();
    window.FBusy = true;
    window.ThreadedTimer1.SetInterval(3500);
    window.ThreadedTimer1.SetEnabled(true);
    window.SetStatusText("Sended Synchro DateTime, waiting 1.532");

    desktop.Clear();
    desktop.SetAnswer(MsgAnswer::No);
    EXPECT_FALSE(window.close());
    const auto boxes = desktop.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Sincrovia");
    EXPECT_EQ(boxes[0].text, "Are you sure you want to quit?");
    EXPECT_EQ(boxes[0].icon, MsgIcon::Question);
    EXPECT_EQ(boxes[0].buttons, MsgButtons::YesNo);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(linksClosed, 0);
    EXPECT_TRUE(window.FBusy);
    EXPECT_TRUE(window.ThreadedTimer1.Enabled()) << "a running procedure goes on";
    EXPECT_EQ(window.StatusText(), "Sended Synchro DateTime, waiting 1.532");
    window.ThreadedTimer1.SetEnabled(false);

    desktop.SetAnswer(MsgAnswer::Yes);
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(linksClosed, 1) << "Yes closes the links like 5-Close COM";
}

}  // namespace
}  // namespace sincrovia
