#include "util/RegExExtractString.h"

#include <memory>

#include "util/RegExpr.h"

namespace sincrovia {

namespace {

// Inputs longer than this are not kept in the reused engine after the call.
constexpr size_t kKeptInputBytes = size_t{64} << 10;

// The engine of the last pattern used on this thread, so that a pattern extracted over and
// over (the firmware version of every banner) is compiled once. Results are those of a fresh
// engine: the pattern and the default settings are all that carries over.
struct EngineCache {
    std::unique_ptr<TRegExpr> engine;

    TRegExpr& For(std::string_view pattern) {
        if (!engine || engine->Expression() != pattern) {
            engine = std::make_unique<TRegExpr>();
            engine->SetExpression(pattern);
        }
        return *engine;
    }
};

// Lets go of a large input once the extraction is over, whether it returned or raised.
class InputRelease {
public:
    InputRelease(EngineCache& cache, size_t inputSize) : cache_(cache), inputSize_(inputSize) {}
    ~InputRelease() {
        if (inputSize_ > kKeptInputBytes) cache_.engine.reset();
    }
    InputRelease(const InputRelease&) = delete;
    InputRelease& operator=(const InputRelease&) = delete;

private:
    EngineCache& cache_;
    size_t inputSize_;
};

}  // namespace

std::string TRegExExtract::ExtractMatches(std::string_view input, std::string_view pattern, bool firstOnly) {
    thread_local EngineCache cache;
    TRegExpr& engine = cache.For(pattern);
    InputRelease release(cache, input.size());
    if (!engine.Exec(input)) return {};
    if (firstOnly) return engine.GroupText(0);
    std::string all;
    do {
        all += engine.GroupText(0);
        all += ',';
    } while (engine.ExecNext());
    return all;
}

}  // namespace sincrovia
