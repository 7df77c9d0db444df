// The console's "send" subcommand against a simulated decoder: the reply printed, the link's
// lines on the error stream, a port that does not open, and bad arguments.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "LinkTestSupport.h"
#include "decoder_link/DecoderConsole.h"
#include "tools/simulator/Simulator.h"

namespace sincrovia {
namespace {

using testing::LinkEnvironment;

struct ConsoleRun {
    int status;
    std::string out, err;
};

ConsoleRun Console(const std::vector<std::string>& args) {
    std::istringstream in;
    std::ostringstream out, err;
    const int status = RunDecoderConsole(args, {in, out, err});
    return {status, out.str(), err.str()};
}

TEST(ConsoleSend, CommandsOnALivePort) {
    struct Case {
        const char* legend;
        std::vector<std::string> args;  // after "send --port SIMCON"
        const char* outContains;        // nullptr: nothing printed on standard output
        const char* errContains;
    };
    const std::vector<Case> cases = {
        {"firmware reply printed",
         {"firmware", "--listen", "600"},
         "teKAN - teVO Ver: 6.33.1",
         "(*) Cmd_01_FrmWr_Ver : Sending time "},
        {"manual lap answered with a passage of transponder 3",
         {"manual-lap", "--listen=600"},
         "0000003-",
         "(*) Cmd_52_Manual_Lap: Sending time "},
        {"set date-time with a given time",
         {"set-datetime", "--when", "2026-12-08T04:05:06.250", "--listen", "100"},
         nullptr,
         "(*) Cmd_03_Set_DateTm: Sending time 04h:05m:06s.250ms - StartMSG(00) Command(03) "
         "IdReader(01) Year(26) Month(12) Day(08) DayOfWeek(1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        LinkEnvironment env;
        sim::Simulator simulator;
        sim::DecoderConfig config;
        config.name = "SIMCON";
        config.transponder = 3;
        std::string error;
        ASSERT_TRUE(simulator.AddDecoder(config, error) && simulator.Start(error)) << error;
        std::vector<std::string> args = {"send", "--port", "SIMCON"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ConsoleRun r = Console(args);
        EXPECT_EQ(r.status, kConsoleOk) << r.err;
        if (c.outContains != nullptr)
            EXPECT_NE(r.out.find(c.outContains), std::string::npos) << r.out;
        else
            EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.errContains), std::string::npos) << r.err;
        EXPECT_EQ(simulator.Stats(0).frames, 1u);
    }
}

TEST(ConsoleSend, PortThatDoesNotOpen) {
    LinkEnvironment env;
    const ConsoleRun r = Console({"send", "--port", "NOSUCHPORT", "firmware"});
    EXPECT_EQ(r.status, kConsoleFailed);
    EXPECT_NE(r.err.find(":Error - Unable to open NOSUCHPORT"), std::string::npos) << r.err;
    ASSERT_EQ(env.desktop.Boxes().size(), 1u);
    EXPECT_EQ(env.desktop.Boxes()[0].text, "Unable to open NOSUCHPORT");
}

TEST(ConsoleSend, BadArguments) {
    struct Case {
        const char* legend;
        std::vector<std::string> args;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"no port", {"send", "firmware"}, "send needs --port NAME"},
        {"no command", {"send", "--port", "X"}, "send needs a command"},
        {"unknown command", {"send", "--port", "X", "reboot"}, "unknown command 'reboot'"},
        {"two commands", {"send", "--port", "X", "firmware", "manual-lap"}, "one command only"},
        {"negative listening time", {"send", "--port", "X", "firmware", "--listen", "-5"}, "bad listening time"},
        {"listening time not a number", {"send", "--port", "X", "firmware", "--listen", "1s"}, "bad listening time"},
        {"bad date", {"send", "--port", "X", "set-datetime", "--when", "2026-13-01T00:00:00"}, "bad date and time"},
        {"unknown option", {"send", "--port", "X", "firmware", "--fast"}, "unknown option '--fast'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        LinkEnvironment env;
        const ConsoleRun r = Console(c.args);
        EXPECT_EQ(r.status, kConsoleUsage);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(env.desktop.Boxes().empty());
    }
    const ConsoleRun help = Console({"--help"});
    EXPECT_NE(help.out.find("send --port NAME CMD"), std::string::npos);
}

}  // namespace
}  // namespace sincrovia
