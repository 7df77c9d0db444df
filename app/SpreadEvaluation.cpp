// Reading the clocks and judging them: the value boxes, the frozen PC time, the evaluation
// of the spread and of the PC difference, the threshold, and the hidden unlock gesture.
#include <QRadioButton>
#include <QTimer>

#include "app/Procedures.h"

namespace sincrovia {

namespace {

constexpr char kTimeNamePart[] = "Time";
constexpr char kSlotNamePart[] = "_";
constexpr char kValueBoxNamePart[] = "Edt";
constexpr char kNotReadyText[] = ": line not answering, not ready until the ports are reopened";

QColor ColorOf(LampColor lamp) {
    switch (lamp) {
    case LampColor::Green: return ColorGreen;
    case LampColor::Yellow: return ColorYellow;
    case LampColor::Red: return ColorRed;
    case LampColor::Grey: break;
    }
    return ColorGrey;
}

QString TimeText(TDateTime t) { return QString::fromStdString(FormatDateTime(TimeBoxPattern, t)); }

}  // namespace

void TSincroviaProcedures::ShowSyncResult(TSyncResult state) {
    w_.ShpSyncResult->SetBrushColor(ColorOf(LampColorOf(state)));
    w_.LblSyncResult->setText(ResultTextOf(state));
    w_.LblSyncResult->adjustSize();
}

void TSincroviaProcedures::ShowThreshold(const QString& text) { w_.ShowThreshold(text); }

void TSincroviaProcedures::SetStaticTexts(const QString& namePart, const QString& text, const QColor& colour) {
    for (TStaticText* box : w_.findChildren<TStaticText*>()) {
        const QString name = box->objectName();
        if (!name.contains(namePart, Qt::CaseSensitive)) continue;
        box->setText(text);
        const bool resultBox = name.contains(kTimeNamePart) && !name.contains(kSlotNamePart);
        box->SetColor(resultBox ? ColorMoneyGreen : colour);
    }
}

void TSincroviaProcedures::ClearReadings(bool keepFirmware) {
    SetStaticTexts(kValueBoxNamePart, "", ColorWindow);
    for (TDecoderSlot& s : slots_) s.DecoderTime = 0;
    round_.Clear();
    if (!keepFirmware)
        for (TDecoderSlot& s : slots_) s.FirmwareVer.clear();
}

void TSincroviaProcedures::FreezePcTime(TDateTime t) {
    w_.FPcTimeOnRead = t;
    w_.EdtPcTimeOnRead->setText(TimeText(t));
}

void TSincroviaProcedures::EvaluateSpread(int factor) {
    if (round_.open) {
        round_.Close();
        for (int slot = 1; slot <= SlotCount; ++slot) {
            const ReadingStatus status = round_.status[static_cast<std::size_t>(slot - 1)];
            if (status != ReadingStatus::NoReply && status != ReadingStatus::Late) continue;
            ShowFailedReading(slot, NoReplyText);
            w_.MemoLines(slot)->AddLine(LogStamp(Now()) + SlotLabel(slot) + ": " + FailedReadingText(status, ""));
            MarkNotReady(slot);
        }
    }
    SpreadInput in;
    bool anyTime = false;
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto i = static_cast<std::size_t>(slot - 1);
        in.readingTime[i] = slots_[i].SlotReading.Time;
        in.readingValid[i] = slots_[i].SlotReading.Valid;
        in.decoderTime[i] = slots_[i].DecoderTime;
        in.status[i] = round_.status[i];
        if (round_.Timed(i)) in.roundTripUs[i] = round_.timing[i].roundTripUs;
        anyTime = anyTime || !w_.TimeBox(slot)->text().isEmpty();
    }
    in.pcTimeOnRead = w_.FPcTimeOnRead;
    in.threshold = w_.CmbMaxErrSync->currentText().toStdString();
    in.allTimeBoxesEmpty = !anyTime;
    in.factor = factor;
    // A step of the PC clock between the last synchronisation and this read: the decoders
    // were set from one PC time scale and are compared with another.
    const std::optional<ClockStep> step = w_.PcClockWatch->LastStep();
    in.pcClockStepped = lastSyncUnixUs_ != 0 && w_.PcClockWatch->SteppedSince(lastSyncUnixUs_);
    if (in.pcClockStepped && step) in.pcClockStepText = ClockStepText(*step);
    const SpreadVerdict v = EvaluateSpreadDecision(in);

    for (TDecoderSlot& s : slots_) s.SlotReading.Valid = false;
    ShowSyncResult(srIdle);
    if (v.showValues) w_.EdtMediaTimeDecoder->setText(TimeText(v.mean));
    if (v.showDifferences) {
        w_.EdtDeltaTimeAllDecoder->setText(QString::fromStdString(DifferenceText(v.maxDiffMs)));
        w_.EdtDeltaTimePcDecoder->setText(QString::fromStdString(DifferenceText(v.pcDiffMs)));
    } else if (v.failedSlot) {
        w_.EdtDeltaTimeAllDecoder->setText("");
        w_.EdtDeltaTimePcDecoder->setText("");
    }
    w_.ShpSyncResult->SetBrushColor(ColorOf(v.lamp));
    w_.LblSyncResult->setText(ResultTextOf(v.result));
    w_.LblSyncResult->adjustSize();
    w_.EdtDeltaTimeAllDecoder->SetColor(ColorOf(v.spreadBox));
    w_.EdtDeltaTimePcDecoder->SetColor(ColorOf(v.pcBox));
    if (v.result == srWarning) {
        // Why the lamp is yellow, in the log of every slot that took part.
        const std::string reason = VerdictReason(in, v, SlotLabels(), round_.detail);
        for (int slot = 1; slot <= SlotCount; ++slot)
            if (in.status[static_cast<std::size_t>(slot - 1)] == ReadingStatus::Ok)
                w_.MemoLines(slot)->AddLine(LogStamp(Now()) + ResultTextOf(v.result) + ": " + reason);
    }
    PublishRound(in, v);
}

