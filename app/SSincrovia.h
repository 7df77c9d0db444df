// The main window of Sincrovia: four decoder slots, the port panel, the result panel, the
// procedure buttons and the four traffic logs. This unit builds the window (every control
// carries its Qt object name, which the procedures use to find controls by name), owns the
// state the procedures share, and handles first show, the deferred start-up warning and the
// close confirmation. The procedures themselves (port panel, reply intake, evaluation, stepped
// procedures) live in their own files and plug in through the hooks and update rules below.
//
// How the procedures attach, once, right after the window is built and before it is shown:
// connect each action's triggered() to its execute operation (ActionSender() names the button
// that fired it); SetUpdateRule() for every action with an update rule and AddIdleHandler() for
// the port lists; fill RestoreComSelection and CloseAllLinks; connect TDropDownList::DropDown of
// the port lists, the threshold list's change, TShape::MouseDown of the lamp, and set
// ThreadedTimer1.OnTimer. A decoder link gets the window as owner and MemoLines(n) as its log.
#pragma once

#include <QAction>
#include <QColor>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRadioButton>
#include <QToolButton>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/PcClockWatch.h"
#include "app/Rounds.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "display/DigWatchFrame.h"
#include "serial/ThdTimer.h"
#include "util/DateTime.h"

class QLineEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;

namespace sincrovia {

// ---------------------------------------------------------------------------------------------
// Constants shared by the window's procedures.

/// A received text that contains this banner is a firmware reply.
inline constexpr char FirmwareBanner[] = "teKAN - teVO Ver: ";
/// Lowest firmware release accepted (compared byte-wise as text).
inline constexpr char MinFirmware[] = "6.33.1";
/// Highest transponder number accepted as a clock reading.
inline constexpr unsigned MaxTransponderId = 1005;
/// The PC difference may be this many times the decoder threshold.
inline constexpr int PcFactor = 10;
/// One millisecond as a date-time value.
inline constexpr double OneMs = 1.0 / kMsPerDay;
/// Added to the two-digit year of a received record.
inline constexpr int YearBase = 2000;
/// The port choice file, beside the program file.
inline constexpr char SettingsFileName[] = "MemCom.set";
/// Firmware label of a slot whose firmware has not been read.
inline constexpr char FirmwareUnknownText[] = "Firmware V: --.-";
/// A single decoder's write ("Set Time n") takes an offset of up to this many seconds either way.
inline constexpr int LargestOffsetSeconds = 3;
/// Title of the application: caption of its message boxes and first part of the window caption.
inline constexpr char ApplicationTitle[] = "Sincrovia";

/// Pattern of the stamp that opens each log line.
inline constexpr char LogStampPattern[] = "dd mmm hh:mm:ss.zzz";
/// Pattern of a slot's date box (the trailing quote adds nothing).
inline constexpr char DateBoxPattern[] = "dd mmm yyyy\"";
/// Pattern of times, differences and the mean.
inline constexpr char TimeBoxPattern[] = "hh\"h \"nn\"m \"ss\"s \"zzz\"ms\"";

/// The private message the window posts to itself (value of the Windows WM_APP message).
inline constexpr int WmApp = 0x8000;
/// WM_APP parameter that selects the start-up warning about clock synchronisation.
inline constexpr int StartupWarningParam = 100;
/// Interval the stepped-procedure timer is created with (no step uses it).
inline constexpr uint32_t InitialTimerInterval = 700;

/// Text of the start-up warning about automatic clock synchronisation.
inline constexpr char StartupWarningText[] =
    "Please DISABLE automatic NTP clock synchronization from internet or use GPS synchronizer "
    "!\r\n\r\nIt is recommended that you CLOSE ALL APPLICATION for a good operation of this "
    "program!";
/// Question asked before the window closes.
inline constexpr char QuitQuestionText[] = "Are you sure you want to quit?";

// Colours of the window and its procedures.
inline const QColor ColorGreen{0, 128, 0};           ///< lamp OK, firmware accepted
inline const QColor ColorRed{255, 0, 0};             ///< lamp KO, firmware refused
inline const QColor ColorYellow{255, 255, 0};        ///< lamp warning
inline const QColor ColorGrey{128, 128, 128};        ///< lamp idle
inline const QColor ColorMoneyGreen{192, 220, 192};  ///< result boxes
inline const QColor ColorBlack{0, 0, 0};             ///< firmware label: open, no reply yet
inline const QColor ColorNavy{0, 0, 128};            ///< captions
inline const QColor ColorMaroon{128, 0, 0};          ///< slot captions, difference captions
inline const QColor ColorWindow{255, 255, 255};      ///< system colour "window background"
inline const QColor ColorGrayText{109, 109, 109};    ///< system colour "grey text"

// ---------------------------------------------------------------------------------------------
// Control kinds the procedures recognise.

/// A static text: a framed label whose text and background colour the procedures set and read
/// back (firmware labels, value boxes, offsets). Every static text is of this class, so
/// "every static text whose name contains X" is findChildren<TStaticText*>() filtered by name.
class TStaticText : public QLabel {
    Q_OBJECT
public:
    /// Creates a centred, sunken static text with the given background.
    TStaticText(QWidget* parent, const QColor& background);
    /// Background colour.
    QColor Color() const { return color_; }
    /// Sets the background colour.
    void SetColor(const QColor& color);
    /// Text colour.
    void SetTextColor(const QColor& color);

private:
    void ApplyPalette();
    QColor color_;
    QColor textColor_;
};

/// A selection-only drop-down list that announces when the user opens it, before the items
/// are shown (the port lists refill themselves then).
class TDropDownList : public QComboBox {
    Q_OBJECT
public:
    /// Creates an empty list with no selection.
    explicit TDropDownList(QWidget* parent);
    /// Emits DropDown, then opens the list.
    void showPopup() override;
signals:
    /// The user is opening the list.
    void DropDown();
};

/// A filled circle with a frame; reports mouse presses with their buttons and modifiers.
class TShape : public QWidget {
    Q_OBJECT
public:
    /// Creates a circle filled with `brush`.
    TShape(QWidget* parent, const QColor& brush);
    /// Fill colour.
    QColor BrushColor() const { return brush_; }
    /// Sets the fill colour.
    void SetBrushColor(const QColor& color);
signals:
    /// A mouse press: the button pressed, every button held, the modifier keys, and whether it
    /// is the second press of a double click.
    void MouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, bool doubleClick);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QColor brush_;
};

