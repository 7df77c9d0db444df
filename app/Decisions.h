// The decisions of the synchronizer, kept apart from the window so that each rule can be
// checked on its own: the firmware rule and the readiness check of the slots, the port-choice
// file, the reading of a decoder's passage text, the spread verdict and the alignment instant.
// Nothing here knows about the toolkit; the window turns the answers into colours and texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/Rounds.h"
#include "util/DateTime.h"

namespace sincrovia {

// --- Firmware --------------------------------------------------------------------------------

/// Pattern of a firmware version inside a firmware reply: "6.33" or "6.33.1".
inline constexpr char FirmwareVersionPattern[] = "([0-9]{1,2}\\.[0-9]{1,2}\\.[0-9]{1,2})|([0-9]{1,2}\\.[0-9]{1,2})";

/// Text of the message shown when a clock procedure is refused; the required release and "!"
/// follow it. Its line breaks are line feed then carriage return.
inline constexpr char DecodersNotReadyText[] =
    "Unable to continue for one or more of the following reasons:\n\r"
    "  1) at least one decoder use a Firmware version not compatible!\n\r"
    "  2) at least one decoder is power off!\n\r"
    "  3) at least one COM has raised an opening error!\n\r\n\r"
    "Verify that all connected decoders are turned on and that their firmware versions are equal "
    "to or greater than release ";

/// The version found in a firmware reply (first match of FirmwareVersionPattern), or "".
std::string ExtractFirmwareVersion(std::string_view replyText);

/// Whether `version` sorts before `minimum` byte by byte (so "6.33" and "" are below "6.33.1",
/// "6.4" is not). The comparison is textual on purpose: that is how releases were always judged.
bool FirmwareBelowMinimum(std::string_view version, std::string_view minimum);

/// What a slot's firmware label says about the slot (its background colour in the window).
enum class FirmwareLabelState {
    NotOpen,      ///< grey text colour: not open, or the chosen port failed to open
    OpenNoReply,  ///< black: open, no firmware reply yet
    Accepted,     ///< green: release at or above the minimum
    Refused,      ///< red: release below the minimum, or none recognised
};

/// What the readiness check needs to know about one slot.
struct SlotReadiness {
    std::string firmwareVersion;                             ///< last version read ("" none)
    FirmwareLabelState label = FirmwareLabelState::NotOpen;  ///< the label's state
    bool portChosen = false;                                 ///< the slot's port list has a selection
};

/// The first slot (1..4) that keeps a clock procedure from starting, or 0 when all are fit.
/// A slot fails with an old release, with an open port that never answered the firmware
/// request, or with a chosen port that did not open.
int FirstUnreadySlot(const std::array<SlotReadiness, SlotCount>& slots, std::string_view minimum);

/// The complete refusal message for the required release `minimum`.
std::string DecodersNotReadyMessage(std::string_view minimum);

// --- The port-choice file --------------------------------------------------------------------

/// Prefix of the port lists' names; the slot digit follows.
inline constexpr char PortListNamePrefix[] = "CmbCOMPort_";

/// The slot (1..4) of a port list named `name` (letter case ignored), or 0 for any other name.
int PortListSlot(std::string_view name);

/// The port choice read from the file: per slot (index 0 = slot 1) the port text of the last
/// line that named the slot's list, or nothing when no line did.
using ComSelection = std::array<std::optional<std::string>, SlotCount>;

/// Reads the file's content: lines "Name=Value" ended by CR LF (a bare LF is taken too). The
/// name is the text before the first "=", the value the rest; lines without "=" and lines
/// naming anything but a port list are skipped. Later lines win.
ComSelection ParseComSelection(std::string_view content);

/// The file's content for the chosen ports (index 0 = slot 1; empty = no choice): one line
/// "CmbCOMPort_n=port" per chosen slot, in slot order, each ended by CR LF.
std::string FormatComSelection(const std::array<std::string, SlotCount>& ports);

// --- A decoder's passage text ----------------------------------------------------------------

/// Raised when a passage text cannot be turned into a date and time; the message says why.
class ReadingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Number of leading fields of a passage text that carry the transponder and the time.
inline constexpr std::size_t kReadingFieldCount = 8;

/// The fields of a passage text: the parts between the "-" separators, in order.
std::vector<std::string> SplitFields(std::string_view text);

/// The date-time of fields 1..7 (two-digit year, month, day, hour, minute, second,
/// millisecond); the year gets 2000 added, as a 16-bit value. Raises ReadingError for a field
/// that is no decimal integer or missing, and DateTimeError for a date or time that does not
/// exist.
TDateTime FieldsToDateTime(const std::vector<std::string>& fields);

/// The transponder number of field 0 read as a 32-bit integer and taken as unsigned, so a
/// negative number counts as very large. Raises ReadingError when field 0 is missing or is no
/// decimal integer.
uint32_t TransponderNumber(const std::vector<std::string>& fields);

/// The log text for a transponder above `limit` (after the stamp): "Only Transponder with Id
/// Not greater than '1005' are Valid! IdTransponder Received: 1006".
std::string TransponderRejectedText(uint32_t number, uint32_t limit);

/// The log text for an accepted transponder (after the stamp): "IdTransponder Received: 2".
std::string TransponderAcceptedText(uint32_t number);

// --- The verdict -----------------------------------------------------------------------------

/// Result states of the verdict, in the order of the result table.
enum TSyncResult { srOK, srIdle, srWarning, srKO };

/// Colour of the lamp.
enum class LampColor { Grey, Green, Yellow, Red };

/// What the evaluation looks at.
struct SpreadInput {
    std::array<TDateTime, SlotCount> readingTime{};  ///< SlotReading times
    std::array<bool, SlotCount> readingValid{};      ///< SlotReading valid flags
    /// How each slot took part in the round judged; an asked slot without a decoded reply
    /// (NoReply, BadReply, Late) makes the verdict KO whatever the others read.
    std::array<ReadingStatus, SlotCount> status{};
    std::array<TDateTime, SlotCount> decoderTime{};  ///< DecoderTime, 0 meaning none
    TDateTime pcTimeOnRead = 0;                      ///< the frozen PC time
    std::string threshold;                           ///< the threshold text (ms)
    bool allTimeBoxesEmpty = true;                   ///< no slot shows a time
    int factor = 10;                                 ///< PC limit = threshold x factor
    /// Round trip of each slot's reading (request written to reply arrived), µs; 0 unknown.
    /// A counted reading whose reply took longer than the threshold says too little: the
    /// verdict cannot be OK.
    std::array<int64_t, SlotCount> roundTripUs{};
    /// The PC clock stepped since the last synchronisation: the verdict cannot be OK.
    bool pcClockStepped = false;
    /// The memo text of that step ("PC clock stepped +1.204 s at 14:03:11"), for the reason.
    std::string pcClockStepText;
};

/// What the evaluation decides.
struct SpreadVerdict {
    TDateTime maxDiff = 0;                  ///< largest difference between two valid readings
    TDateTime mean = 0;                     ///< mean of the decoder times that are not 0
    TDateTime pcDiff = 0;                   ///< |pcTimeOnRead - mean|
    int64_t maxDiffMs = 0;                  ///< maxDiff in whole milliseconds: shown and judged
    int64_t pcDiffMs = 0;                   ///< pcDiff in whole milliseconds: shown and judged
    bool failedSlot = false;                ///< an asked slot has no decoded reply in the round
    bool showValues = false;                ///< false: the three value boxes keep their texts
    bool showDifferences = false;           ///< the two difference boxes show a value (never with a failed slot)
    LampColor lamp = LampColor::Grey;       ///< final lamp colour
    TSyncResult result = srIdle;            ///< final result text (srIdle: "Synchronization Result")
    LampColor spreadBox = LampColor::Grey;  ///< background of the decoder-spread box
    bool pcWithinLimit = false;             ///< PC box takes the lamp colour (else red)
    LampColor pcBox = LampColor::Grey;      ///< background of the PC-difference box
};

/// The evaluation of the spread: the six pairwise differences of valid readings, the mean of
/// the non-zero decoder times, the spread against the threshold (OK only when strictly below)
/// and the PC difference against threshold x factor (a failure turns OK into Warning). With no
/// time shown at all the lamp is red and the text stays "Synchronization Result". A slot asked
/// in the round that has no decoded reply makes it KO, and the differences are not shown.
/// Differences are judged as the whole milliseconds the boxes show (half a millisecond rounds
/// up), so the colour always agrees with the number. A threshold that is no number gives KO
/// and fails the PC check.
SpreadVerdict EvaluateSpreadDecision(const SpreadInput& input);

/// What one reading tells about its decoder's clock, from the PC instants around it.
struct ReadingTiming {
    int64_t roundTripUs = 0;    ///< reply's last byte arrived minus request written
    int64_t offsetUs = 0;       ///< decoder clock minus PC clock when the decoder stamped it
    int64_t uncertaintyUs = 0;  ///< how far off that offset may be (never negative)
};

/// The timing of a reading. The decoder stamps the lap when the request's last byte reaches
/// it, `requestLineUs` after the request was written at `requestUnixUs`; its reply's last byte
/// arrives at `arrivalUnixUs`, `replyLineUs` after the reply started. What the round trip
/// holds beyond the two frames' line times is where the stamp may lie: that, and the half
/// millisecond a reading in whole milliseconds leaves open, is the uncertainty.
/// `decoderUnixUs` is the decoder's time on the same scale as the PC instants.
ReadingTiming TimeReading(int64_t requestUnixUs, int64_t arrivalUnixUs, int64_t decoderUnixUs, int64_t requestLineUs,
                          int64_t replyLineUs);

/// The memo text of a timed reading: "round trip 23.4 ms, offset to PC +1700.2 ms +/- 19.1 ms".
std::string ReadingTimingText(const ReadingTiming& timing);

/// Whether a slot's part in a round keeps the verdict from being OK.
bool IsFailedReading(ReadingStatus status);

/// A difference as a difference, never as a time of day: "00h 00m 02s 500ms" below a day,
/// "3d 01h 00m 00s 000ms" from a day on.
std::string DifferenceText(int64_t ms);

/// How the memo and the round name a slot: "Decoder PIT OUT (HID2)".
std::string SlotDecoderLabel(int slot, const std::string& port);

/// Why a slot's reading does not count, after its label: "no reply to the clock request",
/// "reply did not decode (why)", "reply came only after the wait".
std::string FailedReadingText(ReadingStatus status, const std::string& detail);

/// The reason of a verdict that is not OK, "" when it is: the failed slots first (each with
/// its label from `labels` and its detail from `details`, "; " between them), else the spread
/// or the PC difference against its limit.
std::string VerdictReason(const SpreadInput& input, const SpreadVerdict& verdict,
                          const std::array<std::string, SlotCount>& labels,
                          const std::array<std::string, SlotCount>& details);

// --- The round being read --------------------------------------------------------------------

/// What a passage that arrives is to the round.
enum class ReplyClaim {
    Answer,  ///< the reply to the open round's request of the slot
    Late,    ///< the reply to an earlier request, or one nobody awaits
};

/// The bookkeeping of one clock round: which slots were asked, which reply answered this
/// round's request, and what came of it. A decoder answers each clock request once, in order,
/// so a slot with two requests unanswered is sending the reply to the older one.
struct RoundBook {
    int id = 0;                                     ///< rounds opened so far (0: none yet)
    bool open = false;                              ///< requests out, not judged yet
    RoundKind kind = RoundKind::Read;               ///< what started the round
    int64_t startUnixUs = 0;                        ///< PC instant the requests went out
    std::array<ReadingStatus, SlotCount> status{};  ///< Closed: not asked
    std::array<bool, SlotCount> awaiting{};         ///< asked, no reply yet
    std::array<bool, SlotCount> staleSeen{};        ///< a late reply came while awaited
    std::array<TDateTime, SlotCount> time{};        ///< the decoded reading (status Ok)
    std::array<std::string, SlotCount> detail{};    ///< why a reply did not decode
    std::array<int64_t, SlotCount> requestUs{};     ///< PC instant (Unix µs) its write began, 0 unknown
    std::array<int64_t, SlotCount> arrivalUs{};     ///< PC instant (Unix µs) the reply arrived, 0 unknown
    std::array<ReadingTiming, SlotCount> timing{};  ///< what the reading tells (status Ok with both instants)

