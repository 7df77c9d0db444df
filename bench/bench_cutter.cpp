// Throughput of the record cutter of a decoder link against the plain per-byte rescan it
// replaces (tests/decoder_link/LiteralRescan.h): a clean record stream, a stream that is half
// garbage, and one parse of a garbage buffer holding one record, at several sizes to show the
// growth.
//
// Names are figure/variant[/size]: "ours" is the link's parser, the other variants are the
// references that run.sh compares it with. The label of an "ours" entry names its targets.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "decoder_link/LinkSettings.h"
#include "decoder_link/Reception.h"
#include "tests/decoder_link/LiteralRescan.h"
#include "util/DesktopServices.h"

namespace {

using namespace sincrovia;

// Cluster size of a link's serial port: the bytes handed over per receive event.
constexpr size_t kClusterBytes = 96;
// A buffer bound above any size measured here, so no byte is dropped during a measurement.
constexpr size_t kUnboundedMark = size_t{1} << 30;
constexpr size_t kKiB = 1024;
constexpr unsigned kGarbageSeed = 20240611;

// Message boxes answer at once (no box is expected from the records used here).
class SilentDesktop : public DesktopServices {
public:
    MsgAnswer MessageBox(const std::string&, const std::string&, MsgIcon, MsgButtons,
                         MsgAnswer defaultAnswer) override {
        return defaultAnswer;
    }
    void Beep() override {}
    void PlaySystemSound(const std::string&) override {}
};

// A default-configuration passage record of transponder `id`: 13 August 2017 17:45:00.214.
std::string Passage(uint32_t id) {
    std::string r = std::string("\x00\x50\x01\x11\x08\x0D\x11\x2D\x00", 9);
    const auto put32 = [&r](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) r += static_cast<char>((v >> shift) & 0xFF);
    };
    put32(id);   // N
    put32(id);   // transponder
    put32(214);  // milliseconds
    r += std::string("\x00\x6C\x00\x00\x00\x00\x00\x00\x00", 9);
    r += "\r\n";
    return r;
}

// Random bytes that hold no record: no 0x00 may be followed by a record type, so every
// zero byte is followed by a byte that no scan looks for.
std::string Garbage(size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string g(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        g[i] = static_cast<char>(byte(rng));
        if (i > 0 && g[i - 1] == '\0') g[i] = 'x';
    }
    if (!g.empty() && g.back() == '\0') g.back() = 'x';
    return g;
}

std::string CleanStream(size_t bytes) {
    std::string s;
    for (uint32_t id = 1; s.size() < bytes; ++id) s += Passage(id);
    return s;
}

std::string HalfGarbageStream(size_t bytes) {
    std::mt19937 rng(kGarbageSeed);
    std::string s;
    for (uint32_t id = 1; s.size() < bytes; ++id) s += Passage(id) + Garbage(Passage(id).size(), rng);
    return s;
}

std::string GarbagePlusRecord(size_t garbageBytes) {
    std::mt19937 rng(kGarbageSeed);
    return Garbage(garbageBytes, rng) + Passage(1);
}

// The link's parser over a stream cut into clusters; gives the number of texts delivered.
size_t OursOverClusters(const std::string& stream, size_t cluster) {
    LinkSettings settings;
    size_t texts = 0;
    RecordParser parser(settings, [&texts](const ByteString& t) { texts += t.size() > 0; });
    parser.SetBufferMarks(kUnboundedMark, kUnboundedMark);
    for (size_t at = 0; at < stream.size(); at += cluster) {
        parser.ReceiveCluster(std::string_view(stream).substr(at, cluster), true);
    }
    return texts;
}

// The rescan with the same handling of each record as the link's parser.
size_t LiteralParse(std::string& buffer, const LinkSettings& settings, TDateTime& referenceTime) {
    size_t texts = 0;
    for (const RecordScan& scan : RecordScans(settings)) {
        literal::Scan(buffer, scan.type, scan.length, literal::Advance::OneByte, [&](const std::string& record) {
            if (scan.kind == RecordKind::Passage) {
                texts += PassageText(record, settings, referenceTime).size() > 0;
            } else if (scan.kind == RecordKind::Firmware) {
                texts += FirmwareText(record).size() > 0;
            } else if (scan.kind == RecordKind::DateTime) {
                referenceTime = DateTimeRecordValue(record);
            }
        });
    }
    return texts;
}

