#include "app/HistoryTab.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QPageSize>
#include <QPdfWriter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSysInfo>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextDocument>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>

#include "decoder_link/LinkSettings.h"
#include "decoder_link/ProgramFolder.h"
#include "history/HistoryCsv.h"
#include "util/DateTime.h"
#include "util/LeggiVerPrg.h"

namespace sincrovia {

namespace {

constexpr double kUsPerMs = 1000.0;
constexpr double kUsPerDay = 86'400e6;
constexpr int64_t kUsPerMinute = 60'000'000;
constexpr int64_t kUsPerMsInt = 1000;
constexpr int kMsPerMinute = 60'000;
constexpr int kChartMinHeight = 260;
/// A day plotted over less than this shows seconds on its time axis.
constexpr qint64 kSecondsAxisSpanMs = 30 * 60'000;
constexpr int kMemoMaxHeight = 70;
constexpr int kReportImageWidth = 1400;
constexpr int kReportImageHeight = 600;
constexpr int kPdfResolution = 150;
constexpr char kTimeOfDay[] = "hh:mm:ss";
constexpr char kReportImageName[] = "history://plot.png";
/// The report's PC clock status when no round of the day recorded one.
constexpr char kClockUnknown[] = "unknown";

enum TableColumn { ColTime, ColKind, ColVerdict, ColSpread, ColRoundTrip, ColCount };

QString LocalTime(int64_t unixUs, const char* pattern = kTimeOfDay) {
    return QDateTime::fromMSecsSinceEpoch(unixUs / kUsPerMsInt).toString(pattern);
}

QString Ms(double us) { return QString::number(us / kUsPerMs, 'f', 1); }

/// The spread (largest minus smallest offset) of a round's decoded readings, if two decoded.
std::optional<int64_t> SpreadUs(const history::StoredRound& r) {
    std::optional<int64_t> lo, hi;
    int count = 0;
    for (const auto& x : r.readings) {
        if (!x.offsetUs) continue;
        ++count;
        lo = lo ? std::min(*lo, *x.offsetUs) : *x.offsetUs;
        hi = hi ? std::max(*hi, *x.offsetUs) : *x.offsetUs;
    }
    if (count < 1) return std::nullopt;
    return *hi - *lo;
}

std::optional<int64_t> LargestRoundTripUs(const history::StoredRound& r) {
    std::optional<int64_t> largest;
    for (const auto& x : r.readings)
        if (x.roundTripUs) largest = largest ? std::max(*largest, *x.roundTripUs) : *x.roundTripUs;
    return largest;
}

QString Escaped(const std::string& text) { return QString::fromStdString(text).toHtmlEscaped(); }

}  // namespace

history::StoredRound ToStoredRound(const RoundResult& round) {
    history::StoredRound s;
    s.startUnixUs = round.startUnixUs;
    s.kind = RoundKindName(round.kind);
    bool ok = false;
    const long long threshold = QString::fromStdString(round.threshold).trimmed().toLongLong(&ok);
    if (ok) s.thresholdMs = threshold;
    s.verdict = round.verdict;
    s.reason = round.reason;
    s.pcClockStatus = round.pcClock;
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const RoundReading& r = round.readings[static_cast<std::size_t>(slot - 1)];
        if (r.status == ReadingStatus::Closed) continue;
        history::StoredReading x;
        x.slot = slot;
        x.decoder = r.decoder;
        x.port = r.port;
        x.firmware = r.firmware;
        if (r.requestUnixUs != 0) x.requestUnixUs = r.requestUnixUs;
        if (r.arrivalUnixUs != 0) x.arrivalUnixUs = r.arrivalUnixUs;
        if (x.requestUnixUs && x.arrivalUnixUs) x.roundTripUs = *x.arrivalUnixUs - *x.requestUnixUs;
        if (r.status == ReadingStatus::Ok && r.decoderTime != 0) {
            x.decoderTime = FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", r.decoderTime);
            // Measured at the decoder's stamp when the reading was timed; else against the PC
            // time frozen for the round.
            x.offsetUs = r.offsetUs
                             ? *r.offsetUs
                             : static_cast<int64_t>(std::llround((r.decoderTime - round.pcTimeOnRead) * kUsPerDay));
        }
        x.status = ReadingStatusName(r.status);
        s.readings.push_back(std::move(x));
    }
    return s;
}

