#include "decoder_link/Frames.h"

#include "util/SysFormat.h"

namespace sincrovia {

namespace {

// The year byte counts from 2000 and wraps every 256 years (1999 sends 255).
constexpr int kYearBase = 2000;
constexpr int kByteModulus = 256;
constexpr int kBitsPerByte = 8;
constexpr unsigned kByteMask = 0xFF;
constexpr int kChecksumBytes = 4;

constexpr std::string_view kSendingTimePattern = "\"Sending time \"hh\"h:\"nn\"m:\"ss\"s.\"zzz\"ms\"";
constexpr std::string_view kHeadFields = "StartMSG(%.2d) Command(%.2d) IdReader(%.2d) ";
constexpr std::string_view kDateFields =
    "Year(%.2d) Month(%.2d) Day(%.2d) DayOfWeek(%.1d) Hours(%.2d) Minutes(%.2d) Seconds(%.2d) ";
constexpr std::string_view kChecksumFields =
    "ChksHH(%.2d) ChksHL(%.2d) ChksLH(%.2d) ChksLL(%.2d) ChksVal(%G) EndMsg1(%.2d) EndMsg2(%.2d)";

constexpr size_t kHeadLength = 3;
constexpr size_t kDatePayloadLength = 7;

int ByteAt(std::string_view frame, size_t index) { return static_cast<int>(static_cast<unsigned char>(frame[index])); }

std::string_view LabelOf(DecoderCommand command) {
    switch (command) {
    case DecoderCommand::FirmwareRequest: return kLabelFirmwareRequest;
    case DecoderCommand::SetDateTime: return kLabelSetDateTime;
    case DecoderCommand::ResetTimer: return kLabelResetTimer;
    case DecoderCommand::ManualLap: return kLabelManualLap;
    case DecoderCommand::ResetGps: return kLabelResetGps;
    case DecoderCommand::ResetRelative: break;
    }
    return {};
}

ByteString Head(DecoderCommand command, uint8_t idReader) {
    ByteString head;
    head += kFrameStart;
    head += static_cast<char>(command);
    head += static_cast<char>(idReader);
    return head;
}

}  // namespace

uint8_t IdReaderByte(std::string_view idRx) {
    return static_cast<uint8_t>(static_cast<uint32_t>(StrToInt(idRx)) & kByteMask);
}

uint32_t FrameChecksum(std::string_view head, bool protocolloTeKan) {
    uint32_t sum = 0;
    for (const char c : head) sum += static_cast<unsigned char>(c);
    return protocolloTeKan ? sum / 2 : sum;
}

ByteString CompleteFrame(std::string_view head, bool protocolloTeKan) {
    const uint32_t checksum = FrameChecksum(head, protocolloTeKan);
    ByteString frame(head);
    for (int i = kChecksumBytes - 1; i >= 0; --i) {
        frame += static_cast<char>((checksum >> (i * kBitsPerByte)) & kByteMask);
    }
    frame += kFrameEnd;
    return frame;
}

std::string FrameLogLine(std::string_view label, TDateTime when, std::string_view frame) {
    const bool withDate = frame.size() == kDateTimeFrameLength;
    const size_t chk = withDate ? kHeadLength + kDatePayloadLength : kHeadLength;
    std::string fields = SysFormat(kHeadFields, {ByteAt(frame, 0), ByteAt(frame, 1), ByteAt(frame, 2)});
    if (withDate) {
        fields += SysFormat(kDateFields, {ByteAt(frame, 3), ByteAt(frame, 4), ByteAt(frame, 5), ByteAt(frame, 6),
                                          ByteAt(frame, 7), ByteAt(frame, 8), ByteAt(frame, 9)});
    }
    // The checksum value is recomputed from the four bytes sent, as the decoder will read it.
    double checksumValue = 0;
    for (size_t i = 0; i < kChecksumBytes; ++i) {
        checksumValue = checksumValue * kByteModulus + ByteAt(frame, chk + i);
    }
    fields += SysFormat(kChecksumFields,
                        {ByteAt(frame, chk), ByteAt(frame, chk + 1), ByteAt(frame, chk + 2), ByteAt(frame, chk + 3),
                         checksumValue, ByteAt(frame, chk + 4), ByteAt(frame, chk + 5)});
    return std::string(label) + ": " + FormatDateTime(kSendingTimePattern, when) + " - " + fields;
}

BuiltFrame BuildCommandFrame(DecoderCommand command, const LinkSettings& settings, TDateTime when) {
    if (command == DecoderCommand::SetDateTime) return BuildSetDateTimeFrame(settings, when);
    BuiltFrame built;
    built.bytes = CompleteFrame(Head(command, IdReaderByte(settings.IdRx)), settings.ProtocolloTeKan);
    built.tag = std::string(LabelOf(command));
    built.logLine = FrameLogLine(built.tag, when, built.bytes);
    return built;
}

BuiltFrame BuildSetDateTimeFrame(const LinkSettings& settings, TDateTime when) {
    const DateTimeFields f = DecodeDateTime(when);
    ByteString head = Head(DecoderCommand::SetDateTime, IdReaderByte(settings.IdRx));
    const int yearByte = ((f.year - kYearBase) % kByteModulus + kByteModulus) % kByteModulus;
    // The weekday follows the decoded date, which may have rounded up to the next day.
    const int dayOfWeek = DayOfTheWeek(EncodeDate(f.year, f.month, f.day)) - 1;
    for (const int field : {yearByte, f.month, f.day, dayOfWeek, f.hour, f.minute, f.second}) {
        head += static_cast<char>(field);
    }
    BuiltFrame built;
    built.bytes = CompleteFrame(head, settings.ProtocolloTeKan);
    built.tag = std::string(kTagSetDateTime);
    built.logLine = FrameLogLine(kLabelSetDateTime, when, built.bytes);
    return built;
}

DeferredReset BuildDeferredResetFrame(const LinkSettings& settings) {
    const DecoderCommand command = settings.TempiAssoluti ? DecoderCommand::ResetTimer : DecoderCommand::ResetRelative;
    DeferredReset reset;
    reset.bytes = CompleteFrame(Head(command, IdReaderByte(settings.IdRx)), settings.ProtocolloTeKan);
    reset.setsReferenceTime = !settings.TempiAssoluti;
    return reset;
}

std::string HexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    constexpr unsigned kNibbleBits = 4, kNibbleMask = 0xF;
    std::string out;
    for (const char c : bytes) {
        if (!out.empty()) out += ' ';
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> kNibbleBits];
        out += kDigits[b & kNibbleMask];
    }
    return out;
}

int64_t TransmissionUs(std::size_t bytes, const LineCharacter& line) {
    if (line.baud == 0) return 0;
    // Counted in half bits, so that one and a half stop bits stay exact.
    constexpr int64_t kHalfBitsPerBit = 2;
    constexpr int64_t kStartHalfBits = 2;
    constexpr int64_t kOneAndAHalfStopCode = 1;
    constexpr int64_t kTwoStopCode = 2;
    constexpr int64_t kUsPerSecond = 1'000'000;
    const int64_t stopHalfBits = line.stopBitsCode == kOneAndAHalfStopCode ? 3
                                 : line.stopBitsCode == kTwoStopCode       ? 4
                                                                           : 2;
    const int64_t halfBits = kStartHalfBits + kHalfBitsPerBit * (line.dataBits + (line.parity ? 1 : 0)) + stopHalfBits;
    const int64_t totalHalfBits = halfBits * static_cast<int64_t>(bytes);
    const int64_t denominator = kHalfBitsPerBit * int64_t{line.baud};
    return (totalHalfBits * kUsPerSecond + denominator / 2) / denominator;
}

}  // namespace sincrovia
