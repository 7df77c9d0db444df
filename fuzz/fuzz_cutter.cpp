// Fuzz target: the receive buffer of a decoder link under every setting combination. The first
// byte chooses the settings and the way the input is fed; the rest is a run of clusters, each a
// header byte (low seven bits: length; high bit: decode now) and that many bytes. Every parse is
// checked against the plain per-byte rescan: same texts in the same order, same reference time,
// same bytes left in the buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <algorithm>
#include <string>
#include <vector>

#include "decoder_link/LinkSettings.h"
#include "decoder_link/Reception.h"
#include "tests/decoder_link/LiteralRescan.h"
#include "util/DesktopServices.h"

namespace {

using namespace sincrovia;

// Bits of the first byte.
constexpr uint8_t kBitProtocolloTeKan = 0x01;
constexpr uint8_t kBitSpeedTrap = 0x02;
constexpr uint8_t kBitTempiAssoluti = 0x04;
constexpr uint8_t kBitStrXTrivoloTimer = 0x08;
constexpr uint8_t kBitTrafficLog = 0x10;
constexpr uint8_t kBitSmallBuffer = 0x20;
constexpr uint8_t kBitNestedClusters = 0x40;

// Cluster header byte.
constexpr uint8_t kClusterDecode = 0x80;
constexpr uint8_t kClusterLengthMask = 0x7F;

// A small buffer bound, so that dropping old bytes happens within short inputs.
constexpr size_t kSmallHighMark = 200;
constexpr size_t kSmallLowMark = 90;

// Length of a passage text in the default configuration: every field has a fixed width.
constexpr size_t kDefaultPassageTextLength = 51;

// Bytes that a message box feeds back while it is open, as if a cluster arrived meanwhile.
constexpr size_t kNestedClusterBytes = 7;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_cutter: %s\n", what);
    std::abort();
}

// Message boxes answer at once; in nested mode each one also delivers a cluster and asks for a
// parse, as a window would while the box is up.
class FuzzDesktop : public DesktopServices {
public:
    MsgAnswer MessageBox(const std::string&, const std::string&, MsgIcon, MsgButtons,
                         MsgAnswer defaultAnswer) override {
        ++boxes;
        if (nested != nullptr && !nestedBytes.empty()) {
            const size_t n = std::min(nestedBytes.size(), kNestedClusterBytes);
            nested->AppendToRxBuffer(std::string_view(nestedBytes).substr(0, n));
            nestedBytes.erase(0, n);
            nested->ParseRxBuffer();
        }
        return defaultAnswer;
    }
    void Beep() override {}
    void PlaySystemSound(const std::string&) override {}

    int boxes = 0;
    RecordParser* nested = nullptr;
    std::string nestedBytes;
};

FuzzDesktop& TheDesktop() {
    static FuzzDesktop desktop;
    static const bool installed = (SetDesktop(&desktop), true);
    (void)installed;
    return desktop;
}

// The texts the plain rescan delivers for a buffer, and what it leaves in it.
struct Reference {
    std::vector<ByteString> texts;
    TDateTime referenceTime = 0;
};

void RunReference(std::string& buffer, const LinkSettings& settings, bool defaultText, Reference& ref) {
    for (const RecordScan& scan : RecordScans(settings)) {
        literal::Scan(buffer, scan.type, scan.length, literal::Advance::PastStart, [&](const std::string& record) {
            switch (scan.kind) {
            case RecordKind::Passage:
                ref.texts.push_back(PassageText(record, settings, ref.referenceTime));
                if (defaultText && ref.texts.back().size() != kDefaultPassageTextLength) {
                    Fail("default passage text of unexpected length");
                }
                break;
            case RecordKind::Firmware: ref.texts.push_back(FirmwareText(record)); break;
            case RecordKind::DateTime: ref.referenceTime = DateTimeRecordValue(record); break;
            default: break;
            }
        });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FuzzDesktop& desktop = TheDesktop();
    desktop.boxes = 0;
    desktop.nested = nullptr;
    desktop.nestedBytes.clear();

    const uint8_t mode = data[0];
    LinkSettings settings;
    settings.ProtocolloTeKan = (mode & kBitProtocolloTeKan) != 0;
    settings.SpeedTrap = (mode & kBitSpeedTrap) != 0;
    settings.TempiAssoluti = (mode & kBitTempiAssoluti) != 0;
    settings.StrXTrivoloTimer = (mode & kBitStrXTrivoloTimer) != 0;
    const bool nestedMode = (mode & kBitNestedClusters) != 0;
    const bool defaultText =
        settings.ProtocolloTeKan && !settings.SpeedTrap && settings.TempiAssoluti && settings.StrXTrivoloTimer;

    std::vector<ByteString> delivered;
    size_t logEntries = 0;
    RecordParser::LogFn log;
    if ((mode & kBitTrafficLog) != 0) {
        log = [&](std::string_view tag, const std::string&) {
            if (tag.empty()) Fail("log entry without a tag");
            ++logEntries;
        };
    }
    RecordParser parser(
        settings, [&](const ByteString& text) { delivered.push_back(text); }, log);
    size_t highMark = kRxBufferHighMark;
    if ((mode & kBitSmallBuffer) != 0) {
        highMark = kSmallHighMark;
        parser.SetBufferMarks(kSmallHighMark, kSmallLowMark);
    }

    Reference ref;
    size_t pos = 1;
    while (pos < size) {
        const uint8_t header = data[pos++];
        const size_t length = std::min<size_t>(header & kClusterLengthMask, size - pos);
        const std::string_view cluster(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        const bool decode = (header & kClusterDecode) != 0;

        if (nestedMode) {
            // Bytes arriving while a box is up: the next cluster's bytes, fed in pieces.
            desktop.nested = &parser;
            desktop.nestedBytes.assign(cluster);
            parser.ReceiveCluster(cluster, decode);
            if (parser.RxBuffer().size() > highMark + kNestedClusterBytes + length) {
                Fail("buffer above its bound");
            }
            continue;
        }

        parser.ReceiveCluster(cluster, false);
        if (parser.RxBuffer().size() > highMark) Fail("buffer above its bound");
        if (!decode) continue;

        std::string expected = parser.RxBuffer();
        const size_t before = delivered.size();
        parser.ParseRxBuffer();
        RunReference(expected, settings, defaultText, ref);
        if (expected != parser.RxBuffer()) Fail("buffer differs from the plain rescan");
        if (delivered.size() != ref.texts.size()) Fail("text count differs from the plain rescan");
        for (size_t i = before; i < delivered.size(); ++i) {
            if (delivered[i] != ref.texts[i]) Fail("text differs from the plain rescan");
        }
        const TDateTime got = parser.ReferenceTime();
        if (std::memcmp(&ref.referenceTime, &got, sizeof got) != 0 && ref.referenceTime != got) {
            Fail("reference time differs from the plain rescan");
        }
    }
    (void)logEntries;
    return 0;
}
