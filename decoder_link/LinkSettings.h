// Settings of a decoder link, read from "Lapix.ini" beside the program (section "ConfigPar")
// each time a link is created, or written there with their defaults and an Italian help block
// when the file is missing. Three of them are held once for the whole program.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sincrovia {

/// Raised when a text that must be a whole number is not one; the message is the one a link
/// creation shows after "Error use COM Manager Lapix Kivo: ".
class ConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Converts a decimal integer text as the configuration file holds it: optional blanks, an
/// optional sign, decimal digits (or "$"/"0x" and hexadecimal digits); anything else, or a value
/// outside 32 bits, raises ConversionError ("'abc' is not a valid integer value").
int32_t StrToInt(std::string_view text);

/// Transponder-number masks selected by GstFlagBatLow (five bits when the battery flag is used,
/// six when the flag bit extends the number).
inline constexpr uint32_t kIdMaskWithBatteryFlag = 0x1F;
inline constexpr uint32_t kIdMaskWithoutBatteryFlag = 0x3F;

/// The settings shared by every link of the program; each link creation sets them again from
/// the same file. Used on the main thread only.
struct SharedLinkSettings {
    /// Receptions beyond which a transit is valid (0..50).
    uint16_t MinRepeatToGo = 2;
    /// Silence that ends a transit, hundredths of a second (1..500).
    int32_t TimeNewRx = 50;
    /// Mask of the high part of transponder numbers in hit records.
    uint32_t IdMask = kIdMaskWithoutBatteryFlag;
};

/// The program-wide instance of the shared settings.
SharedLinkSettings& ProgramLinkSettings();

/// The per-link settings, at their defaults when constructed.
struct LinkSettings {
    /// Read and written only; the traffic log follows the log-file name given at creation.
    bool GenerateLog = false;
    /// Process priority class: 0 idle, 1 normal, 2 high, 3 real-time.
    int Priority = 2;
    /// A beep at every validated transit.
    bool BeepDll = false;
    /// Minimum time between two beeps, in milliseconds (the file holds hundredths).
    int32_t BeepDelayMs = 450;
    /// The battery-low flag of hit records is used (else it extends the transponder number).
    bool GstFlagBatLow = true;
    /// Reader id of the command frames, as text (a number, at most "250").
    std::string IdRx = "1";
    /// Decoder times are absolute date-times (else a millisecond count).
    bool TempiAssoluti = true;
    /// Speed-trap markers and texts.
    bool SpeedTrap = false;
    /// Protocol variant: letter markers and a halved frame checksum.
    bool ProtocolloTeKan = true;
    /// The lap-timer text format handed to the window (else the standard one).
    bool StrXTrivoloTimer = true;
};

/// Name of the configuration file and its section.
inline constexpr std::string_view kLapixIniName = "Lapix.ini";
inline constexpr std::string_view kConfigSection = "ConfigPar";

/// Folder of the program file with its trailing separator ("/opt/sincrovia/").
std::string ProgramFolder();

/// Full path of "Lapix.ini" in a folder given with or without its trailing separator.
std::string LapixIniPath(const std::string& folder);

/// Reads the link settings from "Lapix.ini" in `folder`, or creates the file when it is
/// missing (leaving `settings` at what it holds). A key missing where the reading must stop
/// shows the "Errore Accesso INI" box and raises AbortSignal; a value that is not a number
/// raises ConversionError; a file that cannot be written raises IniFileError. The settings read
/// before the failure stay applied.
void ReadLinkSettings(const std::string& folder, LinkSettings& settings,
                      SharedLinkSettings& shared = ProgramLinkSettings());

}  // namespace sincrovia
