#include "decoder_link/SFormCOM_TestConnessione.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "decoder_link/BeepThread.h"
#include "decoder_link/Frames.h"
#include "decoder_link/LinkTimers.h"
#include "decoder_link/ProcessPriority.h"
#include "serial/PortNames.h"
#include "serial/SerialNG.h"
#include "serial/UsbAdapter.h"
#include "util/DesktopServices.h"
#include "util/MainThread.h"
#include "util/SysFormat.h"

namespace sincrovia {
namespace {

// Port settings of every link.
constexpr const char* kInitialCommPort = "COM9";
constexpr uint32_t kLinkBaudRate = 115000;  // the stored value; decoders accept it as 115200
constexpr uint32_t kLinkRtoCharDelayUs = 190;
constexpr uint16_t kLinkRtoExtraDelayMs = 4;
constexpr uint16_t kLinkClusterSize = 96;
constexpr uint16_t kLinkRxQueueSize = 8192;
constexpr uint32_t kLinkWtoCharDelayUs = 190;
constexpr uint8_t kLinkErrorNoise = 255;

// Timers of the link.
constexpr uint32_t kMainTimerOpenInterval = 300;
constexpr uint32_t kMainTimerRunInterval = 100;
constexpr uint32_t kCheckLstRxInterval = 700;
constexpr uint32_t kThreadedTimer1Interval = 5;

// Longest port name kept.
constexpr size_t kMaxPortName = 255;
// Queue gauge: shown below this fill, scaled by this factor.
constexpr uint32_t kGaugeLimit = 50;
constexpr int kGaugeScale = 8;
// Grey of the shapes a link marks.
constexpr int kShapeGrey = 128;

constexpr int kPanelConnection = 0;
constexpr int kPanelMode = 1;
constexpr int kPanelVersion = 2;
constexpr int kPanelCount = 3;

const char* const kBaseCaption = "Test DLL Kivo";
const char* const kCreationCaption = "COM Manager Lapix Kivo";
const char* const kCreationPrefix = "Error use COM Manager Lapix Kivo: ";
const char* const kOpenErrorCaption = "Error Open COM";
const char* const kOpenErrorText = "Unable to open ";
const char* const kOpenErrorLinePattern = "\"Msg  \"dd.mm.yy hh:mm:ss\" :Error - Unable to open \"";
const char* const kSerialErrorTimePattern = "\"Msg  \"dd.mm.yy hh:mm:ss\" :\"";
const char* const kSerialErrorPattern = "Code %d at %d Text: %s";
const char* const kLogTimePattern = "dd mmm hh:mm:ss.zzz";
const char* const kApplicationErrorPrefix = "General Application Error in Lapix.dll: ";
const char* const kSpeedTrapOn = "Config Reader Kivo: Speed Trap ON";
const char* const kOverflow = "Overflow Rx Queue";
const char* const kConnectedText = "Hardware connected OK";
const char* const kDisconnectedText = "Hardware disconnected";
const char* const kModeRealTime = "Mode: Real Time";
const char* const kModeDump = "Mode: Dump Data";
const char* const kVersionPanel = "Ver";
const char* const kPriorityRefused = "Priorita' del processo non concessa dal sistema: ";
const char* const kLogSaveError = "Errore salvataggio log ";

constexpr std::string_view kTagMessageSent = "MsgInviato";
constexpr std::string_view kTagSerialMessage = "MsgSeriale";
constexpr std::string_view kTagSerialError = "ErrSeriale";

TTestViewFactory g_viewFactory = nullptr;

std::mutex g_folderMutex;
std::string g_linkFolder;

// The live links, for the program-wide exception handler. Main thread only in practice; the
// lock keeps a stray call from another thread from tearing the list.
std::mutex g_linksMutex;
std::vector<TTest*> g_links;

// The refusal of a priority is told once per program run.
bool g_priorityRefusalTold = false;

std::string PcTimeText(const char* pattern) { return FormatDateTime(pattern, Now()); }

}  // namespace

void SetTestViewFactory(TTestViewFactory factory) { g_viewFactory = factory; }

void SetLinkProgramFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_folderMutex);
    g_linkFolder = folder;
    if (!g_linkFolder.empty() && g_linkFolder.back() != '/') g_linkFolder += '/';
}