THistoryTab::THistoryTab(TSincrovia& window, const std::string& storePath)
    : QWidget(nullptr), w_(window), store_(std::make_unique<history::HistoryStore>(storePath)) {
    setObjectName("TabShHistory");
    Build();
    ShowMessages();
    RefreshForecast();
}

void THistoryTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (stale_) Refresh();
}

THistoryTab::~THistoryTab() = default;

void THistoryTab::Build() {
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel("Day:", this));
    EdtHistoryDay = new QDateEdit(QDate::currentDate(), this);
    EdtHistoryDay->setObjectName("EdtHistoryDay");
    EdtHistoryDay->setCalendarPopup(true);
    EdtHistoryDay->setDisplayFormat("yyyy-MM-dd");
    top->addWidget(EdtHistoryDay);
    top->addSpacing(20);
    ChkWatch = new QCheckBox("Read every", this);
    ChkWatch->setObjectName("ChkWatch");
    top->addWidget(ChkWatch);
    CmbWatchMinutes = new QComboBox(this);
    CmbWatchMinutes->setObjectName("CmbWatchMinutes");
    for (int minutes : WatchMinutesChoice) CmbWatchMinutes->addItem(QString::number(minutes), minutes);
    CmbWatchMinutes->setCurrentText(QString::number(WatchMinutesDefault));
    top->addWidget(CmbWatchMinutes);
    top->addWidget(new QLabel("min", this));
    top->addStretch(1);
    BtExportReport = new QPushButton(QString::fromUtf8("Export report\u2026"), this);
    BtExportReport->setObjectName("BtExportReport");
    top->addWidget(BtExportReport);

    ChartHistory = new QChartView(new QChart, this);
    ChartHistory->setObjectName("ChartHistory");
    ChartHistory->setRenderHint(QPainter::Antialiasing);
    ChartHistory->setMinimumHeight(kChartMinHeight);

    GrdHistoryRounds = new QTableWidget(0, ColCount, this);
    GrdHistoryRounds->setObjectName("GrdHistoryRounds");
    GrdHistoryRounds->setHorizontalHeaderLabels({"Time", "Kind", "Verdict", "Spread (ms)", "Largest round trip (ms)"});
    GrdHistoryRounds->verticalHeader()->setVisible(false);
    GrdHistoryRounds->setEditTriggers(QAbstractItemView::NoEditTriggers);
    GrdHistoryRounds->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    GrdHistoryRounds->horizontalHeader()->setStretchLastSection(true);

    LblDrift = new QLabel(this);
    LblDrift->setObjectName("LblDrift");
    LblDrift->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    LblForecast = new QLabel(this);
    LblForecast->setObjectName("LblForecast");
    LblForecast->setWordWrap(true);
    QFont bold = LblForecast->font();
    bold.setBold(true);
    LblForecast->setFont(bold);
    MmHistory = new QPlainTextEdit(this);
    MmHistory->setObjectName("MmHistory");
    MmHistory->setReadOnly(true);
    MmHistory->setMaximumHeight(kMemoMaxHeight);

    auto* side = new QVBoxLayout;
    side->addWidget(new QLabel("Drift since the last write:", this));
    side->addWidget(LblDrift);
    side->addWidget(LblForecast);
    side->addStretch(1);
    side->addWidget(MmHistory);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(GrdHistoryRounds, 3);
    bottom->addLayout(side, 2);

    auto* page = new QVBoxLayout(this);
    page->addLayout(top);
    page->addWidget(ChartHistory, 3);
    page->addLayout(bottom, 2);

    connect(EdtHistoryDay, &QDateEdit::dateChanged, this, [this] { Refresh(); });
    connect(BtExportReport, &QPushButton::clicked, this, [this] { ChooseReportFile(); });
    connect(ChkWatch, &QCheckBox::toggled, this, [this] { WatchChanged(); });
    connect(CmbWatchMinutes, &QComboBox::currentIndexChanged, this, [this] { WatchChanged(); });
    connect(&WatchTimer, &QTimer::timeout, this, [this] { WatchTick(); });
}

void THistoryTab::Memo(const QString& line) {
    MmHistory->appendPlainText(QDateTime::currentDateTime().toString(kTimeOfDay) + " " + line);
}

void THistoryTab::ShowMessages() {
    for (const std::string& m : store_->TakeMessages()) Memo(QString::fromStdString(m));
}

double THistoryTab::CurrentThresholdMs() const {
    bool ok = false;
    const double value = w_.CmbMaxErrSync->currentText().trimmed().toDouble(&ok);
    return ok ? value : 0;
}

