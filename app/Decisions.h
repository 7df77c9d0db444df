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

#include "util/DateTime.h"

namespace sincrovia {

/// Number of slots the decisions work on (the window has the same four).
inline constexpr int kDecisionSlots = 4;

// --- Firmware --------------------------------------------------------------------------------

/// Pattern of a firmware version inside a firmware reply: "6.33" or "6.33.1".
inline constexpr char FirmwareVersionPattern[] =
    "([0-9]{1,2}\\.[0-9]{1,2}\\.[0-9]{1,2})|([0-9]{1,2}\\.[0-9]{1,2})";

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
    std::string firmwareVersion;                          ///< last version read ("" none)
    FirmwareLabelState label = FirmwareLabelState::NotOpen;  ///< the label's state
    bool portChosen = false;                              ///< the slot's port list has a selection
};

/// The first slot (1..4) that keeps a clock procedure from starting, or 0 when all are fit.
/// A slot fails with an old release, with an open port that never answered the firmware
/// request, or with a chosen port that did not open.
int FirstUnreadySlot(const std::array<SlotReadiness, kDecisionSlots>& slots, std::string_view minimum);

/// The complete refusal message for the required release `minimum`.
std::string DecodersNotReadyMessage(std::string_view minimum);

// --- The port-choice file --------------------------------------------------------------------

/// Prefix of the port lists' names; the slot digit follows.
inline constexpr char PortListNamePrefix[] = "CmbCOMPort_";

/// The slot (1..4) of a port list named `name` (letter case ignored), or 0 for any other name.
int PortListSlot(std::string_view name);

/// The port choice read from the file: per slot (index 0 = slot 1) the port text of the last
/// line that named the slot's list, or nothing when no line did.
using ComSelection = std::array<std::optional<std::string>, kDecisionSlots>;

/// Reads the file's content: lines "Name=Value" ended by CR LF (a bare LF is taken too). The
/// name is the text before the first "=", the value the rest; lines without "=" and lines
/// naming anything but a port list are skipped. Later lines win.
ComSelection ParseComSelection(std::string_view content);

/// The file's content for the chosen ports (index 0 = slot 1; empty = no choice): one line
/// "CmbCOMPort_n=port" per chosen slot, in slot order, each ended by CR LF.
std::string FormatComSelection(const std::array<std::string, kDecisionSlots>& ports);

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
    std::array<TDateTime, kDecisionSlots> readingTime{};  ///< SlotReading times
    std::array<bool, kDecisionSlots> readingValid{};      ///< SlotReading valid flags
    std::array<TDateTime, kDecisionSlots> decoderTime{};  ///< DecoderTime, 0 meaning none
    TDateTime pcTimeOnRead = 0;                           ///< the frozen PC time
    std::string threshold;                                ///< the threshold text (ms)
    bool allTimeBoxesEmpty = true;                        ///< no slot shows a time
    int factor = 10;                                      ///< PC limit = threshold x factor
};

/// What the evaluation decides.
struct SpreadVerdict {
    TDateTime maxDiff = 0;     ///< largest difference between two valid readings
    TDateTime mean = 0;        ///< mean of the decoder times that are not 0
    TDateTime pcDiff = 0;      ///< |pcTimeOnRead - mean|
    bool showValues = false;   ///< false: the three value boxes keep their texts
    LampColor lamp = LampColor::Grey;  ///< final lamp colour
    TSyncResult result = srIdle;       ///< final result text (srIdle: "Synchronization Result")
    LampColor spreadBox = LampColor::Grey;  ///< background of the decoder-spread box
    bool pcWithinLimit = false;        ///< PC box takes the lamp colour (else red)
    LampColor pcBox = LampColor::Grey;      ///< background of the PC-difference box
};

/// The evaluation of the spread: the six pairwise differences of valid readings, the mean of
/// the non-zero decoder times, the spread against the threshold (OK only when strictly below)
/// and the PC difference against threshold x factor (a failure turns OK into Warning). With no
/// time shown at all the lamp is red and the text stays "Synchronization Result". Differences
/// are compared in milliseconds, rounded to the microsecond, so a spread equal to the
/// threshold is KO and a PC difference equal to the limit passes, whatever the rounding of the
/// day fractions. A threshold that is no number gives KO and fails the PC check.
SpreadVerdict EvaluateSpreadDecision(const SpreadInput& input);

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

/// The countdown shown while waiting after the write: `remainingMs` in the pattern "s.zzz"
/// (negative values show as 0.000).
std::string CountdownText(int64_t remainingMs);

}  // namespace sincrovia
