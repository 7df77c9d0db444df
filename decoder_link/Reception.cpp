#include "decoder_link/Reception.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

#include "util/DesktopServices.h"
#include "util/SysFormat.h"

namespace sincrovia {

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kRecordStart = '\x00';

// Passage record layout: offsets of the fields.
constexpr size_t kOffReader = 2, kOffYear = 3, kOffMonth = 4, kOffDay = 5, kOffHours = 6, kOffMinutes = 7,
                 kOffSeconds = 8, kOffNumber = 9, kOffTransponder = 13, kOffMilliseconds = 17, kOffValueV = 21,
                 kOffFlags = 23, kOffValueW = 24;
constexpr size_t kWord32 = 4, kWord16 = 2;
constexpr unsigned kFlagBatteryLow = 0x01;
constexpr unsigned kSpeedTrapReaderShift = 1, kSpeedTrapReaderMask = 0x03;
constexpr uint32_t kMaxValueV = 9999;
constexpr std::string_view kValueVCap = "9999";
constexpr uint32_t kMaxAbsoluteMs = 1000;
constexpr uint32_t kTruncatedMs = 999;
constexpr int kYearBase = 2000;

// Firmware record: the text starts at offset 3; its length follows the record's.
constexpr size_t kFirmwareTextOffset = 3;
constexpr size_t kFirmwareTextLength = 35;
constexpr size_t kLongFirmwareTextLength = 37;

// Date/time record layout; only the low 16 bits of its milliseconds count.
constexpr size_t kDtYear = 3, kDtMonth = 4, kDtDay = 5, kDtHours = 7, kDtMinutes = 8, kDtSeconds = 9,
                 kDtMilliseconds = 10;
constexpr uint32_t kLow16Bits = 0xFFFF;

constexpr std::string_view kIdLongPattern = "%7.7d";
constexpr std::string_view kIdShortPattern = "%5.5d";
constexpr std::string_view kTrivoloTimePattern = "%.2d-%.2d-%.2d-%.2d-%.2d-%.2d-%.3d";
constexpr std::string_view kTrivoloTextPattern = "%7.7s-%21.21s-%4.4s-%3.3d-%8.8s-%3.3d";
constexpr std::string_view kStandardTailPattern = "-%11.11s-%1.1s-%4.4s";
constexpr std::string_view kMsCountPattern = "%11.11d";
constexpr std::string_view kSpeedTrapDatePattern = "dd.mm.yyyy-hh:nn:ss.zzz";

constexpr std::string_view kMsAboveCaption = "Errore DLL: Calcolo millisecondi assoluti";
constexpr std::string_view kMsAboveText1 = "I millisecondi ricevuti dal kivo ";
constexpr std::string_view kMsAboveText2 =
    " sono maggiori di 1000. Si \xE8"
    " certi di aver impostato il kivo nella modalit\xE0"
    " assoluta? Per continuare i milliecondi saranno troncati a 999!";
constexpr std::string_view kPassageTimeCaption = "Errore DLL Kivo: Calcolo millisecondi assoluti";
constexpr std::string_view kPassageTimeText = "Errore nel calcolo dei millisecondi assoluti: ";
constexpr std::string_view kDateTimeCaption = "Errore DLL: trasformazione ora e data reader kivo";
constexpr std::string_view kDateTimeText = "Errore nel trasformare la data e l'ora ricevuta dal kivo in millisecondi: ";

constexpr std::string_view kTagDelPassage = "BufRxDelID";
constexpr std::string_view kTagDelFirmware = "BufRxDelFrmwVers";
constexpr std::string_view kTagDelStatus = "BufRxDelSt";
constexpr std::string_view kTagDelOther = "BufRxDelRs";
constexpr std::string_view kTagRecordDump = "RxDataKivo";
constexpr std::string_view kTagReferenceTime = "TempoRifr=";
constexpr std::string_view kReferenceTimePattern = "%6.7f";

unsigned ByteAt(std::string_view record, size_t offset) { return static_cast<unsigned char>(record[offset]); }

// An unsigned number of `size` bytes, most significant first.
uint32_t BigEndian(std::string_view record, size_t offset, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value = (value << 8) | ByteAt(record, offset + i);
    return value;
}

void ErrorBox(std::string_view caption, const std::string& text) {
    Desktop().MessageBox(std::string(caption), text, MsgIcon::Error, MsgButtons::Ok, MsgAnswer::Ok);
}

}  // namespace