/// Two small arrow buttons bound to a static text: each click moves the number shown in the
/// text by one within [Min, Max]. The current text is read before each step, so a text reset
/// from elsewhere ("0") is where the next step starts.
class TUpDown : public QWidget {
    Q_OBJECT
public:
    /// Creates the control bound to `associate`, range [min, max], position 0.
    TUpDown(QWidget* parent, TStaticText* associate, int min, int max);
    /// Current position.
    int Position() const { return position_; }
    /// Sets the position (clamped) and writes it into the bound text.
    void SetPosition(int value);
    /// One step up (+1) or down (-1).
    void Step(int delta);
    /// The bound static text.
    TStaticText* Associate() const { return associate_; }

private:
    TStaticText* associate_;
    int min_, max_, position_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The window.

/// What the window needs from the rest of the program at start-up; each may be left empty
/// (no ports, version "", never the developer workstation).
struct TStartupServices {
    /// The serial ports present now, as port names.
    std::function<std::vector<std::string>()> ListPorts;
    /// The program file's version text.
    std::function<std::string()> FileVersion;
    /// The development-mode test.
    std::function<bool()> IsDeveloperWorkstation;
};

/// The main window.
class TSincrovia : public QMainWindow {
    Q_OBJECT
public:
    /// Builds the window with every control and action; the timer is created stopped.
    explicit TSincrovia(TStartupServices services = {}, QWidget* parent = nullptr);
    ~TSincrovia() override;
    TSincrovia(const TSincrovia&) = delete;
    TSincrovia& operator=(const TSincrovia&) = delete;

