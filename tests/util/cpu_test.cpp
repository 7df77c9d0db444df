// The processor report and the developer-workstation test, built from fake CPUID answers.
#include "util/RetrieveCPU_Id.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace sincrovia {
namespace {

// Answers CPUID leaves from a table; leaves not in the table answer zeros, as a fake processor
// would. Counts the queries so that tests can see how often a report was built.
class FakeCpuid : public CpuidSource {
public:
    bool available = true;
    std::map<uint32_t, CpuidRegisters> leaves;
    mutable int queriesOfLeafZero = 0;

    bool Available() const override { return available; }
    CpuidRegisters Query(uint32_t leaf) const override {
        if (leaf == 0) ++queriesOfLeafZero;
        const auto it = leaves.find(leaf);
        return it == leaves.end() ? CpuidRegisters{} : it->second;
    }
};

// Packs four characters into a register, the first in the low byte.
uint32_t Chars(const char (&s)[5]) {
    uint32_t r = 0;
    for (int k = 3; k >= 0; --k) r = (r << 8) | static_cast<unsigned char>(s[k]);
    return r;
}

// Stores a 48-byte brand text into the three brand leaves.
void SetBrand(FakeCpuid& cpu, const std::string& brand48) {
    ASSERT_EQ(brand48.size(), 48u);
    for (uint32_t leaf = 0; leaf < 3; ++leaf) {
        uint32_t regs[4] = {};
        for (int r = 0; r < 4; ++r) {
            for (int b = 3; b >= 0; --b) {
                const size_t at = leaf * 16 + static_cast<size_t>(r * 4 + b);
                regs[r] = (regs[r] << 8) | static_cast<unsigned char>(brand48[at]);
            }
        }
        cpu.leaves[0x80000002 + leaf] = {regs[0], regs[1], regs[2], regs[3]};
    }
}

// A plausible processor: "GenuineIntel", family 6, model 0xE, stepping 3, extended model 9.
FakeCpuid SampleCpu() {
    FakeCpuid cpu;
    cpu.leaves[0] = {0x16, Chars("Genu"), Chars("ntel"), Chars("ineI")};
    cpu.leaves[1] = {0x000906E3, 0x04100800, 0x7FFAFBFF, 0xBFEBFBFF};
    cpu.leaves[3] = {0, 0, 0x12345678, 0x9ABCDEF0};
    cpu.leaves[0x80000000] = {0x80000008, 0, 0, 0};
    SetBrand(cpu, std::string("        Intel(R) Core(TM) i7-7700 CPU @ 3.60GHz") + std::string(1, '\0'));
    return cpu;
}

std::vector<std::string> Lines(const std::string& report) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t end = 0;
    while ((end = report.find(kCpuReportLineBreak, start)) != std::string::npos) {
        lines.push_back(report.substr(start, end - start));
        start = end + kCpuReportLineBreak.size();
    }
    EXPECT_EQ(start, report.size()) << "the last line ends in a line break too";
    return lines;
}

TEST(CpuReport, WholeReportOfASampleProcessor) {
    const std::string want =
        "CPU\n\r"
        "   - Vendor ID: GenuineIntel\n\r"
        "   - Stepping ID: 3\n\r"
        "   - Model Number: E\n\r"
        "   - Family Code: 6\n\r"
        "   - Processor Type: 0\n\r"
        "   - Extended Model: 9\n\r"
        "   - Extended Family: 0\n\r"
        "   - Brand ID: 0\n\r"
        "   - Chunks: 8\n\r"
        "   - Count: 16\n\r"
        "   - APIC ID: 4\n\r"
        "   - Serial Number Disabled\n\r"
        "   - Serial Number: 0009-06E3-9ABC-DEF0-1234-5678\n\r"
        "\n\r"
        "MMX Supported\n\r"
        "FXSAVE & FXRSTOR Instructions Supported\n\r"
        "SSE Supported\n\r"
        "SSE2 Supported\n\r"
        "\n\r"
        "Extended CPUID: Supported\n\r"
        "   - Largest Function Supported: 8\n\r"
        "Brand String: \n\r"
        "   -         Intel(R) Core(TM) i7-7700 CPU @ 3.60GHz\n\r";
    EXPECT_EQ(CpuReport(SampleCpu()), want);
}

