// Cost of picking the firmware version out of a decoder's firmware text: the link's regular-
// expression engine through ExtractMatches, against std::regex and PCRE2's interpreter (no JIT)
// with the same pattern over the same text. Each engine compiles the pattern once, as the
// program does, and every call searches the text afresh.
#include <benchmark/benchmark.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <regex>
#include <string>

#include "util/RegExExtractString.h"

namespace {

// The 35-byte text of a firmware record as a decoder sends it.
const std::string kFirmwareText = [] {
    constexpr size_t kFirmwareTextBytes = 35;
    std::string t = "teKAN - teVO Ver: 6.33.1";
    t.resize(kFirmwareTextBytes, ' ');
    return t;
}();
constexpr const char* kVersionPattern = R"(([0-9]{1,2}\.[0-9]{1,2}\.[0-9]{1,2})|([0-9]{1,2}\.[0-9]{1,2}))";
constexpr const char* kExpected = "6.33.1";

void Ours(benchmark::State& state) {
    std::string version;
    for (auto _ : state) {
        version = sincrovia::TRegExExtract::ExtractMatches(kFirmwareText, kVersionPattern, true);
        benchmark::DoNotOptimize(version.data());
    }
    if (version != kExpected) state.SkipWithError("wrong version");
    state.SetLabel("speedup>=3 vs std_regex; speedup>=1 vs pcre2_interp");
}

void StdRegex(benchmark::State& state) {
    const std::regex re(kVersionPattern, std::regex::ECMAScript);
    std::string version;
    for (auto _ : state) {
        std::smatch m;
        version = std::regex_search(kFirmwareText, m, re) ? m.str(0) : std::string();
        benchmark::DoNotOptimize(version.data());
    }
    if (version != kExpected) state.SkipWithError("wrong version");
}

void Pcre2Interpreter(benchmark::State& state) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kVersionPattern), PCRE2_ZERO_TERMINATED, 0, &error,
                                     &offset, nullptr);
    if (code == nullptr) {
        state.SkipWithError("pattern not compiled");
        return;
    }
    pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
    std::string version;
    for (auto _ : state) {
        const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(kFirmwareText.data()), kFirmwareText.size(), 0, 0,
                                   match, nullptr);
        if (rc > 0) {
            const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(match);
            version.assign(kFirmwareText, ov[0], ov[1] - ov[0]);
        } else {
            version.clear();
        }
        benchmark::DoNotOptimize(version.data());
    }
    if (version != kExpected) state.SkipWithError("wrong version");
    pcre2_match_data_free(match);
    pcre2_code_free(code);
}

}  // namespace

BENCHMARK(Ours)->Name("version extraction, 35-byte firmware text/ours");
BENCHMARK(StdRegex)->Name("version extraction, 35-byte firmware text/std_regex");
BENCHMARK(Pcre2Interpreter)->Name("version extraction, 35-byte firmware text/pcre2_interp");

BENCHMARK_MAIN();