    // --- Slot controls, n = 1..4 (nullptr outside that range) ---
    /// `CmbCOMPort_n`.
    TDropDownList* PortList(int slot) const;
    /// `StTxtFrmwrVer_n`.
    TStaticText* FirmwareLabel(int slot) const;
    /// `EdtDate_n`.
    TStaticText* DateBox(int slot) const;
    /// `EdtTime_n`.
    TStaticText* TimeBox(int slot) const;
    /// `StTxtSecOffset_n`.
    TStaticText* OffsetBox(int slot) const;
    /// The up-down of slot n (`UpDown2`, `UpDown1`, `UpDown3`, `UpDown4`).
    TUpDown* OffsetUpDown(int slot) const;
    /// `MmLogCom_n`.
    QPlainTextEdit* LogMemo(int slot) const;
    /// The log of slot n as the decoder link sees it (bytes in the 8-bit code page).
    TMemoLines* MemoLines(int slot) const;
    /// `BtClrCOM_n`.
    QPushButton* ClearButton(int slot) const;
    /// `BotWriteDateAndTimeComN`.
    QPushButton* SetTimeButton(int slot) const;
    /// The set-time action of slot n (its data is n).
    QAction* SetTimeAction(int slot) const;

    // --- Other controls ---
    TStaticText* EdtPcTimeOnRead = nullptr;               ///< PC time frozen on read
    TStaticText* EdtMediaTimeDecoder = nullptr;           ///< mean decoder time
    TStaticText* EdtDeltaTimeAllDecoder = nullptr;        ///< largest difference between decoders
    TStaticText* EdtDeltaTimePcDecoder = nullptr;         ///< difference between PC and mean
    TDropDownList* CmbMaxErrSync = nullptr;               ///< threshold in ms
    QLabel* LblThMoltiplierFactorForPC = nullptr;         ///< threshold label
    TShape* ShpSyncResult = nullptr;                      ///< the lamp
    QLabel* LblSyncResult = nullptr;                      ///< result text
    QLineEdit* EdtLatencySendCmd55 = nullptr;             ///< Reset GPS latency (hidden)
    QRadioButton* ChkBoxResetTimerKivoAfter = nullptr;    ///< reset reader after synchronising
    QRadioButton* ChkBoxCmd55ReseGPSKivoAfter = nullptr;  ///< reset GPS after synchronising
    TFrameDigitalWatch* FrameDigitalWatch1 = nullptr;     ///< the PC clock display
    QLabel* LblPcClockStatus = nullptr;                   ///< "PC clock: ..." under the display
    TPcClockWatch* PcClockWatch = nullptr;                ///< keeps that line and finds clock steps
    QTabWidget* PgctrlMultiSync = nullptr;                ///< the page control
    QWidget* PageControlPanel = nullptr;                  ///< page "Control panel"
    QWidget* PageComMessage = nullptr;                    ///< page "Com Message"
    QToolButton* SpButComOpen = nullptr;                  ///< "1-Open COM"
    QToolButton* SpButComClose = nullptr;                 ///< "5-Close COM"
    QToolButton* SpBtReadDtAndTm = nullptr;               ///< "2-Read Date and Time"
    QToolButton* SpBtWriteDtAndTm = nullptr;              ///< "3-Synchro Date and Time"
    QToolButton* BtAutoSinc = nullptr;                    ///< "4-Auto Synchronization"
    QToolButton* BtResetTimer = nullptr;                  ///< "Reset Reader"
    QToolButton* BtSendCmd55 = nullptr;                   ///< "Reset GPS"
    QPushButton* BotCalcdelta = nullptr;                  ///< "Calc Max Dif."

