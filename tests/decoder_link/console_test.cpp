// The decoder console's commands: output, exit statuses and usage on bad arguments.
#include <gtest/gtest.h>

#include <sstream>

#include "decoder_link/DecoderConsole.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

struct ConsoleRun {
    int status;
    std::string out, err;
};

ConsoleRun Console(std::vector<std::string> args, const std::string& input = {}) {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int status = RunDecoderConsole(args, {in, out, err});
    return {status, out.str(), err.str()};
}

const std::string kCapture =
    "00 50 01 11 08 0D 11 2D 00 00 00 00 01 00 00 00\n02 00 00 00 D6 00 6C 00 00 00 AA BB CC DD 0D 0A\n";

TEST(Console, Commands) {
    const struct {
        const char* legend;
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
    } cases[] = {
        {"reset timer frame and log line",
         {"frame", "reset-timer", "--when", "2026-12-08T04:05:06.250"},
         "",
         0,
         "00 07 01 00 00 00 04 0D 0A\nCmd_07_Rst_Timer : Sending time 04h:05m:06s.250ms - StartMSG(00) "
         "Command(07) IdReader(01) ChksHH(00) ChksHL(00) ChksLH(00) ChksLL(04) ChksVal(4) EndMsg1(13) EndMsg2(10)\n"},
        {"set date/time, options before the command",
         {"frame", "--when=2026-12-08T04:05:06", "set-datetime"},
         "",
         0,
         "00 03 01 1A 0C 08 01 04 05 06 00 00 00 21 0D 0A\n"},
        {"reader id and full checksum",
         {"frame", "manual-lap", "--id", "250", "--full-checksum"},
         "",
         0,
         "00 34 FA 00 00 01 2E 0D 0A\n"},
        {"decode the capture", {"decode"}, kCapture, 0, "0000002-17-08-13-17-45-00-214-0108-000-00000001-001\n"},
        {"decode with settings, lower-case hex in one token",
         {"decode", "--set", "StrXTrivoloTimer=false", "--set=TempiAssoluti=False"},
         "0050011108 0d112d00000000010000000200 0000d6006c000000aabbccdd0d0a",
         0,
         "00002-0-00-000-00000001-00000000214-1-0108\n"},
        {"incomplete record: nothing delivered", {"decode"}, "00 50 01", 0, ""},
        {"bad hexadecimal input", {"decode"}, "00 5", 1, ""},
        {"no command", {}, "", 2, ""},
        {"unknown command", {"send-all"}, "", 2, ""},
        {"unknown frame", {"frame", "reboot"}, "", 2, ""},
        {"reader id out of range", {"frame", "reset-gps", "--id", "251"}, "", 2, ""},
        {"bad date", {"frame", "reset-gps", "--when", "2026-02-30T00:00:00"}, "", 2, ""},
        {"option without its value", {"frame", "reset-gps", "--when"}, "", 2, ""},
        {"unknown setting", {"decode", "--set", "IdMask=1"}, "", 2, ""},
        {"setting that is not a switch", {"decode", "--set", "SpeedTrap=maybe"}, "", 2, ""},
    };
    RecordingDesktop desktop;
    ScopedDesktop scope(desktop);
    for (const auto& c : cases) {
        const ConsoleRun r = Console(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.legend;
        if (c.status == 0) {
            EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << c.legend;
            EXPECT_EQ(r.out.empty(), c.out.empty()) << c.legend;
        } else {
            EXPECT_TRUE(r.out.empty()) << c.legend;
            EXPECT_FALSE(r.err.empty()) << c.legend;
        }
        if (c.status == 2) {
            EXPECT_NE(r.err.find("usage:"), std::string::npos) << c.legend;
        }
    }
}

TEST(Console, HelpGoesToStandardOutput) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"frame", "--help"}, {"decode", "--help"}}) {
        const ConsoleRun r = Console(args);
        EXPECT_EQ(r.status, 0) << args.front();
        EXPECT_NE(r.out.find("usage:"), std::string::npos) << args.front();
        EXPECT_TRUE(r.err.empty()) << args.front();
    }
}

}  // namespace
}  // namespace sincrovia
