// The main window: construction of every control from the layout tables below, the idle-time
// update of actions, first show, the deferred start-up warning and the close confirmation.
#include "app/SSincrovia.h"

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/Icons.h"
#include "app/Procedures.h"
#include "util/ByteString.h"
#include "util/DesktopServices.h"

namespace sincrovia {

namespace {

// Window geometry.
constexpr int kClientWidth = 1004;
constexpr int kClientHeight = 630;
constexpr int kStatusBarHeight = 45;
constexpr int kStatusPanelWidth = 150;
constexpr int kStatusFontPx = 32;
constexpr int kDefaultFontPx = 11;
constexpr int kTabFontPx = 13;
constexpr int kLogHeight = 137;
constexpr int kLogFontPx = 11;
constexpr int kPcClockLineFontPx = 11;

// Slot group geometry.
constexpr int kSlotFrameTop = 1;
constexpr int kSlotFrameWidth = 185;
constexpr int kSlotFrameHeight = 234;
constexpr int kLargeButtonIconPx = 40;
constexpr int kSmallButtonIconPx = 32;

constexpr char kThresholdDefault[] = "50";
constexpr char kLatencyDefault[] = "100";
constexpr char kVersionSeparator[] = " - Ver. ";

/// One slot's fixed data: its caption, left edges and the names that differ per slot.
struct SlotLayout {
    const char* caption;
    int frameLeft, left, clearLeft, offsetCaptionLeft, offsetLeft, upDownLeft;
    const char* upDownName;
    const char* setTimeAction;
};

constexpr std::array<SlotLayout, SlotCount> kSlots{{
    {"Decoder PIT IN", 8, 17, 126, 143, 141, 170, "UpDown2", "ActBotWriteDateAndTimeComPitIN"},
    {"Decoder PIT OUT", 191, 200, 309, 326, 324, 353, "UpDown1", "ActBotWriteDateAndTimeComPitOut"},
    {"Decoder START", 374, 383, 492, 509, 507, 536, "UpDown3", "ActBotWriteDateAndTimeComStart"},
    {"Decoder T1", 557, 566, 675, 690, 690, 719, "UpDown4", "ActBotWriteDateAndTimeComBackUp"},
}};

/// One action of the action list.
struct ActionRow {
    QAction* TSincrovia::*member;
    const char* name;
    const char* category;
    const char* caption;
};

constexpr char kCatBot[] = "Bot Control";
constexpr char kCatCom[] = "CtrlCOM";

const std::array<ActionRow, 13> kActions{{
    {&TSincrovia::ActBotWriteDateAndTimeComPitIN, "ActBotWriteDateAndTimeComPitIN", kCatBot, "Set Time 1"},
    {&TSincrovia::ActBotWriteDateAndTimeComPitOut, "ActBotWriteDateAndTimeComPitOut", kCatBot, "Set Time 2"},
    {&TSincrovia::ActBotWriteDateAndTimeComStart, "ActBotWriteDateAndTimeComStart", kCatBot, "Set Time 3"},
    {&TSincrovia::ActBotWriteDateAndTimeComBackUp, "ActBotWriteDateAndTimeComBackUp", kCatBot, "Set Time 4"},
    {&TSincrovia::ActApriCOM_All, "ActApriCOM_All", kCatCom, "1-Open COM"},
    {&TSincrovia::ActBotSendCmd07, "ActBotSendCmd07", kCatBot, "Reset Reader"},
    {&TSincrovia::ActBotAutoSync, "ActBotAutoSync", kCatBot, "4-Auto Synchronization"},
    {&TSincrovia::ActBotSendCmd55, "ActBotSendCmd55", kCatBot, "5-Send Cmd 55 (Rst GPS)"},
    {&TSincrovia::ActChiudiCOM_All, "ActChiudiCOM_All", kCatCom, "5-Close COM"},
    {&TSincrovia::ActBotCalcDif, "ActBotCalcDif", kCatBot, "Calc Max Dif."},
    {&TSincrovia::ActBot2ReadDateAndTime, "ActBot2ReadDateAndTime", kCatBot, "2-Read Date and Time"},
    {&TSincrovia::ActBot3WriteDateAndTime, "ActBot3WriteDateAndTime", kCatBot, "3-Synchro Date and Time"},
    {&TSincrovia::ActBotClearCOM_X, "ActBotClearCOM_X", kCatBot, "Clear Com"},
}};

/// Text style of a control: pixel size, colour, bold.
struct TextStyle {
    int px;
    QColor color;
    bool bold;
};

void ApplyStyle(QWidget* widget, const TextStyle& style) {
    QFont font = widget->font();
    font.setPixelSize(style.px);
    font.setBold(style.bold);
    widget->setFont(font);
    // Active and inactive only: a disabled control keeps the style's greyed text.
    QPalette palette = widget->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::WindowText, style.color);
        palette.setColor(group, QPalette::ButtonText, style.color);
        palette.setColor(group, QPalette::Text, style.color);
    }
    widget->setPalette(palette);
}

