// Reception from a timing decoder: the received bytes pile up in a buffer, complete records are
// cut out of it wherever they lie, and passage and firmware records become texts for the window.
// A record is 0x00, a type byte, a fixed number of bytes for that type, and CR LF as its last
// two bytes; bytes that never become part of a record stay in the buffer, up to a bound.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "decoder_link/LinkSettings.h"
#include "util/ByteString.h"
#include "util/DateTime.h"

namespace sincrovia {

/// Record lengths in bytes.
inline constexpr size_t kPassageRecordLength = 32;
inline constexpr size_t kFirmwareRecordLength = 45;
inline constexpr size_t kLongFirmwareRecordLength = 47;
inline constexpr size_t kStatusRecordLength = 27;
inline constexpr size_t kResultRecordLength = 10;
inline constexpr size_t kDateTimeRecordLength = 20;
inline constexpr size_t kShortStatusRecordLength = 13;
inline constexpr size_t kShortStatus10RecordLength = 10;

/// Record type bytes (the byte after 0x00).
inline constexpr char kTypePassage = 'P';
inline constexpr char kTypeSpeedTrapPassage = 'T';
inline constexpr char kTypeBinaryPassage = '\x14';
inline constexpr char kTypeFirmware = '\x81';
inline constexpr char kTypeStatus = 'Q';
inline constexpr char kTypeBinaryStatus = '\x15';
inline constexpr char kTypeResult = '\x87';
inline constexpr char kTypeDateTime = '\x85';
inline constexpr char kTypeShortStatus = 'S';
inline constexpr char kTypeBinaryShortStatus = '\x17';

/// What a scan does with the records it cuts.
enum class RecordKind { Passage, Firmware, Status, Result, DateTime, ShortStatus, ShortStatus10 };

/// One scan of the buffer: the record type it looks for and the record length.
struct RecordScan {
    char type;
    size_t length;
    RecordKind kind;
};

/// The eight scans, in the order they run, for the given protocol settings.
std::array<RecordScan, 8> RecordScans(const LinkSettings& settings);

/// Cuts out of `buffer`, left to right, every complete record of one type and length: a
/// 0x00 `type` pair whose record ends in CR LF. Bytes before a record stay; a record that
/// closes up across a cut is found too. Calls `onRecord` with each record after removing it;
/// when `onRemoved` is given it also gets the buffer as it stands after each removal. The
/// buffer must not be touched from the callbacks. Linear in the buffer length (plus the cost
/// of `onRemoved`, which copies the buffer).
void CutRecords(ByteString& buffer, char type, size_t length,
                const std::function<void(const ByteString& record)>& onRecord,
                const std::function<void(const ByteString& remaining)>& onRemoved = {});

/// The traffic-log dump of bytes: "-%3.3d" per byte ("-000-080-001").
std::string DumpBytes(std::string_view bytes);

/// The text of a 32-byte passage record for the window, in the format the settings select.
/// `referenceTime` is the origin of relative passage times. Shows the milliseconds boxes of
/// the failure list when needed and goes on.
ByteString PassageText(std::string_view record, const LinkSettings& settings, TDateTime referenceTime);

/// The text of a 45- or 47-byte firmware record (35 or 37 bytes from offset 3).
ByteString FirmwareText(std::string_view record);

/// The date and time of a 20-byte date/time record; an invalid one shows its box and gives 0.
TDateTime DateTimeRecordValue(std::string_view record);

/// Buffer bound: an append that would take the buffer above the high mark drops its oldest
/// bytes down to the low mark, so garbage on a noisy line cannot grow it without end.
inline constexpr size_t kRxBufferHighMark = 64 * 1024;
inline constexpr size_t kRxBufferLowMark = 32 * 1024;

/// Traffic-log tags of the parser.
inline constexpr std::string_view kTagBufferRx = "BufferRx";
inline constexpr std::string_view kTagStart = "__START___";
inline constexpr std::string_view kTagInBufRx = "In__BufRx_";
inline constexpr std::string_view kTagBufRxTruncated = "BufRxTrunc";

/// The receive side of one decoder link: its receive buffer, its reference time, the cutting
/// of records and the decoding of the ones that matter. Runs on the main thread.
class RecordParser {
public:
    /// Receives each text for the window.
    using DeliverFn = std::function<void(const ByteString& text)>;
    /// Receives traffic-log entries (tag, text); leave it empty when the traffic log is off.
    using LogFn = std::function<void(std::string_view tag, const std::string& text)>;

    /// The settings are the link's own; parsing may switch StrXTrivoloTimer off (speed trap
    /// with the letter protocol).
    RecordParser(LinkSettings& settings, DeliverFn deliver, LogFn log = {});

    /// Empties the receive buffer (the link does so when it opens).
    void ClearRxBuffer();

    /// Appends received bytes to the buffer, dropping its oldest bytes when it would grow
    /// beyond the high mark. During a parse the bytes wait until the parse has finished.
    void AppendToRxBuffer(std::string_view bytes);

    /// Cuts and handles every complete record in the buffer, scan by scan. A call made while
    /// a parse is running (from a message box or a callback) runs once that parse is over.
    void ParseRxBuffer();

    /// One received cluster: appends it, logs the buffer, and parses when `decode` is true
    /// (a connected link in real-time mode; otherwise the bytes are only kept).
    void ReceiveCluster(std::string_view cluster, bool decode);

    /// The bytes not yet taken as records.
    const ByteString& RxBuffer() const { return rxBuffer_; }

    /// Origin of relative passage times; 0 until a date/time record sets it.
    TDateTime ReferenceTime() const { return referenceTime_; }
    /// Sets the origin of relative passage times (the deferred reset does, with the PC clock).
    void SetReferenceTime(TDateTime value) { referenceTime_ = value; }

    /// Changes the buffer bound (high above low); the defaults suit a live link.
    void SetBufferMarks(size_t highMark, size_t lowMark);

private:
    void Log(std::string_view tag, const std::string& text) const;
    void AppendBounded(std::string_view bytes);
    void RunScans();
    void HandleRecord(const RecordScan& scan, const ByteString& record);
    void LogRemoval(const RecordScan& scan, const ByteString& remaining) const;

    LinkSettings& settings_;
    DeliverFn deliver_;
    LogFn log_;
    ByteString rxBuffer_;
    ByteString pending_;
    TDateTime referenceTime_ = 0;
    size_t highMark_ = kRxBufferHighMark;
    size_t lowMark_ = kRxBufferLowMark;
    bool parsing_ = false;
    bool parseRequested_ = false;
};

}  // namespace sincrovia
