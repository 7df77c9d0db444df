// Desktop services: the recorder that tests install, the headless default, and the switch
// between them.
#include "util/DesktopServices.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace sincrovia {
namespace {

TEST(Desktop, RecorderAnswersTheDefaultUntilAnAnswerIsChosen) {
    const struct {
        const char* legend;
        bool setAnswer;
        MsgAnswer chosen;
        MsgAnswer defaultAnswer;
        MsgAnswer want;
    } cases[] = {
        {"no answer chosen: Yes by default", false, MsgAnswer::Ok, MsgAnswer::Yes, MsgAnswer::Yes},
        {"no answer chosen: Cancel by default", false, MsgAnswer::Ok, MsgAnswer::Cancel, MsgAnswer::Cancel},
        {"chosen No overrides a Yes default", true, MsgAnswer::No, MsgAnswer::Yes, MsgAnswer::No},
        {"chosen Ok overrides a Cancel default", true, MsgAnswer::Ok, MsgAnswer::Cancel, MsgAnswer::Ok},
    };
    for (const auto& c : cases) {
        RecordingDesktop rec;
        if (c.setAnswer) rec.SetAnswer(c.chosen);
        EXPECT_EQ(rec.MessageBox("Cap", "Text", MsgIcon::Question, MsgButtons::YesNo, c.defaultAnswer), c.want)
            << c.legend;
    }
}

TEST(Desktop, RecorderKeepsEveryCallInOrderAndClearForgetsThem) {
    RecordingDesktop rec;
    rec.MessageBox("Error Open COM", "Unable to open COM42", MsgIcon::Error, MsgButtons::Ok, MsgAnswer::Ok);
    rec.MessageBox("Sincrovia", "Exit?", MsgIcon::Question, MsgButtons::YesNo, MsgAnswer::No);
    rec.Beep();
    rec.Beep();
    rec.PlaySystemSound("SystemExclamation");

    const auto boxes = rec.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Error Open COM");
    EXPECT_EQ(boxes[0].text, "Unable to open COM42");
    EXPECT_EQ(boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(boxes[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(boxes[1].caption, "Sincrovia");
    EXPECT_EQ(boxes[1].buttons, MsgButtons::YesNo);
    EXPECT_EQ(rec.BeepCount(), 2);
    EXPECT_EQ(rec.Sounds(), std::vector<std::string>{"SystemExclamation"});

    rec.SetAnswer(MsgAnswer::No);
    rec.Clear();
    EXPECT_TRUE(rec.Boxes().empty());
    EXPECT_EQ(rec.BeepCount(), 0);
    EXPECT_TRUE(rec.Sounds().empty());
    // Clearing forgets the calls, not the chosen answer.
    EXPECT_EQ(rec.MessageBox("c", "t", MsgIcon::None, MsgButtons::YesNo, MsgAnswer::Yes), MsgAnswer::No);
}

TEST(Desktop, RecorderCountsCallsFromManyThreads) {
    RecordingDesktop rec;
    constexpr int kThreads = 4;
    constexpr int kCallsEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&rec] {
            for (int k = 0; k < kCallsEach; ++k) {
                rec.Beep();
                rec.PlaySystemSound("SystemExclamation");
                rec.MessageBox("c", "t", MsgIcon::None, MsgButtons::Ok, MsgAnswer::Ok);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(rec.BeepCount(), kThreads * kCallsEach);
    EXPECT_EQ(rec.Sounds().size(), static_cast<size_t>(kThreads * kCallsEach));
    EXPECT_EQ(rec.Boxes().size(), static_cast<size_t>(kThreads * kCallsEach));
}

TEST(Desktop, InstalledServicesReplaceTheHeadlessDefault) {
    DesktopServices& headless = Desktop();
    EXPECT_NE(dynamic_cast<HeadlessDesktop*>(&headless), nullptr) << "default is headless";

    RecordingDesktop rec;
    {
        ScopedDesktop scope(rec);
        EXPECT_EQ(&Desktop(), &rec);
        Desktop().Beep();
        Desktop().MessageBox("c", "t", MsgIcon::Warning, MsgButtons::Ok, MsgAnswer::Ok);
    }
    EXPECT_EQ(rec.BeepCount(), 1);
    EXPECT_EQ(rec.Boxes().size(), 1u);
    EXPECT_EQ(&Desktop(), &headless) << "the scope restores the default";

    SetDesktop(&rec);
    EXPECT_EQ(&Desktop(), &rec);
    SetDesktop(nullptr);
    EXPECT_EQ(&Desktop(), &headless);
}

TEST(Desktop, HeadlessBoxPrintsCaptionAndTextAndAnswersTheDefault) {
    HeadlessDesktop headless;
    const struct {
        const char* legend;
        MsgButtons buttons;
        MsgAnswer defaultAnswer;
    } cases[] = {
        {"Ok box", MsgButtons::Ok, MsgAnswer::Ok},
        {"Yes/No box defaulting to No", MsgButtons::YesNo, MsgAnswer::No},
        {"Yes/No/Cancel box defaulting to Cancel", MsgButtons::YesNoCancel, MsgAnswer::Cancel},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        const MsgAnswer answer =
            headless.MessageBox("Error Open COM", "Unable to open COM42", MsgIcon::Error, c.buttons, c.defaultAnswer);
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(answer, c.defaultAnswer) << c.legend;
        EXPECT_NE(printed.find("Error Open COM"), std::string::npos) << c.legend;
        EXPECT_NE(printed.find("Unable to open COM42"), std::string::npos) << c.legend;
    }
    testing::internal::CaptureStderr();
    headless.Beep();
    headless.PlaySystemSound("SystemExclamation");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\a\a");
}

}  // namespace
}  // namespace sincrovia