std::string LinkProgramFolder() {
    {
        std::lock_guard<std::mutex> lock(g_folderMutex);
        if (!g_linkFolder.empty()) return g_linkFolder;
    }
    return ProgramFolder();
}

bool HandleApplicationException(const std::string& message) {
    std::vector<TTest*> links;
    {
        std::lock_guard<std::mutex> lock(g_linksMutex);
        links = g_links;
    }
    for (TTest* link : links) {
        bool alive = false;
        {
            std::lock_guard<std::mutex> lock(g_linksMutex);
            alive = std::find(g_links.begin(), g_links.end(), link) != g_links.end();
        }
        if (alive) link->ApplicationException(message);
    }
    return !links.empty();
}

int LiveLinkCount() {
    std::lock_guard<std::mutex> lock(g_linksMutex);
    return static_cast<int>(g_links.size());
}

TTest::TTest(void* /*owner*/, const std::string& portName, TRxTextProc rxCallback, bool showWindow,
             const std::string& logFileName, TMemoLines* messageMemo, TQueueGauge* queueGauge, bool markShapes,
             TLinkShape* shape1, TLinkShape* shape2)
    : logEnabled_(!logFileName.empty()),
      parser_(
          settings_, [this](const ByteString& text) { DeliverText(text, false); },
          logFileName.empty()
              ? RecordParser::LogFn{}
              : RecordParser::LogFn([this](std::string_view tag, const std::string& text) { LogLine(tag, text); })),
      passages_(settings_, ProgramLinkSettings(),
                PassageList::Hooks{[this](const ByteString& text) { DeliverText(text, false); },
                                   logFileName.empty()
                                       ? std::function<void(std::string_view, const std::string&)>{}
                                       : [this](std::string_view tag, const std::string& text) { LogLine(tag, text); },
                                   [this](const std::string& message) { SerialPortNGProcessError(0, 0, message, 0); },
                                   [this] { RequestBeep(); }}),
      self_(std::make_shared<TTest*>(this)),
      tickMs_(TickCountMs) {
    // The window's components.
    serialPort_ = std::make_unique<TSerialPortNG>();
    TSerialPortNG& port = *serialPort_;
    port.SetCommPort(kInitialCommPort);
    port.SetBaudRate(kLinkBaudRate);
    port.SetRTOCharDelayTime(kLinkRtoCharDelayUs);
    port.SetRTOExtraDelayTime(kLinkRtoExtraDelayMs);
    port.SetClusterSize(kLinkClusterSize);
    port.SetRxQueueSize(kLinkRxQueueSize);
    port.SetWTOCharDelayTime(kLinkWtoCharDelayUs);
    port.SetErrorNoise(kLinkErrorNoise);
    port.OnCommStat = [this](TSerialPortNG* sender) { SerialPortNGCommStat(sender->CommStateInQueue()); };
    port.OnRxClusterEvent = [this](TSerialPortNG*) { SerialPortNGRxClusterEvent(); };
    port.OnProcessError = [this](TSerialPortNG*, uint32_t place, uint32_t code, const std::string& msg, uint8_t noise) {
        SerialPortNGProcessError(place, code, msg, noise);
    };
    mainTimer_ = std::make_unique<LinkTimer>(kMainTimerOpenInterval, [this] { MainTimerTick(); });
    tmrCheckLstRx_ = std::make_unique<LinkTimer>(kCheckLstRxInterval, [this] { CheckTimerTick(); });
    threadedTimer1_ = std::make_unique<LinkTimer>(kThreadedTimer1Interval, [this] {
        serialPort_->SetDTRState(true);
        serialPort_->SetRTSState(true);
        threadedTimer1_->SetEnabled(false);
    });
    portName_ = portName.substr(0, kMaxPortName);
    rxCallback_ = rxCallback;
    showWindow_ = showWindow;
    Create(markShapes, shape1, shape2, queueGauge, messageMemo, logFileName);
    FormCreate();
    if (showWindow_ && view_) view_->Show();
    // Registered last: a constructor that throws leaves no trace in the list of live links.
    std::lock_guard<std::mutex> lock(g_linksMutex);
    g_links.push_back(this);
}

