// One to four simulated timing decoders on pseudo-terminals. Each decoder's slave device is
// published as a virtual port (a symbolic link named after the decoder in
// VirtualPortFolder()); the program opens it like a serial line. One thread serves all
// decoders: it reads the frames the program writes, answers after the decoder's latency,
// and sends unasked passages and noise.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/simulator/DecoderProtocol.h"
#include "tools/simulator/SimulatorOptions.h"
#include "util/ByteString.h"

namespace sincrovia::sim {

/// One frame received by a decoder.
struct ArrivalEntry {
    int64_t unixUs = 0;   ///< PC clock when the frame's last byte arrived (read instant + byte time)
    std::string decoder;  ///< the decoder's name
    ByteString bytes;     ///< the frame
};

/// The arrival-log line of an entry: "<unix us> <NAME> <hex bytes>" without a newline.
std::string FormatArrivalLine(const ArrivalEntry& entry);

/// Counters of one decoder.
struct DecoderStats {
    uint64_t frames = 0;            ///< good frames received
    uint64_t badChecksums = 0;      ///< framed but wrong checksum, ignored
    uint64_t discardedBytes = 0;    ///< received bytes that belonged to no frame
    uint64_t firmwareRequests = 0;  ///< Cmd 1
    uint64_t clockSets = 0;         ///< Cmd 3 applied
    uint64_t badDateTimes = 0;      ///< Cmd 3 with an impossible date or time, ignored
    uint64_t timerResets = 0;       ///< Cmd 7 (and Cmd 5)
    uint64_t manualLaps = 0;        ///< Cmd 52
    uint64_t gpsResets = 0;         ///< Cmd 55
    uint64_t unknownCommands = 0;   ///< good frames with any other code
    uint64_t passagesSent = 0;      ///< passage records written, asked or not
    uint64_t droppedOutput = 0;     ///< bytes not written because nobody drained the line
    bool hungUp = false;            ///< the line was closed (hangup key or a failure)
};

/// The simulator engine.
class Simulator {
public:
    Simulator();
    ~Simulator();  ///< stops and removes the links
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /// Adds a decoder before Start(); false (with `error`) when full, named twice or invalid.
    bool AddDecoder(const DecoderConfig& config, std::string& error);

    /// Called on the simulator thread for every frame received (must not call back in).
    void SetArrivalSink(std::function<void(const ArrivalEntry&)> sink);

    /// Whether Arrivals() keeps every entry (default true; a long run may turn it off).
    void SetRecordArrivals(bool record);

    /// Called on the simulator thread with a one-line report of notable events.
    void SetEventSink(std::function<void(const std::string&)> sink);

    /// Opens the pseudo-terminals, publishes the links and starts the thread. On failure
    /// everything opened is undone and `error` says why.
    bool Start(std::string& error);

    /// Stops the thread, closes the lines and removes the links. Safe to call twice.
    void Stop();

    /// Number of decoders added.
    std::size_t DecoderCount() const;

    /// Port name of decoder `i` (its NAME), to be opened by the program.
    std::string PortName(std::size_t i) const;

    /// Full path of decoder `i`'s link (empty before Start()).
    std::string LinkPath(std::size_t i) const;

    /// Every frame received so far, in arrival order.
    std::vector<ArrivalEntry> Arrivals() const;
    /// Every reply written to the program while Arrivals() records, in order; unixUs is the PC
    /// clock when the reply's last byte reached the line's far end (its write).
    std::vector<ArrivalEntry> Replies() const;

    /// Waits until at least `count` frames have arrived or `timeoutMs` passed; true if so.
    bool WaitForArrivals(std::size_t count, int timeoutMs) const;

    /// What decoder `i`'s clock reads at PC time `pcUs` (microseconds of Unix time).
    int64_t DecoderClockAt(std::size_t i, int64_t pcUs) const;

    /// What decoder `i`'s clock reads now.
    int64_t DecoderClockNow(std::size_t i) const;

    /// Counters of decoder `i`.
    DecoderStats Stats(std::size_t i) const;

private:
    struct Decoder;
    void Loop();
    void HandleFrame(Decoder& d, const CommandFrame& frame, int64_t arrivalPcUs);
    /// How long `bytes` take on the decoder's line (0 with baud=0).
    static int64_t LineTimeUs(const Decoder& d, std::size_t bytes);
    /// Logs a frame whose last byte has arrived and lets the decoder act on it.
    void TakeFrame(Decoder& d, const CommandFrame& frame, int64_t takenPcUs);
    /// Takes every frame that has finished crossing its line; true when any was taken.
    bool TakeDueFrames(int64_t nowMonoUs);
    void Queue(Decoder& d, ByteString bytes, int64_t dueMonoUs);
    void SendPassage(Decoder& d, uint8_t readerId, uint32_t transponder, int64_t pcUs, int64_t dueMonoUs);
    bool OpenLine(Decoder& d, const std::string& folder, std::string& error);
    void RunTimers(int64_t nowMonoUs);
    void Flush(Decoder& d, int64_t nowMonoUs);
    void CloseLine(Decoder& d, const std::string& why);
    void Report(const std::string& text);
    int64_t NextDueMonoUs() const;

    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<std::unique_ptr<Decoder>> decoders_;
    std::vector<ArrivalEntry> arrivals_;
    std::vector<ArrivalEntry> replies_;
    std::function<void(const ArrivalEntry&)> arrivalSink_;
    std::function<void(const std::string&)> eventSink_;
    std::thread thread_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    bool running_ = false;
    bool stopping_ = false;
    bool recordArrivals_ = true;
    std::mt19937 random_;
};

}  // namespace sincrovia::sim