history::SpreadForecast THistoryTab::Forecast(int64_t nowUs) const {
    int64_t from = 0, to = 0;
    if (!history::LocalDayBounds(history::LocalDayOf(nowUs), from, to)) return {};
    return history::ForecastSpread(fits_, CurrentThresholdMs(), nowUs, to);
}

QString THistoryTab::ForecastLine() const { return forecastLine_; }

void THistoryTab::Refresh() {
    const QDate day = EdtHistoryDay->date();
    int64_t from = 0, to = 0;
    history::LocalDayBounds(day.toString("yyyy-MM-dd").toStdString(), from, to);
    const auto rounds = store_->RoundsBetween(from, to);
    FillChart(rounds, ChartHistory->chart());
    FillTable(store_->LastRounds(HistoryTableRounds));
    stale_ = false;
    RefreshForecast();
}

void THistoryTab::RefreshForecast() {
    fits_ = history::FitDrift(store_->OffsetsSinceLastWrite());
    QStringList lines;
    for (const auto& f : fits_) {
        QString line = QString::fromStdString(f.decoder) + ": " + QString::fromStdString(history::PpmText(f.ppm));
        if (f.ppmError) line += QString::fromUtf8(" \u00b1 ") + QString::number(*f.ppmError, 'f', 1);
        line += " (" + QString::number(f.points) + " readings)";
        lines << line;
    }
    LblDrift->setText(lines.isEmpty() ? "not enough readings since the last write" : lines.join("\n"));
    forecastLine_ = QString::fromStdString(history::ForecastText(Forecast(NowUnixUs()), CurrentThresholdMs()));
    LblForecast->setText(forecastLine_);
    ShowMessages();
}

void THistoryTab::FillChart(const std::vector<history::StoredRound>& day, QChart* chart) const {
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);  // hands the axis back to us
        delete axis;
    }
    chart->setTitle("Offset to the PC (ms)");
    std::map<std::string, QLineSeries*> series;
    double sum = 0, lo = 0, hi = 0;
    qint64 first = 0, last = 0;
    int count = 0;
    for (const auto& r : day) {
        const qint64 at = r.startUnixUs / kUsPerMsInt;
        for (const auto& x : r.readings) {
            if (!x.offsetUs) continue;
            QLineSeries*& s = series[x.decoder];
            if (s == nullptr) {
                s = new QLineSeries;
                s->setName(QString::fromStdString(x.decoder));
                s->setPointsVisible(true);
            }
            const double ms = static_cast<double>(*x.offsetUs) / kUsPerMs;
            s->append(static_cast<qreal>(at), ms);
            sum += ms;
            lo = count == 0 ? ms : std::min(lo, ms);
            hi = count == 0 ? ms : std::max(hi, ms);
            first = count == 0 ? at : std::min(first, at);
            last = count == 0 ? at : std::max(last, at);
            ++count;
        }
    }
    auto* x = new QDateTimeAxis;
    x->setFormat("HH:mm");
    x->setTitleText("time of day");
    auto* y = new QValueAxis;
    y->setTitleText("ms");
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    if (count == 0) {
        chart->setTitle("Offset to the PC (ms): no readings on this day");
        return;
    }
    // The band: the threshold wide, centred on the mean of the day's offsets.
    const double mean = sum / count;
    const double half = CurrentThresholdMs() / 2;
    auto* upper = new QLineSeries;
    auto* lower = new QLineSeries;
    const qint64 end = std::max(last, first + 1);
    for (qint64 t : {first, end}) {
        upper->append(static_cast<qreal>(t), mean + half);
        lower->append(static_cast<qreal>(t), mean - half);
    }
    auto* band = new QAreaSeries(upper, lower);
    // The area series does not own its two edges: they go when it goes.
    upper->setParent(band);
    lower->setParent(band);
    band->setName("threshold around the mean");
    QColor fill(ColorYellow);
    fill.setAlpha(60);
    band->setBrush(fill);
    band->setPen(QPen(Qt::NoPen));
    chart->addSeries(band);
    band->attachAxis(x);
    band->attachAxis(y);
    for (auto& [name, s] : series) {
        chart->addSeries(s);
        s->attachAxis(x);
        s->attachAxis(y);
    }
    x->setRange(QDateTime::fromMSecsSinceEpoch(first), QDateTime::fromMSecsSinceEpoch(end));
    if (end - first < kSecondsAxisSpanMs) x->setFormat("HH:mm:ss");
    const double margin = std::max(1.0, (hi - lo) * 0.1);
    y->setRange(std::min(lo, mean - half) - margin, std::max(hi, mean + half) + margin);
    y->applyNiceNumbers();
}

