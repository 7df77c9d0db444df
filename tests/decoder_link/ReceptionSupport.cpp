#include "ReceptionSupport.h"

#include "LiteralRescan.h"

namespace sincrovia::testing {

namespace {

void PutBigEndian(std::string& out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::string PassageRecord(const PassageFields& f) {
    std::string r{'\0',
                  f.type,
                  static_cast<char>(f.reader),
                  static_cast<char>(f.year),
                  static_cast<char>(f.month),
                  static_cast<char>(f.day),
                  static_cast<char>(f.hours),
                  static_cast<char>(f.minutes),
                  static_cast<char>(f.seconds)};
    PutBigEndian(r, f.number, 4);
    PutBigEndian(r, f.transponder, 4);
    PutBigEndian(r, f.milliseconds, 4);
    PutBigEndian(r, f.valueV, 2);
    r += static_cast<char>(f.flags);
    PutBigEndian(r, f.valueW, 2);
    r += "\xAA\xBB\xCC\xDD\r\n";
    return r;
}

std::string Record(char type, size_t length, const std::string& body) {
    std::string r{'\0', type};
    r += body.substr(0, length - 4);
    r.resize(length - 2, ' ');
    return r + "\r\n";
}

std::string DateTimeRecord(uint8_t year, uint8_t month, uint8_t day, uint8_t hours, uint8_t minutes, uint8_t seconds,
                           uint32_t milliseconds) {
    std::string r{'\0',
                  '\x85',
                  '\x01',
                  static_cast<char>(year),
                  static_cast<char>(month),
                  static_cast<char>(day),
                  '\x00',
                  static_cast<char>(hours),
                  static_cast<char>(minutes),
                  static_cast<char>(seconds)};
    PutBigEndian(r, milliseconds, 4);
    r += "\x11\x22\x33\x44\r\n";
    return r;
}

std::vector<PlainCut> PlainCutRecords(std::string& buffer, char type, size_t length) {
    std::vector<PlainCut> cuts;
    // The record is handed over once removed: the buffer then holds what is left.
    literal::Scan(buffer, type, length, literal::Advance::OneByte, [&](const std::string& record) {
        cuts.push_back({record, buffer});
    });
    return cuts;
}

}  // namespace sincrovia::testing
