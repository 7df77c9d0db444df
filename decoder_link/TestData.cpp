#include "decoder_link/TestData.h"

#include <atomic>

#include "util/SysFormat.h"

namespace sincrovia {
namespace {

constexpr uint32_t kRandomMultiplier = 134775813u;
constexpr int kRandomShift = 32;

// Panel 1's history: its longest kept text and the part kept when it is that long.
constexpr size_t kHistoryLimit = 19;
constexpr size_t kHistoryKeepFrom = 4;  // 0-based: character 5
constexpr size_t kHistoryKeepCount = 17;

const char* const kPassageTimePattern = "dd.mm.yyyy-hh:mm:ss.zzz";

std::atomic<uint32_t> g_randSeed{0};

void ReplaceFirst(std::string& text, std::string_view what, const std::string& with) {
    const size_t at = text.find(what);
    if (at != std::string::npos) text.replace(at, what.size(), with);
}

}  // namespace

int ProgramRandom(int range) {
    uint32_t seed = g_randSeed.load();
    uint32_t next = 0;
    do {
        next = seed * kRandomMultiplier + 1u;
    } while (!g_randSeed.compare_exchange_weak(seed, next));
    if (range <= 0) return 0;
    return static_cast<int>((static_cast<uint64_t>(next) * static_cast<uint64_t>(range)) >> kRandomShift);
}

uint32_t ProgramRandSeed() { return g_randSeed.load(); }

void SetProgramRandSeed(uint32_t seed) { g_randSeed.store(seed); }

std::string AppendHistory(const std::string& panel, int n) {
    std::string kept = panel;
    if (kept.size() >= kHistoryLimit) kept = kept.substr(kHistoryKeepFrom, kHistoryKeepCount);
    return SysFormat("%s (%1.1d)", {kept, n});
}

std::string TemplateTransitText(int transponder, int64_t elapsedMs, int reader, TDateTime now) {
    std::string text(kTemplateTransit);
    ReplaceFirst(text, "IDTRANSPONDER", SysFormat("%.5d", {transponder}));
    ReplaceFirst(text, "MILLISECONDI", SysFormat("%.11d", {elapsedMs}));
    ReplaceFirst(text, "IDRX", SysFormat("%.1d", {reader}));
    return text + "-" + FormatDateTime(kPassageTimePattern, now);
}

ByteString SimulatedPassageRecord() {
    static const unsigned char kBytes[] = {0x00, 0x50, 0x01, 0x10, 0x05, 0x19, 0x11, 0x34, 0x30, 0x00, 0x00,
                                           0x00, 0x01, 0x00, 0x00, 0x8D, 0xEB, 0x00, 0x00, 0x00, 0xD6, 0x00,
                                           0xC6, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x09, 0x0D, 0x0A};
    return ByteString(reinterpret_cast<const char*>(kBytes), sizeof kBytes);
}

}  // namespace sincrovia
