#include "tools/simulator/DecoderProtocol.h"

#include <algorithm>

namespace sincrovia::sim {

namespace {

constexpr char kStart = '\x00';
constexpr char kCr = '\x0D';
constexpr char kLf = '\x0A';
constexpr std::size_t kHeadLength = 3;  // start, code, reader id
constexpr std::size_t kChecksumLength = 4;
constexpr std::size_t kDateTimePayloadLength = 7;
constexpr char kPassageMarker = 'P';
constexpr char kFirmwareMarker = '\x81';
constexpr char kFirmwarePadding = ' ';
constexpr int kYearBase = 2000;

uint8_t Byte(std::string_view s, std::size_t i) { return static_cast<uint8_t>(s[i]); }

enum class Candidate { kIncomplete, kNotAFrame, kBadChecksum, kGood };

// Judges the bytes at `at` as the start of a frame.
Candidate Examine(std::string_view buffer, std::size_t at) {
    if (buffer[at] != kStart) return Candidate::kNotAFrame;
    if (at + 1 >= buffer.size()) return Candidate::kIncomplete;
    const std::size_t length = FrameLengthForCode(Byte(buffer, at + 1));
    if (buffer.size() - at < length) return Candidate::kIncomplete;
    const std::string_view frame = buffer.substr(at, length);
    if (frame[length - 2] != kCr || frame[length - 1] != kLf) return Candidate::kNotAFrame;
    const std::size_t headLength = length - kChecksumLength - 2;
    uint32_t carried = 0;
    for (std::size_t i = 0; i < kChecksumLength; ++i) carried = (carried << 8) | Byte(frame, headLength + i);
    return carried == HalvedChecksum(frame.substr(0, headLength)) ? Candidate::kGood : Candidate::kBadChecksum;
}

void PutBigEndian(ByteString& out, std::size_t at, uint32_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) out[at + i] = static_cast<char>((value >> (8 * (size - 1 - i))) & 0xFFu);
}

}  // namespace

std::size_t FrameLengthForCode(uint8_t code) {
    return code == kCmdSetDateTime ? kDateTimeFrameLength : kShortFrameLength;
}

uint32_t HalvedChecksum(std::string_view head) {
    uint32_t sum = 0;
    for (char c : head) sum += static_cast<uint8_t>(c);
    return sum / 2;
}

// The program writes frames back to back, but a read may end anywhere inside one, the line
// may carry noise before a frame, and a corrupted frame must not hide the next good one.
// Every position that starts with 0x00 is a candidate; a complete candidate ending in CR LF
// with the right checksum is a frame. A candidate still waiting for bytes holds the buffer
// only while no complete frame follows it, so the buffer never exceeds one frame.
std::vector<CommandFrame> FrameReader::Feed(std::string_view bytes) {
    buffer_.append(bytes);
    std::vector<CommandFrame> frames;
    const std::string_view view(buffer_);
    std::size_t pos = 0;             // first byte not yet consumed
    std::size_t scan = 0;            // position being examined
    std::size_t held = view.size();  // first incomplete candidate, if any
    while (scan < view.size()) {
        const Candidate what = Examine(view, scan);
        if (what == Candidate::kNotAFrame) {
            ++scan;
            continue;
        }
        if (what == Candidate::kIncomplete) {
            held = std::min(held, scan);
            ++scan;
            continue;
        }
        const std::size_t length = FrameLengthForCode(Byte(view, scan + 1));
        discarded_ += scan - pos;
        if (what == Candidate::kGood) {
            CommandFrame frame;
            frame.code = Byte(view, scan + 1);
            frame.readerId = Byte(view, scan + 2);
            frame.bytes = ByteString(view.substr(scan, length));
            if (frame.code == kCmdSetDateTime)
                frame.payload = ByteString(view.substr(scan + kHeadLength, kDateTimePayloadLength));
            frames.push_back(std::move(frame));
        } else {
            ++badChecksums_;
        }
        pos = scan = scan + length;
        held = view.size();
    }
    const std::size_t keepFrom = std::max(pos, std::min(held, view.size()));
    discarded_ += keepFrom - pos;
    buffer_.erase(0, keepFrom);
    return frames;
}

ByteString BuildPassageRecord(const PassageFields& f) {
    ByteString r(kPassageRecordLength, '\0');
    r[0] = kStart;
    r[1] = kPassageMarker;
    r[2] = static_cast<char>(f.readerId);
    r[3] = static_cast<char>((f.year - kYearBase) & 0xFF);
    r[4] = static_cast<char>(f.month);
    r[5] = static_cast<char>(f.day);
    r[6] = static_cast<char>(f.hour);
    r[7] = static_cast<char>(f.minute);
    r[8] = static_cast<char>(f.second);
    PutBigEndian(r, 9, f.number, 4);
    PutBigEndian(r, 13, f.transponder, 4);
    PutBigEndian(r, 17, static_cast<uint32_t>(f.millisecond), 4);
    PutBigEndian(r, 21, f.valueV, 2);
    r[23] = static_cast<char>(f.flags);
    PutBigEndian(r, 24, f.valueW, 2);
    // Offsets 26..29 carry nothing the program reads; they stay zero.
    r[kPassageRecordLength - 2] = kCr;
    r[kPassageRecordLength - 1] = kLf;
    return r;
}

ByteString BuildFirmwareRecord(uint8_t readerId, std::string_view version, bool longForm) {
    const std::size_t length = longForm ? kLongFirmwareRecordLength : kFirmwareRecordLength;
    const std::size_t textLength = longForm ? 37 : 35;
    constexpr std::size_t kTextOffset = 3;
    ByteString r(length, '\0');
    r[0] = kStart;
    r[1] = kFirmwareMarker;
    r[2] = static_cast<char>(readerId);
    ByteString text(kFirmwareBanner);
    text.append(version.substr(0, textLength - std::min(textLength, text.size())));
    text.resize(textLength, kFirmwarePadding);
    std::copy(text.begin(), text.end(), r.begin() + kTextOffset);
    // The bytes between the text and CR LF stay zero, so a 47-byte record never shows CR LF
    // where a 45-byte one would end.
    r[length - 2] = kCr;
    r[length - 1] = kLf;
    return r;
}

std::string HexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out.push_back(' ');
        const auto b = static_cast<uint8_t>(bytes[i]);
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

}  // namespace sincrovia::sim
