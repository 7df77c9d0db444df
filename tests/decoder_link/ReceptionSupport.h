// Test support for reception: record builders and the plain per-byte rescan that the record
// cutter must match cut for cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sincrovia::testing {

/// Fields of a passage record (defaults: the capture of 13 August 2017 17:45:00.214).
struct PassageFields {
    char type = 'P';
    uint8_t reader = 1;
    uint8_t year = 17, month = 8, day = 13, hours = 17, minutes = 45, seconds = 0;
    uint32_t number = 1, transponder = 2, milliseconds = 214;
    uint16_t valueV = 108;
    uint8_t flags = 0;
    uint16_t valueW = 0;
};

/// The 32 bytes of a passage record (the four unexamined bytes are 0xAA 0xBB 0xCC 0xDD).
std::string PassageRecord(const PassageFields& f);

/// A record of `length` bytes: 0x00, `type`, `body` padded with 0x20 (or cut), CR LF.
std::string Record(char type, size_t length, const std::string& body = {});

/// A 20-byte date/time record.
std::string DateTimeRecord(uint8_t year, uint8_t month, uint8_t day, uint8_t hours, uint8_t minutes, uint8_t seconds,
                           uint32_t milliseconds);

/// One record cut by the plain rescan and the buffer left after its removal.
struct PlainCut {
    std::string record;
    std::string remaining;
};

/// One scan of the plain per-byte rescan (LiteralRescan.h, advancing one byte at a time), with
/// each record it cuts and the buffer left after that cut. Quadratic; for comparison only.
std::vector<PlainCut> PlainCutRecords(std::string& buffer, char type, size_t length);

}  // namespace sincrovia::testing
