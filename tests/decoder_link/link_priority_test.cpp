// The process priority set by every link creation: a refusal by the system is told once per
// program run, in the memo of the link that met it, and never stops the link.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "LinkTestSupport.h"

namespace sincrovia {
namespace {

using testing::LinkEnvironment;
using testing::MemoRecorder;

int CountRefusals(const MemoRecorder& memo) {
    int n = 0;
    for (const std::string& line : memo.lines)
        if (line.find("Priorita' del processo non concessa dal sistema: ") != std::string::npos) ++n;
    return n;
}

TEST(LinkPriority, RealTimeIsAppliedOrItsRefusalToldOnce) {
    LinkEnvironment env;
    { TTest first(nullptr, "X", nullptr, false, "", nullptr); }  // writes the default file
    std::ifstream in(env.Folder() + "Lapix.ini", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    const size_t at = text.find("Priority=2");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 10, "Priority=3");
    std::ofstream(env.Folder() + "Lapix.ini", std::ios::binary | std::ios::trunc) << text;

    MemoRecorder memo1, memo2;
    TTest link1(nullptr, "COM1", nullptr, false, "", &memo1);
    TTest link2(nullptr, "COM2", nullptr, false, "", &memo2);
    EXPECT_TRUE(env.desktop.Boxes().empty());
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    if (nice == -10) {
        // Allowed to raise it (a privileged user): nothing to tell.
        EXPECT_EQ(CountRefusals(memo1) + CountRefusals(memo2), 0);
    } else {
        // The first link with a memo tells; the second does not repeat it.
        EXPECT_EQ(CountRefusals(memo1), 1);
        EXPECT_EQ(CountRefusals(memo2), 0);
    }
}

}  // namespace
}  // namespace sincrovia
