// Decoder byte captures replayed through the record cutter and, over a pseudo-terminal, through
// the decoder link; the texts delivered must match the golden file beside each capture.
//
// A capture is tests/data/captures/<name>.hex: lines starting with '#' are comments (the first
// says what the capture holds), every other line is one read from the line, its bytes in hex.
// Its golden file <name>.golden holds the texts delivered, one per line, written by GoldenLine.
// Adding a capture needs no code: the test lists the folder when it runs.
//
// SINCROVIA_UPDATE_GOLDEN=1 makes the record-cutter replay (re)write every golden file from what
// it delivers instead of comparing; a rewritten file must be checked by hand against the record
// layouts before it is committed, or the test only confirms what the code does today.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "LinkTestSupport.h"
#include "decoder_link/DecoderConsole.h"
#include "decoder_link/Reception.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char kCaptureSuffix[] = ".hex";
constexpr char kGoldenSuffix[] = ".golden";
constexpr char kCommentMark = '#';
/// First line of a golden file.
constexpr char kGoldenHeader[] =
    "# texts the link delivers for the capture of the same name, one per line; \\xHH stands for a byte outside "
    "printable ASCII, a backslash, a leading # or a text's last blank";
/// Longest wait for the link to deliver the texts a read completes (a loaded machine).
constexpr auto kDeliveryTimeout = 5000ms;
/// Pause after a read that completes no record, so that it usually reaches the link on its own.
constexpr auto kReadGap = 50ms;
/// Time left after the last read for texts the capture should not produce.
constexpr auto kStrayTextWait = 300ms;

/// The reads of one capture, in order.
std::vector<std::string> LoadReads(const fs::path& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::vector<std::string> reads;
    for (std::string line; std::getline(in, line);) {
        if (line.find_first_not_of(" \t\r") == std::string::npos || line.front() == kCommentMark) continue;
        reads.push_back(ParseHexBytes(line));
    }
    return reads;
}

/// One text as a golden line: bytes outside printable ASCII, a backslash, a leading '#' (which
/// would read as a comment) and a last blank (which editors strip) are written as \xHH.
std::string GoldenLine(const ByteString& text) {
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool escape = byte < 0x20 || byte > 0x7E || byte == '\\' || (i == 0 && byte == kCommentMark) ||
                            (i + 1 == text.size() && byte == ' ');
        if (escape) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            line += hex;
        } else {
            line += static_cast<char>(byte);
        }
    }
    return line;
}

/// Texts as the golden file writes them, one line each, so that a mismatch shows as a diff.
std::string GoldenText(const std::vector<ByteString>& texts) {
    std::string all;
    for (const ByteString& text : texts) all += GoldenLine(text) + "\n";
    return all;
}

/// The golden file's texts without its comments.
std::string LoadGolden(const fs::path& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("no golden file " + file.string());
    std::string all;
    for (std::string line; std::getline(in, line);)
        if (line.empty() || line.front() != kCommentMark) all += line + "\n";
    return all;
}

/// What a replay delivered: the texts, and how many had come after each read.
struct Replay {
    std::vector<ByteString> texts;
    std::vector<std::size_t> countAfterRead;
};

/// The reads fed one by one to a record parser with the default settings.
Replay ReplayThroughCutter(const std::vector<std::string>& reads) {
    RecordingDesktop desktop;  // a failure box must not wait for a user
    ScopedDesktop scope(desktop);
    Replay replay;
    LinkSettings settings;
    RecordParser parser(settings, [&](const ByteString& text) { replay.texts.push_back(text); });
    for (const std::string& read : reads) {
        parser.ReceiveCluster(read, true);
        replay.countAfterRead.push_back(replay.texts.size());
    }
    return replay;
}

/// A pseudo-terminal whose slave side stands for the decoder's serial line.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal");
        slavePath_ = name;
        // Held open so the master never sees the line hang up between the link's open and close,
        // and raw from the start so no byte is echoed or translated.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) throw std::runtime_error("cannot open " + slavePath_);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
    }
    ~Pty() {
        ::close(slave_);
        ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const std::string& SlavePath() const { return slavePath_; }
    /// Writes all of `bytes` on the decoder's side.
    void Write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0) throw std::runtime_error("write to the pseudo-terminal failed");
            done += static_cast<std::size_t>(n);
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

/// The reads written one by one on a pseudo-terminal to a link opened on it. After each read
/// the link is given time to deliver what the record cutter delivered for it (`expected`), so
/// that reads stay apart as they were captured; a read that completes no record may still reach
/// the link together with the next one. The only use of the link in this test.
std::vector<ByteString> ReplayThroughLink(const std::vector<std::string>& reads, const Replay& expected) {
    testing::LinkEnvironment env;
    testing::MemoRecorder memo;
    Pty pty;
    TTest link(nullptr, pty.SlavePath(), testing::RecordCallback, false, "", &memo);
    if (!link.LinkControl(LinkMode::Open)) throw std::runtime_error("the link did not open " + pty.SlavePath());
    std::size_t delivered = 0;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        pty.Write(reads[i]);
        const std::size_t due = expected.countAfterRead[i];
        if (due > delivered)
            testing::ServeUntil([due] { return testing::CallbackTexts().size() >= due; }, kDeliveryTimeout);
        else
            testing::ServeFor(kReadGap);
        delivered = due;
    }
    testing::ServeFor(kStrayTextWait);
    link.LinkControl(LinkMode::Close);
    return testing::CallbackTexts();
}

/// The name of every capture of the folder, sorted.
std::vector<std::string> Captures() {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(SINCROVIA_CAPTURES_DIR))
        if (entry.path().extension() == kCaptureSuffix) found.push_back(entry.path().stem().string());
    std::sort(found.begin(), found.end());
    return found;
}

fs::path CaptureFile(const std::string& name) { return fs::path(SINCROVIA_CAPTURES_DIR) / (name + kCaptureSuffix); }
fs::path GoldenFile(const std::string& name) { return fs::path(SINCROVIA_CAPTURES_DIR) / (name + kGoldenSuffix); }

bool UpdatingGolden() {
    const char* value = std::getenv("SINCROVIA_UPDATE_GOLDEN");
    return value != nullptr && std::string(value) == "1";
}

class CaptureReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(CaptureReplay, ThroughTheRecordCutter) {
    const Replay replay = ReplayThroughCutter(LoadReads(CaptureFile(GetParam())));
    if (UpdatingGolden()) {
        std::ofstream out(GoldenFile(GetParam()));
        out << kGoldenHeader << "\n" << GoldenText(replay.texts);
        ASSERT_TRUE(out.good()) << "cannot write " << GoldenFile(GetParam());
        return;
    }
    EXPECT_EQ(LoadGolden(GoldenFile(GetParam())), GoldenText(replay.texts));
}

TEST_P(CaptureReplay, ThroughAPseudoTerminalIntoTheLink) {
    const std::vector<std::string> reads = LoadReads(CaptureFile(GetParam()));
    const std::vector<ByteString> texts = ReplayThroughLink(reads, ReplayThroughCutter(reads));
    EXPECT_EQ(LoadGolden(GoldenFile(GetParam())), GoldenText(texts));
}

/// The test name of a capture: its name in letters, digits and '_'.
std::string CaptureTestName(const ::testing::TestParamInfo<std::string>& capture) {
    std::string name = capture.param;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureReplay, ::testing::ValuesIn(Captures()), CaptureTestName);

}  // namespace
}  // namespace sincrovia
