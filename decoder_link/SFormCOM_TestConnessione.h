// The decoder link: one object per open serial line that speaks the decoder protocol. It owns
// the serial port component, the receive buffer and record parser, the command frames, the
// delivery of texts to the window, the messages to the window's log memo, the optional traffic
// log and beep thread. All of it runs on the main thread.
#pragma once

#include <string>

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
    /// A text was added to the list of sent texts (MemoStrDaInviare).
    virtual void SentTextAdded(const ByteString& text) = 0;
};

/// Makes the view of a link; installed by the program (nullptr: links have no window).
using TTestViewFactory = TTestView* (*)(TTest& link);

/// Installs the factory of link views for the whole program.
void SetTestViewFactory(TTestViewFactory factory);

/// The decoder link. Public interface used by the main window; see the .cpp for the rules.
class TTest {
public:
    /// Creates the link: defaults, configuration file, process priority, beep thread, deferred
    /// request, view. Creation errors are reported in a box; the object is still usable.
    TTest(void* owner, const std::string& portName, TRxTextProc rxCallback, bool showWindow,
          const std::string& logFileName, TMemoLines* messageMemo, TQueueGauge* queueGauge = nullptr,
          bool markShapes = false, TLinkShape* shape1 = nullptr, TLinkShape* shape2 = nullptr);
    /// Stops the beep thread, drops references, frees the port. Close it first (LinkControl(1)).
    ~TTest();
    TTest(const TTest&) = delete;
    TTest& operator=(const TTest&) = delete;

    /// Mode 0: is the port open; 1: close, returns the port's open state; 2: open on PortName,
    /// returns true when it opened. Other modes do nothing and return false.
    bool LinkControl(int mode);

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

    /// Hardware connected state (status panel texts follow it).
    bool Connected() const;
    /// Real-time mode (true while open).
    bool RealTimeMode() const;
    /// Text of status panel 0..2.
    std::string StatusPanel(int panel) const;
    /// The port name given at creation.
    const std::string& PortName() const;

    // The implementation adds its members below.
};

}  // namespace sincrovia