    // --- Actions (object name = action name; category in the property "category") ---
    QAction* ActBotWriteDateAndTimeComPitIN = nullptr;
    QAction* ActBotWriteDateAndTimeComPitOut = nullptr;
    QAction* ActBotWriteDateAndTimeComStart = nullptr;
    QAction* ActBotWriteDateAndTimeComBackUp = nullptr;
    QAction* ActApriCOM_All = nullptr;
    QAction* ActBotSendCmd07 = nullptr;
    QAction* ActBotAutoSync = nullptr;
    QAction* ActBotSendCmd55 = nullptr;
    QAction* ActChiudiCOM_All = nullptr;
    QAction* ActBotCalcDif = nullptr;
    QAction* ActBot2ReadDateAndTime = nullptr;
    QAction* ActBot3WriteDateAndTime = nullptr;
    QAction* ActBotClearCOM_X = nullptr;
    /// Every action of the action list, in list order.
    const std::vector<QAction*>& ActionList() const { return actions_; }
    /// The control that fired the action now executing (a button, or nullptr when the action
    /// was triggered directly). "Clear Com" reads its slot from this button's name.
    QObject* ActionSender() const { return actionSender_; }

    // --- Idle-time update rules ---
    /// Registers the rule that decides `action`'s enabled state; it is evaluated whenever the
    /// event loop is about to wait. A later registration for the same action replaces it.
    void SetUpdateRule(QAction* action, std::function<bool()> rule);
    /// Registers a rule that runs at the same moments and decides itself what to change
    /// (the port lists follow the "1-Open COM" rule this way).
    void AddIdleHandler(std::function<void()> handler);
    /// Evaluates every rule now (also called from the event loop).
    void UpdateActions();

    // --- Status bar ---
    /// The text of the single status panel.
    QString StatusText() const;
    /// Writes the single status panel.
    void SetStatusText(const QString& text);

    // --- Start-up and close ---
    /// Filled by the port panel: reselects the ports saved in the settings file (first show).
    std::function<void()> RestoreComSelection;
    /// Filled by the port panel: closes and frees every decoder link ("5-Close COM"); also
    /// called when the window closes and when it is destroyed.
    std::function<void()> CloseAllLinks;
    /// Queues the private message to the window itself; it is handled once the loop runs.
    void PostAppMessage(int wParam, int lParam);
    /// Handles the private message: wParam 100 shows the start-up warning, others nothing.
    void AppMessage(int wParam, int lParam);
    /// Whether the first show posts the start-up warning (off for screenshots).
    void SetStartupWarningEnabled(bool enabled) { startupWarningEnabled_ = enabled; }
    /// The development-mode answer (false when no test was given).
    bool IsDeveloperWorkstation() const;
    /// The serial ports present now (empty when no lister was given).
    std::vector<std::string> ListPorts() const;
    /// Refills a port list with the ports present now; no item is selected afterwards.
    void RefillPortList(QComboBox* list) const;
    /// The threshold label from a threshold text: "TH Decoder 50ms, PC 500ms".
    void ShowThreshold(const QString& text);

    // --- Shared state of the procedures (all start false or zero; the per-slot state is the
    // procedures' own, TSincroviaProcedures::Slot) ---
    bool FAbortRequest = false;   ///< set by "5-Close COM", cleared by "1-Open COM"
    bool FBusy = false;           ///< a blocking procedure runs
    TDateTime FPcTimeOnRead = 0;  ///< PC time when the read commands were last sent
    /// The stepped-procedure timer (interval 700 ms, stopped at creation).
    TThreadedTimer ThreadedTimer1;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct SlotControls;
    void BuildWindow();
    void BuildSlot(QWidget* page, int slot);
    void BuildControlPanel(QWidget* page);
    void BuildComMessagePage(QWidget* page);
    void BuildActions();
    void BindButton(QAbstractButton* button, QAction* action);
    void FormShow();
    void WatchEventLoop();

    TStartupServices services_;
    std::vector<QAction*> actions_;
    QPointer<QObject> actionSender_;
    std::array<std::unique_ptr<SlotControls>, SlotCount> slots_;
    std::vector<std::pair<QAction*, std::function<bool()>>> rules_;
    std::vector<std::function<void()>> idleHandlers_;
    QLabel* statusPanel_ = nullptr;
    bool updating_ = false;
    bool startupWarningEnabled_ = true;
};

}  // namespace sincrovia
