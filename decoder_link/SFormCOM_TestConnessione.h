// The decoder link: one object per open serial line that speaks the decoder protocol. It owns
// the serial port component, the receive buffer and record parser, the command frames, the
// delivery of texts to the window, the messages to the window's log memo, the optional traffic
// log and beep thread. All of it runs on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "decoder_link/Frames.h"
#include "decoder_link/LinkSettings.h"
#include "decoder_link/PassageList.h"
#include "decoder_link/Reception.h"
#include "util/ByteString.h"
#include "util/DateTime.h"

namespace sincrovia {

/// Receive callback: a plain procedure taking a delivered text and an integer that is always 0.
/// Called on the main thread once per delivered text.
using TRxTextProc = void (*)(const ByteString& text, int reserved);

/// A log memo of the window: the link only appends lines to it.
class TMemoLines {
public:
    virtual ~TMemoLines() = default;
    /// Appends one line (bytes in the 8-bit code page).
    virtual void AddLine(const ByteString& line) = 0;
};

/// An optional progress bar showing the receive-queue fill.
class TQueueGauge {
public:
    virtual ~TQueueGauge() = default;
    /// Sets the bar's position.
    virtual void SetPosition(int position) = 0;
};

/// An optional shape whose brush colour the link sets (RGB).
class TLinkShape {
public:
    virtual ~TLinkShape() = default;
    /// Sets the brush colour.
    virtual void SetBrushColor(int red, int green, int blue) = 0;
};

class TTest;

/// The link's own window (test window on the developer workstation), supplied by the program
/// with a toolkit; the core link runs without one.
class TTestView {
public:
    virtual ~TTestView() = default;
    /// Shows the window.
    virtual void Show() = 0;
    /// Whether the window is visible.
    virtual bool Visible() const = 0;
    /// A status panel's text changed (panels 0..2).
    virtual void StatusChanged(int panel, const std::string& text) = 0;
    /// A text was added to the list of sent texts (MemoStrDaInviare); told by the test bench.
    virtual void SentTextAdded(const ByteString& text) = 0;
};

/// Makes the view of a link; installed by the program (nullptr: links have no window).
using TTestViewFactory = TTestView* (*)(TTest& link);

/// Installs the factory of link views for the whole program.
void SetTestViewFactory(TTestViewFactory factory);

/// Folder in which links look for "Lapix.ini" and write their traffic logs; empty (the
/// default) means the program's own folder. Tests point it at a folder of their own.
void SetLinkProgramFolder(const std::string& folder);
/// The folder links use now, with its trailing separator.
std::string LinkProgramFolder();

/// The program's handler of an exception that reached the event loop: every live link adds
/// "General Application Error in Lapix.dll: " + message to its memo as a serial error line.
/// Returns false when no link is alive (the caller then handles the exception itself).
bool HandleApplicationException(const std::string& message);

/// Number of links alive in the program (created and not yet destroyed).
int LiveLinkCount();

class TSerialPortNG;
class LinkTimer;
class TThreadBeep;

/// What LinkControl does; the numbers are those the program's callers have always passed.
enum class LinkMode : int {
    IsOpen = 0,  ///< tells whether the port is open
    Close = 1,   ///< closes the port
    Open = 2,    ///< opens the port named at creation
};

/// The requests a link posts to itself, to run on the main thread after the current event.
enum class DeferredRequest : int {
    Reset = 100,        ///< the reset frame of the link's settings (see BuildDeferredResetFrame)
    SetDateTime = 200,  ///< writes the PC clock into the decoder
};

/// The decoder link. Public interface used by the main window; see the .cpp for the rules.
class TTest {
public:
    /// Creates the link: defaults, configuration file, process priority, beep thread, deferred
    /// request, view. Creation errors are reported in a box; the object is still usable.
    TTest(void* owner, const std::string& portName, TRxTextProc rxCallback, bool showWindow,
          const std::string& logFileName, TMemoLines* messageMemo, TQueueGauge* queueGauge = nullptr,
          bool markShapes = false, TLinkShape* shape1 = nullptr, TLinkShape* shape2 = nullptr);
    /// Stops the beep thread, drops references, frees the port. Close it first (LinkControl(LinkMode::Close)).
    ~TTest();
    TTest(const TTest&) = delete;
    TTest& operator=(const TTest&) = delete;

