#include "app/Decisions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "decoder_link/LinkSettings.h"
#include "util/RegExExtractString.h"

namespace sincrovia {

namespace {

constexpr char kFieldSeparator = '-';
constexpr int kYearBase = 2000;
constexpr int kMsPerSecond = 1000;
constexpr double kUsPerMs = 1000.0;
constexpr double kHalf = 0.5;
constexpr int64_t kWholeMsPerDay = 86'400'000;
constexpr int64_t kUsPerMsWhole = 1000;

/// Microseconds as milliseconds with one decimal: "23.4", "-0.1".
std::string MsText(int64_t us) {
    const int64_t tenths = (std::llabs(us) + kUsPerMsWhole / 20) / (kUsPerMsWhole / 10);
    return (us < 0 && tenths > 0 ? "-" : "") + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}
/// A difference below a day: hours, minutes, seconds and milliseconds.
constexpr char kDifferencePattern[] = "hh\"h \"nn\"m \"ss\"s \"zzz\"ms\"";
constexpr char kLineEnd[] = "\r\n";
constexpr char kSelectionSeparator = '=';

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (std::tolower(ca) != std::tolower(cb)) return false;
    }
    return true;
}

/// A field as a decimal integer the way the decoder texts are read: optional blanks and sign,
/// decimal digits, 32 bits. The message names the text, as the system's conversion does.
int32_t FieldToInt(const std::vector<std::string>& fields, std::size_t index) {
    if (index >= fields.size()) throw ReadingError("List index out of bounds (" + std::to_string(index) + ")");
    const std::string& text = fields[index];
    try {
        // Hexadecimal forms ("$1F", "0x1F") are no decimal integer.
        if (text.find_first_of("$xX") != std::string::npos) throw ConversionError("");
        return StrToInt(text);
    } catch (const ConversionError&) {
        throw ReadingError("'" + text + "' is not a valid integer value");
    }
}

/// A date-time difference in whole milliseconds: first rounded to the microsecond, which keeps
/// the day-fraction error of values that are whole milliseconds away from the half, then to
/// the millisecond, half up. This one value is shown and judged.
int64_t WholeMs(TDateTime difference) {
    const double us = std::round(std::fabs(difference) * kMsPerDay * kUsPerMs);
    return static_cast<int64_t>(std::floor(us / kUsPerMs + kHalf));
}

std::optional<int64_t> ThresholdMs(std::string_view text) {
    if (text.empty()) return std::nullopt;
    try {
        if (text.find_first_of("$xX") != std::string_view::npos) return std::nullopt;
        return StrToInt(text);
    } catch (const ConversionError&) {
        return std::nullopt;
    }
}

}  // namespace

std::string ExtractFirmwareVersion(std::string_view replyText) {
    return TRegExExtract::ExtractMatches(replyText, FirmwareVersionPattern, true);
}

bool FirmwareBelowMinimum(std::string_view version, std::string_view minimum) {
    // std::string_view compares bytes as unsigned characters, like the system's text compare.
    return version.compare(minimum) < 0;
}

int FirstUnreadySlot(const std::array<SlotReadiness, SlotCount>& slots, std::string_view minimum) {
    for (int i = 0; i < SlotCount; ++i) {
        const SlotReadiness& s = slots[static_cast<std::size_t>(i)];
        const bool oldFirmware = !s.firmwareVersion.empty() && FirmwareBelowMinimum(s.firmwareVersion, minimum);
        const bool silent = s.label == FirmwareLabelState::OpenNoReply;
        const bool failedToOpen = s.portChosen && s.label == FirmwareLabelState::NotOpen;
        if (oldFirmware || silent || failedToOpen) return i + 1;
    }
    return 0;
}

std::string DecodersNotReadyMessage(std::string_view minimum) {
    return std::string(DecodersNotReadyText) + std::string(minimum) + "!";
}

int PortListSlot(std::string_view name) {
    const std::string_view prefix = PortListNamePrefix;
    if (name.size() != prefix.size() + 1) return 0;
    if (!EqualsIgnoringCase(name.substr(0, prefix.size()), prefix)) return 0;
    const char digit = name.back();
    if (digit < '1' || digit > '0' + SlotCount) return 0;
    return digit - '0';
}

ComSelection ParseComSelection(std::string_view content) {
    // The file is small and written by us, but a hand edit may leave bare LFs, blank lines or
    // anything else: take what makes sense and skip the rest.
    ComSelection selection;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string_view::npos) end = content.size();
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = end + 1;
        const std::size_t eq = line.find(kSelectionSeparator);
        if (eq == std::string_view::npos) continue;
        const int slot = PortListSlot(line.substr(0, eq));
        if (slot == 0) continue;
        selection[static_cast<std::size_t>(slot - 1)] = std::string(line.substr(eq + 1));
    }
    return selection;
}

