#include "decoder_link/LinkTestBench.h"

#include <iterator>
#include <string>
#include <string_view>

#include "decoder_link/PassageList.h"
#include "decoder_link/Reception.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "decoder_link/TestData.h"
#include "util/DateTime.h"
#include "util/SysFormat.h"

namespace sincrovia {
namespace {

// The texts of the list when the bench starts: two passages in the default layout.
const char* const kInitialList[] = {
    "0000002-17-08-13-17-45-00-214-0108-000-00000001-001",
    "0036507-16-05-25-18-10-00-214-0108-000-00000001-001",
};

// Status panels of the link the bench writes: the counters and the history of numbers.
constexpr int kCountersPanel = 0;
constexpr int kHistoryPanel = 1;
const char* const kCountersPattern = "Generati: %d Inviati: %d";

}  // namespace

TLinkTestBench::TLinkTestBench(TTest& link)
    : link_(link), memoStrDaInviare_(std::begin(kInitialList), std::end(kInitialList)) {
    link_.SetDeliveryWatcher([this](const ByteString& text) { TextDelivered(text); });
}

TLinkTestBench::~TLinkTestBench() { link_.SetDeliveryWatcher(nullptr); }

bool TLinkTestBench::BatLowButtonVisible() const { return link_.Settings().GstFlagBatLow; }

void TLinkTestBench::TextDelivered(const ByteString& text) {
    TTestView* view = link_.View();
    if (view == nullptr || !view->Visible()) return;
    memoStrDaInviare_.push_back(text);
    view->SentTextAdded(text);
    ++sentCount_;
    ShowCounters();
}

void TLinkTestBench::ShowCounters() {
    link_.SetStatus(kCountersPanel,
                    SysFormat(kCountersPattern, {static_cast<int>(generatedCount_), static_cast<int>(sentCount_)}));
}

void TLinkTestBench::ActBotGeneraDatiCasualiExecute(bool batLowAction) {
    if (link_.Settings().SpeedTrap)
        SimulateTemplateTransit();
    else
        GenerateRandomHits(batLowAction);
}

void TLinkTestBench::GenerateRandomHits(bool batLowAction) {
    const int n = ProgramRandom(kRandomHitRange) + 1;
    const auto second = static_cast<char>(kRandomHitTagByte | (batLowAction ? kRandomHitBatteryBit : 0));
    const ByteString record{static_cast<char>(kHitMarker), second, static_cast<char>(n)};
    link_.SetStatus(kHistoryPanel, AppendHistory(link_.StatusPanel(kHistoryPanel), n));
    ++generatedCount_;
    ShowCounters();
    ByteString hits;
    for (int i = 0; i < kRandomHitRepeats; ++i) hits += record;
    link_.Passages().ProcessHitRecords(hits);
}

void TLinkTestBench::SimulateTemplateTransit() {
    const int64_t tick = link_.TickMs();
    if (templateStart_ == 0) templateStart_ = tick;
    link_.DeliverText(TemplateTransitText(templateTransponder_, tick - templateStart_, templateReader_, Now()), false);
    if (++templateReader_ > kTemplateLastReader) {
        templateReader_ = 0;
        if (++templateTransponder_ > kTemplateLastTransponder) templateTransponder_ = 1;
    }
}

void TLinkTestBench::BotSimulaRicezionePassaggioTrDaCOMKivoClick() {
    // Handled as the receive event handles a connected link's bytes.
    RecordParser& parser = link_.Parser();
    parser.ClearRxBuffer();
    parser.AppendToRxBuffer(SimulatedPassageRecord());
    link_.LogLine(kTagStart, "");
    link_.LogLine(kTagInBufRx, DumpBytes(parser.RxBuffer()));
    parser.ParseRxBuffer();
}

void TLinkTestBench::ActInviaStringaExecute() {
    link_.CallRxCallback(memoStrDaInviare_.empty() ? ByteString() : memoStrDaInviare_.front());
}

void TLinkTestBench::SpeedButton1MouseDown(bool shiftPressed) {
    const std::string_view text = shiftPressed ? kFirmwareTextIncompatible : kFirmwareTextCompatible;
    link_.CallRxCallback(ByteString(text));
}

}  // namespace sincrovia
