// The intake of the decoders' replies: every text a link delivers is logged, and is either a
// firmware reply or a passage record that becomes the decoder's date and time.
#include <QTimer>

#include <cmath>

#include "app/Procedures.h"
#include "util/DesktopServices.h"

namespace sincrovia {

namespace {

constexpr char kDecodeErrorPrefix[] = "Error in Decod data RX from Decoder: ";
constexpr char kSplitErrorPrefix[] = "Error in Creating Decod data RX from Reader Kivo: ";
constexpr char kStampSeparator[] = ";";
constexpr double kUsPerDay = 86'400e6;
constexpr char kLateReplyText[] = ": late reply, not counted in any verdict: ";

TSincroviaProcedures* g_procedures = nullptr;

const std::array<const char*, SlotCount> kRxPrefixes{
    "Rx On Com 1: ", "Rx On Com 2: ", "Rx On Com 3: ", "Rx On Com 4: "};

void ShowPlainBox(const std::string& text) {
    Desktop().MessageBox(ApplicationTitle, text, MsgIcon::None, MsgButtons::Ok, MsgAnswer::Ok);
}

/// The receive callback of a slot: an exception must not travel back into the link and the
/// serial worker behind it, so it ends here, at the program's handler.
void Deliver(int slot, const ByteString& text) {
    TSincroviaProcedures* procedures = g_procedures;
    if (procedures == nullptr) return;
    try {
        procedures->ReceiveText(slot, text);
    } catch (const std::exception& e) {
        TSincroviaProcedures::ReportApplicationError(e.what());
    }
}

}  // namespace

void SetActiveProcedures(TSincroviaProcedures* procedures) { g_procedures = procedures; }

TSincroviaProcedures* ActiveProcedures() { return g_procedures; }

void RxOnCom1(const ByteString& text, int) { Deliver(1, text); }
void RxOnCom2(const ByteString& text, int) { Deliver(2, text); }
void RxOnCom3(const ByteString& text, int) { Deliver(3, text); }
void RxOnCom4(const ByteString& text, int) { Deliver(4, text); }

std::string LogStamp(TDateTime t) { return FormatDateTime(LogStampPattern, t) + kStampSeparator; }

void TSincroviaProcedures::ReportApplicationError(const std::string& message) {
    if (HandleApplicationException(message)) return;
    Desktop().MessageBox(ApplicationTitle, message, MsgIcon::Error, MsgButtons::Ok, MsgAnswer::Ok);
}

void TSincroviaProcedures::ReceiveText(int slot, const ByteString& text) {
    const auto i = static_cast<std::size_t>(slot - 1);
    if (slot < 1 || slot > SlotCount) return;
    ++deliveryDepth_;
    struct DepthGuard {
        TSincroviaProcedures* self;
        ~DepthGuard() {
            if (--self->deliveryDepth_ == 0 && self->closeDeferred_) {
                // Runs once the link's delivery has returned.
                QTimer::singleShot(0, self, [s = self] {
                    if (s->closeDeferred_) s->CloseAllLinksNow();
                });
            }
        }
    } guard{this};

    w_.MemoLines(slot)->AddLine(LogStamp(Now()) + kRxPrefixes[i] + text);
    if (text.find(FirmwareBanner) != ByteString::npos) {
        ShowFirmware(slot, text);
        return;
    }
    HandleReading(slot, text);
}

TDateTime TSincroviaProcedures::HandleReading(int slot, const ByteString& text) {
    const auto i = static_cast<std::size_t>(slot - 1);
    std::vector<std::string> fields;
    try {
        fields = SplitFields(text);
    } catch (const std::exception& e) {
        ShowPlainBox(kSplitErrorPrefix + std::string(e.what()));
        return 0;
    }
    // Whether this passage is the reply the round awaits is settled on arrival, before any box
    // can open and let the round be judged meanwhile.
    const bool answers = round_.Claim(slot, SteadyNowMs(), StaleRequestMs) == ReplyClaim::Answer;
    if (answers && slots_[i].DecoderLink != nullptr)
        round_.arrivalUs[i] = slots_[i].DecoderLink->CurrentDelivery().arrivalUnixUs;
    TMemoLines* log = w_.MemoLines(slot);
    TDateTime value = 0;
    try {
        value = FieldsToDateTime(fields);
    } catch (const std::exception& e) {
        const std::string why = e.what();
        if (answers) {
            // Recorded before the box opens: an evaluation running while it is shown sees the
            // failed reading, never an empty slot.
            round_.RecordBad(slot, why);
            slots_[i].DecoderTime = 0;
            ShowFailedReading(slot, BadReplyText);
            log->AddLine(LogStamp(Now()) + SlotLabel(slot) + ": " + FailedReadingText(ReadingStatus::BadReply, why));
            EvaluateWhenComplete();
        }
        ShowPlainBox(kDecodeErrorPrefix + why);
        return 0;
    }
    // Not caught here: a transponder field that is no number goes to the program's handler.
    const uint32_t number = TransponderNumber(fields);
    if (answers) slots_[i].DecoderTime = value;  // a rejected transponder still enters the mean
    if (number > MaxTransponderId) {
        log->AddLine(LogStamp(Now()) + TransponderRejectedText(number, MaxTransponderId));
        return value;
    }
    log->AddLine(LogStamp(Now()) + TransponderAcceptedText(number));
    if (!answers) {
        log->AddLine(LogStamp(Now()) + SlotLabel(slot) + kLateReplyText + FormatDateTime(TimeBoxPattern, value));
        return value;
    }
    round_.RecordOk(slot, value);
    Slot(slot).SlotReading = TSlotReading{value, true};
    w_.DateBox(slot)->setText(QString::fromStdString(Cp1252ToUtf8(FormatDateTime(DateBoxPattern, value))));
    w_.TimeBox(slot)->setText(QString::fromStdString(FormatDateTime(TimeBoxPattern, value)));
    ShowReadingTiming(slot, value);
    EvaluateWhenComplete();
    return value;
}

void TSincroviaProcedures::ShowReadingTiming(int slot, TDateTime value) {
    const auto i = static_cast<std::size_t>(slot - 1);
    TTest* link = slots_[i].DecoderLink;
    if (link == nullptr || !round_.Timed(i)) {
        w_.TimeBox(slot)->setToolTip("");
        return;
    }
    // The decoder's time on the PC's scale: the PC instant its stamp would be taken at, moved
    // by the difference between the two as date-time values (both local time).
    const int64_t requestLineUs = TransmissionUs(kShortFrameLength, link->LineShape());
    const int64_t replyLineUs = TransmissionUs(kPassageRecordLength, link->LineShape());
    const int64_t request = round_.requestUs[i];
    const int64_t stampUs = request + requestLineUs;
    const TDateTime stampAt = UnixUsToDateTime(stampUs);
    const auto decoderUs = stampUs + static_cast<int64_t>(std::llround((value - stampAt) * kUsPerDay));
    round_.timing[i] = TimeReading(request, round_.arrivalUs[i], decoderUs, requestLineUs, replyLineUs);
    const std::string text = ReadingTimingText(round_.timing[i]);
    w_.TimeBox(slot)->setToolTip(QString::fromStdString(text));
    w_.MemoLines(slot)->AddLine(LogStamp(Now()) + SlotLabel(slot) + ": " + text);
}

}  // namespace sincrovia
