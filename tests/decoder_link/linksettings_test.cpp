// The configuration file: the INI access, every rule of the settings table, the missing-key
// box and abort, and the file written when none exists, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "decoder_link/GestFileIni.h"
#include "decoder_link/LinkSettings.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
struct TempFolder {
    TempFolder() {
        std::random_device random;
        do {
            path = (fs::temp_directory_path() / ("sincrovia-ini-" + std::to_string(random()))).string();
        } while (!fs::create_directory(path));
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string File() const { return LapixIniPath(path); }
    std::string path;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

TEST(GestFileIni, AccessIniKeyReads) {
    const std::string file =
        "[Other]\r\nIdRx=9\r\n[configpar]\r\n  idrx =  42  \r\nQuoted=\"a b\"\r\n"
        "Odd=Errore\r\n;Commented=1\r\nLf=1\n[Sezion\xE0]\r\nK\xE8y=accented\r\n";
    const struct {
        const char* legend;
        std::string section, key, result;
    } cases[] = {
        {"names without regard to case, value trimmed", "ConfigPar", "IdRx", "42"},
        {"first matching section only", "Other", "IdRx", "9"},
        {"matching quotes dropped", "ConfigPar", "Quoted", "a b"},
        {"absent key", "ConfigPar", "Nothing", "Errore"},
        {"absent section", "Missing", "IdRx", "Errore"},
        {"a comment is not a key", "ConfigPar", ";Commented", "Errore"},
        {"bare LF line end accepted", "ConfigPar", "Lf", "1"},
        {"accented names compare without case", "SEZION\xC0", "K\xC8Y", "accented"},
    };
    TempFolder dir;
    WriteAll(dir.File(), file);
    for (const auto& c : cases) {
        ByteString result = "unchanged";
        AccessIniKey(c.section, c.key, "", result, nullptr, false, dir.File(), true);
        EXPECT_EQ(result, c.result) << c.legend;
    }
    ByteString result = "unchanged";
    AccessIniKey("ConfigPar", "IdRx", "", result, nullptr, true, dir.path + "/none.ini", true);
    EXPECT_EQ(result, "") << "a file that does not exist reads empty, without a box";
}

TEST(GestFileIni, MissingKeyShowsTheBoxAndAborts) {
    const struct {
        const char* legend;
        std::string key, value, text;
    } cases[] = {
        {"absent key", "TimeNewRx", "50",
         "TimeNewRx' della sezione 'ConfigPar' all'interno del file INI "
         "(Percorso completo: @ Valore: 50)"},
        {"a value 'Errore' counts as absent", "Odd", "",
         "Odd' della sezione 'ConfigPar' all'interno del "
         "file INI (Percorso completo: @ Valore: )"},
        {"quotes in the name doubled", "it's", "",
         "it''s' della sezione 'ConfigPar' all'interno del file "
         "INI (Percorso completo: @ Valore: )"},
    };
    TempFolder dir;
    WriteAll(dir.File(), "[ConfigPar]\r\nOdd=Errore\r\n");
    for (const auto& c : cases) {
        RecordingDesktop desktop;
        ScopedDesktop scope(desktop);
        ByteString result;
        EXPECT_THROW(AccessIniKey("ConfigPar", c.key, c.value, result, nullptr, true, dir.File(), true), AbortSignal)
            << c.legend;
        ASSERT_EQ(desktop.Boxes().size(), 1u) << c.legend;
        std::string expected = "Errore nella ricerca della chiave '" + c.text;
        expected.replace(expected.find('@'), 1, dir.File());
        EXPECT_EQ(desktop.Boxes()[0].text, expected) << c.legend;
        EXPECT_EQ(desktop.Boxes()[0].caption, "Errore Accesso INI") << c.legend;
    }
}

TEST(GestFileIni, WritesChangeOnlyTheirLine) {
    const struct {
        const char* legend;
        std::string before, section, key, value, after;
    } cases[] = {
        {"new file", "", "ConfigPar", "A", "1", "[ConfigPar]\r\nA=1\r\n"},
        {"key replaced in place", "[S]\r\n;note\r\na = 1\r\nB=2\r\n", "s", "A", "3", "[S]\r\n;note\r\nA=3\r\nB=2\r\n"},
        {"new key before the blank lines that end the section", "[S]\r\nA=1\r\n\r\n[T]\r\nA=1\r\n", "S", "B", "2",
         "[S]\r\nA=1\r\nB=2\r\n\r\n[T]\r\nA=1\r\n"},
        {"new section at the end, LF file rewritten with CR LF", ";c\nX=1\n", "S", "A", "1",
         ";c\r\nX=1\r\n[S]\r\nA=1\r\n"},
    };
    for (const auto& c : cases) {
        TempFolder dir;
        if (!c.before.empty()) WriteAll(dir.File(), c.before);
        ByteString unused;
        AccessIniKey(c.section, c.key, c.value, unused, nullptr, true, dir.File(), false);
        EXPECT_EQ(ReadAll(dir.File()), c.after) << c.legend;
    }
    EXPECT_THROW(IniFile().Save("/nonexistent-folder/x.ini"), IniFileError);
}

TEST(LinkSettings, StrToInt) {
    const struct {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {{"12", true, 12},
                 {" 12", true, 12},
                 {"+5", true, 5},
                 {"-1", true, -1},
                 {"007", true, 7},
                 {"$1F", true, 31},
                 {"0x1f", true, 31},
                 {"2147483647", true, 2147483647},
                 {"-2147483648", true, -2147483647 - 1},
                 {"2147483648", false, 0},
                 {"", false, 0},
                 {"12 ", false, 0},
                 {"1a", false, 0},
                 {"-", false, 0}};
    for (const auto& c : cases) {
        if (c.ok) {
            EXPECT_EQ(StrToInt(c.text), c.value) << c.text;
        } else {
            EXPECT_THROW(StrToInt(c.text), ConversionError) << c.text;
        }
    }
    try {
        StrToInt("abc");
        ADD_FAILURE() << "no conversion error";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
}

// The twelve keys as the file written by default holds them.
std::map<std::string, std::string> DefaultKeys() {
    return {{"MinRepeatToGo", "2"},      {"TimeNewRx", "50"},    {"GenerateLog", "False"},
            {"Priority", "2"},           {"BeepDll", "False"},   {"BeepDelay", "45"},
            {"GstFlagBatLow", "True"},   {"IdRx", "1"},          {"TempiAssoluti", "True"},
            {"ProtocolloTeKan", "True"}, {"SpeedTrap", "False"}, {"StrXTrivoloTimer", "True"}};
}

// Writes the defaults with one key changed ("" value) or removed (nullptr).
struct Read {
    LinkSettings settings;
    SharedLinkSettings shared;
    size_t boxes = 0;
    std::string failure;  // "abort", "conversion" or ""
};

Read ReadWith(const std::map<std::string, const char*>& changes) {
    TempFolder dir;
    std::string file = "[ConfigPar]\r\n";
    auto keys = DefaultKeys();
    for (const auto& [key, value] : changes) {
        if (value == nullptr)
            keys.erase(key);
        else
            keys[key] = value;
    }
    for (const auto& [key, value] : keys) file += key + "=" + value + "\r\n";
    WriteAll(dir.File(), file);
    RecordingDesktop desktop;
    ScopedDesktop scope(desktop);
    Read r;
    r.shared.MinRepeatToGo = 9;  // a value held from an earlier link
    try {
        ReadLinkSettings(dir.path, r.settings, r.shared);
    } catch (const AbortSignal&) {
        r.failure = "abort";
    } catch (const ConversionError&) {
        r.failure = "conversion";
    }
    r.boxes = desktop.Boxes().size();
    return r;
}

TEST(LinkSettings, NumbersAndTheirFallbacks) {
    using S = const Read&;
    const struct {
        const char* legend;
        std::map<std::string, const char*> changes;
        bool (*check)(S);
    } cases[] = {
        {"MinRepeatToGo 51 gives 2", {{"MinRepeatToGo", "51"}}, [](S r) { return r.shared.MinRepeatToGo == 2; }},
        {"MinRepeatToGo -1 gives 2", {{"MinRepeatToGo", "-1"}}, [](S r) { return r.shared.MinRepeatToGo == 2; }},
        {"MinRepeatToGo 0 stays", {{"MinRepeatToGo", "0"}}, [](S r) { return r.shared.MinRepeatToGo == 0; }},
        {"MinRepeatToGo 50 stays", {{"MinRepeatToGo", "50"}}, [](S r) { return r.shared.MinRepeatToGo == 50; }},
        {"TimeNewRx 0 gives 50", {{"TimeNewRx", "0"}}, [](S r) { return r.shared.TimeNewRx == 50; }},
        {"TimeNewRx 501 gives 50", {{"TimeNewRx", "501"}}, [](S r) { return r.shared.TimeNewRx == 50; }},
        {"TimeNewRx 500 stays", {{"TimeNewRx", "500"}}, [](S r) { return r.shared.TimeNewRx == 500; }},
        {"Priority 4 keeps 2", {{"Priority", "4"}}, [](S r) { return r.settings.Priority == 2; }},
        {"empty Priority keeps 2", {{"Priority", ""}}, [](S r) { return r.settings.Priority == 2; }},
        {"missing Priority keeps 2 quietly",
         {{"Priority", nullptr}},
         [](S r) { return r.settings.Priority == 2 && r.boxes == 0 && r.failure.empty(); }},
        {"Priority 0 taken", {{"Priority", "0"}}, [](S r) { return r.settings.Priority == 0; }},
        {"BeepDelay 0 gives 450 ms",
         {{"BeepDll", "True"}, {"BeepDelay", "0"}},
         [](S r) { return r.settings.BeepDll && r.settings.BeepDelayMs == 450; }},
        {"BeepDelay 1001 gives 450 ms",
         {{"BeepDll", "True"}, {"BeepDelay", "1001"}},
         [](S r) { return r.settings.BeepDelayMs == 450; }},
        {"BeepDelay 50 gives 500 ms",
         {{"BeepDll", "true"}, {"BeepDelay", "50"}},
         [](S r) { return r.settings.BeepDelayMs == 500; }},
        {"BeepDelay not read without BeepDll",
         {{"BeepDelay", nullptr}},
         [](S r) { return !r.settings.BeepDll && r.settings.BeepDelayMs == 450 && r.failure.empty(); }},
        {"IdRx 300 gives 250", {{"IdRx", "300"}}, [](S r) { return r.settings.IdRx == "250"; }},
        {"IdRx 007 stays text", {{"IdRx", "007"}}, [](S r) { return r.settings.IdRx == "007"; }},
        {"a number that is not one ends the reading",
         {{"TimeNewRx", "fifty"}},
         [](S r) { return r.failure == "conversion" && r.boxes == 0 && r.settings.IdRx == "1"; }},
        {"a non-number Priority fails the conversion too",
         {{"Priority", "high"}},
         [](S r) { return r.failure == "conversion"; }},
    };
    for (const auto& c : cases) EXPECT_TRUE(c.check(ReadWith(c.changes))) << c.legend;
}

TEST(LinkSettings, SwitchesAndMissingKeys) {
    using S = const Read&;
    const struct {
        const char* legend;
        std::map<std::string, const char*> changes;
        bool (*check)(S);
    } cases[] = {
        {"defaults read back, no box",
         {},
         [](S r) {
             return r.boxes == 0 && r.failure.empty() && r.shared.IdMask == kIdMaskWithBatteryFlag &&
                    r.settings.ProtocolloTeKan && r.settings.StrXTrivoloTimer && r.settings.TempiAssoluti;
         }},
        {"upper-cased comparison",
         {{"GenerateLog", "tRuE"}, {"SpeedTrap", "TRUE"}, {"TempiAssoluti", "no"}},
         [](S r) { return r.settings.GenerateLog && r.settings.SpeedTrap && !r.settings.TempiAssoluti; }},
        {"GstFlagBatLow False: six-bit mask",
         {{"GstFlagBatLow", "False"}},
         [](S r) { return !r.settings.GstFlagBatLow && r.shared.IdMask == kIdMaskWithoutBatteryFlag; }},
        {"GstFlagBatLow missing: off, quietly",
         {{"GstFlagBatLow", nullptr}},
         [](S r) { return !r.settings.GstFlagBatLow && r.boxes == 0; }},
        {"ProtocolloTeKan missing: on", {{"ProtocolloTeKan", nullptr}}, [](S r) { return r.settings.ProtocolloTeKan; }},
        {"ProtocolloTeKan xyz: off", {{"ProtocolloTeKan", "xyz"}}, [](S r) { return !r.settings.ProtocolloTeKan; }},
        {"StrXTrivoloTimer xyz: on", {{"StrXTrivoloTimer", "xyz"}}, [](S r) { return r.settings.StrXTrivoloTimer; }},
        {"StrXTrivoloTimer missing: off",
         {{"StrXTrivoloTimer", nullptr}},
         [](S r) { return !r.settings.StrXTrivoloTimer && r.boxes == 0; }},
        {"StrXTrivoloTimer false: off",
         {{"StrXTrivoloTimer", "false"}},
         [](S r) { return !r.settings.StrXTrivoloTimer; }},
        {"missing MinRepeatToGo: box, abort",
         {{"MinRepeatToGo", nullptr}},
         [](S r) { return r.boxes == 1 && r.failure == "abort" && r.shared.MinRepeatToGo == 9; }},
        {"missing TimeNewRx: earlier keys applied",
         {{"TimeNewRx", nullptr}, {"MinRepeatToGo", "5"}},
         [](S r) { return r.boxes == 1 && r.failure == "abort" && r.shared.MinRepeatToGo == 5; }},
        {"missing GenerateLog: box", {{"GenerateLog", nullptr}}, [](S r) { return r.boxes == 1; }},
        {"missing BeepDelay with BeepDll on: box",
         {{"BeepDll", "True"}, {"BeepDelay", nullptr}},
         [](S r) { return r.boxes == 1 && r.failure == "abort"; }},
        {"missing IdRx: box, later keys keep defaults",
         {{"IdRx", nullptr}, {"SpeedTrap", "True"}},
         [](S r) { return r.boxes == 1 && !r.settings.SpeedTrap; }},
        {"missing TempiAssoluti: box", {{"TempiAssoluti", nullptr}}, [](S r) { return r.boxes == 1; }},
        {"missing SpeedTrap: box", {{"SpeedTrap", nullptr}}, [](S r) { return r.boxes == 1; }},
        {"a value 'Errore' is missing", {{"SpeedTrap", "Errore"}}, [](S r) { return r.failure == "abort"; }},
    };
    for (const auto& c : cases) EXPECT_TRUE(c.check(ReadWith(c.changes))) << c.legend;
}

TEST(LinkSettings, MissingFileIsWrittenByteForByte) {
    const std::string expected =
        "[ConfigPar]\r\nMinRepeatToGo=2\r\nTimeNewRx=50\r\nGenerateLog=False\r\nPriority=2\r\n"
        "BeepDll=False\r\nBeepDelay=45\r\nGstFlagBatLow=True\r\nIdRx=1\r\nTempiAssoluti=True\r\n"
        "ProtocolloTeKan=True\r\nSpeedTrap=False\r\nStrXTrivoloTimer=True\r\n"
        "\r\n"
        "\r\n"
        ";HELP Dll Ver Kivo\r\n"
        ";MinRepeatToGo    : numero minimo di ridondanze che devono essere ricevute per validare il transito\r\n"
        ";                   es.: se si mette questo parametro a 2 saranno necessarie almeno 3 ricezioni per validare "
        "il transito\r\n"
        ";GenerateLog      : abilita o meno la generazione del file di log; True= abilitato; False= disabilitato\r\n"
        ";TimeNewRx        : trasponder per transponder indica il tempo in centesimi che deve trascorrere dall'ultima "
        "ricezione \r\n"
        ";                   prima di pubblicare il tempo e il giro al programma chiamante;\r\n"
        ";                   es.: 50 corrisponde a 50 centesimi pari a mezzo secondo\r\n"
        ";Priority         : indica la priorit\xE0 del processo che utilizza la DLL ed in particolare: \r\n"
        ";                   0: priorit\xE0 Bassa;\r\n"
        ";                   1: priorit\xE0 Normale;\r\n"
        ";                   2: priorit\xE0 Alta;\r\n"
        ";                   3: priorit\xE0 Tempo reale;\r\n"
        ";BeepDll          : indica se deve essere la DLL ad emettere un BEEP ad ogni convalida di passaggio: \r\n"
        ";                   True : Beep abilitato;\r\n"
        ";                   False: Beep disabilitato;\r\n"
        ";BeepDelay        : indica il tempo minimo, misurato in centesimi, che deve intercorrere tra due Beep "
        "successivi : \r\n"
        ";                   es: 50 corrisponde a 50 centesimi pari a mezzo secondo;\r\n"
        ";GstFlagBatLow    : se a True, abilita la gestione del flag di batteria scarica inviato dal transponder \r\n"
        ";                   se a False ignora il flag ed estende la numerazione dei tansponder;\r\n"
        ";IdRx             : imposta l'IdRx cui inviare il comando di Reset Timer \r\n"
        ";                   NB: deve essere compreso tra 0 e 250;\r\n"
        ";TempiAssoluti    : indica la modalit\xE0 con cui il reader esprime i tempi:\r\n"
        ";                   se a True i tempi sono assoluti; se a False il tempo \xE8 determinato solo dai "
        "millisecondi\r\n"
        ";SpedTrap         : indica se deve gestire la speed trap:\r\n"
        ";                   se a True risponde al comando legato al Firmware della speed trap; se a False risponde al "
        "comando standard\r\n"
        ";StrXTrivoloTimer : indica il tipo di stringa passata al programma chiamante: \r\n"
        ";                   se a True passa la nuova stringa per gestire il Trivolo Timer; se a False risponde la "
        "stringa standard\r\n"
        "\r\n"
        ";NOTA: La gestione di due/tre byte non ha alcun senso per il reader kivo in quanto tutto \xE8 gestito dai "
        "Firmware dei due micro\r\n"
        ";      e per la DLL \xE8 del tutto trasparente, quindi non serve definire la chiave \"GstId3Byte\"\r\n";
    TempFolder dir;
    RecordingDesktop desktop;
    ScopedDesktop scope(desktop);
    LinkSettings first;
    SharedLinkSettings shared;
    ReadLinkSettings(dir.path + "/", first, shared);
    EXPECT_EQ(ReadAll(dir.File()), expected);
    EXPECT_EQ(shared.IdMask, kIdMaskWithBatteryFlag);

    LinkSettings second;
    second.IdRx = "77";
    ReadLinkSettings(dir.path, second, shared);
    EXPECT_EQ(second.IdRx, "1") << "the next link reads the file";
    EXPECT_TRUE(desktop.Boxes().empty());
    EXPECT_EQ(ReadAll(dir.File()), expected) << "reading never rewrites";

    LinkSettings third;
    EXPECT_THROW(ReadLinkSettings(dir.path + "/no-such-folder", third, shared), IniFileError);
}

TEST(LinkSettings, ProgramFolderIsTheFolderOfThisProgram) {
    const std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    // The folder ends in the platform's separator; the program file may carry ".exe".
    EXPECT_TRUE(folder.back() == '/' || folder.back() == '\\') << folder;
    EXPECT_TRUE(fs::exists(folder + "decoder_link_linksettings_test") ||
                fs::exists(folder + "decoder_link_linksettings_test.exe"))
        << folder;
}

}  // namespace
}  // namespace sincrovia
