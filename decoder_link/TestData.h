// Made-up data for the decoder link's test window: the program-wide random sequence, the
// history of generated numbers, the speed-trap template text, the simulated passage record
// and the firmware texts. The operations that use them belong to the link's test bench
// (TLinkTestBench).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/ByteString.h"
#include "util/DateTime.h"

namespace sincrovia {

/// The program's random sequence (the runtime's linear congruential generator): the seed
/// becomes seed x 134775813 + 1 modulo 2^32 and the value is (seed x range) div 2^32. The seed
/// is 0 when the program starts and is shared by every link, so each run repeats the sequence.
int ProgramRandom(int range);
/// The current seed.
uint32_t ProgramRandSeed();
/// Sets the seed (tests restart the sequence with 0).
void SetProgramRandSeed(uint32_t seed);

/// Numbers drawn for a random hit: 0..3, plus one.
inline constexpr int kRandomHitRange = 4;
/// Second byte of a random hit: tag digit 2; the battery bit is added for the "Bat Low" button.
inline constexpr unsigned char kRandomHitTagByte = 0x80;
inline constexpr unsigned char kRandomHitBatteryBit = 0x20;
/// Times each random hit is heard.
inline constexpr int kRandomHitRepeats = 3;

/// Panel 1's history after number `n`: a text of 19 characters or more keeps its characters
/// 5 to 21, then " (n)" is appended, so the panel shows the last five numbers.
std::string AppendHistory(const std::string& panel, int n);

/// Speed-trap template and its fields.
inline constexpr std::string_view kTemplateTransit = "IDTRANSPONDER-0-00-000-00000005-MILLISECONDI-IDRX-0106";
/// Transponders and readers the template runs through.
inline constexpr int kTemplateLastTransponder = 5;
inline constexpr int kTemplateLastReader = 3;

/// The template text for a transponder, the milliseconds since the first template text, a
/// reader and the PC date-time ("...-0106-dd.mm.yyyy-hh:mm:ss.zzz").
std::string TemplateTransitText(int transponder, int64_t elapsedMs, int reader, TDateTime now);

/// The 32-byte passage record of the simulated reception button (transponder 36331, reader 1,
/// 25 May 2016 17:52:48.214).
ByteString SimulatedPassageRecord();

/// Firmware texts of the "Tx Frmw Vr" button: compatible, and (with Shift) too old.
inline constexpr std::string_view kFirmwareTextCompatible = "teKAN - teVO Ver: 6.33.1";
inline constexpr std::string_view kFirmwareTextIncompatible = "teKAN - teVO Ver: 6.33";

}  // namespace sincrovia
