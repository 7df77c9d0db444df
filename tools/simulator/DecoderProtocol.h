// The decoder's side of the serial protocol: it reads command frames
// (0x00, code, reader id, payload for Cmd 3, four checksum bytes, CR LF) and writes records
// (firmware, passage). Pure byte work, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/ByteString.h"

namespace sincrovia::sim {

/// Command codes the decoder understands.
enum CommandCode : uint8_t {
    kCmdFirmware = 1,
    kCmdSetDateTime = 3,
    kCmdResetTimerRelative = 5,
    kCmdResetTimer = 7,
    kCmdManualLap = 52,
    kCmdResetGps = 55,
};

/// Length of a command frame without payload.
inline constexpr std::size_t kShortFrameLength = 9;
/// Length of the set-date/time frame (seven payload bytes).
inline constexpr std::size_t kDateTimeFrameLength = 16;
/// Length of a passage record.
inline constexpr std::size_t kPassageRecordLength = 32;
/// Length of the firmware record, short and long form.
inline constexpr std::size_t kFirmwareRecordLength = 45;
inline constexpr std::size_t kLongFirmwareRecordLength = 47;
/// Text that precedes the version inside the firmware record.
inline constexpr std::string_view kFirmwareBanner = "teKAN - teVO Ver: ";

/// One well-formed command frame with a correct checksum.
struct CommandFrame {
    uint8_t code = 0;
    uint8_t readerId = 0;
    ByteString payload;  ///< seven bytes for Cmd 3, else empty
    ByteString bytes;    ///< the whole frame as received
};

/// Frame length implied by a command code.
std::size_t FrameLengthForCode(uint8_t code);

/// The checksum a decoder expects behind `head`: the byte sum, halved.
uint32_t HalvedChecksum(std::string_view head);

/// Cuts command frames out of a byte stream that arrives in arbitrary pieces.
class FrameReader {
public:
    /// Appends received bytes and returns every frame completed by them, in order.
    std::vector<CommandFrame> Feed(std::string_view bytes);

    /// Frames that were framed correctly (0x00 ... CR LF) but carried a wrong checksum.
    uint64_t BadChecksumCount() const { return badChecksums_; }
    /// Bytes thrown away because they belonged to no frame (bad-checksum frames excluded).
    uint64_t DiscardedByteCount() const { return discarded_; }
    /// Bytes held back as the possible start of a frame.
    std::size_t PendingByteCount() const { return buffer_.size(); }

private:
    ByteString buffer_;
    uint64_t badChecksums_ = 0;
    uint64_t discarded_ = 0;
};

/// Calendar fields and counters of one passage record.
struct PassageFields {
    uint8_t readerId = 1;
    int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
    uint32_t number = 0;  ///< running passage count N
    uint32_t transponder = 1;
    uint16_t valueV = 0;
    uint8_t flags = 0;
    uint16_t valueW = 0;
};

/// The 32-byte passage record ('P') for `fields`.
ByteString BuildPassageRecord(const PassageFields& fields);

/// The firmware record: 45 bytes (or 47 when `longForm`) with the banner and `version`
/// in its text; a version too long for the text is cut.
ByteString BuildFirmwareRecord(uint8_t readerId, std::string_view version, bool longForm);

/// Bytes as upper-case hex pairs separated by one blank ("00 07 01").
std::string HexBytes(std::string_view bytes);

}  // namespace sincrovia::sim