/// A caption label placed at (left, top); with a width it is centred in that width.
QLabel* AddCaption(QWidget* page, const QString& text, int left, int top, const TextStyle& style, int width = 0) {
    auto* label = new QLabel(text, page);
    ApplyStyle(label, style);
    label->adjustSize();
    if (width > 0) {
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setGeometry(left, top, width, label->height());
    } else {
        label->move(left, top);
    }
    return label;
}

TStaticText* AddStaticText(QWidget* page, const char* name, const QRect& geometry, const QColor& background,
                           const TextStyle& style, const QString& text = {}) {
    auto* box = new TStaticText(page, background);
    box->setObjectName(name);
    box->setGeometry(geometry);
    QFont font = box->font();
    font.setPixelSize(style.px);
    font.setBold(style.bold);
    box->setFont(font);
    box->SetTextColor(style.color);
    box->setText(text);
    return box;
}

QWidget* AddFrame(QWidget* page, const QRect& geometry) {
    auto* frame = new QGroupBox(page);
    frame->setGeometry(geometry);
    return frame;
}

QToolButton* AddImageButton(QWidget* page, const char* name, const QRect& geometry, const QString& caption,
                            IconKind icon, int fontPx, Qt::ToolButtonStyle buttonStyle, int iconPx) {
    auto* button = new QToolButton(page);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setText(caption);
    button->setIcon(MakeIcon(icon, iconPx));
    button->setIconSize(QSize(iconPx, iconPx));
    button->setToolButtonStyle(buttonStyle);
    ApplyStyle(button, {fontPx, ColorNavy, false});
    return button;
}

/// The link's view of a log memo: bytes in the 8-bit code page, one line per call.
class MemoAdapter final : public TMemoLines {
public:
    explicit MemoAdapter(QPlainTextEdit* memo) : memo_(memo) {}
    void AddLine(const ByteString& line) override {
        if (memo_) memo_->appendPlainText(QString::fromStdString(Cp1252ToUtf8(line)));
    }

private:
    QPointer<QPlainTextEdit> memo_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Control kinds

TStaticText::TStaticText(QWidget* parent, const QColor& background)
    : QLabel(parent), color_(background), textColor_(Qt::black) {
    setAlignment(Qt::AlignCenter);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAutoFillBackground(true);
    ApplyPalette();
}

void TStaticText::SetColor(const QColor& color) {
    color_ = color;
    ApplyPalette();
}

void TStaticText::SetTextColor(const QColor& color) {
    textColor_ = color;
    ApplyPalette();
}

void TStaticText::ApplyPalette() {
    QPalette p = palette();
    p.setColor(QPalette::Window, color_);
    p.setColor(QPalette::WindowText, textColor_);
    setPalette(p);
}

TDropDownList::TDropDownList(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    setCurrentIndex(-1);
}

void TDropDownList::showPopup() {
    emit DropDown();
    QComboBox::showPopup();
}

TShape::TShape(QWidget* parent, const QColor& brush) : QWidget(parent), brush_(brush) {}

void TShape::SetBrushColor(const QColor& color) {
    if (color == brush_) return;
    brush_ = color;
    update();
}

void TShape::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(brush_);
    const int side = std::min(width(), height()) - 2;
    painter.drawEllipse(QRect((width() - side) / 2, (height() - side) / 2, side, side));
}

