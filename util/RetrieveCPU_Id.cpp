#include "util/RetrieveCPU_Id.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#define SINCROVIA_HAS_CPUID 1
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#define SINCROVIA_HAS_CPUID 1
#else
#define SINCROVIA_HAS_CPUID 0
#endif

#ifndef SINCROVIA_DEV_SIGNATURE_1
#define SINCROVIA_DEV_SIGNATURE_1 ""
#endif
#ifndef SINCROVIA_DEV_SIGNATURE_2
#define SINCROVIA_DEV_SIGNATURE_2 ""
#endif

namespace sincrovia {

namespace {

constexpr uint32_t kLeafVendor = 0;
constexpr uint32_t kLeafFeatures = 1;
constexpr uint32_t kLeafSerialNumber = 3;
constexpr uint32_t kLeafExtendedMax = 0x80000000;
constexpr uint32_t kLeafBrandFirst = 0x80000002;
constexpr uint32_t kLeafBrandLast = 0x80000004;

// Feature bits of EDX of leaf 1.
constexpr uint32_t kBitSerialNumber = 0x40000;
constexpr uint32_t kBitMmx = 0x800000;
constexpr uint32_t kBitFxsave = 0x1000000;
constexpr uint32_t kBitSse = 0x2000000;
constexpr uint32_t kBitSse2 = 0x4000000;

constexpr uint32_t kNibble = 0xF;
constexpr uint32_t kByte = 0xFF;

// Positions of the fields of EAX and EBX of leaf 1.
constexpr unsigned kModelShift = 4;
constexpr unsigned kFamilyShift = 8;
constexpr unsigned kTypeShift = 12;
constexpr unsigned kExtendedModelShift = 16;
constexpr unsigned kExtendedFamilyShift = 20;
constexpr unsigned kChunksShift = 8;
constexpr unsigned kCountShift = 16;
constexpr unsigned kApicIdShift = 24;

const std::string_view kSignatureA = SINCROVIA_DEV_SIGNATURE_1;
const std::string_view kSignatureB = SINCROVIA_DEV_SIGNATURE_2;

class HardwareCpuid : public CpuidSource {
public:
    bool Available() const override {
#if SINCROVIA_HAS_CPUID && defined(__GNUC__)
        // x86-64 always has the instruction; on 32-bit x86 the compiler's probe tells.
#if defined(__x86_64__)
        return true;
#else
        return __get_cpuid_max(0, nullptr) != 0;
#endif
#elif SINCROVIA_HAS_CPUID
        return true;
#else
        return false;
#endif
    }

