// Where the serial component reports from: one row per situation it tells its user about, with
// the number passed as Place, the noise level and the fixed message. The numbers are shown to
// the user and written to the logs, so they never change; a few are shared by two situations
// (each such row says why), and the message tells those apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace sincrovia {

/// Noise levels of a report; ErrorNoise passes the levels up to its own value.
inline constexpr std::uint8_t kNoiseError = 0;
inline constexpr std::uint8_t kNoiseWarning = 1;
inline constexpr std::uint8_t kNoiseMessage = 2;

/// A situation the serial component reports; its row in kSerialPlaces gives the rest.
enum class SerialPlace : std::uint8_t {
    // Construction.
    EventNotCreated,
    EventExists,
    // Closing.
    Deactivating,
    EventMaskOff,
    PurgeOnClose,
    ClosePort,
    ThreadStillRunning,
    // Opening.
    Reactivating,
    QueueSizesOnOpen,
    OpenFailed,
    EventMaskOn,
    // Line settings.
    ReadSettings,
    SetTimeouts,
    SetSettings,
    SettingNotApplied,
    // Properties.
    XonLimitCapped,
    XoffLimitCapped,
    RxQueueSize,
    TxQueueSize,
    // Control lines.
    RtsRaise,
    RtsDrop,
    DtrRaise,
    DtrDrop,
    BreakOn,
    BreakOff,
    // Writing.
    SendWhileBusy,
    WriteTimeouts,
    WriteStart,
    WriteEventReset,
    // The worker.
    ModemStatus,
    LineStatus,
    ReadStart,
    EventWaitStart,
    ReadAborted,
    ReadResult,
    ReadAndEventWait,
    ReadWait,
    EventWait,
    WriteTimedOut,
    WriteResult,
    WorkerEventReset,
    LineLost,
};

/// Who makes a report: the component on the caller's thread, or its worker through the
/// main-thread hand-over.
enum class SerialReporter : std::uint8_t { Component, Worker };

/// One row of kSerialPlaces.
struct SerialPlaceRow {
    SerialPlace id;
    std::uint32_t place;  // the number passed as Place
    std::uint8_t noise;   // kNoiseError, kNoiseWarning or kNoiseMessage
    const char* message;  // the fixed text (the start of the text where a detail follows)
    SerialReporter reporter;
};