void TShape::mousePressEvent(QMouseEvent* event) {
    emit MouseDown(event->button(), event->buttons(), event->modifiers(), false);
}

void TShape::mouseDoubleClickEvent(QMouseEvent* event) {
    emit MouseDown(event->button(), event->buttons(), event->modifiers(), true);
}

TUpDown::TUpDown(QWidget* parent, TStaticText* associate, int min, int max)
    : QWidget(parent), associate_(associate), min_(min), max_(max) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* up = new QToolButton(this);
    up->setArrowType(Qt::UpArrow);
    up->setObjectName("Up");
    auto* down = new QToolButton(this);
    down->setArrowType(Qt::DownArrow);
    down->setObjectName("Down");
    for (QToolButton* b : {up, down}) {
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        b->setAutoRepeat(true);
        layout->addWidget(b);
    }
    connect(up, &QToolButton::clicked, this, [this] { Step(+1); });
    connect(down, &QToolButton::clicked, this, [this] { Step(-1); });
}

void TUpDown::SetPosition(int value) {
    position_ = std::clamp(value, min_, max_);
    if (associate_) associate_->setText(QString::number(position_));
}

void TUpDown::Step(int delta) {
    // Start from what the bound text shows: the procedures reset it without telling us.
    if (associate_) {
        bool ok = false;
        const int shown = associate_->text().trimmed().toInt(&ok);
        if (ok) position_ = std::clamp(shown, min_, max_);
    }
    SetPosition(position_ + delta);
}

// ---------------------------------------------------------------------------------------------
// The window

struct TSincrovia::SlotControls {
    TDropDownList* portList = nullptr;
    QPushButton* clearButton = nullptr;
    TStaticText* firmware = nullptr;
    QPushButton* setTime = nullptr;
    TStaticText* offset = nullptr;
    TUpDown* upDown = nullptr;
    TStaticText* date = nullptr;
    TStaticText* time = nullptr;
    QPlainTextEdit* log = nullptr;
    std::unique_ptr<MemoAdapter> memoLines;
    QAction* setTimeAction = nullptr;
};

TSincrovia::TSincrovia(TStartupServices services, QWidget* parent)
    : QMainWindow(parent), services_(std::move(services)) {
    for (auto& s : slots_) s = std::make_unique<SlotControls>();
    setObjectName("Sincrovia");
    setWindowTitle(ApplicationTitle);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont base = font();
    base.setPixelSize(kDefaultFontPx);
    setFont(base);

    BuildActions();
    BuildWindow();
    setFixedSize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    }

    ThreadedTimer1.SetEnabled(false);
    ThreadedTimer1.SetInterval(InitialTimerInterval);
    WatchEventLoop();
}

TSincrovia::~TSincrovia() {
    ThreadedTimer1.SetEnabled(false);
    // Links still present are closed; with none, the hook has nothing to do.
    if (CloseAllLinks) CloseAllLinks();
}

void TSincrovia::BuildActions() {
    for (const ActionRow& row : kActions) {
        auto* action = new QAction(row.caption, this);
        action->setObjectName(row.name);
        action->setProperty("category", row.category);
        this->*row.member = action;
        actions_.push_back(action);
    }
    // "4-Auto Synchronization" has no operation: it stays disabled.
    ActBotAutoSync->setEnabled(false);
    const std::array<QAction*, SlotCount> setTime{ActBotWriteDateAndTimeComPitIN, ActBotWriteDateAndTimeComPitOut,
                                                  ActBotWriteDateAndTimeComStart, ActBotWriteDateAndTimeComBackUp};
    // Each set-time action carries its slot as its data.
    for (int i = 0; i < SlotCount; ++i) {
        setTime[static_cast<size_t>(i)]->setData(i + 1);
        slots_[static_cast<size_t>(i)]->setTimeAction = setTime[static_cast<size_t>(i)];
    }
}