std::string FormatComSelection(const std::array<std::string, SlotCount>& ports) {
    std::string content;
    for (int i = 0; i < SlotCount; ++i) {
        const std::string& port = ports[static_cast<std::size_t>(i)];
        if (port.empty()) continue;
        content += PortListNamePrefix + std::to_string(i + 1) + kSelectionSeparator + port + kLineEnd;
    }
    return content;
}

std::vector<std::string> SplitFields(std::string_view text) {
    std::vector<std::string> fields;
    if (text.empty()) return fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t sep = text.find(kFieldSeparator, start);
        if (sep == std::string_view::npos) {
            fields.emplace_back(text.substr(start));
            break;
        }
        fields.emplace_back(text.substr(start, sep - start));
        start = sep + 1;
    }
    return fields;
}

TDateTime FieldsToDateTime(const std::vector<std::string>& fields) {
    // Summed in 64 bits: a field near the 32-bit limit must wrap to 16 bits, not overflow.
    const auto year = static_cast<uint16_t>(int64_t{FieldToInt(fields, 1)} + kYearBase);
    const int month = FieldToInt(fields, 2);
    const int day = FieldToInt(fields, 3);
    const int hour = FieldToInt(fields, 4);
    const int minute = FieldToInt(fields, 5);
    const int second = FieldToInt(fields, 6);
    const int millisecond = FieldToInt(fields, 7);
    return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, millisecond);
}

uint32_t TransponderNumber(const std::vector<std::string>& fields) {
    return static_cast<uint32_t>(FieldToInt(fields, 0));
}

std::string TransponderRejectedText(uint32_t number, uint32_t limit) {
    return "Only Transponder with Id Not greater than '" + std::to_string(limit) + "' are Valid! " +
           TransponderAcceptedText(number);
}

std::string TransponderAcceptedText(uint32_t number) { return "IdTransponder Received: " + std::to_string(number); }

LampColor LampColorOf(TSyncResult state) {
    switch (state) {
    case srOK: return LampColor::Green;
    case srWarning: return LampColor::Yellow;
    case srKO: return LampColor::Red;
    case srIdle: break;
    }
    return LampColor::Grey;
}

const char* ResultTextOf(TSyncResult state) {
    switch (state) {
    case srOK: return "Synchronization OK";
    case srWarning: return "Synchronization Warning";
    case srKO: return "Synchronization KO";
    case srIdle: break;
    }
    return "Synchronization Result";
}

bool IsFailedReading(ReadingStatus status) {
    return status == ReadingStatus::NoReply || status == ReadingStatus::BadReply || status == ReadingStatus::Late;
}

/// The counted slot (index) whose round trip exceeds the threshold most, or -1.
int SlowestCountedSlot(const SpreadInput& in, const std::optional<int64_t>& thresholdMs) {
    if (!thresholdMs) return -1;
    int slowest = -1;
    for (std::size_t i = 0; i < in.roundTripUs.size(); ++i) {
        if (in.status[i] != ReadingStatus::Ok || in.roundTripUs[i] <= *thresholdMs * kUsPerMsWhole) continue;
        if (slowest < 0 || in.roundTripUs[i] > in.roundTripUs[static_cast<std::size_t>(slowest)])
            slowest = static_cast<int>(i);
    }
    return slowest;
}