    /// IsOpen: is the port open; Close: close, returns the port's open state; Open: open on
    /// PortName, returns true when it opened. Any other value does nothing and returns false.
    bool LinkControl(LinkMode mode);

    /// Cmd 01: asks for the firmware version; the log shows the PC clock.
    void SendFirmwareRequest();
    /// Cmd 03: writes `when` (whole seconds) into the decoder.
    void SendSetDateTime(TDateTime when);
    /// Cmd 07: resets the decoder's timer; `when` is shown in the log.
    void SendResetTimer(TDateTime when);
    /// Cmd 52: manual lap; the decoder answers with a passage stamped by its clock.
    void SendManualLap(TDateTime when);
    /// Cmd 55: resets the decoder's GPS receiver.
    void SendResetGps(TDateTime when);

    /// The single path by which texts leave the link: to the callback, or to the memo.
    void DeliverText(const ByteString& text, bool toMemo);

    /// What the link knows of the text it is delivering now, beyond its bytes. Valid while
    /// the receive callback runs.
    struct Delivery {
        /// PC wall clock (Unix microseconds) when the last byte of the text was taken from the
        /// line, 0 when the text did not come from the line (a validated transit).
        int64_t arrivalUnixUs = 0;
    };
    /// The delivery in progress (see Delivery).
    const Delivery& CurrentDelivery() const { return delivery_; }

    /// Hardware connected state (status panel texts follow it).
    bool Connected() const;
    /// Real-time mode (true while open).
    bool RealTimeMode() const;
    /// Text of status panel 0..2.
    std::string StatusPanel(int panel) const;
    /// The port name given at creation.
    const std::string& PortName() const;

    // --- Link state -----------------------------------------------------------------------
    /// Whether the link was created for the test window.
    bool ShowWindow() const { return showWindow_; }
    /// The window caption: PortName + " - Test DLL Kivo".
    const std::string& Caption() const { return caption_; }
    /// The link's settings as read from "Lapix.ini".
    const LinkSettings& Settings() const { return settings_; }
    /// The view made by the installed factory, or nullptr.
    TTestView* View() const { return view_.get(); }
    /// The serial port component of the link.
    TSerialPortNG& SerialPort() { return *serialPort_; }
    /// The shape of a character on the link's line (speed, data, parity and stop bits), for
    /// the time a frame takes on it.
    LineCharacter LineShape() const;
    /// Hands a built frame to the port at once, without logging (for frames that must leave
    /// several links back to back; log each with LogSentFrame afterwards).
    void WriteFrame(const ByteString& frame);
    /// Logs a frame sent with WriteFrame: traffic log under `tag`, "(*) " + line to the memo.
    void LogSentFrame(const std::string& tag, const std::string& logLine);
    /// The record parser holding RxBuffer and ReferenceTime.
    RecordParser& Parser() { return parser_; }
    /// The passage list of hit records.
    PassageList& Passages() { return passages_; }
    /// Whether the traffic log is on (a log file name was given).
    bool LogEnabled() const { return logEnabled_; }
    /// The traffic-log lines not yet saved.
    const std::vector<std::string>& LogLines() const { return logLines_; }
    /// Interval of MainTimer in milliseconds (0: stopped).
    uint32_t MainTimerInterval() const { return mainTimerInterval_; }
    /// Whether the beep thread exists (BeepDll on).
    bool HasBeepThread() const { return beepThread_ != nullptr; }
    /// Whether the periodic passage check timer runs (it is created stopped).
    bool CheckTimerEnabled() const;

