#include "app/LinkTestWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPalette>
#include <QScreen>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

#include "util/ByteString.h"

namespace sincrovia {
namespace {

// The window: size at creation and the smallest size the user may give it.
constexpr int kWindowWidth = 391;
constexpr int kWindowHeight = 294;
constexpr int kMinWindowWidth = 390;
constexpr int kMinWindowHeight = 233;

// The test area (everything above the status bar) as the controls were designed in it. At the
// window's opening width every control sits at its designed place (the buttons of a row meet
// without overlapping); the bevel ends 4 pixels short of the area's bottom edge. Controls keep
// their distance to every edge they are anchored to when the window is resized.
constexpr int kDesignedAreaWidth = kWindowWidth;
constexpr int kDesignedAreaHeight = 244;

constexpr QRect kBevelPlace{8, 8, 368, 232};
constexpr QPoint kLabelPlace{18, 14};
constexpr QRect kListPlace{18, 29, 346, 148};
constexpr QRect kSendPlace{18, 182, 91, 27};
constexpr QRect kFirmwarePlace{108, 182, 91, 27};
constexpr QRect kBatLowPlace{198, 182, 166, 27};
constexpr QRect kRandomPlace{18, 209, 121, 27};
constexpr QRect kSimulatedPlace{138, 209, 226, 27};

constexpr int kListFontPx = 13;
constexpr int kDefaultFontPx = 11;

// Status panel widths; the last one shows the version tag.
constexpr std::array<int, 3> kPanelWidths{140, 95, 75};

const QColor kLabelColor{0, 0, 128};  // navy

constexpr Qt::Edges kAllSides = Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge | Qt::BottomEdge;
constexpr Qt::Edges kLeftTop = Qt::LeftEdge | Qt::TopEdge;
constexpr Qt::Edges kLeftBottom = Qt::LeftEdge | Qt::BottomEdge;
constexpr Qt::Edges kRightBottom = Qt::RightEdge | Qt::BottomEdge;
constexpr Qt::Edges kLeftRightBottom = Qt::LeftEdge | Qt::RightEdge | Qt::BottomEdge;

QString FromBytes(const ByteString& text) { return QString::fromStdString(Cp1252ToUtf8(text)); }

ByteString ToBytes(const QString& text) { return Utf8ToCp1252(text.toStdString()); }

/// One axis of an anchored control: kept at its start, moved with the far edge, or stretched.
void PlaceAxis(int designedStart, int designedSize, bool nearAnchor, bool farAnchor, int growth, int& start,
               int& size) {
    start = designedStart;
    size = designedSize;
    if (nearAnchor && farAnchor)
        size = std::max(0, designedSize + growth);
    else if (farAnchor)
        start = designedStart + growth;
    else if (!nearAnchor)
        start = designedStart + growth / 2;  // unanchored: keeps its place relative to the middle
}

}  // namespace

LinkTestWindow::LinkTestWindow(TTest& link) : QWidget(nullptr), link_(link), bench_(link) {
    setObjectName("TTest");
    // No border icons: the user can neither close nor minimise the link's window.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    // A link window left open never keeps the program running once the main window closes.
    setAttribute(Qt::WA_QuitOnClose, false);
    QFont base = font();
    base.setPixelSize(kDefaultFontPx);
    setFont(base);
    setWindowTitle(FromBytes(link_.Caption()));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    testArea_ = new QWidget(this);
    testArea_->setObjectName("TestArea");
    layout->addWidget(testArea_, 1);
    // The test area's controls follow its size by their anchors.
    testArea_->installEventFilter(this);
    BuildTestArea();
    BuildStatusBar();
    layout->addWidget(StatusBar);

    setMinimumSize(kMinWindowWidth, kMinWindowHeight);
    resize(kWindowWidth, kWindowHeight);
}

LinkTestWindow::~LinkTestWindow() {
    // The link is going away with its window: edits of the list must not reach the bench any more.
    if (MemoStrDaInviare != nullptr) MemoStrDaInviare->disconnect(this);
    if (SpeedButton1 != nullptr) SpeedButton1->removeEventFilter(this);
    if (testArea_ != nullptr) testArea_->removeEventFilter(this);
}

void LinkTestWindow::BuildTestArea() {
    Bevel2 = new QFrame(testArea_);
    Bevel2->setObjectName("Bevel2");
    Bevel2->setFrameShape(QFrame::Box);
    Bevel2->setFrameShadow(QFrame::Sunken);
    Anchor(Bevel2, kBevelPlace, kAllSides);

    Label1 = new QLabel(QString::fromUtf8("Stringa da inviare (1° riga) / Elenco stringhe autogenerate"), testArea_);
    Label1->setObjectName("Label1");
    QPalette labelPalette = Label1->palette();
    labelPalette.setColor(QPalette::WindowText, kLabelColor);
    Label1->setPalette(labelPalette);
    Label1->adjustSize();
    Anchor(Label1, QRect(kLabelPlace, Label1->size()), kLeftTop);

    MemoStrDaInviare = new QListWidget(testArea_);
    MemoStrDaInviare->setObjectName("MemoStrDaInviare");
    MemoStrDaInviare->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont listFont = MemoStrDaInviare->font();
    listFont.setPixelSize(kListFontPx);
    MemoStrDaInviare->setFont(listFont);
    // The lines can be edited in place (double click, F2): the first one is what "Invia
    // Stringa" sends.
    MemoStrDaInviare->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    for (const ByteString& line : bench_.MemoStrDaInviare()) {
        auto* item = new QListWidgetItem(FromBytes(line), MemoStrDaInviare);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
    connect(MemoStrDaInviare, &QListWidget::itemChanged, this, [this] { ListEdited(); });
    Anchor(MemoStrDaInviare, kListPlace, kAllSides);

    ActInviaStringa = new QAction("Invia Stringa", this);
    ActInviaStringa->setObjectName("ActInviaStringa");
    connect(ActInviaStringa, &QAction::triggered, this, [this] { bench_.ActInviaStringaExecute(); });
    ActBotGeneraDatiCasuali = new QAction("Genera dati casuali", this);
    ActBotGeneraDatiCasuali->setObjectName("ActBotGeneraDatiCasuali");
    connect(ActBotGeneraDatiCasuali, &QAction::triggered, this,
            [this] { bench_.ActBotGeneraDatiCasualiExecute(false); });
    ActBotGeneraDatiCasualiBatLow = new QAction("Genera dati casuali Bat Low", this);
    ActBotGeneraDatiCasualiBatLow->setObjectName("ActBotGeneraDatiCasualiBatLow");
    connect(ActBotGeneraDatiCasualiBatLow, &QAction::triggered, this,
            [this] { bench_.ActBotGeneraDatiCasualiExecute(true); });

    BotSend = AddButton("BotSend", ActInviaStringa->text(), "Invia la stringa della prima riga in elenco", kSendPlace,
                        kLeftBottom);
    connect(BotSend, &QToolButton::clicked, ActInviaStringa, &QAction::trigger);

    // "Tx Frmw Vr" sends the firmware text when pressed (see eventFilter) and, bound to the
    // same action as "Invia Stringa", the list's first line when the left button is released
    // on it.
    SpeedButton1 = AddButton("SpeedButton1", "Tx Frmw Vr", "Premere Shit per inviare firmware non compatibile",
                             kFirmwarePlace, kRightBottom);
    SpeedButton1->installEventFilter(this);
    connect(SpeedButton1, &QToolButton::clicked, ActInviaStringa, &QAction::trigger);

    BotDatiRandomBatLow = AddButton("BotDatiRandomBatLow", ActBotGeneraDatiCasualiBatLow->text(), QString(),
                                    kBatLowPlace, kLeftRightBottom);
    connect(BotDatiRandomBatLow, &QToolButton::clicked, ActBotGeneraDatiCasualiBatLow, &QAction::trigger);

    QRect randomPlace = kRandomPlace;
    Qt::Edges randomAnchors = kLeftBottom;
    if (!bench_.BatLowButtonVisible()) {
        // Without the battery flag the "Bat Low" button has no use: it is hidden and the plain
        // random button takes the width of "Invia Stringa" and follows the window's width.
        BotDatiRandomBatLow->setVisible(false);
        randomPlace.setWidth(kSendPlace.width());
        randomAnchors = kLeftRightBottom;
    }
    BotGeneraDatiCasuali =
        AddButton("BotGeneraDatiCasuali", ActBotGeneraDatiCasuali->text(), QString(), randomPlace, randomAnchors);
    connect(BotGeneraDatiCasuali, &QToolButton::clicked, ActBotGeneraDatiCasuali, &QAction::trigger);

    BotSimulaRicezionePassaggioTrDaCOMKivo =
        AddButton("BotSimulaRicezionePassaggioTrDaCOMKivo", "Struttura simulata su COM eq. transito TP",
                  "Invia TP con ID superiore a 5 non compatibile con il software", kSimulatedPlace, kLeftRightBottom);
    connect(BotSimulaRicezionePassaggioTrDaCOMKivo, &QToolButton::clicked, this,
            [this] { bench_.BotSimulaRicezionePassaggioTrDaCOMKivoClick(); });
}

void LinkTestWindow::BuildStatusBar() {
    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar");
    for (size_t i = 0; i < panels_.size(); ++i) {
        auto* panel = new QLabel(StatusBar);
        panel->setObjectName(QString("StatusBarPanel%1").arg(i));
        panel->setFixedWidth(kPanelWidths[i]);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setText(FromBytes(link_.StatusPanel(static_cast<int>(i))));
        StatusBar->addWidget(panel);
        panels_[i] = panel;
    }
}

QToolButton* LinkTestWindow::AddButton(const char* name, const QString& caption, const QString& hint,
                                       const QRect& place, Qt::Edges anchors) {
    auto* button = new QToolButton(testArea_);
    button->setObjectName(name);
    button->setText(caption);
    if (!hint.isEmpty()) button->setToolTip(hint);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    Anchor(button, place, anchors);
    return button;
}

void LinkTestWindow::Anchor(QWidget* widget, const QRect& designed, Qt::Edges anchors) {
    anchored_.push_back({widget, designed, anchors});
    widget->setGeometry(designed);
}

void LinkTestWindow::PlaceControls() {
    const int dx = testArea_->width() - kDesignedAreaWidth;
    const int dy = testArea_->height() - kDesignedAreaHeight;
    for (const Anchored& a : anchored_) {
        int left = 0, width = 0, top = 0, height = 0;
        PlaceAxis(a.designed.left(), a.designed.width(), a.anchors.testFlag(Qt::LeftEdge),
                  a.anchors.testFlag(Qt::RightEdge), dx, left, width);
        PlaceAxis(a.designed.top(), a.designed.height(), a.anchors.testFlag(Qt::TopEdge),
                  a.anchors.testFlag(Qt::BottomEdge), dy, top, height);
        a.widget->setGeometry(left, top, width, height);
    }
}

void LinkTestWindow::Show() {
    QWidget* mainWindow = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w != this && w->isVisible() && qobject_cast<QMainWindow*>(w) != nullptr) {
            mainWindow = w;
            break;
        }
    }
    QRect around;
    if (mainWindow != nullptr)
        around = mainWindow->frameGeometry();
    else if (const QScreen* screen = QGuiApplication::primaryScreen())
        around = screen->availableGeometry();
    if (around.isValid()) move(around.center() - QPoint(width() / 2, height() / 2));
    show();
}