std::array<RecordScan, 8> RecordScans(const LinkSettings& settings) {
    const bool letters = settings.ProtocolloTeKan;
    const char passage = !letters ? kTypeBinaryPassage : settings.SpeedTrap ? kTypeSpeedTrapPassage : kTypePassage;
    const char shortStatus = letters ? kTypeShortStatus : kTypeBinaryShortStatus;
    return {{
        {passage, kPassageRecordLength, RecordKind::Passage},
        {kTypeFirmware, kFirmwareRecordLength, RecordKind::Firmware},
        {kTypeFirmware, kLongFirmwareRecordLength, RecordKind::Firmware},
        {letters ? kTypeStatus : kTypeBinaryStatus, kStatusRecordLength, RecordKind::Status},
        {kTypeResult, kResultRecordLength, RecordKind::Result},
        {kTypeDateTime, kDateTimeRecordLength, RecordKind::DateTime},
        {shortStatus, kShortStatusRecordLength, RecordKind::ShortStatus},
        {shortStatus, kShortStatus10RecordLength, RecordKind::ShortStatus10},
    }};
}

void CutRecords(ByteString& buffer, char type, size_t length,
                const std::function<void(const ByteString& record)>& onRecord,
                const std::function<void(const ByteString& remaining)>& onRemoved) {
    // The scan looks for the first record start at or after a lower bound; a start whose record
    // does not end in CR LF moves the bound one byte past it, a record taken leaves the bound
    // where it is (cutting a record may join a 0x00 before it with a type byte behind it).
    // Rather than deleting each record in place, the buffer is compacted as the scan goes:
    // bytes already settled sit in [0, kept), bytes not yet moved in [next, size), and the
    // buffer the scan sees is the two joined. Every byte is moved at most once.
    const size_t size = buffer.size();
    size_t kept = 0;
    size_t next = 0;
    struct Compactor {
        ByteString& buffer;
        const size_t& kept;
        const size_t& next;
        ~Compactor() {
            if (next != kept) {
                std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(next), buffer.end(),
                          buffer.begin() + static_cast<std::ptrdiff_t>(kept));
                buffer.resize(buffer.size() - (next - kept));
            }
        }
    } compactor{buffer, kept, next};

    const auto viewLength = [&] { return kept + (size - next); };
    const auto at = [&](size_t k) { return k < kept ? buffer[k] : buffer[next + (k - kept)]; };
    const auto viewText = [&] { return buffer.substr(0, kept) + buffer.substr(next); };

    size_t from = 0;    // lower bound of a record start
    size_t search = 0;  // where the next search begins: no start lies in [from, search)
    for (;;) {
        const size_t len = viewLength();
        if (len < length || from + 2 >= len) break;
        size_t start = len;
        size_t k = search;
        // At most one position lies in the settled part: the byte just before a cut.
        for (; k < kept && k + 1 < len; ++k) {
            if (at(k) == kRecordStart && at(k + 1) == type) {
                start = k;
                break;
            }
        }
        while (start == len && k + 1 < len) {
            const char* base = buffer.data() + next - kept;  // base[k] is at(k) for k >= kept
            const void* hit = std::memchr(base + k, kRecordStart, len - 1 - k);
            if (hit == nullptr) break;
            k = static_cast<size_t>(static_cast<const char*>(hit) - base);
            if (base[k + 1] == type) start = k;
            ++k;
        }
        if (start == len) break;

        const bool complete = start + length <= len && at(start + length - 2) == kCr && at(start + length - 1) == kLf;
        if (!complete) {
            from = start + 1;
            search = start + 1;
            continue;
        }
        ByteString record(length, '\0');
        for (size_t i = 0; i < length; ++i) record[i] = at(start + i);
        if (start >= kept) {
            std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(next),
                      buffer.begin() + static_cast<std::ptrdiff_t>(next + (start - kept)),
                      buffer.begin() + static_cast<std::ptrdiff_t>(kept));
            next += start - kept + length;
        } else {
            next += length - (kept - start);
        }
        kept = start;
        search = std::max(from, start == 0 ? 0 : start - 1);
        onRecord(record);
        if (onRemoved) onRemoved(viewText());
    }
}

std::string DumpBytes(std::string_view bytes) {
    // "-%3.3d" per byte, written directly: the traffic log dumps the whole buffer per cluster.
    constexpr unsigned kHundred = 100, kTen = 10;
    std::string out(bytes.size() * 4, '-');
    char* p = out.data();
    for (const char c : bytes) {
        const unsigned b = static_cast<unsigned char>(c);
        p[1] = static_cast<char>('0' + b / kHundred);
        p[2] = static_cast<char>('0' + b / kTen % kTen);
        p[3] = static_cast<char>('0' + b % kTen);
        p += 4;
    }
    return out;
}