size_t LiteralOverClusters(const std::string& stream, size_t cluster) {
    LinkSettings settings;
    TDateTime referenceTime = 0;
    std::string buffer;
    size_t texts = 0;
    for (size_t at = 0; at < stream.size(); at += cluster) {
        buffer.append(std::string_view(stream).substr(at, cluster));
        texts += LiteralParse(buffer, settings, referenceTime);
    }
    return texts;
}

size_t RecordsIn(const std::string& stream) { return stream.size() / Passage(1).size(); }

// --- streams in clusters ----------------------------------------------------------------

constexpr size_t kCleanStreamBytes = 256 * kKiB;
constexpr size_t kHalfGarbageStreamBytes = 16 * kKiB;

template <size_t (*Run)(const std::string&, size_t)>
void StreamBench(benchmark::State& state, const std::string& stream, size_t expectedTexts) {
    size_t texts = 0;
    for (auto _ : state) {
        texts = Run(stream, kClusterBytes);
        benchmark::DoNotOptimize(texts);
    }
    if (texts != expectedTexts) state.SkipWithError("wrong number of texts");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void CleanOurs(benchmark::State& state) {
    static const std::string s = CleanStream(kCleanStreamBytes);
    StreamBench<OursOverClusters>(state, s, RecordsIn(s));
}
void CleanLiteral(benchmark::State& state) {
    static const std::string s = CleanStream(kCleanStreamBytes);
    StreamBench<LiteralOverClusters>(state, s, RecordsIn(s));
}
void HalfOurs(benchmark::State& state) {
    static const std::string s = HalfGarbageStream(kHalfGarbageStreamBytes);
    StreamBench<OursOverClusters>(state, s, s.size() / (2 * Passage(1).size()));
}
void HalfLiteral(benchmark::State& state) {
    static const std::string s = HalfGarbageStream(kHalfGarbageStreamBytes);
    StreamBench<LiteralOverClusters>(state, s, s.size() / (2 * Passage(1).size()));
}

// --- one parse of garbage plus one record ---------------------------------------------------

void GarbageOurs(benchmark::State& state) {
    const std::string buffer = GarbagePlusRecord(static_cast<size_t>(state.range(0)));
    LinkSettings settings;
    size_t texts = 0;
    RecordParser parser(settings, [&texts](const ByteString&) { ++texts; });
    parser.SetBufferMarks(kUnboundedMark, kUnboundedMark);
    for (auto _ : state) {
        parser.ClearRxBuffer();
        parser.AppendToRxBuffer(buffer);
        parser.ParseRxBuffer();
        benchmark::DoNotOptimize(parser.RxBuffer().data());
    }
    if (texts != static_cast<size_t>(state.iterations())) state.SkipWithError("record not found");
    if (parser.RxBuffer().size() != buffer.size() - Passage(1).size()) {
        state.SkipWithError("garbage not kept");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
    state.SetLabel("speedup>=100 vs literal @65536; linear");
}

void GarbageLiteral(benchmark::State& state) {
    const std::string buffer = GarbagePlusRecord(static_cast<size_t>(state.range(0)));
    LinkSettings settings;
    TDateTime referenceTime = 0;
    size_t texts = 0;
    std::string work;
    for (auto _ : state) {
        work = buffer;
        texts += LiteralParse(work, settings, referenceTime);
        benchmark::DoNotOptimize(work.data());
    }
    if (texts != static_cast<size_t>(state.iterations())) state.SkipWithError("record not found");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}

}  // namespace

BENCHMARK(CleanOurs)->Name("cutter clean stream 256 KiB in 96-byte clusters/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(CleanLiteral)->Name("cutter clean stream 256 KiB in 96-byte clusters/literal")->Unit(benchmark::kMicrosecond);
BENCHMARK(HalfOurs)->Name("cutter 50% garbage stream 16 KiB in 96-byte clusters/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(HalfLiteral)
    ->Name("cutter 50% garbage stream 16 KiB in 96-byte clusters/literal")
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2);
BENCHMARK(GarbageOurs)
    ->Name("cutter garbage + 1 record, one parse/ours")
    ->RangeMultiplier(4)
    ->Range(4 * 1024, 1024 * 1024)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(GarbageLiteral)
    ->Name("cutter garbage + 1 record, one parse/literal")
    ->RangeMultiplier(4)
    ->Range(4 * 1024, 64 * 1024)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2);

int main(int argc, char** argv) {
    static SilentDesktop desktop;
    sincrovia::SetDesktop(&desktop);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sincrovia::SetDesktop(nullptr);
    return 0;
}
