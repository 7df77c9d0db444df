// The record cutter against the plain per-byte rescan: same records, same order, same buffer
// after every removal, over crafted and random buffers and over streams split into clusters.
#include <gtest/gtest.h>

#include <random>

#include "ReceptionSupport.h"
#include "decoder_link/Reception.h"

namespace sincrovia {
namespace {

using testing::PlainCutRecords;
using testing::Record;

// Every (type, length) pair that a scan uses under any protocol setting.
const std::vector<std::pair<char, size_t>> kAllScans = {
    {'P', 32},    {'T', 32},    {'\x14', 32}, {'\x81', 45}, {'\x81', 47}, {'Q', 27},   {'\x15', 27},
    {'\x87', 10}, {'\x85', 20}, {'S', 13},    {'\x17', 13}, {'S', 10},    {'\x17', 10}};

struct Cut {
    std::string record, remaining;
    bool operator==(const Cut&) const = default;
};

std::vector<Cut> OurCuts(std::string& buffer, char type, size_t length) {
    std::vector<Cut> cuts;
    CutRecords(
        buffer, type, length,
        [&](const ByteString& r) {
            cuts.push_back({r, {}});
        },
        [&](const ByteString& rest) { cuts.back().remaining = rest; });
    return cuts;
}

// Runs every scan in turn over the same buffer with both cutters and compares each step.
void ExpectSameCuts(const std::string& input, const std::string& legend) {
    std::string ours = input, plain = input;
    for (const auto& [type, length] : kAllScans) {
        const auto a = OurCuts(ours, type, length);
        const auto b = PlainCutRecords(plain, type, length);
        ASSERT_EQ(a.size(), b.size()) << legend << " scan " << int(static_cast<unsigned char>(type)) << "/" << length;
        for (size_t i = 0; i < a.size(); ++i) {
            ASSERT_EQ(a[i].record, b[i].record) << legend;
            ASSERT_EQ(a[i].remaining, b[i].remaining) << legend;
        }
        ASSERT_EQ(ours, plain) << legend;
    }
}

TEST(RecordCutter, CraftedBuffersMatchThePlainRescan) {
    const std::string nul(1, '\0');
    const std::string result = Record('\x87', 10), passage = Record('P', 32);
    const struct {
        const char* legend;
        std::string buffer;
    } cases[] = {
        {"empty buffer", ""},
        {"one passage alone", passage},
        {"passage behind garbage", "xyz" + passage},
        {"two passages back to back", passage + passage},
        {"marker whose record lacks CR LF, then a good one", nul + "P" + std::string(40, 'a') + passage},
        {"record missing its last byte", passage.substr(0, 31)},
        {"0x00 before a cut record joins the byte behind it", nul + result + "\x85" + Record('\x85', 20).substr(2)},
        {"same-type join: a result closes up behind a cut result", nul + result + result.substr(1)},
        {"same-type join of passages behind garbage", "ab" + nul + passage + passage.substr(1) + "cd"},
        {"chain of joins", nul + nul + result + result + "\x85" + Record('\x85', 20).substr(2)},
        {"long firmware seen by the short scan", Record('\x81', 47)},
        {"record inside a record", Record('Q', 27, std::string(5, 'q') + Record('\x87', 10))},
        {"markers only", std::string(64, '\0')},
        {"CR LF soup", std::string(50, '\r') + "\n\0S\r\n\r\n"},
    };
    for (const auto& c : cases) ExpectSameCuts(c.buffer, c.legend);
}

// Random buffers rich in markers, type bytes, CR and LF, with real records mixed in.
std::string RandomBuffer(std::mt19937& rng, size_t maxLength) {
    static const std::string interesting = std::string("\0\0\0\r\n\r\nPTQS", 12) + "\x14\x15\x17\x81\x85\x87";
    std::uniform_int_distribution<int> pick(0, 99);
    std::uniform_int_distribution<size_t> length(0, maxLength);
    std::string out;
    const size_t target = length(rng);
    while (out.size() < target) {
        const int p = pick(rng);
        if (p < 8) {
            const auto& [type, len] = kAllScans[static_cast<size_t>(pick(rng)) % kAllScans.size()];
            std::string body;
            for (size_t k = 0; k < len; ++k) {
                body += pick(rng) < 30 ? interesting[static_cast<size_t>(pick(rng)) % interesting.size()]
                                       : static_cast<char>(pick(rng) + 'A');
            }
            std::string r = Record(type, len, body);
            if (p < 2) r.pop_back();                                 // a record cut short
            if (p >= 6) r = std::string(1, '\0') + r + r.substr(1);  // closes up once r is cut
            out += r;
        } else if (p < 55) {
            out += interesting[static_cast<size_t>(pick(rng)) % interesting.size()];
        } else {
            out += static_cast<char>(pick(rng) * 2);
        }
    }
    return out;
}

TEST(RecordCutter, RandomBuffersMatchThePlainRescan) {
    std::mt19937 rng(20261208);
    for (int i = 0; i < 3000; ++i) ExpectSameCuts(RandomBuffer(rng, 300), "random buffer " + std::to_string(i));
}

TEST(RecordCutter, StreamsSplitIntoClustersMatchThePlainRescan) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<size_t> clusterSize(1, 96);
    for (int i = 0; i < 150; ++i) {
        const std::string stream = RandomBuffer(rng, 1000);
        std::string ours, plain;
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min(clusterSize(rng), stream.size() - at);
            ours += stream.substr(at, n);
            plain += stream.substr(at, n);
            at += n;
            for (const auto& [type, length] : kAllScans) {
                const auto a = OurCuts(ours, type, length);
                const auto b = PlainCutRecords(plain, type, length);
                ASSERT_EQ(a.size(), b.size()) << "stream " << i << " at " << at;
                ASSERT_EQ(ours, plain) << "stream " << i << " at " << at;
            }
        }
    }
}

}  // namespace
}  // namespace sincrovia
