#include "SerialNGTestSupport.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "util/MainThread.h"

namespace sincrovia::serialtest {

SerialRecorder::SerialRecorder(TSerialPortNG& port, bool takeClusters) {
    auto hook = [this](TNotifyEvent& event, const char* name) {
        event = [this, name](TSerialPortNG*) { events.emplace_back(name); };
    };
    hook(port.OnCommEvent, "Comm");
    hook(port.OnCommStat, "CommStat");
    hook(port.OnTxQueueEmptyEvent, "TxEmpty");
    hook(port.OnWriteDone, "WriteDone");
    hook(port.OnBreakEvent, "Break");
    hook(port.OnCTSEvent, "CTS");
    hook(port.OnDSREvent, "DSR");
    hook(port.OnLineErrorEvent, "LineError");
    hook(port.OnRingEvent, "Ring");
    hook(port.OnRLSDEvent, "RLSD");
    hook(port.OnRIEvent, "RI");
    hook(port.OnRxCharEvent, "RxChar");
    hook(port.OnRxEventCharEvent, "RxEventChar");
    port.OnRxClusterEvent = [this, takeClusters](TSerialPortNG* sender) {
        events.emplace_back("RxCluster");
        if (takeClusters && sender->FirstClusterSize() >= 0) clusters.push_back(sender->TakeClusterText());
    };
    port.OnProcessError = [this](TSerialPortNG*, std::uint32_t place, std::uint32_t code, const std::string& msg,
                                 std::uint8_t noise) {
        reports.push_back({place, code, msg, noise});
        if (getenv("SINCROVIA_TRACE_REPORTS") != nullptr)
            fprintf(stderr, "report %u %u %s %u\n", place, code, msg.c_str(), noise);
    };
}

std::vector<std::uint32_t> SerialRecorder::Places() const {
    std::vector<std::uint32_t> places;
    for (const ErrorReport& r : reports) places.push_back(r.place);
    return places;
}

bool SerialRecorder::HasReport(std::uint32_t place, const std::string& msg) const {
    return std::any_of(reports.begin(), reports.end(),
                       [&](const ErrorReport& r) { return r.place == place && r.msg == msg; });
}

int SerialRecorder::Count(const std::string& name) const {
    return static_cast<int>(std::count(events.begin(), events.end(), name));
}

ByteString SerialRecorder::Received() const {
    ByteString all;
    for (const ByteString& c : clusters) all += c;
    return all;
}

void SerialRecorder::Clear() {
    events.clear();
    reports.clear();
    clusters.clear();
}

bool ServeUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    SetMainThread();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        WaitAndServeMainThreadCalls(std::chrono::milliseconds(5));
    }
    return true;
}

void ServeFor(std::chrono::milliseconds time) {
    SetMainThread();
    const auto deadline = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < deadline) WaitAndServeMainThreadCalls(std::chrono::milliseconds(5));
}

}  // namespace sincrovia::serialtest