std::array<std::string, SlotCount> TSincroviaProcedures::SlotLabels() const {
    std::array<std::string, SlotCount> labels;
    for (int slot = 1; slot <= SlotCount; ++slot) labels[static_cast<std::size_t>(slot - 1)] = SlotLabel(slot);
    return labels;
}

void TSincroviaProcedures::PublishRound(const SpreadInput& in, const SpreadVerdict& v) {
    if (!options_.onRoundEvaluated) return;
    RoundResult round;
    round.kind = round_.kind;
    round.startUnixUs = round_.startUnixUs;
    round.pcTimeOnRead = in.pcTimeOnRead;
    round.threshold = in.threshold;
    round.verdict = ResultTextOf(v.result);
    std::array<std::string, SlotCount> labels;
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto i = static_cast<std::size_t>(slot - 1);
        RoundReading& r = round.readings[i];
        r.decoder = kSlotDecoderNames[i];
        r.port = slots_[i].DecoderLink ? slots_[i].DecoderLink->PortName()
                                       : Utf8ToCp1252(w_.PortList(slot)->currentText().toStdString());
        r.firmware = slots_[i].FirmwareVer;
        r.status = in.status[i];
        if (r.status == ReadingStatus::Ok) r.decoderTime = round_.time[i];
        if (r.status != ReadingStatus::Closed)
            r.requestUnixUs = round_.requestUs[i] != 0 ? round_.requestUs[i] : round.startUnixUs;
        r.arrivalUnixUs = round_.arrivalUs[i];
        if (r.status == ReadingStatus::Ok && round_.Timed(i)) {
            r.offsetUs = round_.timing[i].offsetUs;
            r.uncertaintyUs = round_.timing[i].uncertaintyUs;
        }
        labels[i] = SlotDecoderLabel(slot, r.port);
    }
    round.reason = VerdictReason(in, v, labels, round_.detail);
    round.pcClock = w_.PcClockWatch->LineText();
    options_.onRoundEvaluated(round);
}

void TSincroviaProcedures::ActBotCalcDifExecute() {
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto i = static_cast<std::size_t>(slot - 1);
        // Only a reply to the round's own request counts; the round is judged on those.
        Slot(slot).SlotReading.Valid = round_.status[i] == ReadingStatus::Ok;
    }
    EvaluateSpread(PcFactor);
}

void TSincroviaProcedures::ActBot2ReadDateAndTimeExecute() {
    ClearReadings(true);
    ShowSyncResult(srIdle);
    roundKind_ = nextReadKind_;
    nextReadKind_ = RoundKind::Read;
    SendReadDateTimeAll(Now());
    StartStep(ProcedureStep::FinishQuickRead);
}

std::string TSincroviaProcedures::SlotLabel(int slot) const {
    const auto i = static_cast<std::size_t>(slot - 1);
    const std::string port = slots_[i].DecoderLink ? slots_[i].DecoderLink->PortName()
                                                   : Utf8ToCp1252(w_.PortList(slot)->currentText().toStdString());
    return SlotDecoderLabel(slot, port);
}

void TSincroviaProcedures::ShowFailedReading(int slot, const char* marker) {
    w_.DateBox(slot)->setText("");
    w_.TimeBox(slot)->setText(marker);
    Slot(slot).SlotReading.Valid = false;
}

void TSincroviaProcedures::MarkNotReady(int slot) {
    TStaticText* label = w_.FirmwareLabel(slot);
    label->setText(FirmwareUnknownText);
    label->SetColor(ColorBlack);
    Slot(slot).FirmwareVer.clear();
    w_.MemoLines(slot)->AddLine(LogStamp(Now()) + SlotLabel(slot) + kNotReadyText);
}

void TSincroviaProcedures::EvaluateWhenComplete() {
    if (!round_.open || !round_.Complete()) return;
    // Run from the event loop, once the delivery that completed the round has returned.
    QTimer::singleShot(0, this, [this, id = round_.id] {
        Guarded([this, id] {
            const std::optional<ProcedureStep> step = StepOfInterval(w_.ThreadedTimer1.Interval());
            const bool waitingToJudge = step == ProcedureStep::FinishQuickRead || step == ProcedureStep::FinishRead;
            if (round_.open && round_.id == id && w_.ThreadedTimer1.Enabled() && waitingToJudge) FinishProcedure(true);
        });
    });
}

void TSincroviaProcedures::ThresholdChanged(const QString& text) {
    ShowThreshold(text);
    if (round_.open) return;  // the round is judged when its replies are in
    // The close action's state says whether a slot is open, whatever the rule of this action.
    if (w_.ActChiudiCOM_All->isEnabled()) ActBotCalcDifExecute();
}

void TSincroviaProcedures::LampMouseDown(Qt::MouseButton button, Qt::MouseButtons buttons,
                                         Qt::KeyboardModifiers modifiers, bool doubleClick) {
    const Qt::KeyboardModifiers held =
        modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const bool gesture = button == Qt::RightButton && buttons == Qt::MouseButtons(Qt::RightButton) &&
                         held == (Qt::ShiftModifier | Qt::ControlModifier) && !doubleClick;
    if (!gesture) return;
    for (QRadioButton* radio : {w_.ChkBoxResetTimerKivoAfter, w_.ChkBoxCmd55ReseGPSKivoAfter})
        radio->setEnabled(!radio->isEnabled());
}

}  // namespace sincrovia
