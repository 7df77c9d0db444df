// The Qt desktop services and the hand-over wiring: texts as the boxes show them, background
// calls served by the Qt loop, also while a modal box is open, and boxes asked for by a
// background thread shown on the main thread.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "QtAppEnvironment.h"
#include "app/QtDesktop.h"
#include "util/MainThread.h"

namespace sincrovia {
namespace {

TEST(QtDesktopText, LineBreaksAndCodePage) {
    struct Case {
        const char* legend;
        std::string bytes;
        QString shown;
    };
    const Case cases[] = {
        {"CR LF pairs, one blank line between sentences", "A !\r\n\r\nB!", "A !\n\nB!"},
        {"LF CR pairs count once each", "Unable:\n\r  1) x\n\r\n\rVerify", "Unable:\n  1) x\n\nVerify"},
        {"lone LF", "a\nb", "a\nb"},
        {"lone CR", "a\rb", "a\nb"},
        {"UTF-8 kept", "Velocit\xC3\xA0", QString::fromUtf8("Velocit\xC3\xA0")},
        {"8-bit code page when not UTF-8", "Velocit\xE0", QString::fromUtf8("Velocit\xC3\xA0")},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(DisplayText(c.bytes), c.shown);
    }
}

class QtWiring : public ::testing::Test {
protected:
    void SetUp() override { WireMainThreadToQt(); }
    void TearDown() override { UnwireMainThreadFromQt(); }

    /// Runs the Qt loop until `done` or a generous bound.
    static void RunLoopUntil(const std::atomic<bool>& done) {
        QElapsedTimer elapsed;
        elapsed.start();
        while (!done && elapsed.elapsed() < kBoundMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    static constexpr int kBoundMs = 20000;
};

TEST_F(QtWiring, BackgroundCallsAreServedByTheQtLoopInOrder) {
    std::vector<int> order;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 20; ++i) RunOnMainThread([&order, i] { order.push_back(i); });
        done = true;
    });
    RunLoopUntil(done);
    worker.join();
    ASSERT_TRUE(done);
    ASSERT_EQ(order.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST_F(QtWiring, AModalBoxKeepsServingBackgroundCalls) {
    // The worker closes the box from a hand-over: the box returns only if its own loop serves.
    QtDesktop desktop;
    std::atomic<bool> closed{false};
    std::thread worker([&] {
        while (!closed) {
            RunOnMainThread([&] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    box->done(QMessageBox::No);
                    closed = true;
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const MsgAnswer answer = desktop.MessageBox("Sincrovia", "Are you sure you want to quit?", MsgIcon::Question,
                                                MsgButtons::YesNo, MsgAnswer::Yes);
    worker.join();
    EXPECT_EQ(answer, MsgAnswer::No);
}

TEST_F(QtWiring, ABoxAskedForByABackgroundThreadShowsOnTheMainThread) {
    QtDesktop desktop;
    std::atomic<bool> done{false};
    std::atomic<MsgAnswer> answer{MsgAnswer::Cancel};
    std::thread worker([&] {
        answer = desktop.MessageBox("Sincrovia", "question", MsgIcon::Question, MsgButtons::YesNo, MsgAnswer::No);
        done = true;
    });
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            EXPECT_EQ(box->text(), "question");
            EXPECT_TRUE(IsMainThread());
            box->done(QMessageBox::Yes);
        }
    });
    closer.start(20);
    RunLoopUntil(done);
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(answer, MsgAnswer::Yes);
}

TEST_F(QtWiring, EscapeOnABoxGivesItsCancellingAnswer) {
    struct Case {
        const char* legend;
        MsgButtons buttons;
        MsgAnswer expected;
    };
    const Case cases[] = {
        {"OK box", MsgButtons::Ok, MsgAnswer::Ok},
        {"Yes/No box: No", MsgButtons::YesNo, MsgAnswer::No},
        {"OK/Cancel box: Cancel", MsgButtons::OkCancel, MsgAnswer::Cancel},
    };
    QtDesktop desktop;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        QTimer::singleShot(50, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->reject();
        });
        EXPECT_EQ(desktop.MessageBox("Sincrovia", "text", MsgIcon::None, c.buttons, MsgAnswer::Yes), c.expected);
    }
}

}  // namespace
}  // namespace sincrovia
