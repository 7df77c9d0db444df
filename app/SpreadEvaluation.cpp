// Reading the clocks and judging them: the value boxes, the frozen PC time, the evaluation
// of the spread and of the PC difference, the threshold, and the hidden unlock gesture.
#include <QRadioButton>

#include "app/Procedures.h"

namespace sincrovia {

namespace {

constexpr char kTimeNamePart[] = "Time";
constexpr char kSlotNamePart[] = "_";
constexpr char kValueBoxNamePart[] = "Edt";

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

void TSincroviaProcedures::ShowThreshold(const QString& text) {
    w_.ShowThreshold(text);
}

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
    w_.DecoderTime.fill(0);
    if (!keepFirmware)
        for (std::string& version : w_.FirmwareVer) version.clear();
}

void TSincroviaProcedures::FreezePcTime(TDateTime t) {
    w_.FPcTimeOnRead = t;
    w_.EdtPcTimeOnRead->setText(TimeText(t));
}

void TSincroviaProcedures::EvaluateSpread(int factor) {
    SpreadInput in;
    bool anyTime = false;
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto i = static_cast<std::size_t>(slot - 1);
        in.readingTime[i] = w_.SlotReading[i].Time;
        in.readingValid[i] = w_.SlotReading[i].Valid;
        in.decoderTime[i] = w_.DecoderTime[i];
        anyTime = anyTime || !w_.TimeBox(slot)->text().isEmpty();
    }
    in.pcTimeOnRead = w_.FPcTimeOnRead;
    in.threshold = w_.CmbMaxErrSync->currentText().toStdString();
    in.allTimeBoxesEmpty = !anyTime;
    in.factor = factor;
    const SpreadVerdict v = EvaluateSpreadDecision(in);

    for (TSlotReading& reading : w_.SlotReading) reading.Valid = false;
    ShowSyncResult(srIdle);
    if (v.showValues) {
        w_.EdtDeltaTimeAllDecoder->setText(TimeText(v.maxDiff));
        w_.EdtMediaTimeDecoder->setText(TimeText(v.mean));
        w_.EdtDeltaTimePcDecoder->setText(TimeText(v.pcDiff));
    }
    w_.ShpSyncResult->SetBrushColor(ColorOf(v.lamp));
    w_.LblSyncResult->setText(ResultTextOf(v.result));
    w_.LblSyncResult->adjustSize();
    w_.EdtDeltaTimeAllDecoder->SetColor(ColorOf(v.spreadBox));
    w_.EdtDeltaTimePcDecoder->SetColor(ColorOf(v.pcBox));
    PublishRound(in, v);
}

void TSincroviaProcedures::PublishRound(const SpreadInput& in, const SpreadVerdict& v) {
    if (!options_.onRoundEvaluated) return;
    RoundResult round;
    round.kind = roundKind_;
    round.startUnixUs = roundStartUnixUs_;
    round.pcTimeOnRead = in.pcTimeOnRead;
    round.threshold = in.threshold;
    round.verdict = w_.LblSyncResult->text().toStdString();
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto i = static_cast<std::size_t>(slot - 1);
        RoundReading& r = round.readings[i];
        r.decoder = kSlotDecoderNames[i];
        r.port = w_.PortList(slot)->currentText().toStdString();
        r.firmware = w_.FirmwareVer[i];
        if (w_.DecoderLink[i] == nullptr) continue;
        r.status = in.readingValid[i] ? ReadingStatus::Ok : ReadingStatus::NoReply;
        if (in.readingValid[i]) r.decoderTime = in.readingTime[i];
        r.requestUnixUs = round.startUnixUs;
    }
    if (v.result != srOK) round.reason = "the spread or the PC difference is outside the threshold";
    options_.onRoundEvaluated(round);
}

void TSincroviaProcedures::ActBotCalcDifExecute() {
    for (int slot = 1; slot <= SlotCount; ++slot) Reading(slot).Valid = !w_.TimeBox(slot)->text().isEmpty();
    EvaluateSpread(PcFactor);
}

void TSincroviaProcedures::ActBot2ReadDateAndTimeExecute() {
    ClearReadings(true);
    ShowSyncResult(srIdle);
    roundKind_ = RoundKind::Read;
    SendReadDateTimeAll(Now());
    w_.ThreadedTimer1.SetInterval(StepFinishQuickRead);
    w_.ThreadedTimer1.SetEnabled(true);
}

void TSincroviaProcedures::ThresholdChanged(const QString& text) {
    ShowThreshold(text);
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