TEST(CpuReport, FieldsOfLeafOne) {
    const struct {
        const char* legend;
        uint32_t eax1, ebx1, edx1;
        size_t line;  // 0-based line of the report
        const char* want;
    } cases[] = {
        {"model number is one hex digit", 0x000000F0, 0, 0, 3, "   - Model Number: F"},
        {"family code takes four bits", 0x00000F00, 0, 0, 4, "   - Family Code: 15"},
        {"processor type", 0x00003000, 0, 0, 5, "   - Processor Type: 3"},
        {"extended family takes eight bits", 0x0FF00000, 0, 0, 7, "   - Extended Family: 255"},
        {"stepping ignores the higher bits", 0xFFFFFFF5, 0, 0, 2, "   - Stepping ID: 5"},
        {"brand id", 0, 0x000000AB, 0, 8, "   - Brand ID: 171"},
        {"APIC id is the top byte", 0, 0xFF000000, 0, 11, "   - APIC ID: 255"},
        {"serial number feature bit", 0, 0, 0x00040000, 12, "   - Serial Number Enabled"},
        {"no MMX", 0, 0, 0, 15, "MMX Not Supported"},
        {"no FXSAVE puts 'Not' in the label", 0, 0, 0, 16, "FXSAVE & FXRSTOR Instructions Not Supported"},
        {"SSE alone", 0, 0, 0x02000000, 17, "SSE Supported"},
        {"SSE2 alone", 0, 0, 0x04000000, 18, "SSE2 Supported"},
        {"SSE bit does not mean SSE2", 0, 0, 0x02000000, 18, "SSE2 Not Supported"},
    };
    for (const auto& c : cases) {
        FakeCpuid cpu = SampleCpu();
        cpu.leaves[1] = {c.eax1, c.ebx1, 0, c.edx1};
        const auto lines = Lines(CpuReport(cpu));
        ASSERT_GT(lines.size(), c.line) << c.legend;
        EXPECT_EQ(lines[c.line], c.want) << c.legend;
    }
}

TEST(CpuReport, SerialNumberLineIsBuiltEvenWithoutTheFeature) {
    FakeCpuid cpu = SampleCpu();
    cpu.leaves[1].edx = 0;  // no serial-number feature
    cpu.leaves[1].eax = 0x00A0B0C0;
    cpu.leaves[3] = {0, 0, 0x0000000F, 0xFFFF0000};
    const auto lines = Lines(CpuReport(cpu));
    ASSERT_GT(lines.size(), 13u);
    EXPECT_EQ(lines[12], "   - Serial Number Disabled");
    EXPECT_EQ(lines[13], "   - Serial Number: 00A0-B0C0-FFFF-0000-0000-000F");
    EXPECT_EQ(lines[13].size(), 20u + 29u);
}

TEST(CpuReport, ExtendedLeaves) {
    const std::string brandText = "  Fake CPU";
    const struct {
        const char* legend;
        uint32_t maxExtended;
        std::string brand48;
        std::vector<std::string> wantTail;
    } cases[] = {
        {"largest extended function 0x80000000: not supported", 0x80000000, "", {"   - Extended CPUID Not Supported."}},
        {"an answer below 0x80000000 is not supported either", 0x00000016, "", {"   - Extended CPUID Not Supported."}},
        {"brand with one terminating zero loses it",
         0x80000004,
         brandText + std::string(37, ' ') + std::string(1, '\0'),
         {"Extended CPUID: Supported", "   - Largest Function Supported: 4",
          "Brand String: ", "   - " + brandText + std::string(37, ' ')}},
        {"brand ending in several zeros keeps all but the last",
         0x80000008,
         brandText + std::string(38, '\0'),
         {"Extended CPUID: Supported", "   - Largest Function Supported: 8",
          "Brand String: ", "   - " + brandText + std::string(37, '\0')}},
        {"brand filling all 48 bytes keeps them all",
         0x80000004,
         std::string(48, 'B'),
         {"Extended CPUID: Supported", "   - Largest Function Supported: 4",
          "Brand String: ", "   - " + std::string(48, 'B')}},
    };
    for (const auto& c : cases) {
        FakeCpuid cpu = SampleCpu();
        cpu.leaves[0x80000000].eax = c.maxExtended;
        if (!c.brand48.empty()) SetBrand(cpu, c.brand48);
        const auto lines = Lines(CpuReport(cpu));
        ASSERT_EQ(lines.size(), 20u + c.wantTail.size()) << c.legend;
        EXPECT_EQ(lines[19], "") << c.legend;
        for (size_t k = 0; k < c.wantTail.size(); ++k) {
            EXPECT_EQ(lines[20 + k], c.wantTail[k]) << c.legend << " line " << 20 + k;
        }
    }
}

