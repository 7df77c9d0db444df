// The program's unattended mode against simulated decoders: the built program is started as a
// script would start it, from a folder of its own holding "MemCom.set", and judged by its exit
// status, its printed verdict and its JSON result.
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>

#include "SyncHarness.h"
#include "app/SingleInstance.h"

namespace sincrovia::e2e {
namespace {

namespace fs = std::filesystem;

/// A program folder of its own: the built program linked (or copied) beside a "MemCom.set".
class ProgramCopy {
public:
    ProgramCopy() {
        std::string pattern = std::string(SINCROVIA_BINARY_DIR) + "/unattended-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        const fs::path built = fs::path(SINCROVIA_BINARY_DIR) / "app" / "sincrovia";
        std::error_code ec;
        fs::create_hard_link(built, Program(), ec);
        if (ec) fs::copy_file(built, Program());
    }
    ~ProgramCopy() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    fs::path Program() const { return folder_ / "sincrovia"; }
    fs::path File(const char* name) const { return folder_ / name; }
    /// Chooses `ports` on slots 1.. in "MemCom.set".
    void Choose(const std::vector<std::string>& ports) const {
        std::ofstream file(File("MemCom.set"), std::ios::binary);
        for (std::size_t i = 0; i < ports.size(); ++i) file << "CmbCOMPort_" << i + 1 << '=' << ports[i] << "\r\n";
    }

private:
    fs::path folder_;
};

struct RunOutcome {
    int status = -1;
    std::string output;
};

RunOutcome RunProgram(const std::string& commandLine) {
    RunOutcome outcome;
    FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) outcome.output += buffer;
    const int raw = ::pclose(pipe);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return outcome;
}

sim::DecoderConfig OldFirmware(sim::DecoderConfig c) {
    c.firmware = "6.33";
    return c;
}

struct UnattendedCase {
    const char* legend;
    std::vector<sim::DecoderConfig> decoders;
    std::vector<std::string> chosen;  // ports in "MemCom.set", slot order
    const char* arguments;
    int status;
    const char* printed;         // a line the run must print
    bool windowRunning = false;  // another copy holds the single-instance lock
};

TEST(UnattendedRun, ExitStatusFollowsTheVerdictAndTheFailures) {
    const UnattendedCase cases[] = {
        {"four clocks in step: the read is OK",
         {Decoder("A", 0), Decoder("B", 3), Decoder("C", -2), Decoder("D", 1)},
         {"A", "B", "C", "D"},
         "read",
         0,
         "Synchronization OK"},
        {"four clocks 2.5 s apart: the read is KO",
         FourDecoders(),
         {"PITIN", "PITOUT", "START", "T1"},
         "read",
         1,
         "Synchronization KO"},
        {"a port of MemCom.set is not present",
         {Decoder("A", 0)},
         {"A", "GONE"},
         "read",
         2,
         "port GONE is not present"},
        {"an old firmware refuses the synchronisation, the box is printed",
         {Decoder("A", 0), OldFirmware(Decoder("B", 0))},
         {"A", "B"},
         "sync",
         2,
         "Verify that all connected decoders are turned on"},
        {"a threshold outside the list is a wrong setting",
         {Decoder("A", 0)},
         {"A"},
         "read --threshold 16",
         2,
         "the threshold must be one of"},
        {"the window is already running", {Decoder("A", 0)}, {"A"}, "read", 2, "Sorry: We are already running!", true},
    };
    for (const UnattendedCase& c : cases) {
        SCOPED_TRACE(c.legend);
        sim::Simulator simulator;
        std::string error;
        for (const auto& d : c.decoders) ASSERT_TRUE(simulator.AddDecoder(d, error)) << error;
        ASSERT_TRUE(simulator.Start(error)) << error;
        const ProgramCopy program;
        program.Choose(c.chosen);
        SingleInstanceGuard window;
        if (c.windowRunning) {
            ASSERT_EQ(window.TryAcquire(), SingleInstanceGuard::Result::Acquired);
        }
        const RunOutcome run = RunProgram(program.Program().string() + " --unattended " + c.arguments);
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.printed), std::string::npos) << run.output;
        simulator.Stop();
    }
}

TEST(UnattendedRun, JsonCarriesTheTableOfTheRound) {
    sim::Simulator simulator;
    std::string error;
    ASSERT_TRUE(simulator.AddDecoder(Decoder("A", 1700), error)) << error;
    ASSERT_TRUE(simulator.AddDecoder(Decoder("B", -800), error)) << error;
    ASSERT_TRUE(simulator.Start(error)) << error;
    const ProgramCopy program;
    program.Choose({"A", "B"});
    const std::string json = program.File("result.json").string();
    const RunOutcome run = RunProgram(program.Program().string() + " --unattended read --json " + json);
    ASSERT_EQ(run.status, 1) << run.output;

    QFile file(QString::fromStdString(json));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject result = QJsonDocument::fromJson(file.readAll()).object();
    for (const char* key :
         {"mode", "exit_status", "error", "verdict", "reason", "threshold_ms", "pc_time", "write_unix_us", "slots"})
        EXPECT_TRUE(result.contains(key)) << key;
    EXPECT_EQ(result["verdict"].toString(), "Synchronization KO");
    EXPECT_EQ(result["exit_status"].toInt(), 1);
    const QJsonArray slotResults = result["slots"].toArray();
    ASSERT_EQ(slotResults.size(), 4);
    const QJsonObject first = slotResults[0].toObject();
    for (const char* key :
         {"slot", "decoder", "port", "firmware", "status", "decoder_time", "offset_to_pc_ms", "round_trip_ms"})
        EXPECT_TRUE(first.contains(key)) << key;
    EXPECT_EQ(first["port"].toString(), "A");
    EXPECT_EQ(first["status"].toString(), "ok");
    // The offset to the PC is the decoder's own offset, within the reply's time on the line.
    EXPECT_NEAR(first["offset_to_pc_ms"].toDouble(), 1700, 100);
    EXPECT_NEAR(slotResults[1].toObject()["offset_to_pc_ms"].toDouble(), -800, 100);
    EXPECT_EQ(slotResults[2].toObject()["status"].toString(), "closed");
}

}  // namespace
}  // namespace sincrovia::e2e
