#include "SyncHarness.h"

#include <QCoreApplication>
#include <QPlainTextEdit>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/QtDesktop.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "serial/CommPortList.h"
#include "util/MainThread.h"

namespace sincrovia::e2e {

namespace {

constexpr int kPumpSliceMs = 2;

std::filesystem::path MakeTempFolder(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::filesystem::path g_runtimeFolder;

}  // namespace

void QtE2eEnvironment::SetUp() {
    // Virtual ports live in the runtime folder: one of our own, so parallel test programs
    // and a running simulator of the user never meet.
    g_runtimeFolder = MakeTempFolder("sincrovia-e2e-run-");
    setenv("XDG_RUNTIME_DIR", g_runtimeFolder.c_str(), 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    SetMainThread();
    static int argc = 1;
    static char name[] = "sincrovia_e2e_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(ApplicationTitle);
    WireMainThreadToQt();
}

void QtE2eEnvironment::TearDown() {
    UnwireMainThreadFromQt();
    app_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(g_runtimeFolder, ignored);
}

sim::DecoderConfig Decoder(const std::string& name, int64_t offsetMs) {
    sim::DecoderConfig c;
    c.name = name;
    c.offsetMs = offsetMs;
    c.jitterMs = 2;
    return c;
}

std::vector<sim::DecoderConfig> FourDecoders() {
    return {Decoder("PITIN", 1700), Decoder("PITOUT", -800), Decoder("START", 300), Decoder("T1", 40)};
}

SyncHarness::SyncHarness(std::vector<sim::DecoderConfig> decoders, bool developer, const OptionsHook& hook) {
    scopedDesktop_ = std::make_unique<ScopedDesktop>(desktop_);
    folder_ = MakeTempFolder("sincrovia-e2e-prog-");
    SetLinkProgramFolder(folder_.string());
    sim_ = std::make_unique<sim::Simulator>();
    std::string error;
    for (const auto& d : decoders)
        if (!sim_->AddDecoder(d, error)) throw std::runtime_error("decoder: " + error);
    if (!decoders.empty() && !sim_->Start(error)) throw std::runtime_error("simulator: " + error);

    TStartupServices services;
    services.ListPorts = [] {
        std::vector<std::string> ports;
        ListSerialPorts(ports);
        return ports;
    };
    services.FileVersion = [] { return std::string("1.0.0.0"); };
    services.IsDeveloperWorkstation = [developer] { return developer; };
    window_ = std::make_unique<TSincrovia>(services);
    TProcedureOptions options;
    options.settingsFolder = folder_.string();
    options.onRoundEvaluated = [this](const RoundResult& round) { rounds_.push_back(round); };
    if (hook) options = hook(*window_, options);
    procedures_ = AttachProcedures(*window_, options);
    window_->SetStartupWarningEnabled(false);
    window_->show();
    PumpFor(50);
}

SyncHarness::~SyncHarness() {
    window_->ThreadedTimer1.SetEnabled(false);
    if (window_->CloseAllLinks) window_->CloseAllLinks();
    window_.reset();
    sim_->Stop();
    SetLinkProgramFolder("");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string SyncHarness::SettingsFile() const {
    std::ifstream file(folder_ / SettingsFileName, std::ios::binary);
    std::stringstream s;
    s << file.rdbuf();
    return s.str();
}

void SyncHarness::Choose(int slot, const std::string& port) {
    TDropDownList* list = window_->PortList(slot);
    window_->RefillPortList(list);
    list->setCurrentIndex(list->findText(QString::fromStdString(port)));
}

void SyncHarness::ChooseAll() {
    for (std::size_t i = 0; i < sim_->DecoderCount(); ++i) Choose(static_cast<int>(i) + 1, sim_->PortName(i));
}

bool SyncHarness::Click(QAbstractButton* button) {
    window_->UpdateActions();
    if (!button->isEnabled()) return false;
    button->click();
    return true;
}

bool SyncHarness::PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPumpSliceMs);
        ServeMainThreadCalls();
        window_->UpdateActions();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void SyncHarness::PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

bool SyncHarness::WaitIdle(int timeoutMs) {
    return PumpUntil([this] { return !window_->ThreadedTimer1.Enabled() && !window_->FBusy; }, timeoutMs);
}

bool SyncHarness::OpenAll(int timeoutMs) {
    if (!Click(window_->SpButComOpen)) return false;
    return WaitIdle(timeoutMs);
}

std::vector<sim::ArrivalEntry> SyncHarness::Frames(DecoderCommand command) const {
    std::vector<sim::ArrivalEntry> out;
    for (const auto& a : sim_->Arrivals())
        if (FrameCode(a) == static_cast<int>(command)) out.push_back(a);
    return out;
}

std::string SyncHarness::Log(int slot) const { return window_->LogMemo(slot)->toPlainText().toStdString(); }

int FrameCode(const sim::ArrivalEntry& entry) {
    return entry.bytes.size() > 1 ? static_cast<unsigned char>(entry.bytes[1]) : -1;
}

int ArrivalMillisecond(const sim::ArrivalEntry& entry) { return static_cast<int>((entry.unixUs / 1000) % 1000); }

}  // namespace sincrovia::e2e