    /// Whether slot index `i` (0-based) has both instants of its reading, request and reply.
    bool Timed(std::size_t i) const { return requestUs[i] != 0 && arrivalUs[i] != 0; }
    /// Per slot: instants (ms of a steady clock) of clock requests not answered yet, oldest first.
    std::array<std::vector<int64_t>, SlotCount> requests{};

    /// Opens a new round at `nowMs`: the slots in `asked` get a request and await its reply
    /// (status NoReply until it comes), the others are Closed.
    void Open(RoundKind what, int64_t startUs, const std::array<bool, SlotCount>& asked, int64_t nowMs);
    /// Takes a passage of `slot` (1..4) arriving at `nowMs`. Requests older than `staleMs` no
    /// longer wait. With an older request still unanswered the passage is its late reply;
    /// otherwise it answers the open round when the slot is awaited, and is late when not.
    ReplyClaim Claim(int slot, int64_t nowMs, int64_t staleMs);
    /// The awaited reply of `slot` decoded to `value`.
    void RecordOk(int slot, TDateTime value);
    /// The awaited reply of `slot` did not decode; `why` is the decoder's error.
    void RecordBad(int slot, const std::string& why);
    /// True when no asked slot is still awaited.
    bool Complete() const;
    /// Judges the round: it closes, and every slot still awaited becomes NoReply, or Late when
    /// a late reply came in meanwhile.
    void Close();
    /// Forgets the readings (all slots Closed, nothing open); the requests stay.
    void Clear();
    /// Forgets the requests (the lines were closed).
    void ForgetRequests();
};

/// The lamp colour of a result state.
LampColor LampColorOf(TSyncResult state);

/// The result text of a result state.
const char* ResultTextOf(TSyncResult state);

// --- The alignment instant -------------------------------------------------------------------

/// The millisecond of the PC second at which the clocks are written.
inline constexpr int kAlignmentTargetMs = 500;
/// How far past the target the write may still go out.
inline constexpr int kAlignmentToleranceMs = 10;

/// Whether a clock reading at millisecond `msOfSecond` is the moment to write: from the target
/// to the end of the tolerance. Between 490 and 499 the loop keeps waiting for 500 itself.
bool IsAlignmentInstant(int msOfSecond);

/// The PC time (Unix milliseconds) at which a loop starting at `startUnixMs` will write: the
/// same second when it starts before the end of the tolerance, otherwise the next second's
/// target; at once when it starts inside the window.
int64_t PlannedAlignmentUnixMs(int64_t startUnixMs);

/// Pattern of the countdown after writing the date-time.
inline constexpr char CountdownPattern[] = "s.zzz";

/// The countdown shown while waiting after the write: `remainingMs` in CountdownPattern
/// (negative values show as 0.000).
std::string CountdownText(int64_t remainingMs);

}  // namespace sincrovia