    CpuidRegisters Query(uint32_t leaf) const override {
        CpuidRegisters r;
#if SINCROVIA_HAS_CPUID && defined(__GNUC__)
        // The raw instruction: leaves above the processor's maximum answer whatever the
        // processor answers, as the report expects.
        __cpuid_count(leaf, 0, r.eax, r.ebx, r.ecx, r.edx);
#elif SINCROVIA_HAS_CPUID
        int regs[4] = {};
        __cpuidex(regs, static_cast<int>(leaf), 0);
        r = {static_cast<uint32_t>(regs[0]), static_cast<uint32_t>(regs[1]), static_cast<uint32_t>(regs[2]),
             static_cast<uint32_t>(regs[3])};
#else
        (void)leaf;
#endif
        return r;
    }
};

// The four bytes of a register, low byte first.
void AppendRegisterBytes(std::string& out, uint32_t reg) {
    constexpr unsigned kBitsPerByte = 8;
    for (unsigned k = 0; k < sizeof(reg); ++k) {
        out += static_cast<char>((reg >> (k * kBitsPerByte)) & kByte);
    }
}

std::string Hex8Grouped(uint32_t value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    constexpr unsigned kDigits = 8;
    constexpr unsigned kGroup = 4;
    std::string out;
    for (unsigned k = 0; k < kDigits; ++k) {
        if (k == kGroup) out += '-';
        out += kHex[(value >> ((kDigits - 1 - k) * kGroup)) & kNibble];
    }
    return out;
}

void AddLine(std::string& report, std::string_view label, std::string_view value = {}) {
    report += label;
    report += value;
    report += kCpuReportLineBreak;
}

std::string_view Supported(bool set) { return set ? "Supported" : "Not Supported"; }

}  // namespace

const CpuidSource& ProcessorCpuid() {
    static const HardwareCpuid instance;
    return instance;
}

std::string CpuReport(const CpuidSource& source) {
    if (!source.Available()) return {};
    std::string report;
    const CpuidRegisters vendor = source.Query(kLeafVendor);
    const CpuidRegisters features = source.Query(kLeafFeatures);
    const CpuidRegisters serial = source.Query(kLeafSerialNumber);
    const uint32_t eax1 = features.eax;
    const uint32_t ebx1 = features.ebx;
    const uint32_t edx1 = source.Query(kLeafFeatures).edx;

    std::string vendorText;
    AppendRegisterBytes(vendorText, vendor.ebx);
    AppendRegisterBytes(vendorText, vendor.edx);
    AppendRegisterBytes(vendorText, vendor.ecx);

    static constexpr char kHex[] = "0123456789ABCDEF";
    AddLine(report, "CPU");
    AddLine(report, "   - Vendor ID: ", vendorText);
    AddLine(report, "   - Stepping ID: ", std::to_string(eax1 & kNibble));
    AddLine(report, "   - Model Number: ", std::string(1, kHex[(eax1 >> kModelShift) & kNibble]));
    AddLine(report, "   - Family Code: ", std::to_string((eax1 >> kFamilyShift) & kNibble));
    AddLine(report, "   - Processor Type: ", std::to_string((eax1 >> kTypeShift) & kNibble));
    AddLine(report, "   - Extended Model: ", std::to_string((eax1 >> kExtendedModelShift) & kNibble));
    AddLine(report, "   - Extended Family: ", std::to_string((eax1 >> kExtendedFamilyShift) & kByte));
    AddLine(report, "   - Brand ID: ", std::to_string(ebx1 & kByte));
    AddLine(report, "   - Chunks: ", std::to_string((ebx1 >> kChunksShift) & kByte));
    AddLine(report, "   - Count: ", std::to_string((ebx1 >> kCountShift) & kByte));
    AddLine(report, "   - APIC ID: ", std::to_string(ebx1 >> kApicIdShift));
    AddLine(report, "   - Serial Number ", (edx1 & kBitSerialNumber) != 0 ? "Enabled" : "Disabled");
    AddLine(report,
            "   - Serial Number: ", Hex8Grouped(eax1) + "-" + Hex8Grouped(serial.edx) + "-" + Hex8Grouped(serial.ecx));
    AddLine(report, "");
    AddLine(report, "MMX ", Supported((edx1 & kBitMmx) != 0));
    AddLine(report, (edx1 & kBitFxsave) != 0 ? "FXSAVE & FXRSTOR Instructions " : "FXSAVE & FXRSTOR Instructions Not ",
            "Supported");
    AddLine(report, "SSE ", Supported((edx1 & kBitSse) != 0));
    AddLine(report, "SSE2 ", Supported((edx1 & kBitSse2) != 0));
    AddLine(report, "");

    const uint32_t maxExtended = source.Query(kLeafExtendedMax).eax;
    if (maxExtended <= kLeafExtendedMax) {
        AddLine(report, "   - Extended CPUID ", "Not Supported.");
        return report;
    }
    std::string brand;
    for (uint32_t leaf = kLeafBrandFirst; leaf <= kLeafBrandLast; ++leaf) {
        const CpuidRegisters r = source.Query(leaf);
        AppendRegisterBytes(brand, r.eax);
        AppendRegisterBytes(brand, r.ebx);
        AppendRegisterBytes(brand, r.ecx);
        AppendRegisterBytes(brand, r.edx);
    }
    // Only the one terminating zero goes; other zero bytes and leading blanks stay.
    if (!brand.empty() && brand.back() == '\0') brand.pop_back();
    AddLine(report, "Extended CPUID: ", "Supported");
    AddLine(report, "   - Largest Function Supported: ", std::to_string(maxExtended - kLeafExtendedMax));
    AddLine(report, "Brand String: ");
    AddLine(report, "   - ", brand);
    return report;
}

std::string CpuReport() { return CpuReport(ProcessorCpuid()); }

bool IsDeveloperWorkstation(std::string_view signatureA, std::string_view signatureB, const CpuidSource& source) {
    // An empty signature would occur in every report: no signature means no workstation.
    if (signatureA.empty() || signatureB.empty() || !source.Available()) return false;
    if (CpuReport(source).find(signatureA) == std::string::npos) return false;
    return CpuReport(source).find(signatureB) != std::string::npos;
}

bool IsDeveloperWorkstation() { return IsDeveloperWorkstation(kSignatureA, kSignatureB, ProcessorCpuid()); }

}  // namespace sincrovia
