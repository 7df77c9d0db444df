#include "decoder_link/PassageList.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>

#include "decoder_link/Reception.h"
#include "util/DateTime.h"
#include "util/SysFormat.h"

namespace sincrovia {
namespace {

// Hundredths of a second in one day (a lap time is shown as a time of day).
constexpr double kHundredthsPerDay = 8'640'000.0;
// Milliseconds in one hundredth of a second.
constexpr int64_t kMsPerHundredth = 10;
// Longest transit duration shown; anything outside 0..999 shows as this.
constexpr int64_t kMaxDuration = 999;

// Bit masks of the second byte of a hit record.
constexpr unsigned kTagShift = 6;
constexpr unsigned kBatteryBit = 0x20;
constexpr unsigned kByteHigh = 256;

// Zero bytes and marker bytes cannot carry a transponder number.
constexpr unsigned char kForbiddenLow = 0x00;
constexpr unsigned char kForbiddenHigh = 0xFF;

// Fields of an entry: 1-based position and width.
struct Field {
    size_t position;
    size_t width;
};
constexpr Field kFieldNumber{1, 5};
constexpr Field kFieldLatest{7, 10};
constexpr Field kFieldPrevious{18, 10};
constexpr Field kFieldSum{31, 15};
constexpr Field kFieldBattery{46, 2};
constexpr Field kFieldFirst{49, 10};
// Index of the publication mark ("-" not yet published, "*" published).
constexpr size_t kMarkIndex = 16;
constexpr char kMarkOpen = '-';
constexpr char kMarkPublished = '*';

const char* const kEntryPattern = "%5.5s=%10.10s-%10.10d-%1.1s-%15.15s%2.2s-%10.10d";
const char* const kHitLogPattern = "%5.5s-Cent %8.8s-SqDato %8.8d-Rdn %3.3d";
const char* const kNewLapLogPattern = "%5.5s-Cent %8.8s-SqDato %8.8d-Rdn %3.3d-Med %10.10d";
const char* const kCountLogPattern = "%5.5s-Cent %8.8s-SqDato %8.8d-Rdn %3.3d-Som %15.15s";
const char* const kConstraintLogPattern = "- Cent %8.8d -SqDato %8.8d";
const char* const kAccumulateError = "Error proc. 'ControllaECumula' in Lapix.dll: ";
const char* const kCheckError = "Error proc. 'AnalizzaLstRxPerInvio' in Lapix.dll: ";
// Battery field when the flag is not used, and the constant part of a transit text.
const char* const kNoBattery = "-0";
const char* const kTransitFiller = "-0";

std::string Sum15(int64_t sum) { return SysFormat("%15.15d", {sum}); }

// Reads a decimal number from a field of an entry; leading blanks are skipped.
int64_t ReadField(const std::string& entry, Field field) {
    if (entry.size() < field.position - 1 + field.width)
        throw PassageEntryError("'" + entry + "' is not a valid passage entry");
    const std::string text = entry.substr(field.position - 1, field.width);
    size_t i = text.find_first_not_of(' ');
    const std::string digits = i == std::string::npos ? std::string() : text.substr(i);
    bool ok = !digits.empty();
    size_t start = (ok && (digits[0] == '-' || digits[0] == '+')) ? 1 : 0;
    if (start == digits.size()) ok = false;
    for (size_t k = start; ok && k < digits.size(); ++k)
        if (digits[k] < '0' || digits[k] > '9') ok = false;
    if (!ok) throw PassageEntryError("'" + text + "' is not a valid integer value");
    return std::strtoll(digits.c_str(), nullptr, 10);
}

std::string Name(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

int64_t TickCountMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t RoundDivHalfEven(int64_t a, int64_t b) {
    int64_t q = a / b;
    int64_t r = a % b;
    if (r < 0) {  // floor division for negative numerators
        r += b;
        --q;
    }
    const int64_t twice = 2 * r;
    if (twice > b || (twice == b && (q % 2 != 0))) ++q;
    return q;
}

int64_t TickToHundredths(int64_t tickMs) { return RoundDivHalfEven(tickMs, kMsPerHundredth); }

int32_t RxCountOf(int32_t counter) { return static_cast<int32_t>(RoundDivHalfEven(counter, kRxCountFactor)); }

int32_t LapCountOf(int32_t counter) { return counter % kLapModulus; }

std::string FormatPassageEntry(std::string_view number, std::string_view latest, int64_t previous, std::string_view tag,
                               std::string_view sum, std::string_view battery, int64_t first) {
    return SysFormat(kEntryPattern, {number, latest, previous, tag, sum, battery, first});
}

std::string FormatLapTime(int64_t previous, int64_t current) {
    const auto difference = static_cast<double>(current - previous);
    std::string text = FormatDateTime("nn:ss.zzz", difference / kHundredthsPerDay);
    if (text.size() > 1) text.pop_back();
    return text;
}

PassageList::PassageList(const LinkSettings& settings, const SharedLinkSettings& shared, Hooks hooks)
    : settings_(settings), shared_(shared), hooks_(std::move(hooks)), tickMs_(TickCountMs) {}

void PassageList::Log(std::string_view tag, const std::string& text) const {
    if (hooks_.log) hooks_.log(tag, text);
}

int64_t PassageList::NowHundredths() const { return TickToHundredths(tickMs_()); }

void PassageList::ProcessHitRecords(std::string_view rxBuffer) {
    // Records are taken only where a marker starts them and the next record's marker (or the
    // end of the buffer) follows; anything else is skipped one byte at a time, so the split
    // resynchronises after noise. A record cut by the end of the buffer waits as residue.
    if (!residue_.empty()) Log(kTagResidue, DumpBytes(residue_));
    Log(kTagReceived, DumpBytes(rxBuffer));
    ByteString buffer = residue_;
    buffer.append(rxBuffer);
    residue_.clear();

    size_t p = 0;  // 0-based; positions shown in the log are 1-based
    while (p + kHitRecordLength <= buffer.size()) {
        const size_t take = std::min<size_t>(kHitRecordLength + 1, buffer.size() - p);
        const std::string_view candidate(buffer.data() + p, take);
        const bool accepted = static_cast<unsigned char>(candidate[0]) == kHitMarker &&
                              (take == kHitRecordLength || static_cast<unsigned char>(candidate[3]) == kHitMarker);
        if (!accepted) {
            Log(kTagBadStructure, std::string(candidate));
            ++p;
            continue;
        }
        processing_ = true;
        DecodeHitRecord(candidate.substr(0, kHitRecordLength), static_cast<int64_t>(p + 1));
        processing_ = false;
        p += kHitRecordLength;
    }
    if (p < buffer.size()) residue_ = buffer.substr(p);
}

void PassageList::DecodeHitRecord(std::string_view record, int64_t position) {
    if (record.size() < kHitRecordLength) return;
    const int64_t now = NowHundredths();
    const auto b2 = static_cast<unsigned char>(record[1]);
    const auto b3 = static_cast<unsigned char>(record[2]);
    const unsigned number = (b2 & shared_.IdMask) * kByteHigh + b3;
    const std::string numberText = SysFormat("%5.5d", {number});
    const std::string tagText = SysFormat("%1.1d", {static_cast<unsigned>(b2 >> kTagShift)});
    const std::string battery = settings_.GstFlagBatLow ? ((b2 & kBatteryBit) != 0 ? "-1" : "-0") : kNoBattery;
    if (!CheckHitConstraints(record, numberText, now, position)) return;
    ControllaECumula(numberText, tagText, std::to_string(now), battery, position);
}

bool PassageList::CheckHitConstraints(std::string_view record, const std::string& numberText, int64_t now,
                                      int64_t position) {
    const auto b2 = static_cast<unsigned char>(record[1]);
    const auto b3 = static_cast<unsigned char>(record[2]);
    if (b2 == kForbiddenLow || b2 == kForbiddenHigh || b3 == kForbiddenLow || b3 == kForbiddenHigh) {
        Log(kTagConstraints, numberText + SysFormat(kConstraintLogPattern, {now, position}));
        return false;
    }
    return true;
}

void PassageList::ControllaECumula(const std::string& numberText, const std::string& tagText,
                                   const std::string& nowText, const std::string& batteryField, int64_t position) {
    try {
        Accumulate(numberText, tagText, nowText, batteryField, position);
    } catch (const std::exception& error) {
        if (hooks_.reportError) hooks_.reportError(kAccumulateError + std::string(error.what()));
    }
}

void PassageList::Accumulate(const std::string& number, const std::string& tag, const std::string& nowText,
                             const std::string& battery, int64_t position) {
    const int64_t t = std::strtoll(nowText.c_str(), nullptr, 10);
    size_t index = lstRx_.size();
    for (size_t i = 0; i < lstRx_.size(); ++i) {
        if (Name(lstRx_[i].text) == number) {
            index = i;
            break;
        }
    }
    if (index == lstRx_.size()) {
        lstRx_.push_back({FormatPassageEntry(number, nowText, 0, tag, nowText, battery, t), kRxCountFactor});
        Log(kTagFirstHeard, SysFormat(kHitLogPattern, {number, nowText, position, 1}));
        return;
    }

    const int64_t latest = ReadField(lstRx_[index].text, kFieldLatest);
    if (std::llabs(latest - t) > shared_.TimeNewRx) {
        // Silence long enough: the transit that has just ended is published, and this
        // reception starts the next one.
        PublishTransit(index);
        PassageEntry& entry = lstRx_[index];
        const int32_t rxCount = RxCountOf(entry.counter);
        if (rxCount <= 0) throw PassageEntryError("reception count 0 in '" + entry.text + "'");
        const int64_t mean = RoundDivHalfEven(ReadField(entry.text, kFieldSum), rxCount);
        entry.text = FormatPassageEntry(number, nowText, mean, tag, nowText, battery, t);
        entry.counter = kRxCountFactor + LapCountOf(entry.counter) + 1;
        Log(kTagNewLap, SysFormat(kNewLapLogPattern, {number, nowText, position, 1, mean}));
        return;
    }

    PassageEntry& entry = lstRx_[index];
    const int64_t previous = ReadField(entry.text, kFieldPrevious);
    const int64_t first = ReadField(entry.text, kFieldFirst);
    int64_t sum = ReadField(entry.text, kFieldSum);
    const int32_t next = RxCountOf(entry.counter) + 1;
    if (next <= kMaxRxCount) {
        sum += t;
        entry.counter += kRxCountFactor;
    }
    entry.text = FormatPassageEntry(number, nowText, previous, tag, Sum15(sum), battery, first);
    const std::string line =
        SysFormat(kCountLogPattern, {number, nowText, position, RxCountOf(entry.counter), Sum15(sum)});
    if (next > shared_.MinRepeatToGo) {
        Log(kTagValidHit, line);
        // One beep per transit, at the reception that makes it valid.
        if (settings_.BeepDll && next == shared_.MinRepeatToGo + 1 && hooks_.beep) hooks_.beep();
    } else {
        Log(kTagCountedHit, line);
    }
}

void PassageList::PublishTransit(size_t index) {
    if (index >= lstRx_.size()) return;
    const PassageEntry entry = lstRx_[index];
    const int32_t rxCount = RxCountOf(entry.counter);
    if (rxCount <= shared_.MinRepeatToGo || entry.text.size() <= kMarkIndex || entry.text[kMarkIndex] != kMarkOpen)
        return;

    const std::string number = entry.text.substr(kFieldNumber.position - 1, kFieldNumber.width);
    const int64_t latest = ReadField(entry.text, kFieldLatest);
    const int64_t previous = ReadField(entry.text, kFieldPrevious);
    const int64_t sum = ReadField(entry.text, kFieldSum);
    const std::string batteryField = entry.text.substr(kFieldBattery.position - 1, kFieldBattery.width);
    const int64_t first = ReadField(entry.text, kFieldFirst);
    const int32_t lapCount = LapCountOf(entry.counter);

    const int64_t mean = RoundDivHalfEven(sum, rxCount);
    int64_t duration = latest - first;
    if (duration < 0 || duration > kMaxDuration) duration = kMaxDuration;

    const std::string text = number + (settings_.GstFlagBatLow ? batteryField : std::string(kNoBattery)) +
                             SysFormat("-%2.2d-", {lapCount % 100}) + SysFormat("%3.3d-", {duration}) +
                             FormatLapTime(previous, mean) +
                             SysFormat("-%11.11s%2s-%4.4d", {SysFormat("%11.11d", {mean}), kTransitFiller, rxCount});
    if (hooks_.deliver) hooks_.deliver(text);
    // The entry is looked up again: the callback may have run a nested event.
    if (index < lstRx_.size() && lstRx_[index].text.size() > kMarkIndex && lstRx_[index].text[kMarkIndex] == kMarkOpen)
        lstRx_[index].text[kMarkIndex] = kMarkPublished;
}

void PassageList::AnalizzaLstRxPerInvio() {
    // A timer tick may come while a record is being accumulated (from inside a callback):
    // the list is then half updated and the check waits for the next tick.
    if (processing_) return;
    try {
        lstRxCopy_.clear();
        for (const PassageEntry& entry : lstRx_) lstRxCopy_.push_back(entry.text);
        const int64_t now = NowHundredths();
        for (size_t i = 0; i < lstRxCopy_.size(); ++i) {
            const std::string& text = lstRxCopy_[i];
            if (std::llabs(ReadField(text, kFieldLatest) - now) > shared_.TimeNewRx && text.size() > kMarkIndex &&
                text[kMarkIndex] == kMarkOpen)
                PublishTransit(i);
        }
    } catch (const std::exception& error) {
        if (hooks_.reportError) hooks_.reportError(kCheckError + std::string(error.what()));
    }
}

}  // namespace sincrovia