void TSincrovia::BindButton(QAbstractButton* button, QAction* action) {
    // The button keeps its own caption; it follows the action's enabled state and fires it,
    // recording itself as the sender for the time the action executes.
    button->setEnabled(action->isEnabled());
    connect(action, &QAction::changed, button, [button, action] { button->setEnabled(action->isEnabled()); });
    connect(button, &QAbstractButton::clicked, this, [this, button, action] {
        if (!action->isEnabled()) return;
        QPointer<QObject> previous = actionSender_;
        actionSender_ = button;
        action->trigger();
        actionSender_ = previous;
    });
}

void TSincrovia::BuildWindow() {
    PgctrlMultiSync = new QTabWidget(this);
    PgctrlMultiSync->setObjectName("PgctrlMultiSync");
    PgctrlMultiSync->setDocumentMode(true);
    QFont tabFont = PgctrlMultiSync->tabBar()->font();
    tabFont.setPixelSize(kTabFontPx);
    PgctrlMultiSync->tabBar()->setFont(tabFont);
    // Tabs drawn as flat buttons.
    PgctrlMultiSync->tabBar()->setStyleSheet(
        "QTabBar::tab { border: 1px solid palette(mid); border-radius: 2px; padding: 3px 12px; margin: 2px; "
        "background: palette(button); }"
        "QTabBar::tab:selected { background: palette(dark); color: palette(bright-text); }");
    setCentralWidget(PgctrlMultiSync);

    PageControlPanel = new QWidget;
    PageControlPanel->setObjectName("TabShControlPanel");
    PageComMessage = new QWidget;
    PageComMessage->setObjectName("TabShComMessage");
    PgctrlMultiSync->addTab(PageControlPanel, "Control panel");
    PgctrlMultiSync->addTab(PageComMessage, "Com Message");

    BuildControlPanel(PageControlPanel);
    BuildComMessagePage(PageComMessage);

    QStatusBar* bar = new QStatusBar(this);
    bar->setObjectName("StatusBar");
    bar->setSizeGripEnabled(false);
    bar->setFixedHeight(kStatusBarHeight);
    statusPanel_ = new QLabel(bar);
    statusPanel_->setObjectName("StatusBarPanel0");
    statusPanel_->setMinimumWidth(kStatusPanelWidth);
    QFont statusFont = statusPanel_->font();
    statusFont.setPixelSize(kStatusFontPx);
    statusPanel_->setFont(statusFont);
    // The only panel also takes the rest of the bar, so that long progress texts stay readable.
    bar->addWidget(statusPanel_, 1);
    setStatusBar(bar);
    PgctrlMultiSync->setCurrentIndex(0);
}

void TSincrovia::BuildSlot(QWidget* page, int slot) {
    const SlotLayout& s = kSlots[static_cast<size_t>(slot - 1)];
    SlotControls& c = *slots_[static_cast<size_t>(slot - 1)];
    const QString n = QString::number(slot);
    const TextStyle navy13{13, ColorNavy, false};

    AddFrame(page, QRect(s.frameLeft, kSlotFrameTop, kSlotFrameWidth, kSlotFrameHeight));
    AddCaption(page, s.caption, s.left, 9, {kDefaultFontPx, ColorMaroon, true});

    c.portList = new TDropDownList(page);
    c.portList->setObjectName("CmbCOMPort_" + n);
    c.portList->setGeometry(s.left, 25, 104, 24);

    c.clearButton = new QPushButton("Clear Com", page);
    c.clearButton->setObjectName("BtClrCOM_" + n);
    c.clearButton->setGeometry(s.clearLeft, 20, 58, 30);
    BindButton(c.clearButton, ActBotClearCOM_X);

    c.firmware = AddStaticText(page, qPrintable("StTxtFrmwrVer_" + n), QRect(s.left, 58, 168, 20), ColorGrayText,
                               {13, ColorWindow, false}, FirmwareUnknownText);

    c.setTime = new QPushButton("Set Time " + n, page);
    c.setTime->setObjectName("BotWriteDateAndTimeCom" + n);
    c.setTime->setGeometry(s.left, 88, 118, 37);
    BindButton(c.setTime, c.setTimeAction);

    AddCaption(page, "+/- Sec", s.offsetCaptionLeft, 83, navy13);
    c.offset = AddStaticText(page, qPrintable("StTxtSecOffset_" + n), QRect(s.offsetLeft, 100, 29, 24), ColorWindow,
                             {16, Qt::black, false}, "0");
    c.upDown = new TUpDown(page, c.offset, -LargestOffsetSeconds, LargestOffsetSeconds);
    c.upDown->setObjectName(s.upDownName);
    c.upDown->setGeometry(s.upDownLeft, 100, 15, 24);

    AddCaption(page, "Date", s.left, 134, navy13);
    c.date = AddStaticText(page, qPrintable("EdtDate_" + n), QRect(s.left, 150, 168, 22), ColorWindow,
                           {16, Qt::black, false});
    AddCaption(page, "Time", s.left, 180, navy13);
    c.time = AddStaticText(page, qPrintable("EdtTime_" + n), QRect(s.left, 196, 168, 22), ColorWindow,
                           {16, Qt::black, false});
}

