// The decoder link's test window: a Qt view over the toolkit-free link (TTest) and the link's
// test bench (TLinkTestBench), shown only on the developer workstation. The window owns the
// bench, so the bench lives exactly as long as the window. Its buttons run the bench, which feeds
// the link with made-up data (random transponder hits, speed-trap template texts, a simulated
// passage record, firmware texts, the first line of the list); its list shows every text the link
// hands to its callback while the window is visible, and its status bar shows the link's three
// panels. The window cannot be closed by the user: it lives exactly as long as its link.
#pragma once

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QStatusBar>
#include <QToolButton>
#include <QWidget>

#include <array>
#include <string>
#include <vector>

#include "decoder_link/LinkTestBench.h"
#include "decoder_link/SFormCOM_TestConnessione.h"

namespace sincrovia {

/// The link window. Controls carry their Qt object names (`BotSend`, `SpeedButton1`, ...);
/// the three actions are `ActInviaStringa`, `ActBotGeneraDatiCasuali` and
/// `ActBotGeneraDatiCasualiBatLow`; the status panels are `StatusBarPanel0` to `StatusBarPanel2`.
class LinkTestWindow : public QWidget, public TTestView {
    Q_OBJECT
public:
    /// Builds the window for `link`: caption, list, panels and the "Bat Low" button rule are
    /// taken from the link as it stands after its creation.
    explicit LinkTestWindow(TTest& link);
    ~LinkTestWindow() override;
    LinkTestWindow(const LinkTestWindow&) = delete;
    LinkTestWindow& operator=(const LinkTestWindow&) = delete;

    // TTestView
    /// Shows the window centred on the program's main window (or on the screen).
    void Show() override;
    /// Whether the window is visible.
    bool Visible() const override;
    /// Puts `text` (8-bit code page) into status panel `panel` (0..2); other panels are ignored.
    void StatusChanged(int panel, const std::string& text) override;
    /// Appends a delivered text to the list.
    void SentTextAdded(const ByteString& text) override;

    /// The texts shown in the list, in the 8-bit code page (what the bench holds as its list).
    std::vector<ByteString> ListLines() const;
    /// The link's test bench, which the window's buttons run.
    TLinkTestBench& Bench() { return bench_; }

protected:
    /// Requests to close the window are refused; the link ends it.
    void closeEvent(QCloseEvent* event) override;
    /// The press on "Tx Frmw Vr" (any mouse button) sends the firmware text; a resized test
    /// area places its controls by their anchors.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    /// A control of the test area with the place it was designed at and the window edges it
    /// keeps its distance to.
    struct Anchored {
        QWidget* widget = nullptr;
        QRect designed;
        Qt::Edges anchors;
    };

    void BuildTestArea();
    void BuildStatusBar();
    QToolButton* AddButton(const char* name, const QString& caption, const QString& hint, const QRect& place,
                           Qt::Edges anchors);
    void Anchor(QWidget* widget, const QRect& designed, Qt::Edges anchors);
    void PlaceControls();
    void ListEdited();

    TTest& link_;
    TLinkTestBench bench_;
    QWidget* testArea_ = nullptr;
    QFrame* Bevel2 = nullptr;
    QLabel* Label1 = nullptr;
    QListWidget* MemoStrDaInviare = nullptr;
    QToolButton* BotSend = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QToolButton* BotDatiRandomBatLow = nullptr;
    QToolButton* BotGeneraDatiCasuali = nullptr;
    QToolButton* BotSimulaRicezionePassaggioTrDaCOMKivo = nullptr;
    QAction* ActInviaStringa = nullptr;
    QAction* ActBotGeneraDatiCasuali = nullptr;
    QAction* ActBotGeneraDatiCasualiBatLow = nullptr;
    QStatusBar* StatusBar = nullptr;
    std::array<QLabel*, 3> panels_{};
    std::vector<Anchored> anchored_;
};

/// The factory the program installs with SetTestViewFactory: one window per link created with
/// ShowWindow true.
TTestView* MakeLinkTestWindow(TTest& link);

}  // namespace sincrovia