    // --- Events and handlers (main thread) -------------------------------------------------
    /// Traffic log: appends "#" + tag + ";" + the PC clock + ";" + text when the log is on.
    void LogLine(std::string_view tag, const std::string& text);
    /// Writes the traffic log to its file in the program's folder and empties it.
    void SaveLog();
    /// The port's error report: one memo line "Msg  dd.mm.yy hh:mm:ss :Code ..." and a log line.
    void SerialPortNGProcessError(uint32_t place, uint32_t code, const std::string& msg, uint8_t noise);
    /// The port's status event: queue gauge and "Overflow Rx Queue".
    void SerialPortNGCommStat(uint32_t inQueue);
    /// The port's receive event: takes one cluster and feeds the record parser.
    void SerialPortNGRxClusterEvent();
    /// MainTimer's tick: the first one moves the interval to 100 ms.
    void MainTimerTick();
    /// Posts the deferred request to run on the main thread after the current event; dropped
    /// when the link is destroyed first.
    void PostDeferredRequest(DeferredRequest request);
    /// Runs a deferred request now; an unknown value does nothing.
    void HandleDeferredRequest(DeferredRequest request);
    /// Handles an exception message as "General Application Error in Lapix.dll: ".
    void ApplicationException(const std::string& message);

    // --- What the test bench uses (decoder_link/LinkTestBench) ------------------------------
    /// Sets the text of status panel 0..2 and shows it in the view; other panels are ignored.
    void SetStatus(int panel, const std::string& text);
    /// Hands a text straight to the receive callback: not logged, not listed, not counted.
    void CallRxCallback(const ByteString& text);
    /// Installs the watcher of the texts DeliverText hands to the callback (called after the
    /// callback and the log line); an empty function removes it. The test bench installs one
    /// while it lives.
    void SetDeliveryWatcher(std::function<void(const ByteString& text)> watcher);
    /// The link's tick counter in milliseconds (the passage list's time).
    int64_t TickMs() const { return tickMs_(); }
    /// Replaces the tick counter (milliseconds) of the link and its passage list; tests drive
    /// time with it.
    void SetTickSource(std::function<int64_t()> tickMs);

private:
    void Create(bool markShapes, TLinkShape* shape1, TLinkShape* shape2, TQueueGauge* queueGauge,
                TMemoLines* messageMemo, const std::string& logFileName);
    void FormCreate();
    bool OpenLink();
    bool CloseLink();
    void SetConnected(bool value);
    void SendFrame(const ByteString& frame, const std::string& tag, const std::string& logLine);
    void RequestBeep();
    void CheckTimerTick();

    std::string portName_;
    TRxTextProc rxCallback_ = nullptr;
    bool showWindow_ = false;
    TMemoLines* messageMemo_ = nullptr;
    TQueueGauge* queueGauge_ = nullptr;
    std::string logFileName_;
    bool logEnabled_ = false;
    bool connected_ = false;
    bool realTimeMode_ = false;
    std::string caption_;
    std::string statusPanels_[3];
    LinkSettings settings_;
    std::vector<std::string> logLines_;
    uint32_t mainTimerInterval_ = 0;
    RecordParser parser_;
    PassageList passages_;
    Delivery delivery_;  // what the receive callback may ask of the text it is given
    std::unique_ptr<TSerialPortNG> serialPort_;
    std::unique_ptr<LinkTimer> tmrCheckLstRx_;
    std::unique_ptr<LinkTimer> threadedTimer1_;
    std::unique_ptr<TThreadBeep> beepThread_;
    std::unique_ptr<TTestView> view_;
    // Shared with posted calls: cleared at destruction so that a deferred request posted by
    // this link and served later finds it gone and does nothing.
    std::shared_ptr<TTest*> self_;
    std::function<int64_t()> tickMs_;
    std::function<void(const ByteString& text)> deliveryWatcher_;
    std::unique_ptr<LinkTimer> mainTimer_;
};

}  // namespace sincrovia