void TSincrovia::BuildControlPanel(QWidget* page) {
    for (int slot = 1; slot <= SlotCount; ++slot) BuildSlot(page, slot);

    const TextStyle navy13{13, ColorNavy, false};
    const TextStyle navyBold{kDefaultFontPx, ColorNavy, true};
    const TextStyle maroonBold{kDefaultFontPx, ColorMaroon, true};

    // Port frame.
    AddFrame(page, QRect(740, 1, 252, 234));
    SpButComOpen = AddImageButton(page, "SpButComOpen", QRect(750, 16, 234, 93), "1-Open COM", IconKind::PortOpen, 24,
                                  Qt::ToolButtonTextUnderIcon, kLargeButtonIconPx);
    SpButComClose = AddImageButton(page, "SpButComClose", QRect(748, 129, 236, 92), "5-Close COM", IconKind::PortClose,
                                   24, Qt::ToolButtonTextUnderIcon, kLargeButtonIconPx);
    BindButton(SpButComOpen, ActApriCOM_All);
    BindButton(SpButComClose, ActChiudiCOM_All);

    // Results row.
    AddCaption(page, "PC Time Freeze on read", 8, 247, navyBold, 182);
    EdtPcTimeOnRead =
        AddStaticText(page, "EdtPcTimeOnRead", QRect(8, 262, 182, 24), ColorMoneyGreen, {16, Qt::black, true});
    AddCaption(page, "Medium Time Decoder", 8, 298, navyBold, 182);
    EdtMediaTimeDecoder =
        AddStaticText(page, "EdtMediaTimeDecoder", QRect(8, 314, 182, 24), ColorMoneyGreen, {16, Qt::black, true});
    AddCaption(page, "DIFF. between Decoder", 200, 245, maroonBold, 210);
    EdtDeltaTimeAllDecoder = AddStaticText(page, "EdtDeltaTimeAllDecoder", QRect(200, 260, 210, 29), ColorMoneyGreen,
                                           {19, ColorWindow, true});
    AddCaption(page, "DIFF between PC and Decoder", 200, 297, maroonBold, 210);
    EdtDeltaTimePcDecoder = AddStaticText(page, "EdtDeltaTimePcDecoder", QRect(200, 312, 210, 29), ColorMoneyGreen,
                                          {19, ColorWindow, true});
    for (TStaticText* box : {EdtPcTimeOnRead, EdtMediaTimeDecoder, EdtDeltaTimeAllDecoder, EdtDeltaTimePcDecoder})
        box->setFrameStyle(QFrame::Panel | QFrame::Raised);

    BotCalcdelta = new QPushButton("Calc Max Dif.", page);
    BotCalcdelta->setObjectName("BotCalcdelta");
    BotCalcdelta->setGeometry(420, 251, 85, 89);
    ApplyStyle(BotCalcdelta, {kDefaultFontPx, ColorNavy, false});
    BindButton(BotCalcdelta, ActBotCalcDif);

    ChkBoxResetTimerKivoAfter = new QRadioButton("Send Reset Reader after Synchronize", page);
    ChkBoxResetTimerKivoAfter->setObjectName("ChkBoxResetTimerKivoAfter");
    ChkBoxResetTimerKivoAfter->setGeometry(513, 272, 279, 17);
    ChkBoxCmd55ReseGPSKivoAfter = new QRadioButton("Send Reset GPS after Synchronize", page);
    ChkBoxCmd55ReseGPSKivoAfter->setObjectName("ChkBoxCmd55ReseGPSKivoAfter");
    ChkBoxCmd55ReseGPSKivoAfter->setGeometry(513, 302, 279, 17);
    for (QRadioButton* radio : {ChkBoxResetTimerKivoAfter, ChkBoxCmd55ReseGPSKivoAfter}) {
        ApplyStyle(radio, {16, ColorNavy, false});
        // A narrower face where the system has one keeps the 16 px caption inside its 279 px.
        QFont narrow = radio->font();
        narrow.setStretch(QFont::SemiCondensed);
        radio->setFont(narrow);
        radio->setEnabled(false);
    }
    ChkBoxResetTimerKivoAfter->setChecked(true);

    AddCaption(page, "PC Clock Time", 848, 254, navy13);
    FrameDigitalWatch1 = new TFrameDigitalWatch(page);
    FrameDigitalWatch1->setObjectName("FrameDigitalWatch1");
    FrameDigitalWatch1->setGeometry(793, 273, 198, 47);
    LblPcClockStatus = new QLabel(page);
    LblPcClockStatus->setObjectName("LblPcClockStatus");
    LblPcClockStatus->setGeometry(760, 322, 231, 18);
    LblPcClockStatus->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ApplyStyle(LblPcClockStatus, {kPcClockLineFontPx, ColorNavy, false});
    PcClockWatch = new TPcClockWatch(this, LblPcClockStatus, [this](const std::string& text) {
        for (int slot = 1; slot <= SlotCount; ++slot) MemoLines(slot)->AddLine(LogStamp(Now()) + text);
    });

    // Threshold and result frame.
    AddFrame(page, QRect(8, 348, 984, 84));
    AddCaption(page, "Error synch Threshold in mSec", 24, 362, navy13);
    CmbMaxErrSync = new TDropDownList(page);
    CmbMaxErrSync->setObjectName("CmbMaxErrSync");
    CmbMaxErrSync->setGeometry(24, 378, 187, 24);
    CmbMaxErrSync->addItems({"4", "7", "10", "15", "25", "35", "50", "70", "90"});
    CmbMaxErrSync->setCurrentText(kThresholdDefault);

    LblThMoltiplierFactorForPC = new QLabel("TH: for Decoder x1, for PC x", page);
    LblThMoltiplierFactorForPC->setObjectName("LblThMoltiplierFactorForPC");
    LblThMoltiplierFactorForPC->setGeometry(24, 406, 213, 17);
    ApplyStyle(LblThMoltiplierFactorForPC, navy13);

    ShpSyncResult = new TShape(page, ColorGrey);
    ShpSyncResult->setObjectName("ShpSyncResult");
    ShpSyncResult->setGeometry(255, 358, 65, 65);

    LblSyncResult = new QLabel("Synchronization Result", page);
    LblSyncResult->setObjectName("LblSyncResult");
    ApplyStyle(LblSyncResult, {24, Qt::black, false});
    LblSyncResult->move(328, 376);
    LblSyncResult->adjustSize();

    QLabel* latencyCaption =
        AddCaption(page, "Latency to send Cmd 55 (ms)", 334, 399, {kDefaultFontPx, Qt::black, false});
    latencyCaption->hide();
    EdtLatencySendCmd55 = new QLineEdit(kLatencyDefault, page);
    EdtLatencySendCmd55->setObjectName("EdtLatencySendCmd55");
    EdtLatencySendCmd55->setGeometry(334, 413, 171, 24);
    EdtLatencySendCmd55->hide();

    BtResetTimer = AddImageButton(page, "BtResetTimer", QRect(600, 356, 199, 67), "Reset Reader", IconKind::ResetReader,
                                  21, Qt::ToolButtonTextBesideIcon, kSmallButtonIconPx);
    BtSendCmd55 = AddImageButton(page, "BtSendCmd55", QRect(799, 356, 183, 67), "Reset GPS", IconKind::ResetGps, 21,
                                 Qt::ToolButtonTextBesideIcon, kSmallButtonIconPx);
    BindButton(BtResetTimer, ActBotSendCmd07);
    BindButton(BtSendCmd55, ActBotSendCmd55);

    // Bottom row.
    SpBtReadDtAndTm = AddImageButton(page, "SpBtReadDtAndTm", QRect(8, 443, 302, 101), "2-Read Date and Time",
                                     IconKind::ReadClock, 24, Qt::ToolButtonTextUnderIcon, kLargeButtonIconPx);
    SpBtWriteDtAndTm = AddImageButton(page, "SpBtWriteDtAndTm", QRect(339, 443, 321, 101), "3-Synchro Date and Time",
                                      IconKind::SyncClock, 24, Qt::ToolButtonTextUnderIcon, kLargeButtonIconPx);
    BtAutoSinc = AddImageButton(page, "BtAutoSinc", QRect(690, 443, 302, 101), "4-Auto Synchronization",
                                IconKind::AutoSync, 24, Qt::ToolButtonTextUnderIcon, kLargeButtonIconPx);
    BindButton(SpBtReadDtAndTm, ActBot2ReadDateAndTime);
    BindButton(SpBtWriteDtAndTm, ActBot3WriteDateAndTime);
    BindButton(BtAutoSinc, ActBotAutoSync);
}