void TTest::Create(bool markShapes, TLinkShape* shape1, TLinkShape* shape2, TQueueGauge* queueGauge,
                   TMemoLines* messageMemo, const std::string& logFileName) {
    // What the caller hands over is kept whatever happens below, so that a link whose
    // configuration could not be read still works on the defaults and reports to its memo.
    messageMemo_ = messageMemo;
    queueGauge_ = queueGauge;
    logFileName_ = logFileName;
    if (markShapes) {
        for (TLinkShape* shape : {shape1, shape2})
            if (shape != nullptr) shape->SetBrushColor(kShapeGrey, kShapeGrey, kShapeGrey);
    }
    try {
        ReadLinkSettings(LinkProgramFolder(), settings_);

        std::string reason;
        if (!SetProcessPriorityClass(settings_.Priority, reason) && !g_priorityRefusalTold && messageMemo_ != nullptr) {
            g_priorityRefusalTold = true;
            messageMemo_->AddLine(PcTimeText(kSerialErrorTimePattern) + kPriorityRefused + reason);
        }

        if (settings_.BeepDll) beepThread_ = std::make_unique<TThreadBeep>(settings_.BeepDelayMs);

        if (!settings_.StrXTrivoloTimer && serialPort_->Active()) PostDeferredRequest(DeferredRequest::Reset);
    } catch (const std::exception& error) {
        Desktop().MessageBox(kCreationCaption, kCreationPrefix + std::string(error.what()), MsgIcon::Error,
                             MsgButtons::Ok, MsgAnswer::Ok);
    }
}

void TTest::FormCreate() {
    caption_ = portName_ + " - " + kBaseCaption;
    statusPanels_[kPanelVersion] = kVersionPanel;
    if (showWindow_ && g_viewFactory != nullptr) view_.reset(g_viewFactory(*this));
}

TTest::~TTest() {
    {
        std::lock_guard<std::mutex> lock(g_linksMutex);
        g_links.erase(std::remove(g_links.begin(), g_links.end(), this), g_links.end());
    }
    *self_ = nullptr;
    if (beepThread_) beepThread_->Stop();
    mainTimer_.reset();
    tmrCheckLstRx_.reset();
    threadedTimer1_.reset();
    rxCallback_ = nullptr;
    deliveryWatcher_ = nullptr;
    messageMemo_ = nullptr;
    queueGauge_ = nullptr;
    view_.reset();
    serialPort_->OnCommStat = nullptr;
    serialPort_->OnRxClusterEvent = nullptr;
    serialPort_->OnProcessError = nullptr;
    serialPort_.reset();
    beepThread_.reset();
}

bool TTest::LinkControl(LinkMode mode) {
    switch (mode) {
    case LinkMode::IsOpen: return serialPort_->Active();
    case LinkMode::Close: return CloseLink();
    case LinkMode::Open: return OpenLink();
    }
    return false;  // a value outside the enumeration
}

bool TTest::OpenLink() {
    if (settings_.SpeedTrap) DeliverText(kSpeedTrapOn, true);
    parser_.ClearRxBuffer();
    realTimeMode_ = true;
    serialPort_->SetActive(false);
    serialPort_->SetCommPort(portName_);
    serialPort_->SetActive(true);
    const bool opened = serialPort_->Active();
    // What the system tells about the device: a USB adapter's latency timer once open, the
    // reason in plain words (the group to join) when the opening was refused.
    const std::string device = DevicePathForPort(portName_);
    const std::string advice =
        opened ? LatencyTimerAdvice(device) : OpenFailureAdvice(device, serialPort_->OpenError());
    if (!advice.empty()) {
        const std::string line = PcTimeText(kSerialErrorTimePattern) + advice;
        LogLine(kTagSerialMessage, line);
        if (messageMemo_ != nullptr) messageMemo_->AddLine(line);
    }
    if (opened) {
        mainTimerInterval_ = kMainTimerOpenInterval;
        mainTimer_->SetEnabled(true);
    } else {
        SetConnected(false);
        serialPort_->SetActive(false);
        Desktop().MessageBox(kOpenErrorCaption, kOpenErrorText + portName_, MsgIcon::Error, MsgButtons::Ok,
                             MsgAnswer::Ok);
        DeliverText(PcTimeText(kOpenErrorLinePattern) + portName_, true);
    }
    if (opened && !showWindow_)
        SetConnected(true);
    else
        serialPort_->SetDTRState(true);
    return opened;
}