bool LinkTestWindow::Visible() const { return isVisible(); }

void LinkTestWindow::StatusChanged(int panel, const std::string& text) {
    if (panel < 0 || panel >= static_cast<int>(panels_.size())) return;
    panels_[static_cast<size_t>(panel)]->setText(FromBytes(text));
}

void LinkTestWindow::SentTextAdded(const ByteString& text) {
    const QSignalBlocker quiet(MemoStrDaInviare);
    auto* item = new QListWidgetItem(FromBytes(text), MemoStrDaInviare);
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    MemoStrDaInviare->scrollToBottom();
}

std::vector<ByteString> LinkTestWindow::ListLines() const {
    std::vector<ByteString> lines;
    lines.reserve(static_cast<size_t>(MemoStrDaInviare->count()));
    for (int i = 0; i < MemoStrDaInviare->count(); ++i) lines.push_back(ToBytes(MemoStrDaInviare->item(i)->text()));
    return lines;
}

void LinkTestWindow::ListEdited() { bench_.SetMemoStrDaInviare(ListLines()); }

void LinkTestWindow::closeEvent(QCloseEvent* event) { event->ignore(); }

bool LinkTestWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == SpeedButton1 && event->type() == QEvent::MouseButtonPress) {
        const auto* press = static_cast<const QMouseEvent*>(event);
        // The keys held at the press: the event carries them, and the application's own record
        // of the keyboard agrees with it for a real press.
        const Qt::KeyboardModifiers keys = press->modifiers() | QGuiApplication::keyboardModifiers();
        bench_.SpeedButton1MouseDown(keys.testFlag(Qt::ShiftModifier));
    } else if (watched == testArea_ && event->type() == QEvent::Resize) {
        PlaceControls();
    }
    return QWidget::eventFilter(watched, event);
}

TTestView* MakeLinkTestWindow(TTest& link) { return new LinkTestWindow(link); }

}  // namespace sincrovia