TEST(CpuReport, NoCpuidGivesNoReport) {
    FakeCpuid cpu = SampleCpu();
    cpu.available = false;
    EXPECT_EQ(CpuReport(cpu), "");
    EXPECT_EQ(cpu.queriesOfLeafZero, 0);
}

TEST(CpuReport, ThisProcessorGivesAWellFormedReport) {
    if (!ProcessorCpuid().Available()) GTEST_SKIP() << "no CPUID on this processor";
    const std::string report = CpuReport();
    const auto lines = Lines(report);
    ASSERT_GE(lines.size(), 21u);
    EXPECT_EQ(lines[0], "CPU");
    EXPECT_EQ(lines[1].size(), std::string("   - Vendor ID: ").size() + 12);
    EXPECT_EQ(report, CpuReport()) << "two reports of the same processor agree";
}

// Signatures cut from the sample processor's report.
const std::string kSampleSerial = "0009-06E3-9ABC-DEF0-1234-5678";
const std::string kSampleTail =
    "\n\r\n\rExtended CPUID: Supported\n\r   - Largest Function Supported: 8\n\rBrand String: "
    "\n\r   -         Intel(R) Core(TM) i7-7700 CPU @ 3.60GHz\n\r";

TEST(DeveloperWorkstation, BothSignaturesMustOccur) {
    ASSERT_EQ(kSampleTail.size(), 137u) << "same shape as the real signature";
    const struct {
        const char* legend;
        std::string a, b;
        bool noExtended;
        bool want;
    } cases[] = {
        {"both signatures of this machine", kSampleSerial, kSampleTail, false, true},
        {"serial of another processor", "0009-06E3-9ABC-DEF0-1234-5679", kSampleTail, false, false},
        {"brand tail of another machine", kSampleSerial,
         "\n\r\n\rExtended CPUID: Supported\n\r   - Largest Function Supported: 8\n\rBrand String: "
         "\n\r   -         Intel(R) Core(TM) i7-7700 CPU @ 3.70GHz\n\r",
         false, false},
        {"no extended CPUID: signature B cannot occur", kSampleSerial, kSampleTail, true, false},
        {"empty signature A (a build without signatures)", "", kSampleTail, false, false},
        {"empty signature B", kSampleSerial, "", false, false},
        {"both empty", "", "", false, false},
    };
    for (const auto& c : cases) {
        FakeCpuid cpu = SampleCpu();
        if (c.noExtended) cpu.leaves[0x80000000].eax = 0x80000000;
        EXPECT_EQ(IsDeveloperWorkstation(c.a, c.b, cpu), c.want) << c.legend;
    }
}

TEST(DeveloperWorkstation, EveryAnswerBuildsTheReportAfresh) {
    FakeCpuid cpu = SampleCpu();
    EXPECT_TRUE(IsDeveloperWorkstation(kSampleSerial, kSampleTail, cpu));
    EXPECT_EQ(cpu.queriesOfLeafZero, 2) << "one report per signature";
    cpu.queriesOfLeafZero = 0;
    EXPECT_FALSE(IsDeveloperWorkstation("FFFF-FFFF-FFFF-FFFF-FFFF-FFFF", kSampleTail, cpu));
    EXPECT_EQ(cpu.queriesOfLeafZero, 1) << "signature A missing: no second report";
    // Nothing is cached: a changed processor answer changes the next verdict.
    cpu.leaves[3].ecx = 0;
    EXPECT_FALSE(IsDeveloperWorkstation(kSampleSerial, kSampleTail, cpu));
    cpu.available = false;
    EXPECT_FALSE(IsDeveloperWorkstation(kSampleSerial, kSampleTail, cpu));
}

}  // namespace
}  // namespace sincrovia