bool TTest::CloseLink() {
    serialPort_->SetDTRState(false);
    serialPort_->SetActive(false);
    SetConnected(false);
    realTimeMode_ = false;
    mainTimer_->SetEnabled(false);
    mainTimerInterval_ = 0;
    SaveLog();
    return serialPort_->Active();
}

void TTest::MainTimerTick() {
    // The first tick after opening shortens the interval; later ticks have nothing to do,
    // so the timer stops instead of waking the program ten times a second.
    mainTimerInterval_ = kMainTimerRunInterval;
    mainTimer_->SetEnabled(false);
}

bool TTest::CheckTimerEnabled() const { return tmrCheckLstRx_->Enabled(); }

void TTest::CheckTimerTick() { passages_.AnalizzaLstRxPerInvio(); }

void TTest::SetConnected(bool value) {
    connected_ = value;
    if (value) {
        SetStatus(kPanelConnection, kConnectedText);
        Desktop().Beep();
        SetStatus(kPanelMode, realTimeMode_ ? kModeRealTime : kModeDump);
    } else {
        SetStatus(kPanelConnection, kDisconnectedText);
        SetStatus(kPanelMode, "");
    }
}

bool TTest::Connected() const { return connected_; }

bool TTest::RealTimeMode() const { return realTimeMode_; }

std::string TTest::StatusPanel(int panel) const {
    if (panel < 0 || panel >= kPanelCount) return {};
    return statusPanels_[panel];
}

const std::string& TTest::PortName() const { return portName_; }

void TTest::SetStatus(int panel, const std::string& text) {
    if (panel < 0 || panel >= kPanelCount) return;
    statusPanels_[panel] = text;
    if (view_) view_->StatusChanged(panel, text);
}

void TTest::DeliverText(const ByteString& text, bool toMemo) {
    if (!toMemo) {
        if (rxCallback_ != nullptr) rxCallback_(text, 0);
    } else if (messageMemo_ != nullptr) {
        messageMemo_->AddLine(text);
    }
    LogLine(kTagMessageSent, text);
    if (!toMemo && deliveryWatcher_) deliveryWatcher_(text);
}

void TTest::CallRxCallback(const ByteString& text) {
    if (rxCallback_ != nullptr) rxCallback_(text, 0);
}

void TTest::SetDeliveryWatcher(std::function<void(const ByteString& text)> watcher) {
    deliveryWatcher_ = std::move(watcher);
}

void TTest::LogLine(std::string_view tag, const std::string& text) {
    if (!logEnabled_) return;
    logLines_.push_back("#" + std::string(tag) + ";" + PcTimeText(kLogTimePattern) + ";" + text);
}

void TTest::SaveLog() {
    if (!logEnabled_ || logLines_.empty()) return;
    const std::filesystem::path path = std::filesystem::path(LinkProgramFolder()) / logFileName_;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const std::string& line : logLines_) file << line << "\r\n";
    file.flush();
    if (!file) {
        // The lines stay, so that the next closing can try again.
        SerialPortNGProcessError(0, 0, kLogSaveError + path.string(), 0);
        return;
    }
    logLines_.clear();
}

void TTest::SerialPortNGProcessError(uint32_t place, uint32_t code, const std::string& msg, uint8_t /*noise*/) {
    const std::string line = PcTimeText(kSerialErrorTimePattern) + SysFormat(kSerialErrorPattern, {code, place, msg});
    LogLine(kTagSerialMessage, line);
    if (messageMemo_ != nullptr) messageMemo_->AddLine(line);
}

