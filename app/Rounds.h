// A round is one read of the decoders' clocks: the request that went to every open slot, the
// reply each slot gave to that request (or not), and the verdict drawn from those replies only.
// The procedures publish every finished round through TProcedureOptions::onRoundEvaluated, so
// the history store and the unattended mode see exactly what the lamp was judged on.
// Nothing here knows about the toolkit.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "util/DateTime.h"

namespace sincrovia {

/// Number of decoder slots; slots are numbered 1 to SlotCount.
inline constexpr int SlotCount = 4;

/// The decoder name of each slot, index 0 = slot 1.
inline constexpr std::array<const char*, SlotCount> kSlotDecoderNames{"PIT IN", "PIT OUT", "START", "T1"};

/// What started the round.
enum class RoundKind {
    Read,     ///< "2-Read Date and Time" or "Calc Max Dif."
    Sync,     ///< the read-back of "3-Synchro Date and Time"
    SetTime,  ///< the read-back of a single decoder's "Set Time N"
    Check,    ///< a watch read on a timer; never writes a clock
};

/// How one slot took part in the round.
enum class ReadingStatus {
    Closed,    ///< no link on the slot: not part of the round
    Ok,        ///< its reply to this round's request arrived and decoded
    NoReply,   ///< open, but no reply to this round's request
    BadReply,  ///< a reply arrived that did not decode
    Late,      ///< no reply to this round's request in time; a reply to an earlier one came instead
};

/// One slot's reading in a round.
struct RoundReading {
    ReadingStatus status = ReadingStatus::Closed;  ///< how the slot took part
    std::string decoder;                           ///< the slot's decoder name ("PIT IN", ...)
    std::string port;                              ///< the slot's port name
    std::string firmware;                          ///< the release last read from the slot, "" if none
    TDateTime decoderTime = 0;                     ///< the decoder's clock as read (status Ok only)
    int64_t requestUnixUs = 0;                     ///< PC instant its write began (Unix µs), 0 unknown
    int64_t arrivalUnixUs = 0;                     ///< PC instant the reply's last byte was taken, 0 unknown
    /// Decoder clock minus PC clock at the decoder's stamp, µs (status Ok with both instants).
    std::optional<int64_t> offsetUs;
    /// How far that offset may be off, µs (the round trip beyond the frames' line times).
    std::optional<int64_t> uncertaintyUs;
};

/// One judged round.
struct RoundResult {
    RoundKind kind = RoundKind::Read;                ///< what started it
    int64_t startUnixUs = 0;                         ///< PC instant the round's request went out (Unix µs)
    TDateTime pcTimeOnRead = 0;                      ///< the frozen PC time the readings are compared with
    std::string threshold;                           ///< the threshold text in use (ms)
    std::string verdict;                             ///< the lamp's text, e.g. "Synchronization OK"
    std::string reason;                              ///< why the verdict is not OK, "" when it is
    std::string pcClock;                             ///< the "PC clock: ..." line when the round was judged
    std::array<RoundReading, SlotCount> readings{};  ///< index 0 = slot 1
};

/// The stored name of a round kind: "read", "sync", "set_time", "check".
inline const char* RoundKindName(RoundKind kind) {
    switch (kind) {
    case RoundKind::Read: return "read";
    case RoundKind::Sync: return "sync";
    case RoundKind::SetTime: return "set_time";
    case RoundKind::Check: return "check";
    }
    return "read";
}

/// The stored name of a reading status: "closed", "ok", "no reply", "bad reply", "late".
inline const char* ReadingStatusName(ReadingStatus status) {
    switch (status) {
    case ReadingStatus::Closed: return "closed";
    case ReadingStatus::Ok: return "ok";
    case ReadingStatus::NoReply: return "no reply";
    case ReadingStatus::BadReply: return "bad reply";
    case ReadingStatus::Late: return "late";
    }
    return "closed";
}

}  // namespace sincrovia
