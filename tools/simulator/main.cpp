// sincrovia-decoder-sim: one to four simulated timing decoders on virtual ports.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/simulator/Simulator.h"
#include "tools/simulator/SimulatorOptions.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
    using namespace sincrovia::sim;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto line = ParseCommandLine(arguments, error);
    if (!line) {
        std::fprintf(stderr, "sincrovia-decoder-sim: %s\n\n%s", error.c_str(), UsageText().c_str());
        return kExitUsage;
    }
    if (line->help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }

    std::FILE* log = nullptr;
    if (!line->logPath.empty()) {
        log = std::fopen(line->logPath.c_str(), "a");
        if (log == nullptr) {
            std::perror(("sincrovia-decoder-sim: " + line->logPath).c_str());
            return kExitFailure;
        }
    }

    // The signals are taken by sigwait below; blocking them first keeps them away from the
    // simulator thread, which inherits this mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Simulator simulator;
    simulator.SetRecordArrivals(false);
    if (log != nullptr) {
        simulator.SetArrivalSink([log](const ArrivalEntry& entry) {
            std::fprintf(log, "%s\n", FormatArrivalLine(entry).c_str());
            std::fflush(log);
        });
    }
    simulator.SetEventSink([](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });
    for (const DecoderConfig& config : line->decoders) {
        if (!simulator.AddDecoder(config, error)) {
            std::fprintf(stderr, "sincrovia-decoder-sim: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    if (!simulator.Start(error)) {
        std::fprintf(stderr, "sincrovia-decoder-sim: %s\n", error.c_str());
        if (log != nullptr) std::fclose(log);
        return kExitFailure;
    }
    for (std::size_t i = 0; i < simulator.DecoderCount(); ++i)
        std::fprintf(stderr, "%s -> %s\n", simulator.PortName(i).c_str(), simulator.LinkPath(i).c_str());
    std::fputs("ready\n", stdout);
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    simulator.Stop();
    if (log != nullptr) std::fclose(log);
    return kExitOk;
}