void TSincrovia::BuildComMessagePage(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    QFont fixed("Courier New");
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setFixedPitch(true);
    fixed.setPixelSize(kLogFontPx);
    for (int slot = 1; slot <= SlotCount; ++slot) {
        SlotControls& c = *slots_[static_cast<size_t>(slot - 1)];
        c.log = new QPlainTextEdit(page);
        c.log->setObjectName("MmLogCom_" + QString::number(slot));
        c.log->setFont(fixed);
        c.log->setLineWrapMode(QPlainTextEdit::NoWrap);
        c.log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        c.log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        c.log->setReadOnly(true);
        c.log->setFixedHeight(kLogHeight);
        c.memoLines = std::make_unique<MemoAdapter>(c.log);
        layout->addWidget(c.log);
    }
    layout->addStretch(1);
}

// --- Slot accessors ---

#define SINCROVIA_SLOT_ACCESSOR(Type, Name, field)           \
    Type* TSincrovia::Name(int slot) const {                 \
        if (slot < 1 || slot > SlotCount) return nullptr;    \
        return slots_[static_cast<size_t>(slot - 1)]->field; \
    }
SINCROVIA_SLOT_ACCESSOR(TDropDownList, PortList, portList)
SINCROVIA_SLOT_ACCESSOR(TStaticText, FirmwareLabel, firmware)
SINCROVIA_SLOT_ACCESSOR(TStaticText, DateBox, date)
SINCROVIA_SLOT_ACCESSOR(TStaticText, TimeBox, time)
SINCROVIA_SLOT_ACCESSOR(TStaticText, OffsetBox, offset)
SINCROVIA_SLOT_ACCESSOR(TUpDown, OffsetUpDown, upDown)
SINCROVIA_SLOT_ACCESSOR(QPlainTextEdit, LogMemo, log)
SINCROVIA_SLOT_ACCESSOR(QPushButton, ClearButton, clearButton)
SINCROVIA_SLOT_ACCESSOR(QPushButton, SetTimeButton, setTime)
SINCROVIA_SLOT_ACCESSOR(QAction, SetTimeAction, setTimeAction)
#undef SINCROVIA_SLOT_ACCESSOR

