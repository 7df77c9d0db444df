#include "decoder_link/LinkSettings.h"

#include <array>
#include <cctype>
#include <filesystem>
#include <limits>
#include <system_error>

#include "decoder_link/GestFileIni.h"

namespace sincrovia {

namespace {

// Limits of the table of settings and the values that replace a number out of range.
constexpr int32_t kMaxMinRepeatToGo = 50;
constexpr uint16_t kDefaultMinRepeatToGo = 2;
constexpr int32_t kMinTimeNewRx = 1, kMaxTimeNewRx = 500, kDefaultTimeNewRx = 50;
constexpr int32_t kMinPriority = 0, kMaxPriority = 3;
constexpr int32_t kMinBeepDelay = 1, kMaxBeepDelay = 1000, kDefaultBeepDelay = 45;
constexpr int32_t kMsPerHundredth = 10;
constexpr int32_t kMaxIdRx = 250;
constexpr std::string_view kMaxIdRxText = "250";

constexpr std::string_view kTrue = "TRUE", kFalse = "FALSE";
constexpr std::string_view kTrueText = "True", kFalseText = "False";

constexpr int kDecimalBase = 10, kHexBase = 16;
constexpr char kPathSeparator = '/';
constexpr char kWindowsPathSeparator = '\\';

// Help block appended to a newly written file (Windows-1252; some lines keep a trailing blank).
constexpr std::array<std::string_view, 32> kHelpBlock = {
    "",
    "",
    ";HELP Dll Ver Kivo",
    ";MinRepeatToGo    : numero minimo di ridondanze che devono essere ricevute per validare il transito",
    ";                   es.: se si mette questo parametro a 2 saranno necessarie almeno 3 ricezioni per validare il "
    "transito",
    ";GenerateLog      : abilita o meno la generazione del file di log; True= abilitato; False= disabilitato",
    ";TimeNewRx        : trasponder per transponder indica il tempo in centesimi che deve trascorrere dall'ultima "
    "ricezione ",
    ";                   prima di pubblicare il tempo e il giro al programma chiamante;",
    ";                   es.: 50 corrisponde a 50 centesimi pari a mezzo secondo",
    ";Priority         : indica la priorit\xE0"
    " del processo che utilizza la DLL ed in particolare: ",
    ";                   0: priorit\xE0"
    " Bassa;",
    ";                   1: priorit\xE0"
    " Normale;",
    ";                   2: priorit\xE0"
    " Alta;",
    ";                   3: priorit\xE0"
    " Tempo reale;",
    ";BeepDll          : indica se deve essere la DLL ad emettere un BEEP ad ogni convalida di passaggio: ",
    ";                   True : Beep abilitato;",
    ";                   False: Beep disabilitato;",
    ";BeepDelay        : indica il tempo minimo, misurato in centesimi, che deve intercorrere tra due Beep successivi "
    ": ",
    ";                   es: 50 corrisponde a 50 centesimi pari a mezzo secondo;",
    ";GstFlagBatLow    : se a True, abilita la gestione del flag di batteria scarica inviato dal transponder ",
    ";                   se a False ignora il flag ed estende la numerazione dei tansponder;",
    ";IdRx             : imposta l'IdRx cui inviare il comando di Reset Timer ",
    ";                   NB: deve essere compreso tra 0 e 250;",
    ";TempiAssoluti    : indica la modalit\xE0"
    " con cui il reader esprime i tempi:",
    ";                   se a True i tempi sono assoluti; se a False il tempo \xE8"
    " determinato solo dai millisecondi",
    ";SpedTrap         : indica se deve gestire la speed trap:",
    ";                   se a True risponde al comando legato al Firmware della speed trap; se a False risponde al "
    "comando standard",
    ";StrXTrivoloTimer : indica il tipo di stringa passata al programma chiamante: ",
    ";                   se a True passa la nuova stringa per gestire il Trivolo Timer; se a False risponde la stringa "
    "standard",
    "",
    ";NOTA: La gestione di due/tre byte non ha alcun senso per il reader kivo in quanto tutto \xE8"
    " gestito dai Firmware dei due micro",
    ";      e per la DLL \xE8"
    " del tutto trasparente, quindi non serve definire la chiave \"GstId3Byte\"",
};

std::string UpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    }
    return out;
}

std::string_view BoolText(bool value) { return value ? kTrueText : kFalseText; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + kDecimalBase;
    if (c >= 'A' && c <= 'F') return c - 'A' + kDecimalBase;
    return -1;
}

// Reads one key of the section; the shown value is the one the error box names.
ByteString ReadKey(const std::string& path, std::string_view key, bool showError, std::string_view shownValue = {}) {
    ByteString result;
    AccessIniKey(kConfigSection, key, shownValue, result, nullptr, showError, path, true);
    return result;
}