void THistoryTab::FillTable(const std::vector<history::StoredRound>& last) {
    GrdHistoryRounds->setRowCount(static_cast<int>(last.size()));
    int row = 0;
    for (const auto& r : last) {
        const auto spread = SpreadUs(r);
        const auto trip = LargestRoundTripUs(r);
        const QStringList cells = {LocalTime(r.startUnixUs, "yyyy-MM-dd hh:mm:ss"), QString::fromStdString(r.kind),
                                   QString::fromStdString(r.verdict),
                                   spread ? Ms(static_cast<double>(*spread)) : QString(),
                                   trip ? Ms(static_cast<double>(*trip)) : QString()};
        for (int col = 0; col < ColCount; ++col) {
            auto* item = new QTableWidgetItem(cells[col]);
            if (col == ColVerdict && !r.reason.empty()) item->setToolTip(QString::fromStdString(r.reason));
            GrdHistoryRounds->setItem(row, col, item);
        }
        ++row;
    }
}

void THistoryTab::RecordRound(const RoundResult& round) {
    store_->Append(ToStoredRound(round));
    // The plot and the table wait until the tab is looked at; the forecast is needed now.
    if (isVisible()) {
        Refresh();
    } else {
        stale_ = true;
        RefreshForecast();
    }
    if (round.kind == RoundKind::Check) WarnIfCrossingNear(round);
}

void THistoryTab::WarnIfCrossingNear(const RoundResult& round) {
    if (round.verdict != ResultTextOf(srOK)) return;  // a worse verdict stands as it is
    const int64_t now = NowUnixUs();
    const history::SpreadForecast f = Forecast(now);
    if (!f.crossing || f.atUnixUs - now >= ForecastWarningMinutes * kUsPerMinute) return;
    const char* warning = ResultTextOf(srWarning);
    w_.ShpSyncResult->SetBrushColor(ColorYellow);
    w_.LblSyncResult->setText(warning);
    w_.LblSyncResult->setToolTip(forecastLine_);
    w_.LblSyncResult->adjustSize();
    store_->AmendLast(warning, forecastLine_.toStdString());
    Memo(QString(warning) + ": " + forecastLine_);
    if (isVisible()) FillTable(store_->LastRounds(HistoryTableRounds));
    ShowMessages();
}

void THistoryTab::WatchChanged() {
    if (!ChkWatch->isChecked()) {
        WatchTimer.stop();
        return;
    }
    WatchTimer.start(CmbWatchMinutes->currentData().toInt() * kMsPerMinute);
}

void THistoryTab::WatchTick() {
    // A check is the plain read of "2-Read Date and Time", taken only when the user could
    // click it: ports open and no procedure running. It never writes a clock.
    w_.UpdateActions();
    TSincroviaProcedures* procedures = ActiveProcedures();
    if (procedures == nullptr || !w_.ActBot2ReadDateAndTime->isEnabled()) return;
    procedures->SetNextReadKind(RoundKind::Check);
    w_.ActBot2ReadDateAndTime->trigger();
    procedures->SetNextReadKind(RoundKind::Read);  // a press the guard refused takes nothing
}

void THistoryTab::ChooseReportFile() {
    const QString day = EdtHistoryDay->date().toString("yyyy-MM-dd");
    QString pdf = QFileDialog::getSaveFileName(this, "Export report", "Sincrovia-" + day + ".pdf", "PDF (*.pdf)");
    if (pdf.isEmpty()) return;
    if (!pdf.endsWith(".pdf", Qt::CaseInsensitive)) pdf += ".pdf";
    const QString csv = pdf.left(pdf.size() - 4) + ".csv";
    if (ExportReport(EdtHistoryDay->date(), pdf, csv)) Memo("Report written: " + pdf + " and " + csv);
}