SpreadVerdict EvaluateSpreadDecision(const SpreadInput& in) {
    SpreadVerdict v;
    // Largest pairwise difference of the valid readings.
    for (int a = 0; a < SlotCount; ++a) {
        for (int b = a + 1; b < SlotCount; ++b) {
            const auto ia = static_cast<std::size_t>(a);
            const auto ib = static_cast<std::size_t>(b);
            if (!in.readingValid[ia] || !in.readingValid[ib]) continue;
            const double d = std::fabs(in.readingTime[ia] - in.readingTime[ib]);
            if (d > v.maxDiff) v.maxDiff = d;
        }
    }
    // Mean of the decoder times that exist (a rejected transponder still counts here).
    double sum = 0;
    int count = 0;
    for (const TDateTime t : in.decoderTime) {
        if (t == 0) continue;
        sum += t;
        ++count;
    }
    v.mean = count > 0 ? sum / count : 0;
    v.pcDiff = std::fabs(in.pcTimeOnRead - v.mean);
    v.maxDiffMs = WholeMs(v.maxDiff);
    v.pcDiffMs = WholeMs(v.pcDiff);
    v.failedSlot = std::any_of(in.status.begin(), in.status.end(), IsFailedReading);

    const std::optional<int64_t> threshold = ThresholdMs(in.threshold);
    TSyncResult state = srIdle;
    if (in.allTimeBoxesEmpty && !v.failedSlot) {
        v.lamp = LampColor::Red;
        v.result = srIdle;
    } else {
        v.showValues = true;
        v.showDifferences = !v.failedSlot;
        state = !v.failedSlot && threshold && *threshold > v.maxDiffMs ? srOK : srKO;
        v.lamp = LampColorOf(state);
        v.result = state;
    }
    v.spreadBox = v.lamp;
    v.pcWithinLimit = threshold && *threshold * in.factor >= v.pcDiffMs;
    if (v.pcWithinLimit && !v.failedSlot) {
        v.pcBox = v.lamp;
    } else {
        v.pcBox = LampColor::Red;
        if (v.lamp == LampColor::Green) {
            v.lamp = LampColor::Yellow;
            v.result = srWarning;
        }
    }
    // A reading whose reply took longer than the threshold cannot show that the decoders agree
    // within it, and a stepped PC clock makes the comparison with it meaningless.
    if (v.result == srOK && (SlowestCountedSlot(in, threshold) >= 0 || in.pcClockStepped)) {
        v.lamp = LampColor::Yellow;
        v.result = srWarning;
    }
    return v;
}

std::string DifferenceText(int64_t ms) {
    const int64_t shown = std::max<int64_t>(ms, 0);
    const int64_t days = shown / kWholeMsPerDay;
    const std::string clock =
        FormatDateTime(kDifferencePattern, static_cast<double>(shown % kWholeMsPerDay) / kMsPerDay);
    return days > 0 ? std::to_string(days) + "d " + clock : clock;
}

std::string SlotDecoderLabel(int slot, const std::string& port) {
    const bool known = slot >= 1 && slot <= SlotCount;
    return std::string("Decoder ") + (known ? kSlotDecoderNames[static_cast<std::size_t>(slot - 1)] : "?") + " (" +
           port + ")";
}

std::string FailedReadingText(ReadingStatus status, const std::string& detail) {
    switch (status) {
    case ReadingStatus::NoReply: return "no reply to the clock request";
    case ReadingStatus::BadReply: return "reply did not decode (" + detail + ")";
    case ReadingStatus::Late: return "reply came only after the wait";
    case ReadingStatus::Ok:
    case ReadingStatus::Closed: break;
    }
    return "";
}

std::string VerdictReason(const SpreadInput& in, const SpreadVerdict& v,
                          const std::array<std::string, SlotCount>& labels,
                          const std::array<std::string, SlotCount>& details) {
    if (v.result == srOK) return "";
    std::string reason;
    for (std::size_t i = 0; i < in.status.size(); ++i) {
        if (!IsFailedReading(in.status[i])) continue;
        if (!reason.empty()) reason += "; ";
        reason += labels[i] + ": " + FailedReadingText(in.status[i], details[i]);
    }
    if (!reason.empty()) return reason;
    if (v.result == srIdle) return "no clock was read";
    const std::optional<int64_t> threshold = ThresholdMs(in.threshold);
    if (!threshold) return "the threshold '" + in.threshold + "' is no number";
    if (v.result == srWarning && v.pcWithinLimit) {
        if (const int slow = SlowestCountedSlot(in, threshold); slow >= 0)
            return labels[static_cast<std::size_t>(slow)] + ": its reply took " +
                   MsText(in.roundTripUs[static_cast<std::size_t>(slow)]) + " ms, more than the threshold of " +
                   std::to_string(*threshold) + " ms";
        if (in.pcClockStepped) return in.pcClockStepText + ", after the last synchronisation";
    }
    if (v.result == srKO)
        return "spread between decoders " + std::to_string(v.maxDiffMs) + " ms, not below the threshold of " +
               std::to_string(*threshold) + " ms";
    return "PC differs from the decoders' mean by " + std::to_string(v.pcDiffMs) + " ms, above the limit of " +
           std::to_string(*threshold * in.factor) + " ms";
}

ReadingTiming TimeReading(int64_t requestUnixUs, int64_t arrivalUnixUs, int64_t decoderUnixUs, int64_t requestLineUs,
                          int64_t replyLineUs) {
    // A decoder's reading counts whole milliseconds (the millisecond within the second, cut):
    // its clock stood somewhere in the millisecond after it. The middle is taken, and half a
    // millisecond joins the uncertainty.
    constexpr int64_t kHalfReadingStepUs = 500;
    ReadingTiming t;
    t.roundTripUs = arrivalUnixUs - requestUnixUs;
    t.offsetUs = decoderUnixUs + kHalfReadingStepUs - (requestUnixUs + requestLineUs);
    t.uncertaintyUs = std::max<int64_t>(0, t.roundTripUs - requestLineUs - replyLineUs) + kHalfReadingStepUs;
    return t;
}