// The file of a link that finds none: the twelve keys at the values held, then the help block.
void WriteSettingsFile(const std::string& path, const LinkSettings& settings, const SharedLinkSettings& shared) {
    const std::array<std::pair<std::string_view, std::string>, 12> keys = {{
        {"MinRepeatToGo", std::to_string(shared.MinRepeatToGo)},
        {"TimeNewRx", std::to_string(shared.TimeNewRx)},
        {"GenerateLog", std::string(BoolText(settings.GenerateLog))},
        {"Priority", std::to_string(settings.Priority)},
        {"BeepDll", std::string(BoolText(settings.BeepDll))},
        {"BeepDelay", std::to_string(settings.BeepDelayMs / kMsPerHundredth)},
        {"GstFlagBatLow", std::string(BoolText(settings.GstFlagBatLow))},
        {"IdRx", settings.IdRx},
        {"TempiAssoluti", std::string(BoolText(settings.TempiAssoluti))},
        {"ProtocolloTeKan", std::string(BoolText(settings.ProtocolloTeKan))},
        {"SpeedTrap", std::string(BoolText(settings.SpeedTrap))},
        {"StrXTrivoloTimer", std::string(BoolText(settings.StrXTrivoloTimer))},
    }};
    for (const auto& [key, value] : keys) {
        ByteString unused;
        AccessIniKey(kConfigSection, key, value, unused, nullptr, true, path, false);
    }
    IniFile file = IniFile::Load(path);
    for (const std::string_view line : kHelpBlock) file.Lines().emplace_back(line);
    file.Save(path);
}

}  // namespace

int32_t StrToInt(std::string_view text) {
    const auto fail = [&]() -> ConversionError {
        return ConversionError("'" + std::string(text) + "' is not a valid integer value");
    };
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int base = kDecimalBase;
    if (i < text.size() && text[i] == '$') {
        base = kHexBase;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = kHexBase;
        i += 2;
    }
    if (i == text.size()) throw fail();
    // Decimal values must fit a signed 32-bit number; hexadecimal ones fill all 32 bits.
    const int64_t limit = base == kHexBase ? int64_t{std::numeric_limits<uint32_t>::max()}
                          : negative       ? -int64_t{std::numeric_limits<int32_t>::min()}
                                           : int64_t{std::numeric_limits<int32_t>::max()};
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0 || digit >= base) throw fail();
        value = value * base + digit;
        if (value > limit) throw fail();
    }
    if (base == kHexBase) {
        const auto bits = static_cast<int32_t>(static_cast<uint32_t>(value));
        return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(bits)) : bits;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

SharedLinkSettings& ProgramLinkSettings() {
    static SharedLinkSettings shared;
    return shared;
}

std::string LapixIniPath(const std::string& folder) {
    std::string path = folder;
    if (!path.empty() && path.back() != kPathSeparator && path.back() != kWindowsPathSeparator) {
        path += kPathSeparator;
    }
    return path + std::string(kLapixIniName);
}

void ReadLinkSettings(const std::string& folder, LinkSettings& settings, SharedLinkSettings& shared) {
    const std::string path = LapixIniPath(folder);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        WriteSettingsFile(path, settings, shared);
        // The battery flag is on by default: the transponder width follows it on this run
        // too, as it will on every run that reads the file just written.
        shared.IdMask = settings.GstFlagBatLow ? kIdMaskWithBatteryFlag : kIdMaskWithoutBatteryFlag;
        return;
    }

    // Each value is applied as soon as it is read: a failure leaves the earlier ones applied.
    auto minRepeat =
        static_cast<uint16_t>(StrToInt(ReadKey(path, "MinRepeatToGo", true, std::to_string(shared.MinRepeatToGo))));
    shared.MinRepeatToGo = minRepeat > kMaxMinRepeatToGo ? kDefaultMinRepeatToGo : minRepeat;

    const int32_t timeNewRx = StrToInt(ReadKey(path, "TimeNewRx", true, std::to_string(shared.TimeNewRx)));
    shared.TimeNewRx = timeNewRx < kMinTimeNewRx || timeNewRx > kMaxTimeNewRx ? kDefaultTimeNewRx : timeNewRx;

    settings.GenerateLog = UpperAscii(ReadKey(path, "GenerateLog", true)) == kTrue;

    const ByteString priority = ReadKey(path, "Priority", false);
    if (!priority.empty() && priority != kIniMissingMarker) {
        const int32_t value = StrToInt(priority);
        if (value >= kMinPriority && value <= kMaxPriority) settings.Priority = value;
    }

    const ByteString beepDll = ReadKey(path, "BeepDll", true);
    settings.BeepDll = UpperAscii(beepDll) == kTrue;
    if (settings.BeepDll) {
        const auto delay = static_cast<int16_t>(StrToInt(ReadKey(path, "BeepDelay", true)));
        settings.BeepDelayMs =
            (delay < kMinBeepDelay || delay > kMaxBeepDelay ? kDefaultBeepDelay : delay) * kMsPerHundredth;
    }

    settings.GstFlagBatLow = UpperAscii(ReadKey(path, "GstFlagBatLow", false)) == kTrue;
    shared.IdMask = settings.GstFlagBatLow ? kIdMaskWithBatteryFlag : kIdMaskWithoutBatteryFlag;

    const ByteString idRx = ReadKey(path, "IdRx", true);
    settings.IdRx = StrToInt(idRx) > kMaxIdRx ? std::string(kMaxIdRxText) : idRx;

    settings.TempiAssoluti = UpperAscii(ReadKey(path, "TempiAssoluti", true)) == kTrue;
    settings.SpeedTrap = UpperAscii(ReadKey(path, "SpeedTrap", true)) == kTrue;

    const ByteString protocol = ReadKey(path, "ProtocolloTeKan", false);
    settings.ProtocolloTeKan = protocol == kIniMissingMarker || UpperAscii(protocol) == kTrue;

    const ByteString trivolo = ReadKey(path, "StrXTrivoloTimer", false);
    settings.StrXTrivoloTimer = !(trivolo == kIniMissingMarker || UpperAscii(trivolo) == kFalse);
}

}  // namespace sincrovia