bool THistoryTab::ExportReport(const QDate& day, const QString& pdfPath, const QString& csvPath) {
    int64_t from = 0, to = 0;
    const std::string dayText = day.toString("yyyy-MM-dd").toStdString();
    if (!history::LocalDayBounds(dayText, from, to)) return false;
    const auto rounds = store_->RoundsBetween(from, to);
    {
        std::ofstream csv(csvPath.toStdString(), std::ios::binary | std::ios::trunc);
        if (csv) history::WriteReadingsCsv(rounds, csv);
        csv.close();
        if (!csv) {
            Memo("Cannot write " + csvPath);
            return false;
        }
    }

    // The plot of that day, drawn off screen at a size fit for paper.
    QChartView plot(new QChart);
    FillChart(rounds, plot.chart());
    plot.resize(kReportImageWidth, kReportImageHeight);
    plot.setRenderHint(QPainter::Antialiasing);
    const QImage image = plot.grab().toImage();

    std::string clockStatus = kClockUnknown;
    std::map<int, std::string> decoders;  // slot -> "name on port, firmware"
    for (const auto& r : rounds) {
        if (!r.pcClockStatus.empty()) clockStatus = r.pcClockStatus;
        for (const auto& x : r.readings)
            decoders[x.slot] = x.decoder + " on " + x.port + ", firmware " + (x.firmware.empty() ? "?" : x.firmware);
    }
    QString html = "<h2>Sincrovia clock report, " + QString::fromStdString(dayText) + "</h2><p>";
    html +=
        "Program version: " + Escaped(FileVersionOf(QCoreApplication::applicationFilePath().toStdString())) + "<br>";
    html += "PC name: " + QSysInfo::machineHostName().toHtmlEscaped() + "<br>";
    html += "PC clock status: " + Escaped(clockStatus) + "<br>";
    html += "Rounds: " + QString::number(rounds.size()) + "</p><h3>Decoders</h3><ul>";
    for (const auto& [slot, text] : decoders) html += "<li>" + QString::number(slot) + ": " + Escaped(text) + "</li>";
    html += "</ul><h3>Offsets to the PC</h3><p><img src=\"" + QString(kReportImageName) + "\" width=\"640\"></p>";
    html += "<h3>Rounds</h3>";
    for (const auto& r : rounds) {
        html +=
            "<p><b>" + LocalTime(r.startUnixUs, "hh:mm:ss.zzz") + " " + Escaped(r.kind) + "</b>: " + Escaped(r.verdict);
        if (!r.reason.empty()) html += " (" + Escaped(r.reason) + ")";
        if (r.thresholdMs) html += ", threshold " + QString::number(*r.thresholdMs) + " ms";
        html +=
            "</p><table border=\"1\" cellspacing=\"0\" cellpadding=\"2\"><tr><th>Slot</th><th>Decoder</th>"
            "<th>Status</th><th>Decoder time</th><th>Offset (ms)</th><th>Round trip (ms)</th></tr>";
        for (const auto& x : r.readings)
            html += "<tr><td>" + QString::number(x.slot) + "</td><td>" + Escaped(x.decoder) + "</td><td>" +
                    Escaped(x.status) + "</td><td>" + Escaped(x.decoderTime) + "</td><td>" +
                    (x.offsetUs ? Ms(static_cast<double>(*x.offsetUs)) : QString()) + "</td><td>" +
                    (x.roundTripUs ? Ms(static_cast<double>(*x.roundTripUs)) : QString("unknown")) + "</td></tr>";
        html += "</table>";
    }
    QTextDocument doc;
    doc.addResource(QTextDocument::ImageResource, QUrl(kReportImageName), image);
    doc.setHtml(html);
    QPdfWriter writer(pdfPath);
    if (!writer.setPageSize(QPageSize(QPageSize::A4))) return false;
    writer.setResolution(kPdfResolution);
    writer.setTitle("Sincrovia clock report " + QString::fromStdString(dayText));
    doc.print(&writer);
    if (!QFileInfo(pdfPath).exists() || QFileInfo(pdfPath).size() == 0) {
        Memo("Cannot write " + pdfPath);
        return false;
    }
    return true;
}

TProcedureOptions AttachHistory(TSincrovia& window, TProcedureOptions options, std::string storePath) {
    if (storePath.empty())
        storePath =
            (options.settingsFolder.empty() ? DataFolder() : options.settingsFolder + "/") + history::kStoreFileName;
    auto* tab = new THistoryTab(window, storePath);
    window.PgctrlMultiSync->addTab(tab, HistoryTabCaption);
    QPointer<THistoryTab> alive(tab);
    options.onRoundEvaluated = [alive, before = std::move(options.onRoundEvaluated)](const RoundResult& round) {
        if (before) before(round);
        if (alive) alive->RecordRound(round);
    };
    return options;
}

}  // namespace sincrovia
