// Helpers for the serial component's tests: a recorder of everything the component tells its
// user (events and reports, in order), a loop that serves the main-thread hand-over until a
// condition holds, and a pseudo-terminal pair that plays the far end of a line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial/SerialNG.h"

namespace sincrovia::serialtest {

/// One report of OnProcessError.
struct ErrorReport {
    std::uint32_t place;
    std::uint32_t code;
    std::string msg;
    std::uint8_t noise;
};

/// Records events (by name, e.g. "RxCluster") and reports; takes the clusters when asked.
class SerialRecorder {
public:
    /// Hooks every event of port; with takeClusters the cluster handler takes each cluster.
    explicit SerialRecorder(TSerialPortNG& port, bool takeClusters = true);
    std::vector<std::string> events;
    std::vector<ErrorReport> reports;
    std::vector<ByteString> clusters;
    /// Places of the reports, in order.
    std::vector<std::uint32_t> Places() const;
    /// True if a report with this place and message was recorded.
    bool HasReport(std::uint32_t place, const std::string& msg) const;
    /// Number of recorded events of that name.
    int Count(const std::string& name) const;
    /// All received bytes joined.
    ByteString Received() const;
    void Clear();
};

/// Marks the calling thread as the main thread and serves its hand-over until pred holds or
/// timeout passes; returns pred().
bool ServeUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
/// Serves the hand-over for the given time.
void ServeFor(std::chrono::milliseconds time);

/// A pseudo-terminal pair: the test holds the master, the component opens the slave path.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    bool Ok() const { return master_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }
    /// The master's descriptor (its terminal settings are the slave's).
    int MasterFd() const { return master_; }
    /// Writes bytes into the line (the component receives them).
    void Send(const std::string& bytes);
    /// Reads what the component wrote, waiting up to timeout for `count` bytes.
    std::string ReadUpTo(std::size_t count, std::chrono::milliseconds timeout);
    /// Closes the master: the slave side hangs up.
    void CloseMaster();

private:
    int master_ = -1;
    std::string slavePath_;
};

/// CPU time used by this process so far, in seconds.
double ProcessCpuSeconds();

}  // namespace sincrovia::serialtest