void TTest::ApplicationException(const std::string& message) {
    SerialPortNGProcessError(0, 0, kApplicationErrorPrefix + message, 0);
}

void TTest::SerialPortNGCommStat(uint32_t inQueue) {
    if (inQueue < kGaugeLimit && queueGauge_ != nullptr)
        queueGauge_->SetPosition(static_cast<int>(inQueue) * kGaugeScale);
    if (inQueue == serialPort_->RxQueueSize() && messageMemo_ != nullptr) {
        messageMemo_->AddLine(kOverflow);
        LogLine(kTagSerialError, kOverflow);
    }
}

void TTest::SerialPortNGRxClusterEvent() {
    if (serialPort_->FirstClusterSize() < 0) return;
    int64_t arrivalUnixUs = 0;
    const ByteString cluster = serialPort_->TakeClusterText(&arrivalUnixUs);
    // A record is complete when the cluster holding its last byte is: every text cut from
    // this cluster arrived then.
    delivery_.arrivalUnixUs = arrivalUnixUs;
    // A link in test-window mode is not connected: its bytes are kept, not decoded.
    parser_.ReceiveCluster(cluster, connected_ && realTimeMode_);
    delivery_.arrivalUnixUs = 0;
}

void TTest::SendFrame(const ByteString& frame, const std::string& tag, const std::string& logLine) {
    WriteFrame(frame);
    LogSentFrame(tag, logLine);
}

LineCharacter TTest::LineShape() const {
    constexpr uint8_t kNoParity = 0;
    const TSerialPortNG& port = *serialPort_;
    return LineCharacter{port.BaudRate(), port.DataBits(), port.ParityType() != kNoParity, port.StopBits()};
}

void TTest::WriteFrame(const ByteString& frame) { serialPort_->SendText(frame); }

void TTest::LogSentFrame(const std::string& tag, const std::string& logLine) {
    LogLine(tag, logLine);
    if (messageMemo_ != nullptr) messageMemo_->AddLine("(*) " + logLine);
}

void TTest::SendFirmwareRequest() {
    const BuiltFrame f = BuildCommandFrame(DecoderCommand::FirmwareRequest, settings_, Now());
    SendFrame(f.bytes, f.tag, f.logLine);
}

void TTest::SendSetDateTime(TDateTime when) {
    const BuiltFrame f = BuildSetDateTimeFrame(settings_, when);
    SendFrame(f.bytes, f.tag, f.logLine);
}

void TTest::SendResetTimer(TDateTime when) {
    const BuiltFrame f = BuildCommandFrame(DecoderCommand::ResetTimer, settings_, when);
    SendFrame(f.bytes, f.tag, f.logLine);
}

void TTest::SendManualLap(TDateTime when) {
    const BuiltFrame f = BuildCommandFrame(DecoderCommand::ManualLap, settings_, when);
    SendFrame(f.bytes, f.tag, f.logLine);
}

void TTest::SendResetGps(TDateTime when) {
    const BuiltFrame f = BuildCommandFrame(DecoderCommand::ResetGps, settings_, when);
    SendFrame(f.bytes, f.tag, f.logLine);
}

void TTest::PostDeferredRequest(DeferredRequest request) {
    std::weak_ptr<TTest*> link = self_;
    PostToMainThread([link, request] {
        const std::shared_ptr<TTest*> alive = link.lock();
        if (alive && *alive != nullptr) (*alive)->HandleDeferredRequest(request);
    });
}

void TTest::HandleDeferredRequest(DeferredRequest request) {
    switch (request) {
    case DeferredRequest::Reset: {
        const DeferredReset reset = BuildDeferredResetFrame(settings_);
        if (reset.setsReferenceTime) parser_.SetReferenceTime(Now());
        serialPort_->SendText(reset.bytes);
        break;
    }
    case DeferredRequest::SetDateTime: SendSetDateTime(Now()); break;
    }
}

void TTest::RequestBeep() {
    if (beepThread_) beepThread_->RequestBeep();
}

void TTest::SetTickSource(std::function<int64_t()> tickMs) {
    tickMs_ = tickMs;
    passages_.SetTickSource(std::move(tickMs));
}

}  // namespace sincrovia