ByteString PassageText(std::string_view record, const LinkSettings& settings, TDateTime referenceTime) {
    const unsigned year = ByteAt(record, kOffYear), month = ByteAt(record, kOffMonth), day = ByteAt(record, kOffDay),
                   hours = ByteAt(record, kOffHours), minutes = ByteAt(record, kOffMinutes),
                   seconds = ByteAt(record, kOffSeconds);
    const uint32_t number = BigEndian(record, kOffNumber, kWord32);
    const uint32_t transponder = BigEndian(record, kOffTransponder, kWord32);
    uint32_t milliseconds = BigEndian(record, kOffMilliseconds, kWord32);
    const uint32_t valueV = BigEndian(record, kOffValueV, kWord16);
    const unsigned flags = ByteAt(record, kOffFlags);
    const uint32_t valueW = BigEndian(record, kOffValueW, kWord16);

    const bool trivoloText = settings.StrXTrivoloTimer && !settings.SpeedTrap;
    const std::string idText = SysFormat(trivoloText ? kIdLongPattern : kIdShortPattern, {transponder});
    const int battery = (flags & kFlagBatteryLow) != 0 ? 1 : 0;
    const std::string wText = SysFormat("%3.3d", {valueW});
    const std::string nText = SysFormat("%8.8d", {number});
    const unsigned reader = settings.ProtocolloTeKan && settings.SpeedTrap
                                ? (flags >> kSpeedTrapReaderShift) & kSpeedTrapReaderMask
                                : ByteAt(record, kOffReader);
    const std::string readerText = SysFormat("%1.1d", {reader});
    const std::string vText = valueV > kMaxValueV ? std::string(kValueVCap) : SysFormat("%4.4d", {valueV});

    std::string timeText;
    TDateTime passage = 0;
    if (settings.TempiAssoluti) {
        if (milliseconds > kMaxAbsoluteMs) {
            ErrorBox(kMsAboveCaption,
                     std::string(kMsAboveText1) + std::to_string(milliseconds) + std::string(kMsAboveText2));
            milliseconds = kTruncatedMs;
        }
        if (trivoloText) {
            timeText = SysFormat(kTrivoloTimePattern, {year, month, day, hours, minutes, seconds, milliseconds});
        } else {
            try {
                const TDateTime at =
                    EncodeDate(kYearBase + static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)) +
                    EncodeTime(static_cast<int>(hours), static_cast<int>(minutes), static_cast<int>(seconds),
                               static_cast<int>(milliseconds));
                // Halves round to even, as the system's rounding does.
                const double ms = std::nearbyint((at - referenceTime) / (1.0 / kMsPerDay));
                timeText = SysFormat(kMsCountPattern, {static_cast<long long>(ms)});
                passage = at;
            } catch (const std::exception& e) {
                ErrorBox(kPassageTimeCaption, std::string(kPassageTimeText) + e.what());
                timeText.clear();
            }
        }
    } else {
        timeText = SysFormat(kMsCountPattern, {static_cast<int32_t>(milliseconds)});
    }

    if (trivoloText) {
        return SysFormat(kTrivoloTextPattern, {idText, timeText, vText, battery, nText, reader});
    }
    ByteString text = idText + "-" + std::to_string(battery) + "-00-" + wText + "-" + nText +
                      SysFormat(kStandardTailPattern, {timeText, readerText, vText});
    if (settings.SpeedTrap) text += "-" + FormatDateTime(kSpeedTrapDatePattern, passage);
    return text;
}

ByteString FirmwareText(std::string_view record) {
    const size_t textLength =
        record.size() == kLongFirmwareRecordLength ? kLongFirmwareTextLength : kFirmwareTextLength;
    return ByteString(record.substr(kFirmwareTextOffset, textLength));
}

TDateTime DateTimeRecordValue(std::string_view record) {
    try {
        return EncodeDate(kYearBase + static_cast<int>(ByteAt(record, kDtYear)),
                          static_cast<int>(ByteAt(record, kDtMonth)), static_cast<int>(ByteAt(record, kDtDay))) +
               EncodeTime(static_cast<int>(ByteAt(record, kDtHours)), static_cast<int>(ByteAt(record, kDtMinutes)),
                          static_cast<int>(ByteAt(record, kDtSeconds)),
                          static_cast<int>(BigEndian(record, kDtMilliseconds, kWord32) & kLow16Bits));
    } catch (const std::exception& e) {
        ErrorBox(kDateTimeCaption, std::string(kDateTimeText) + e.what());
        return 0;
    }
}

RecordParser::RecordParser(LinkSettings& settings, DeliverFn deliver, LogFn log)
    : settings_(settings), deliver_(std::move(deliver)), log_(std::move(log)) {}

