// The whole synchronizer against simulated decoders, in one process: a QApplication on the
// offscreen platform, the main window with its procedures, and the decoder simulator on
// pseudo-terminals. Every harness gets its own runtime folder (virtual ports) and program
// folder ("MemCom.set", "Lapix.ini"), and records message boxes instead of showing them.
#pragma once

#include <QAbstractButton>
#include <QApplication>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Procedures.h"
#include "app/SSincrovia.h"
#include "decoder_link/Frames.h"
#include "tools/simulator/Simulator.h"
#include "util/DesktopServices.h"

namespace sincrovia::e2e {

/// One QApplication for the test program, main thread of the hand-over, wired into Qt.
class QtE2eEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;

private:
    std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kQtE2eEnvironment = ::testing::AddGlobalTestEnvironment(new QtE2eEnvironment);

/// A decoder for the simulator: name and clock offset, the rest default unless changed.
sim::DecoderConfig Decoder(const std::string& name, int64_t offsetMs);

/// The four decoders of the examples: PITIN +1700 ms, PITOUT -800, START +300, T1 +40.
std::vector<sim::DecoderConfig> FourDecoders();

/// Window, procedures and simulator of one test.
class SyncHarness {
public:
    /// Lets a test add to the window and to the procedure options before they attach.
    using OptionsHook = std::function<TProcedureOptions(TSincrovia&, TProcedureOptions)>;
    /// Starts the simulator with `decoders` (may be empty) and builds the shown window.
    explicit SyncHarness(std::vector<sim::DecoderConfig> decoders, bool developer = false,
                         const OptionsHook& hook = {});
    ~SyncHarness();
    SyncHarness(const SyncHarness&) = delete;
    SyncHarness& operator=(const SyncHarness&) = delete;

    TSincrovia& Window() { return *window_; }
    TSincroviaProcedures& Procedures() { return *procedures_; }
    sim::Simulator& Sim() { return *sim_; }
    RecordingDesktop& Boxes() { return desktop_; }
    /// The program folder of this harness.
    const std::filesystem::path& Folder() const { return folder_; }
    /// The content of "MemCom.set" ("" when missing).
    std::string SettingsFile() const;

    /// Selects `port` in slot's list (refilling it first).
    void Choose(int slot, const std::string& port);
    /// Chooses the simulator's decoders on slots 1.. in order.
    void ChooseAll();
    /// Brings the actions up to date, then clicks `button`; false when it is disabled.
    bool Click(QAbstractButton* button);
    /// Pumps events and hand-overs until `done` or `timeoutMs`; returns `done()`.
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
    /// Pumps for `ms`.
    void PumpFor(int ms);
    /// Waits until no procedure runs (timer stopped, not busy).
    bool WaitIdle(int timeoutMs);
    /// "1-Open COM" and, outside development mode, the firmware read to its end.
    bool OpenAll(int timeoutMs = 8000);
    /// Frames received by the simulator with this command, in arrival order.
    std::vector<sim::ArrivalEntry> Frames(DecoderCommand command) const;
    /// The log of slot n as text.
    std::string Log(int slot) const;
    /// Every round the procedures published, in order.
    const std::vector<RoundResult>& Rounds() const { return rounds_; }

private:
    RecordingDesktop desktop_;
    std::unique_ptr<ScopedDesktop> scopedDesktop_;
    std::filesystem::path folder_;
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<TSincrovia> window_;
    TSincroviaProcedures* procedures_ = nullptr;
    std::vector<RoundResult> rounds_;
};

/// Command code of a received frame (its second byte).
int FrameCode(const sim::ArrivalEntry& entry);

/// Millisecond of the PC second of an arrival.
int ArrivalMillisecond(const sim::ArrivalEntry& entry);

}  // namespace sincrovia::e2e
