// Identification of the processor: a multi-line report built from the processor's
// identification instruction (CPUID), and the developer-workstation test, which looks for two
// signatures of the development PC in that report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sincrovia {

/// The four registers returned by one CPUID leaf.
struct CpuidRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

/// Where the report takes its CPUID answers from: the processor, or a fake in tests.
class CpuidSource {
public:
    virtual ~CpuidSource() = default;
    /// False on a processor without the identification instruction.
    virtual bool Available() const = 0;
    /// The registers of one leaf (only called when Available()).
    virtual CpuidRegisters Query(uint32_t leaf) const = 0;
};

/// The running processor's instruction (not available on processors other than x86).
const CpuidSource& ProcessorCpuid();

/// Line break of the report: LF then CR, in this order, after every line.
inline constexpr std::string_view kCpuReportLineBreak = "\n\r";

/// The processor report, built afresh from the running processor; empty without CPUID.
std::string CpuReport();

/// The processor report built from the given source; empty when the source is not available.
std::string CpuReport(const CpuidSource& source);

/// True only on the development PC: both signatures of the build occur in the report.
/// Builds without signatures always answer false.
bool IsDeveloperWorkstation();

/// The test with explicit signatures and source: false when either signature is empty or the
/// source has no CPUID; otherwise signature A, then signature B (each in a freshly built
/// report) must occur.
bool IsDeveloperWorkstation(std::string_view signatureA, std::string_view signatureB, const CpuidSource& source);

}  // namespace sincrovia