void RecordParser::Log(std::string_view tag, const std::string& text) const {
    if (log_) log_(tag, text);
}

void RecordParser::ClearRxBuffer() {
    rxBuffer_.clear();
    pending_.clear();
}

void RecordParser::SetBufferMarks(size_t highMark, size_t lowMark) {
    highMark_ = highMark;
    lowMark_ = std::min(lowMark, highMark);
}

void RecordParser::AppendToRxBuffer(std::string_view bytes) {
    if (parsing_) {
        pending_.append(bytes);
        return;
    }
    AppendBounded(bytes);
}

void RecordParser::AppendBounded(std::string_view bytes) {
    const size_t total = rxBuffer_.size() + bytes.size();
    if (total <= highMark_) {
        rxBuffer_.append(bytes);
        return;
    }
    // Bytes that old can only be garbage: a record is at most 47 bytes long and every complete
    // one is cut out when its last byte arrives.
    const size_t drop = total - lowMark_;
    if (drop >= rxBuffer_.size()) {
        rxBuffer_.assign(bytes.substr(drop - rxBuffer_.size()));
    } else {
        rxBuffer_.erase(0, drop);
        rxBuffer_.append(bytes);
    }
    Log(kTagBufRxTruncated, SysFormat("Scartati %d byte non riconosciuti", {drop}));
}

void RecordParser::ReceiveCluster(std::string_view cluster, bool decode) {
    AppendToRxBuffer(cluster);
    if (log_) log_(kTagBufferRx, DumpBytes(parsing_ ? pending_ : rxBuffer_));
    if (!decode) return;
    if (log_) {
        log_(kTagStart, "");
        log_(kTagInBufRx, DumpBytes(parsing_ ? pending_ : rxBuffer_));
    }
    ParseRxBuffer();
}

void RecordParser::ParseRxBuffer() {
    // A message box shown while records are handled lets the window run; a cluster received
    // meanwhile must not touch the buffer under the scan, so it waits in `pending_` and a parse
    // asked for meanwhile runs when this one is over.
    if (parsing_) {
        parseRequested_ = true;
        return;
    }
    parsing_ = true;
    struct Reset {
        RecordParser& parser;
        ~Reset() {
            parser.parsing_ = false;
            if (!parser.pending_.empty()) parser.AppendBounded(std::exchange(parser.pending_, {}));
        }
    } reset{*this};
    do {
        parseRequested_ = false;
        RunScans();
        if (!pending_.empty()) AppendBounded(std::exchange(pending_, {}));
    } while (parseRequested_);
}

void RecordParser::RunScans() {
    // With the letter protocol a speed-trap link cannot use the lap-timer text.
    if (settings_.ProtocolloTeKan && settings_.SpeedTrap) settings_.StrXTrivoloTimer = false;
    for (const RecordScan& scan : RecordScans(settings_)) {
        std::function<void(const ByteString&)> onRemoved;
        if (log_) onRemoved = [this, &scan](const ByteString& rest) { LogRemoval(scan, rest); };
        CutRecords(
            rxBuffer_, scan.type, scan.length, [this, &scan](const ByteString& record) { HandleRecord(scan, record); },
            onRemoved);
    }
}

void RecordParser::HandleRecord(const RecordScan& scan, const ByteString& record) {
    switch (scan.kind) {
    case RecordKind::Passage: deliver_(PassageText(record, settings_, referenceTime_)); break;
    case RecordKind::Firmware: deliver_(FirmwareText(record)); break;
    case RecordKind::DateTime:
        referenceTime_ = DateTimeRecordValue(record);
        if (log_) {
            log_(kTagRecordDump, DumpBytes(record));
            log_(kTagReferenceTime, SysFormat(kReferenceTimePattern, {referenceTime_}));
        }
        break;
    case RecordKind::ShortStatus10:
        if (log_) log_(kTagRecordDump, DumpBytes(record));
        break;
    case RecordKind::Status:
    case RecordKind::Result:
    case RecordKind::ShortStatus: break;
    }
}

void RecordParser::LogRemoval(const RecordScan& scan, const ByteString& remaining) const {
    std::string_view tag = kTagDelOther;
    switch (scan.kind) {
    case RecordKind::Passage: tag = kTagDelPassage; break;
    case RecordKind::Firmware: tag = kTagDelFirmware; break;
    case RecordKind::Status: tag = kTagDelStatus; break;
    case RecordKind::Result:
    case RecordKind::DateTime:
    case RecordKind::ShortStatus:
    case RecordKind::ShortStatus10: break;
    }
    Log(tag, DumpBytes(remaining));
}

}  // namespace sincrovia
