// The "History" tab: every judged round goes into the history store; the tab plots each
// decoder's offset to the PC over a chosen day with the threshold as a band around the mean,
// lists the last rounds, shows each decoder's drift rate and the forecast of when the spread
// reaches the threshold. Its watch runs a plain read on a timer while no procedure runs
// (recorded as a check), and its report puts a day on paper (PDF) and in a spreadsheet (CSV).
#pragma once

#include <QDate>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Procedures.h"
#include "app/Rounds.h"
#include "history/Drift.h"
#include "history/HistoryStore.h"

class QChart;
class QChartView;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace sincrovia {

/// Caption of the tab.
inline constexpr char HistoryTabCaption[] = "History";
/// The watch's choice of intervals (minutes) and the one it starts with.
inline constexpr int WatchMinutesChoice[] = {1, 2, 5, 10, 15, 30, 60};
inline constexpr int WatchMinutesDefault = 5;
/// A check whose forecast crossing is closer than this turns the lamp to a warning.
inline constexpr int ForecastWarningMinutes = 30;
/// Rounds listed in the tab's table.
inline constexpr int HistoryTableRounds = 20;

/// The round as the store keeps it: closed slots left out, unknown instants NULL, the offset
/// to the PC in µs for every reading that decoded.
history::StoredRound ToStoredRound(const RoundResult& round);

/// The tab. Created by AttachHistory; a child of the window's page control.
class THistoryTab : public QWidget {
    Q_OBJECT
public:
    /// Builds the tab over the store at `storePath` for `window`.
    THistoryTab(TSincrovia& window, const std::string& storePath);
    ~THistoryTab() override;

    /// Stores a judged round and brings the tab up to date; a check whose forecast crossing
    /// is near turns an OK lamp into a warning with the forecast as its reason.
    void RecordRound(const RoundResult& round);
    /// Reloads the chosen day, the last rounds, the drift rates and the forecast.
    void Refresh();
    /// Reloads the drift rates and the forecast only.
    void RefreshForecast();
    /// Writes the report of `day` as PDF and the day's readings as CSV; false (and a memo
    /// line) when a file cannot be written.
    bool ExportReport(const QDate& day, const QString& pdfPath, const QString& csvPath);
    /// One tick of the watch: a plain read when no procedure runs, else nothing.
    void WatchTick();
    /// The store.
    history::HistoryStore& Store() { return *store_; }
    /// The forecast line as shown.
    QString ForecastLine() const;
    /// The drift fits shown.
    const std::vector<history::DriftFit>& Fits() const { return fits_; }

    QChartView* ChartHistory = nullptr;        ///< offsets of the chosen day
    QTableWidget* GrdHistoryRounds = nullptr;  ///< the last rounds
    QLabel* LblDrift = nullptr;                ///< drift rate per decoder
    QLabel* LblForecast = nullptr;             ///< the forecast line
    QDateEdit* EdtHistoryDay = nullptr;        ///< the day plotted and reported
    QCheckBox* ChkWatch = nullptr;             ///< "Read every N min"
    QComboBox* CmbWatchMinutes = nullptr;      ///< N
    QPushButton* BtExportReport = nullptr;     ///< "Export report…"
    QPlainTextEdit* MmHistory = nullptr;       ///< the store's messages
    QTimer WatchTimer;                         ///< the watch's interval

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Build();
    void ShowMessages();
    void Memo(const QString& line);
    void FillChart(const std::vector<history::StoredRound>& day, QChart* chart) const;
    void FillTable(const std::vector<history::StoredRound>& last);
    double CurrentThresholdMs() const;
    history::SpreadForecast Forecast(int64_t nowUs) const;
    void WarnIfCrossingNear(const RoundResult& round);
    void ChooseReportFile();
    void WatchChanged();

    TSincrovia& w_;
    std::unique_ptr<history::HistoryStore> store_;
    std::vector<history::DriftFit> fits_;
    QString forecastLine_;
    bool stale_ = true;  // the plot and the table wait for the tab to be shown
};

/// Adds the "History" tab to `window` with its store (`storePath`; when empty, Sincrovia.db
/// beside "MemCom.set" if the options name its folder, else in DataFolder()) and returns `options` with
/// onRoundEvaluated feeding the tab (after whatever it did before).
TProcedureOptions AttachHistory(TSincrovia& window, TProcedureOptions options = {}, std::string storePath = {});

}  // namespace sincrovia