std::string ReadingTimingText(const ReadingTiming& timing) {
    const std::string offset = MsText(timing.offsetUs);
    return "round trip " + MsText(timing.roundTripUs) + " ms, offset to PC " + (timing.offsetUs >= 0 ? "+" : "") +
           offset + " ms +/- " + MsText(timing.uncertaintyUs) + " ms";
}

void RoundBook::Open(RoundKind what, int64_t startUs, const std::array<bool, SlotCount>& asked, int64_t nowMs) {
    ++id;
    open = true;
    kind = what;
    startUnixUs = startUs;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        status[i] = asked[i] ? ReadingStatus::NoReply : ReadingStatus::Closed;
        awaiting[i] = asked[i];
        staleSeen[i] = false;
        time[i] = 0;
        detail[i].clear();
        requestUs[i] = 0;
        arrivalUs[i] = 0;
        timing[i] = ReadingTiming{};
        if (asked[i]) requests[i].push_back(nowMs);
    }
}

ReplyClaim RoundBook::Claim(int slot, int64_t nowMs, int64_t staleMs) {
    if (slot < 1 || slot > SlotCount) return ReplyClaim::Late;
    const auto i = static_cast<std::size_t>(slot - 1);
    std::vector<int64_t>& pending = requests[i];
    pending.erase(pending.begin(),
                  std::find_if(pending.begin(), pending.end(), [&](int64_t at) { return nowMs - at <= staleMs; }));
    if (pending.size() > 1) {
        pending.erase(pending.begin());
        if (open && awaiting[i]) staleSeen[i] = true;
        return ReplyClaim::Late;
    }
    pending.clear();
    return open && awaiting[i] ? ReplyClaim::Answer : ReplyClaim::Late;
}

void RoundBook::RecordOk(int slot, TDateTime value) {
    if (!open || slot < 1 || slot > SlotCount || !awaiting[static_cast<std::size_t>(slot - 1)]) return;
    const auto i = static_cast<std::size_t>(slot - 1);
    awaiting[i] = false;
    status[i] = ReadingStatus::Ok;
    time[i] = value;
}

void RoundBook::RecordBad(int slot, const std::string& why) {
    if (!open || slot < 1 || slot > SlotCount || !awaiting[static_cast<std::size_t>(slot - 1)]) return;
    const auto i = static_cast<std::size_t>(slot - 1);
    awaiting[i] = false;
    status[i] = ReadingStatus::BadReply;
    detail[i] = why;
}

bool RoundBook::Complete() const {
    return std::none_of(awaiting.begin(), awaiting.end(), [](bool a) { return a; });
}

void RoundBook::Close() {
    for (std::size_t i = 0; i < awaiting.size(); ++i) {
        if (!awaiting[i]) continue;
        awaiting[i] = false;
        status[i] = staleSeen[i] ? ReadingStatus::Late : ReadingStatus::NoReply;
    }
    open = false;
}

void RoundBook::Clear() {
    open = false;
    status.fill(ReadingStatus::Closed);
    awaiting.fill(false);
    staleSeen.fill(false);
    time.fill(0);
    for (std::string& d : detail) d.clear();
    requestUs.fill(0);
    arrivalUs.fill(0);
    timing.fill(ReadingTiming{});
}

void RoundBook::ForgetRequests() {
    for (auto& pending : requests) pending.clear();
}

bool IsAlignmentInstant(int msOfSecond) {
    return msOfSecond >= kAlignmentTargetMs && msOfSecond <= kAlignmentTargetMs + kAlignmentToleranceMs;
}

int64_t PlannedAlignmentUnixMs(int64_t startUnixMs) {
    const int64_t second = startUnixMs - FloorMod(startUnixMs, kMsPerSecond);
    const auto ms = static_cast<int>(startUnixMs - second);
    if (IsAlignmentInstant(ms)) return startUnixMs;
    if (ms < kAlignmentTargetMs) return second + kAlignmentTargetMs;
    return second + kMsPerSecond + kAlignmentTargetMs;
}

std::string CountdownText(int64_t remainingMs) {
    const int64_t shown = std::max<int64_t>(remainingMs, 0);
    return FormatDateTime(CountdownPattern, static_cast<double>(shown) / kMsPerDay);
}

}  // namespace sincrovia