TMemoLines* TSincrovia::MemoLines(int slot) const {
    if (slot < 1 || slot > SlotCount) return nullptr;
    return slots_[static_cast<size_t>(slot - 1)]->memoLines.get();
}

// --- Idle-time update ---

void TSincrovia::WatchEventLoop() {
    // Actions are brought up to date whenever the loop has nothing left to do, like the idle
    // update of the classic action lists; nothing is polled on a timer.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &TSincrovia::UpdateActions);
}

void TSincrovia::SetUpdateRule(QAction* action, std::function<bool()> rule) {
    for (auto& entry : rules_) {
        if (entry.first == action) {
            entry.second = std::move(rule);
            return;
        }
    }
    rules_.emplace_back(action, std::move(rule));
}

void TSincrovia::AddIdleHandler(std::function<void()> handler) { idleHandlers_.push_back(std::move(handler)); }

void TSincrovia::UpdateActions() {
    if (updating_) return;  // a rule that pumps events must not re-enter the update
    updating_ = true;
    for (auto& [action, rule] : rules_)
        if (rule) action->setEnabled(rule());
    for (auto& handler : idleHandlers_)
        if (handler) handler();
    updating_ = false;
}

// --- Status bar ---

QString TSincrovia::StatusText() const { return statusPanel_->text(); }

