// The passage list of a decoder link. A transponder passing an antenna is heard several times
// in a row; each hearing arrives as a three-byte hit record (0xFF, tag/flag/high bits, low
// bits). Hearings of one transponder that follow each other closely are accumulated into one
// transit, whose time is the mean of their times; a transit heard more than MinRepeatToGo
// times is valid and is published as one text when the transponder is heard again after a
// silence longer than TimeNewRx. Times are hundredths of a second of the PC's tick counter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "decoder_link/LinkSettings.h"
#include "util/ByteString.h"

namespace sincrovia {

/// Bytes of one hit record and its marker byte.
inline constexpr size_t kHitRecordLength = 3;
inline constexpr unsigned char kHitMarker = 0xFF;

/// Characters of one passage-list entry and of a published transit text.
inline constexpr size_t kPassageEntryLength = 58;
inline constexpr size_t kTransitTextLength = 42;

/// Factor of the reception count inside an entry's Counter; the lap count is Counter mod
/// kLapModulus; the reception count stops at kMaxRxCount.
inline constexpr int32_t kRxCountFactor = 100000;
inline constexpr int32_t kLapModulus = 10000;
inline constexpr int32_t kMaxRxCount = 9999;

/// Traffic-log tags of the passage list.
inline constexpr std::string_view kTagResidue = "IndResBufr";
inline constexpr std::string_view kTagReceived = "VetRicevut";
inline constexpr std::string_view kTagBadStructure = "StrutturKO";
inline constexpr std::string_view kTagConstraints = "ErrVincoli";
inline constexpr std::string_view kTagFirstHeard = "Dato_MemId";
inline constexpr std::string_view kTagNewLap = "DatoNewLap";
inline constexpr std::string_view kTagValidHit = "Dato_RidOk";
inline constexpr std::string_view kTagCountedHit = "DatoCntRid";

/// One entry of LstRx: the 58-character text and its Counter (RxCount x 100000 + LapCount).
struct PassageEntry {
    std::string text;
    int32_t counter = 0;
};

/// The PC's tick counter in milliseconds (time since the machine started).
int64_t TickCountMs();

/// A tick count in hundredths of a second: milliseconds / 10 rounded, halves to even.
int64_t TickToHundredths(int64_t tickMs);

/// a / b rounded to the nearest integer, halves to even (b > 0).
int64_t RoundDivHalfEven(int64_t a, int64_t b);

/// Receptions of the current transit held in a Counter.
int32_t RxCountOf(int32_t counter);
/// Transits begun after the first one, as held in a Counter (10000 reads back as 0).
int32_t LapCountOf(int32_t counter);

/// The entry text: number, latest time text, previous transit time, tag digit, sum text,
/// battery field, first reception time, in the fixed 58-character layout.
std::string FormatPassageEntry(std::string_view number, std::string_view latest, int64_t previous, std::string_view tag,
                               std::string_view sum, std::string_view battery, int64_t first);

/// Lap time "mm:ss.hh" of Current - Previous hundredths; whole hours are not shown.
std::string FormatLapTime(int64_t previous, int64_t current);

/// Raised when an entry of the list cannot be read back.
class PassageEntryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The passage list and transit validation of one link. Runs on the main thread; it reaches
/// the link only through the hooks.
class PassageList {
public:
    /// What the list needs of its link.
    struct Hooks {
        /// Hands a published transit text on (the link's DeliverText to the callback).
        std::function<void(const ByteString& text)> deliver;
        /// Traffic-log entry; empty when the link's traffic log is off.
        std::function<void(std::string_view tag, const std::string& text)> log;
        /// Reports an error text (the link's process-error path, place 0, code 0).
        std::function<void(const std::string& message)> reportError;
        /// Asks the beep thread for one beep; empty when there is none.
        std::function<void()> beep;
    };

    /// `settings` are the link's, `shared` the program-wide MinRepeatToGo, TimeNewRx, IdMask.
    PassageList(const LinkSettings& settings, const SharedLinkSettings& shared, Hooks hooks);

    /// Replaces the source of the tick count in milliseconds (tests drive time themselves).
    void SetTickSource(std::function<int64_t()> tickMs) { tickMs_ = std::move(tickMs); }

    /// Splits the residue of the previous call followed by `rxBuffer` into hit records and
    /// accumulates each; an incomplete record at the end is kept as the residue.
    void ProcessHitRecords(std::string_view rxBuffer);

    /// One 3-byte record found at `position` (1-based) of the split buffer.
    void DecodeHitRecord(std::string_view record, int64_t position);

    /// True when bytes 2 and 3 of the record are neither 0x00 nor 0xFF; else logs "ErrVincoli".
    bool CheckHitConstraints(std::string_view record, const std::string& numberText, int64_t now, int64_t position);

    /// Accumulates one reception into LstRx (new entry, new transit or same transit). Errors
    /// are reported, never thrown; the reception is then dropped.
    void ControllaECumula(const std::string& numberText, const std::string& tagText, const std::string& nowText,
                          const std::string& batteryField, int64_t position);

    /// Publishes the transit of entry `index` when it is valid and not yet published.
    void PublishTransit(size_t index);

    /// The periodic check: publishes every unpublished entry silent for more than TimeNewRx.
    /// Does nothing while a record is processed.
    void AnalizzaLstRxPerInvio();

    /// The list, in the order transponders were first heard.
    const std::vector<PassageEntry>& LstRx() const { return lstRx_; }
    /// Bytes of an incomplete record kept from the previous split (0 to 2).
    const ByteString& ResidueBuffer() const { return residue_; }
    /// True while a record is processed (set at creation until the first record is done).
    bool Processing() const { return processing_; }

private:
    void Log(std::string_view tag, const std::string& text) const;
    void Accumulate(const std::string& numberText, const std::string& tagText, const std::string& nowText,
                    const std::string& batteryField, int64_t position);
    int64_t NowHundredths() const;

    const LinkSettings& settings_;
    const SharedLinkSettings& shared_;
    Hooks hooks_;
    std::function<int64_t()> tickMs_;
    std::vector<PassageEntry> lstRx_;
    std::vector<std::string> lstRxCopy_;
    ByteString residue_;
    bool processing_ = true;
};

}  // namespace sincrovia
