// Command line of the decoder simulator: decoder arguments and the whole argument list.
#include <gtest/gtest.h>

#include <functional>

#include "tools/simulator/SimulatorOptions.h"

namespace sincrovia::sim {
namespace {

void ExpectSameConfig(const DecoderConfig& want, const DecoderConfig& got) {
    EXPECT_EQ(want.name, got.name);
    EXPECT_EQ(want.offsetMs, got.offsetMs);
    EXPECT_DOUBLE_EQ(want.driftPpm, got.driftPpm);
    EXPECT_EQ(want.firmware, got.firmware);
    EXPECT_EQ(want.longFirmware, got.longFirmware);
    EXPECT_EQ(want.latencyMs, got.latencyMs);
    EXPECT_EQ(want.jitterMs, got.jitterMs);
    EXPECT_EQ(want.transponder, got.transponder);
    EXPECT_EQ(want.silent, got.silent);
    EXPECT_DOUBLE_EQ(want.passagesPerMinute, got.passagesPerMinute);
    EXPECT_DOUBLE_EQ(want.garbagePerSecond, got.garbagePerSecond);
    EXPECT_DOUBLE_EQ(want.hangupSeconds, got.hangupSeconds);
    EXPECT_EQ(want.gps, got.gps);
    EXPECT_EQ(want.afterSet, got.afterSet);
    EXPECT_EQ(want.badClock, got.badClock);
}

struct DecoderArgCase {
    const char* legend;
    const char* argument;
    bool ok;
    std::function<void(DecoderConfig&)> expect;  // applied to a default config named by `name`
    const char* name;
    const char* errorPart;  // for refused arguments
};

TEST(SimulatorOptions, DecoderArgument) {
    const DecoderArgCase cases[] = {
        {"bare name keeps every default", "START", true, [](DecoderConfig&) {}, "START", ""},
        {"positive offset", "PITIN:offset=1700", true, [](DecoderConfig& c) { c.offsetMs = 1700; }, "PITIN", ""},
        {"negative offset with fractional drift", "PITOUT:offset=-800,drift=40.5", true,
         [](DecoderConfig& c) {
             c.offsetMs = -800;
             c.driftPpm = 40.5;
         },
         "PITOUT", ""},
        {"negative drift with a plus-signed offset", "A:drift=-12,offset=+3", true,
         [](DecoderConfig& c) {
             c.driftPpm = -12;
             c.offsetMs = 3;
         },
         "A", ""},
        {"firmware text", "T1:firmware=6.33", true, [](DecoderConfig& c) { c.firmware = "6.33"; }, "T1", ""},
        {"every key at once",
         "X-1:offset=5,drift=1,firmware=7.0.2,long=1,latency=0,jitter=0,transponder=1005,"
         "silent=1,passages=30,garbage=12.5,hangup=2.5,gps=1",
         true,
         [](DecoderConfig& c) {
             c.offsetMs = 5;
             c.driftPpm = 1;
             c.firmware = "7.0.2";
             c.longFirmware = true;
             c.latencyMs = 0;
             c.jitterMs = 0;
             c.transponder = 1005;
             c.silent = true;
             c.passagesPerMinute = 30;
             c.garbagePerSecond = 12.5;
             c.hangupSeconds = 2.5;
             c.gps = true;
         },
         "X-1", ""},
        {"silent after a clock write, clock replies undecodable", "A:after_set=silent,bad_clock=1", true,
         [](DecoderConfig& c) {
             c.afterSet = AfterSet::Silent;
             c.badClock = true;
         },
         "A", ""},
        {"hangs up after a clock write", "A:after_set=hangup", true,
         [](DecoderConfig& c) { c.afterSet = AfterSet::Hangup; }, "A", ""},
        {"unknown behaviour after a write", "A:after_set=sleep", false, nullptr, "", "for after_set"},
        {"17-character firmware fits the short record", "A:firmware=12345678901234567", true,
         [](DecoderConfig& c) { c.firmware = "12345678901234567"; }, "A", ""},
        {"19-character firmware fits only the long record", "A:long=1,firmware=1234567890123456789", true,
         [](DecoderConfig& c) {
             c.longFirmware = true;
             c.firmware = "1234567890123456789";
         },
         "A", ""},
        {"18-character firmware is too long for 45 bytes", "A:firmware=123456789012345678", false, nullptr, "",
         "does not fit"},
        {"empty name", ":offset=1", false, nullptr, "", "bad decoder name"},
        {"name with a slash would escape the folder", "a/b", false, nullptr, "", "bad decoder name"},
        {"hidden name", ".x", false, nullptr, "", "bad decoder name"},
        {"colon without keys", "A:", false, nullptr, "", "empty key list"},
        {"key without value sign", "A:offset", false, nullptr, "", "expected key=value"},
        {"empty item between commas", "A:offset=1,,drift=2", false, nullptr, "", "expected key=value"},
        {"unknown key", "A:speed=3", false, nullptr, "", "unknown key 'speed'"},
        {"key given twice", "A:offset=1,offset=2", false, nullptr, "", "given twice"},
        {"fractional offset", "A:offset=1.5", false, nullptr, "", "bad value '1.5' for offset"},
        {"offset with trailing text", "A:offset=12ms", false, nullptr, "", "for offset"},
        {"empty value", "A:latency=", false, nullptr, "", "for latency"},
        {"negative latency", "A:latency=-1", false, nullptr, "", "for latency"},
        {"flag other than 0 or 1", "A:silent=yes", false, nullptr, "", "for silent"},
        {"transponder beyond 32 bits", "A:transponder=4294967296", false, nullptr, "", "for transponder"},
        {"drift not a number", "A:drift=nan", false, nullptr, "", "for drift"},
        {"huge drift", "A:drift=200000", false, nullptr, "", "for drift"},
        {"negative passages", "A:passages=-1", false, nullptr, "", "for passages"},
        {"firmware with a blank", "A:firmware=6 33", false, nullptr, "", "for firmware"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        std::string error;
        const auto got = ParseDecoderArgument(c.argument, error);
        ASSERT_EQ(c.ok, got.has_value()) << error;
        if (c.ok) {
            DecoderConfig want;
            want.name = c.name;
            c.expect(want);
            ExpectSameConfig(want, *got);
        } else {
            EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
        }
    }
}

struct CommandLineCase {
    const char* legend;
    std::vector<std::string> arguments;
    bool ok;
    bool help;
    std::string logPath;
    std::vector<std::string> names;
    const char* errorPart;
};

TEST(SimulatorOptions, CommandLine) {
    const CommandLineCase cases[] = {
        {"the documented example",
         {"--log", "arrivals.log", "PITIN:offset=1700", "PITOUT:offset=-800,drift=40", "START", "T1:firmware=6.33"},
         true,
         false,
         "arrivals.log",
         {"PITIN", "PITOUT", "START", "T1"},
         ""},
        {"one decoder, no log", {"A"}, true, false, "", {"A"}, ""},
        {"log given with an equals sign after the decoders", {"A", "--log=x.log"}, true, false, "x.log", {"A"}, ""},
        {"help wins over anything else", {"--help", "bad/name"}, true, true, "", {}, ""},
        {"short help", {"-h"}, true, true, "", {}, ""},
        {"no decoder", {}, false, false, "", {}, "no decoder"},
        {"only a log", {"--log", "x"}, false, false, "", {}, "no decoder"},
        {"five decoders", {"A", "B", "C", "D", "E"}, false, false, "", {}, "at most 4"},
        {"same name twice", {"A", "A:offset=1"}, false, false, "", {}, "given twice"},
        {"log without a file", {"A", "--log"}, false, false, "", {}, "needs a file"},
        {"empty log file", {"--log=", "A"}, false, false, "", {}, "needs a file"},
        {"log twice", {"--log", "a", "--log", "b", "A"}, false, false, "", {}, "--log given twice"},
        {"unknown option", {"--verbose", "A"}, false, false, "", {}, "unknown option"},
        {"a bad decoder argument is reported", {"A", "B:offset=x"}, false, false, "", {}, "B: bad value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        std::string error;
        const auto got = ParseCommandLine(c.arguments, error);
        ASSERT_EQ(c.ok, got.has_value()) << error;
        if (!c.ok) {
            EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
            continue;
        }
        EXPECT_EQ(c.help, got->help);
        if (c.help) continue;
        EXPECT_EQ(c.logPath, got->logPath);
        std::vector<std::string> names;
        for (const auto& d : got->decoders) names.push_back(d.name);
        EXPECT_EQ(c.names, names);
    }
}

TEST(SimulatorOptions, ExampleKeysReachTheirDecoders) {
    std::string error;
    const auto got =
        ParseCommandLine({"PITIN:offset=1700", "PITOUT:offset=-800,drift=40", "START", "T1:firmware=6.33"}, error);
    ASSERT_TRUE(got.has_value()) << error;
    ASSERT_EQ(4u, got->decoders.size());
    EXPECT_EQ(1700, got->decoders[0].offsetMs);
    EXPECT_EQ(-800, got->decoders[1].offsetMs);
    EXPECT_DOUBLE_EQ(40.0, got->decoders[1].driftPpm);
    EXPECT_EQ(0, got->decoders[2].offsetMs);
    EXPECT_EQ("6.33", got->decoders[3].firmware);
    EXPECT_EQ("6.33.1", got->decoders[2].firmware);
}

TEST(SimulatorOptions, HelpNamesEveryKey) {
    const std::string help = UsageText();
    for (const char* key : {"offset=", "drift=", "firmware=", "long=", "latency=", "jitter=", "transponder=", "silent=",
                            "passages=", "garbage=", "hangup=", "gps=", "--log FILE", "ready"})
        EXPECT_NE(std::string::npos, help.find(key)) << key;
}

}  // namespace
}  // namespace sincrovia::sim
