// The files beside the program gone wrong, end to end: a "Lapix.ini" with a key missing or text
// where a number belongs, a "MemCom.set" full of junk, and a program folder that cannot be
// written at all. The program must say what is wrong in a box, keep the decoders working, and
// leave the user's files as they were.
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "FaultProbes.h"
#include "SyncHarness.h"
#include "decoder_link/LinkSettings.h"

namespace sincrovia::e2e {
namespace {

constexpr int kOpenTimeoutMs = 10000;
constexpr int kReadTimeoutMs = 5000;
constexpr char kMissingKeyCaption[] = "Errore Accesso INI";
constexpr char kLinkCaption[] = "COM Manager Lapix Kivo";
constexpr char kLinkErrorPrefix[] = "Error use COM Manager Lapix Kivo: ";
constexpr char kSaveErrorPrefix[] = "The port choice could not be saved to ";

/// Every key of a complete configuration file, in the order the link reads them.
const char* const kIniKeys[][2] = {
    {"MinRepeatToGo", "2"},    {"TimeNewRx", "50"},         {"GenerateLog", "False"},  {"Priority", "1"},
    {"BeepDll", "False"},      {"BeepDelay", "45"},         {"GstFlagBatLow", "True"}, {"IdRx", "0"},
    {"TempiAssoluti", "True"}, {"ProtocolloTeKan", "True"}, {"SpeedTrap", "False"},    {"StrXTrivoloTimer", "True"},
};

/// A complete "Lapix.ini", with `key` left out (`value` null) or given `value` instead.
std::string IniText(const std::string& key, const char* value) {
    std::string text = "[ConfigPar]\r\n";
    for (const auto& [k, v] : kIniKeys) {
        if (k == key && value == nullptr) continue;
        text += std::string(k) + "=" + (k == key ? value : v) + "\r\n";
    }
    return text;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, UCHAR_MAX);
    std::string out(count, '\0');
    for (char& c : out) c = static_cast<char>(byte(random));
    return out;
}

bool HasBox(const RecordingDesktop& desktop, const std::string& caption, const std::string& part) {
    for (const auto& box : desktop.Boxes())
        if (box.caption == caption && box.text.find(part) != std::string::npos) return true;
    return false;
}

TEST(FaultFiles, DamagedLinkConfigurationIsReportedAndTheLinkStillWorks) {
    // What the link does: it shows the failure in a box and goes on with the settings read
    // before it and the defaults after it; the port opens, the firmware is read, the clock too.
    struct Case {
        const char* legend;
        std::string file;
        const char* caption;  // the box that must say what is wrong
        const char* part;     // text the box must contain
    } const cases[] = {
        {"key IdRx missing", IniText("IdRx", nullptr), kMissingKeyCaption, "'IdRx'"},
        {"first key missing", IniText("MinRepeatToGo", nullptr), kMissingKeyCaption, "'MinRepeatToGo'"},
        {"text where IdRx is a number", IniText("IdRx", "abc"), kLinkCaption,
         "Error use COM Manager Lapix Kivo: 'abc' is not a valid integer value"},
        {"text where TimeNewRx is a number", IniText("TimeNewRx", "fifty"), kLinkCaption,
         "'fifty' is not a valid integer value"},
        {"optional Priority holds text", IniText("Priority", "high"), kLinkCaption,
         "'high' is not a valid integer value"},
        {"number beyond 32 bits", IniText("MinRepeatToGo", "99999999999"), kLinkCaption,
         "'99999999999' is not a valid integer value"},
        {"no section header at all", "MinRepeatToGo=2\r\nTimeNewRx=50\r\n", kMissingKeyCaption, "'MinRepeatToGo'"},
        {"binary junk", RandomBytes(2048, 7), kMissingKeyCaption, "'MinRepeatToGo'"},
    };
    for (const Case& c : cases) {
        SyncHarness h({Decoder("PITIN", 0)});
        TSincrovia& w = h.Window();
        const std::filesystem::path ini = h.Folder() / std::string(kLapixIniName);
        WriteFile(ini, c.file);
        h.ChooseAll();
        ASSERT_TRUE(h.OpenAll(kOpenTimeoutMs)) << c.legend;
        EXPECT_TRUE(HasBox(h.Boxes(), c.caption, c.part)) << c.legend << "\n" << BoxesText(h.Boxes());
        ::testing::Test::RecordProperty(c.legend, BoxesText(h.Boxes()));
        EXPECT_TRUE(h.Procedures().Slot(1).PortOpen) << c.legend;
        EXPECT_EQ(1u, h.Frames(DecoderCommand::FirmwareRequest).size()) << c.legend;
        EXPECT_EQ(ColorGreen, w.FirmwareLabel(1)->Color()) << c.legend;
        ASSERT_TRUE(h.Click(w.SpBtReadDtAndTm)) << c.legend;
        ASSERT_TRUE(h.WaitIdle(kReadTimeoutMs)) << c.legend;
        EXPECT_FALSE(w.TimeBox(1)->text().isEmpty()) << c.legend;
        // The user's file is left as it was, to be mended by hand.
        EXPECT_EQ(c.file, ReadFile(ini)) << c.legend;
        EXPECT_LT(CpuOverQuietSecond(), kQuietCpuSecondsBound) << c.legend;
    }
}

TEST(FaultFiles, JunkInThePortChoiceFileSelectsNothingItDoesNotName) {
    struct Case {
        const char* legend;
        std::string file;
        const char* slot1;  // the port slot 1 shows afterwards ("" none)
        const char* slot2;
    } const cases[] = {
        {"binary junk", RandomBytes(4096, 11), "", ""},
        {"only NULs and line ends", std::string(300, '\0') + "\r\n\r\n\n\r", "", ""},
        {"a valid line between junk", RandomBytes(64, 3) + "\r\nCmbCOMPort_2=PITOUT\r\n" + RandomBytes(64, 4), "",
         "PITOUT"},
        {"ports that do not exist", "CmbCOMPort_1=ttyNOPE\r\nCmbCOMPort_2=\xff\xfe\r\n", "", ""},
        {"a megabyte without a line end", "CmbCOMPort_1=" + std::string(1 << 20, 'P'), "", ""},
        {"slot digits out of range", "CmbCOMPort_0=PITIN\r\nCmbCOMPort_9=PITIN\r\nCmbCOMPort_12=PITIN\r\n", "", ""},
        {"name in other letter case, LF only", "cmbcomport_1=PITIN\ncmbcomport_2=pitout\n", "PITIN", "PITOUT"},
    };
    for (const Case& c : cases) {
        SyncHarness h({Decoder("PITIN", 0), Decoder("PITOUT", 0)});
        TSincrovia& w = h.Window();
        for (int slot = 1; slot <= 2; ++slot) {
            w.RefillPortList(w.PortList(slot));
            w.PortList(slot)->setCurrentIndex(-1);
        }
        WriteFile(h.Folder() / SettingsFileName, c.file);
        h.Procedures().RestoreComSelection();
        const auto shown = [&](int slot) {
            TDropDownList* list = w.PortList(slot);
            return list->currentIndex() < 0 ? std::string() : list->currentText().toStdString();
        };
        EXPECT_EQ(c.slot1, shown(1)) << c.legend;
        EXPECT_EQ(c.slot2, shown(2)) << c.legend;
        EXPECT_TRUE(h.Boxes().Boxes().empty()) << c.legend << "\n" << BoxesText(h.Boxes());
        // Opening what was chosen replaces the junk with a clean file.
        if (shown(1).empty() && shown(2).empty()) continue;
        ASSERT_TRUE(h.OpenAll(kOpenTimeoutMs)) << c.legend;
        std::string expected;
        if (*c.slot1 != '\0') expected += std::string("CmbCOMPort_1=") + c.slot1 + "\r\n";
        if (*c.slot2 != '\0') expected += std::string("CmbCOMPort_2=") + c.slot2 + "\r\n";
        EXPECT_EQ(expected, h.SettingsFile()) << c.legend;
    }
}

TEST(FaultFiles, ProgramFolderThatCannotBeWritten) {
    // The tests run as root, for whom a read-only folder is still writable. What fails for
    // everyone is a folder that is no folder: the program folder's path names a regular file,
    // so nothing can be created inside it.
    SyncHarness h({Decoder("PITIN", 0)});
    TSincrovia& w = h.Window();
    std::filesystem::remove_all(h.Folder());
    WriteFile(h.Folder(), "a file where the program's folder should be\n");
    ASSERT_TRUE(std::filesystem::is_regular_file(h.Folder()));

    h.ChooseAll();
    ASSERT_TRUE(h.OpenAll(kOpenTimeoutMs));
    // Two clear messages: the link's configuration could not be created, the choice not saved.
    EXPECT_TRUE(HasBox(h.Boxes(), kLinkCaption, kLinkErrorPrefix)) << BoxesText(h.Boxes());
    EXPECT_TRUE(HasBox(h.Boxes(), ApplicationTitle, kSaveErrorPrefix + (h.Folder() / SettingsFileName).string() + ": "))
        << BoxesText(h.Boxes());
    EXPECT_LE(h.Boxes().Boxes().size(), 3u) << BoxesText(h.Boxes());
    ::testing::Test::RecordProperty("boxes", BoxesText(h.Boxes()));

    // Nothing else is lost: the decoder works, the choice stays shown, a reading fills the slot.
    EXPECT_TRUE(h.Procedures().Slot(1).PortOpen);
    EXPECT_EQ(ColorGreen, w.FirmwareLabel(1)->Color());
    EXPECT_EQ("PITIN", w.PortList(1)->currentText().toStdString());
    ASSERT_TRUE(h.Click(w.SpBtReadDtAndTm));
    ASSERT_TRUE(h.WaitIdle(kReadTimeoutMs));
    EXPECT_FALSE(w.TimeBox(1)->text().isEmpty());
    EXPECT_EQ("Synchronization OK", w.LblSyncResult->text().toStdString());
    EXPECT_TRUE(std::filesystem::is_regular_file(h.Folder()));
    EXPECT_LT(CpuOverQuietSecond(), kQuietCpuSecondsBound);
}

}  // namespace
}  // namespace sincrovia::e2e
