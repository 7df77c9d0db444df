// Command frames sent to a timing decoder: 0x00, the command code, the reader id, a payload
// (set date/time only), a four-byte checksum most significant byte first, and CR LF. Each
// builder also yields the traffic-log line of the frame, so that the link only has to hand
// the bytes to its port and the line to its log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decoder_link/LinkSettings.h"
#include "util/ByteString.h"
#include "util/DateTime.h"

namespace sincrovia {

/// Command codes understood by the decoders.
enum class DecoderCommand : uint8_t {
    FirmwareRequest = 1,  ///< read the firmware version
    SetDateTime = 3,      ///< write the decoder's date and time
    ResetRelative = 5,    ///< reset for decoders that count relative times
    ResetTimer = 7,       ///< reset the decoder's timer
    ManualLap = 52,       ///< manual lap: answered with a passage record
    ResetGps = 55,        ///< reset the decoder's GPS receiver
};

/// First byte of every frame and the line end that closes it.
inline constexpr char kFrameStart = '\x00';
inline constexpr std::string_view kFrameEnd = "\r\n";

/// Bytes of a frame without payload, and of the set-date/time frame.
inline constexpr size_t kShortFrameLength = 9;
inline constexpr size_t kDateTimeFrameLength = 16;

/// Log labels of the commands (three end in a blank, which the log line keeps).
inline constexpr std::string_view kLabelFirmwareRequest = "Cmd_01_FrmWr_Ver ";
inline constexpr std::string_view kLabelSetDateTime = "Cmd_03_Set_DateTm";
inline constexpr std::string_view kLabelResetTimer = "Cmd_07_Rst_Timer ";
inline constexpr std::string_view kLabelManualLap = "Cmd_52_Manual_Lap";
inline constexpr std::string_view kLabelResetGps = "Cmd_55_Reset_GPS ";

/// Traffic-log tag of the set-date/time frame (the other frames log under their label).
inline constexpr std::string_view kTagSetDateTime = "SetDateTime";

/// A frame ready for the port, with the tag and line of its traffic-log entry.
struct BuiltFrame {
    ByteString bytes;     ///< the whole frame, CR LF included
    std::string tag;      ///< traffic-log tag
    std::string logLine;  ///< label + ": Sending time ... - " + the fields of the frame
};

/// The reader id byte of the frames: the low byte of IdRx taken as a number. Raises
/// ConversionError when IdRx is not a number.
uint8_t IdReaderByte(std::string_view idRx);

/// Sum of the head's bytes (start, command, reader id, payload) as 32 bits; halved (rounding
/// down) when `protocolloTeKan` is on.
uint32_t FrameChecksum(std::string_view head, bool protocolloTeKan);

/// Completes a head into a frame: checksum bytes, most significant first, then CR LF.
ByteString CompleteFrame(std::string_view head, bool protocolloTeKan);

/// Cmd 1, 7, 52 or 55 for `settings`; `when` only appears in the log line.
BuiltFrame BuildCommandFrame(DecoderCommand command, const LinkSettings& settings, TDateTime when);

/// Cmd 3 carrying the date and whole seconds of `when` (milliseconds are not sent).
BuiltFrame BuildSetDateTimeFrame(const LinkSettings& settings, TDateTime when);

/// The shape of one character on a serial line, for its transmission time.
struct LineCharacter {
    uint32_t baud = 0;         ///< bits per second; 0: no line to cross (time 0)
    uint8_t dataBits = 8;      ///< data bits
    bool parity = false;       ///< a parity bit follows the data
    uint8_t stopBitsCode = 0;  ///< 0 one stop bit, 1 one and a half, 2 two
};

/// How long `bytes` characters take on the line, in microseconds, rounded to the nearest:
/// a start bit, the data bits, the parity bit and the stop bits each, at `baud`. A frame is
/// taken by the decoder when its last byte has arrived, this long after its first left.
int64_t TransmissionUs(std::size_t bytes, const LineCharacter& line);

/// The frame of a deferred reset request (sent without log line) and whether the link must
/// set its reference time to the PC clock just before sending it.
struct DeferredReset {
    ByteString bytes;
    bool setsReferenceTime = false;
};

/// Cmd 7 when TempiAssoluti is on; otherwise Cmd 5, which also restarts the reference time.
DeferredReset BuildDeferredResetFrame(const LinkSettings& settings);

/// The log line of a frame already built: label + ": " + the time text of `when` + " - " +
/// the fields of the frame (the date fields when the frame is 16 bytes long).
std::string FrameLogLine(std::string_view label, TDateTime when, std::string_view frame);

/// The frame as upper-case hexadecimal bytes separated by blanks ("00 07 01 ...").
std::string HexBytes(std::string_view bytes);

}  // namespace sincrovia