void TSincrovia::SetStatusText(const QString& text) { statusPanel_->setText(text); }

// --- Start-up and close ---

bool TSincrovia::IsDeveloperWorkstation() const {
    return services_.IsDeveloperWorkstation && services_.IsDeveloperWorkstation();
}

std::vector<std::string> TSincrovia::ListPorts() const {
    return services_.ListPorts ? services_.ListPorts() : std::vector<std::string>{};
}

void TSincrovia::RefillPortList(QComboBox* list) const {
    list->clear();
    for (const std::string& port : ListPorts()) list->addItem(QString::fromStdString(port));
    list->setCurrentIndex(-1);
}

void TSincrovia::ShowThreshold(const QString& text) {
    bool ok = false;
    const int threshold = text.trimmed().toInt(&ok);
    QString label = "TH Decoder " + text + "ms";
    // The list offers numbers only; a text that is none shows no PC limit rather than a wrong one.
    if (ok) label += ", PC " + QString::number(static_cast<long long>(threshold) * PcFactor) + "ms";
    LblThMoltiplierFactorForPC->setText(label);
}

void TSincrovia::PostAppMessage(int wParam, int lParam) {
    QMetaObject::invokeMethod(
        this, [this, wParam, lParam] { AppMessage(wParam, lParam); }, Qt::QueuedConnection);
}

void TSincrovia::AppMessage(int wParam, int /*lParam*/) {
    if (wParam != StartupWarningParam) return;
    Desktop().MessageBox(ApplicationTitle, StartupWarningText, MsgIcon::Warning, MsgButtons::Ok, MsgAnswer::Ok);
}

void TSincrovia::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // A restore from the task bar is spontaneous and is not a show of the form.
    if (!event->spontaneous()) FormShow();
}

void TSincrovia::FormShow() {
    for (int slot = 1; slot <= SlotCount; ++slot) RefillPortList(PortList(slot));
    PgctrlMultiSync->setCurrentIndex(0);
    setWindowTitle(windowTitle() + kVersionSeparator +
                   QString::fromStdString(services_.FileVersion ? services_.FileVersion() : std::string{}));
    if (RestoreComSelection) RestoreComSelection();
    if (startupWarningEnabled_ && !IsDeveloperWorkstation()) PostAppMessage(StartupWarningParam, StartupWarningParam);
    ShowThreshold(CmbMaxErrSync->currentText());
    FrameDigitalWatch1->StartClock(true);
    PcClockWatch->Start();
}

void TSincrovia::closeEvent(QCloseEvent* event) {
    const MsgAnswer answer =
        Desktop().MessageBox(ApplicationTitle, QuitQuestionText, MsgIcon::Question, MsgButtons::YesNo, MsgAnswer::Yes);
    if (answer != MsgAnswer::Yes) {
        event->ignore();
        return;
    }
    if (CloseAllLinks) CloseAllLinks();
    event->accept();
}

}  // namespace sincrovia