/// Every reporting place of the component, in the order of SerialPlace.
inline constexpr SerialPlaceRow kSerialPlaces[] = {
    {SerialPlace::EventNotCreated, 1001, kNoiseError, "Error Creating Overlapped Event", SerialReporter::Component},
    {SerialPlace::EventExists, 1002, kNoiseError, "Error Overlapped Event Exists", SerialReporter::Component},
    {SerialPlace::Deactivating, 100, kNoiseMessage, "Msg start deactivating Port", SerialReporter::Component},
    {SerialPlace::EventMaskOff, 101, kNoiseError, "Error disabling CommEvents", SerialReporter::Component},
    {SerialPlace::PurgeOnClose, 102, kNoiseError, "Error clearing Queues", SerialReporter::Component},
    {SerialPlace::ClosePort, 103, kNoiseError, "Error closing Port", SerialReporter::Component},
    {SerialPlace::ThreadStillRunning, 104, kNoiseWarning, "Warning ThreadIsRunning", SerialReporter::Component},
    {SerialPlace::Reactivating, 110, kNoiseMessage, "Msg start reactivating Port", SerialReporter::Component},
    {SerialPlace::QueueSizesOnOpen, 111, kNoiseError, "Error setup Queuesize", SerialReporter::Component},
    {SerialPlace::OpenFailed, 112, kNoiseError, "Error reopening Port", SerialReporter::Component},
    {SerialPlace::EventMaskOn, 201, kNoiseError, "Error activating CommEventMask", SerialReporter::Component},
    {SerialPlace::ReadSettings, 801, kNoiseError, "Error getting DCB from CommState", SerialReporter::Component},
    // 802 is the one step that applies the line settings: its timeouts and its state.
    {SerialPlace::SetTimeouts, 802, kNoiseError, "Error setting CommTimeout", SerialReporter::Component},
    {SerialPlace::SetSettings, 802, kNoiseError, "Error setting CommState, 87 indicate that Parms are incorrect",
     SerialReporter::Component},
    {SerialPlace::SettingNotApplied, 803, kNoiseWarning, "Warning setting not applied: ", SerialReporter::Component},
    // 100, 101 and 102 also name these property setters, as they always have in the logs: the
    // warning level and the message tell them from the closing steps of the same numbers.
    {SerialPlace::XonLimitCapped, 100, kNoiseWarning, "Warning XOnLimDef set to 100", SerialReporter::Component},
    {SerialPlace::XoffLimitCapped, 100, kNoiseWarning, "Warning XOffLimDef set to 100", SerialReporter::Component},
    {SerialPlace::RxQueueSize, 101, kNoiseError, "Error can not set Quesize", SerialReporter::Component},
    {SerialPlace::TxQueueSize, 102, kNoiseError, "Error can not set Quesize", SerialReporter::Component},
    {SerialPlace::RtsRaise, 501, kNoiseError, "Error setting RTS", SerialReporter::Component},
    {SerialPlace::RtsDrop, 502, kNoiseError, "Error clearing RTS", SerialReporter::Component},
    {SerialPlace::DtrRaise, 601, kNoiseError, "Error setting DTR", SerialReporter::Component},
    {SerialPlace::DtrDrop, 602, kNoiseError, "Error clearing DTR", SerialReporter::Component},
    {SerialPlace::BreakOn, 701, kNoiseError, "Error setting BREAK State", SerialReporter::Component},
    {SerialPlace::BreakOff, 702, kNoiseError, "Error clearing BREAK State", SerialReporter::Component},
    {SerialPlace::SendWhileBusy, 901, kNoiseMessage, "Msg, dont enter SendData while SendInProgress is set",
     SerialReporter::Component},
    {SerialPlace::WriteTimeouts, 902, kNoiseError, "Error setting CommTimeout", SerialReporter::Component},
    {SerialPlace::WriteStart, 903, kNoiseError, "Error writing Data", SerialReporter::Component},
    // 1101 is any failed reset or signal of an overlapped record's event, by the component (the
    // write's, after a write failed to start) or by its worker (the write's after a write
    // ended, the read's or the event wait's to end them on closing): one failure, one number.
    {SerialPlace::WriteEventReset, 1101, kNoiseError, "Error resetting Overlapped Event", SerialReporter::Component},
    {SerialPlace::ModemStatus, 9905, kNoiseError, "Error getting ModemStatus", SerialReporter::Worker},
    {SerialPlace::LineStatus, 9803, kNoiseError, "Error ClearCommError", SerialReporter::Worker},
    {SerialPlace::ReadStart, 9804, kNoiseError, "Error reading Data", SerialReporter::Worker},
    // 9907 names both ends of the worker's waits on the line that closing cuts short; the
    // message tells a wait that could not start from a read that closing aborted.
    {SerialPlace::EventWaitStart, 9907, kNoiseError, "Error calling WaitCommEvent", SerialReporter::Worker},
    {SerialPlace::ReadAborted, 9907, kNoiseError, "Error read aborted", SerialReporter::Worker},
    {SerialPlace::ReadResult, 9908, kNoiseError, "Error getting Overlappedresult", SerialReporter::Worker},
    {SerialPlace::ReadAndEventWait, 9911, kNoiseError, "Error getting Overlappedresult", SerialReporter::Worker},
    {SerialPlace::ReadWait, 9912, kNoiseError, "Error getting Overlappedresult", SerialReporter::Worker},
    {SerialPlace::EventWait, 9913, kNoiseError, "Error getting Overlappedresult", SerialReporter::Worker},
    {SerialPlace::WriteTimedOut, 9701, kNoiseError, "Error write TimeOut", SerialReporter::Worker},
    {SerialPlace::WriteResult, 9702, kNoiseError, "Error getting Overlapped Result", SerialReporter::Worker},
    {SerialPlace::WorkerEventReset, 1101, kNoiseError, "Error resetting Overlapped Event", SerialReporter::Worker},
    // Stands in for any worker place once the line's device has gone (told once per opening).
    {SerialPlace::LineLost, 9914, kNoiseError, "Error line lost (device unplugged or hung up)", SerialReporter::Worker},
};

/// The row of a place.
constexpr const SerialPlaceRow& PlaceRow(SerialPlace id) { return kSerialPlaces[static_cast<std::size_t>(id)]; }

namespace detail {
constexpr bool PlacesInEnumOrder() {
    for (std::size_t i = 0; i < std::size(kSerialPlaces); ++i)
        if (static_cast<std::size_t>(kSerialPlaces[i].id) != i) return false;
    return true;
}
}  // namespace detail
static_assert(detail::PlacesInEnumOrder(), "kSerialPlaces must list SerialPlace in its order");
static_assert(std::size(kSerialPlaces) == static_cast<std::size_t>(SerialPlace::LineLost) + 1,
              "every SerialPlace needs its row");

}  // namespace sincrovia
