#include "app/Unattended.h"

#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace sincrovia {

const char UnattendedUsage[] =
    "usage: sincrovia --unattended read|sync|set-time N [--offset S] [--reset reader|gps]\n"
    "                  [--threshold MS] [--json FILE] [--screenshot FILE.png]\n";

namespace {

constexpr char kReadMode[] = "read";
constexpr char kSyncMode[] = "sync";
constexpr char kSetTimeMode[] = "set-time";
constexpr char kResetReader[] = "reader";
constexpr char kResetGps[] = "gps";
/// How long the firmware read after "1-Open COM" may take (its steps take about 2 s).
constexpr int kOpenTimeoutMs = 15000;
/// How long a procedure may take up to its verdict (a synchronisation takes about 7 s).
constexpr int kProcedureTimeoutMs = 30000;
/// Event-loop passes that let the first show of the window finish.
constexpr int kSettlePasses = 3;
constexpr char kDecoderTimePattern[] = "yyyy-mm-dd hh:nn:ss.zzz";
constexpr char kInstantPattern[] = "hh:nn:ss.zzz";
constexpr char kNoValue[] = "-";
constexpr int64_t kUsPerMs = 1000;
constexpr int64_t kMsPerSecond = 1000;

/// Widths of the table's columns, in the order of its heading.
constexpr std::array<int, 8> kColumnWidths{4, 8, 10, 9, 23, 13, 10, 9};
constexpr std::array<const char*, 8> kColumnHeadings{"slot",         "decoder",      "port",       "firmware",
                                                     "decoder time", "offset to PC", "round trip", "status"};

std::string WithoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::string SlotName(int slot) {
    return "slot " + std::to_string(slot) + " (" + kSlotDecoderNames[static_cast<std::size_t>(slot - 1)] + ")";
}

const char* ModeName(UnattendedRequest::Mode mode) {
    switch (mode) {
    case UnattendedRequest::Mode::Read: return kReadMode;
    case UnattendedRequest::Mode::Sync: return kSyncMode;
    case UnattendedRequest::Mode::SetTime: return kSetTimeMode;
    }
    return kReadMode;
}

bool ParseInt(const std::string& text, int& out) {
    std::size_t used = 0;
    try {
        out = std::stoi(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    return used == text.size();
}

/// Decoder time minus the frozen PC time of the read, in whole ms; empty when not known.
std::optional<int64_t> OffsetToPcMs(const RoundResult& round, const RoundReading& r) {
    if (r.status != ReadingStatus::Ok || round.pcTimeOnRead == 0 || r.decoderTime == 0) return std::nullopt;
    return std::llround((r.decoderTime - round.pcTimeOnRead) / OneMs);
}

/// Reply arrival minus request, in whole ms; empty when either instant is not known.
std::optional<int64_t> RoundTripMs(const RoundReading& r) {
    if (r.arrivalUnixUs == 0 || r.requestUnixUs == 0) return std::nullopt;
    return (r.arrivalUnixUs - r.requestUnixUs) / kUsPerMs;
}

std::string SignedMs(int64_t ms) { return (ms > 0 ? "+" : "") + std::to_string(ms) + " ms"; }

std::string InstantText(int64_t unixUs) {
    const int64_t ms = FloorDiv(unixUs, kUsPerMs);
    return FormatDateTime(kInstantPattern, UnixMsToDateTime(ms)) + " (millisecond " +
           std::to_string(FloorMod(ms, kMsPerSecond)) + ")";
}

/// The last non-empty line of a slot's log: what its link said about the opening.
std::string LastLogLine(const TSincrovia& window, int slot) {
    const QStringList lines = window.LogMemo(slot)->toPlainText().split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? std::string() : lines.back().toStdString();
}

}  // namespace

std::string ParseUnattendedArguments(const std::vector<std::string>& args, UnattendedRequest& out) {
    out = {};
    if (args.empty()) return "no procedure given";
    std::size_t i = 0;
    const std::string& mode = args[i++];
    if (mode == kReadMode) {
        out.mode = UnattendedRequest::Mode::Read;
    } else if (mode == kSyncMode) {
        out.mode = UnattendedRequest::Mode::Sync;
    } else if (mode == kSetTimeMode) {
        out.mode = UnattendedRequest::Mode::SetTime;
        if (i >= args.size() || !ParseInt(args[i], out.slot) || out.slot < 1 || out.slot > SlotCount)
            return "set-time needs a slot from 1 to 4";
        ++i;
    } else {
        return "unknown procedure '" + mode + "'";
    }
    while (i < args.size()) {
        const std::string& name = args[i++];
        if (i >= args.size()) return name + " needs a value";
        const std::string& value = args[i++];
        if (name == "--offset") {
            int seconds = 0;
            if (out.mode != UnattendedRequest::Mode::SetTime) return "--offset goes with set-time only";
            if (!ParseInt(value, seconds) || std::abs(seconds) > LargestOffsetSeconds)
                return "--offset takes whole seconds from -3 to 3, not '" + value + "'";
            out.offsetSeconds = seconds;
        } else if (name == "--reset") {
            if (out.mode != UnattendedRequest::Mode::Sync) return "--reset goes with sync only";
            if (value != kResetReader && value != kResetGps) return "--reset takes reader or gps, not '" + value + "'";
            out.reset = value;
        } else if (name == "--threshold") {
            out.threshold = value;
        } else if (name == "--json") {
            out.jsonFile = value;
        } else if (name == "--screenshot") {
            out.screenshotFile = value;
        } else {
            return "unknown option '" + name + "'";
        }
    }
    return "";
}

std::string FormatRoundTable(const RoundResult& round) {
    std::ostringstream table;
    const auto row = [&table](const std::array<std::string, 8>& cells) {
        for (std::size_t c = 0; c < cells.size(); ++c)
            table << std::left << std::setw(kColumnWidths[c]) << cells[c] << (c + 1 < cells.size() ? "  " : "\n");
    };
    std::array<std::string, 8> heading;
    std::copy(kColumnHeadings.begin(), kColumnHeadings.end(), heading.begin());
    row(heading);
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const RoundReading& r = round.readings[static_cast<std::size_t>(slot - 1)];
        const auto offset = OffsetToPcMs(round, r);
        const auto trip = RoundTripMs(r);
        row({std::to_string(slot), kSlotDecoderNames[static_cast<std::size_t>(slot - 1)],
             r.port.empty() ? kNoValue : r.port, r.firmware.empty() ? kNoValue : r.firmware,
             r.status == ReadingStatus::Ok ? FormatDateTime(kDecoderTimePattern, r.decoderTime) : kNoValue,
             offset ? SignedMs(*offset) : kNoValue, trip ? std::to_string(*trip) + " ms" : kNoValue,
             ReadingStatusName(r.status)});
    }
    return table.str();
}

int ExitStatusOfVerdict(const std::string& verdict) {
    return verdict == ResultTextOf(srOK) ? kUnattendedOk : kUnattendedNotOk;
}

MsgAnswer PrintingDesktop::MessageBox(const std::string& caption, const std::string& text, MsgIcon icon,
                                      MsgButtons /*buttons*/, MsgAnswer defaultAnswer) {
    const std::string shown = WithoutCarriageReturns(text);
    out_ << "box [" << caption << "]: " << shown << std::endl;
    if (icon == MsgIcon::Error) lastError_ = shown;
    return defaultAnswer;
}

UnattendedRun::UnattendedRun(UnattendedRequest request, std::ostream& out, const PrintingDesktop& desktop)
    : request_(std::move(request)), out_(out), desktop_(desktop) {}

void UnattendedRun::Say(const std::string& line) { out_ << line << std::endl; }

TProcedureOptions UnattendedRun::Hook(TProcedureOptions options) {
    auto previousRound = std::move(options.onRoundEvaluated);
    options.onRoundEvaluated = [this, previousRound](const RoundResult& round) {
        if (previousRound) previousRound(round);
        round_ = round;
        Say(std::string("judged ") + RoundKindName(round.kind) + " round, PC time " +
            FormatDateTime(kDecoderTimePattern, round.pcTimeOnRead) + ": " + round.verdict);
    };
    auto previousWrite = std::move(options.onSyncWrite);
    options.onSyncWrite = [this, previousWrite](int64_t alignedUnixUs) {
        if (previousWrite) previousWrite(alignedUnixUs);
        writeUnixUs_ = alignedUnixUs;
        Say("written: the PC time at " + InstantText(alignedUnixUs));
    };
    return options;
}

bool UnattendedRun::WaitUntil(TSincroviaProcedures& procedures, const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        procedures.HandleOneMessage();
    }
    return true;
}

bool UnattendedRun::ApplySettings(TSincrovia& window, std::string& error) {
    if (!request_.threshold.empty()) {
        const int index = window.CmbMaxErrSync->findText(QString::fromStdString(request_.threshold));
        if (index < 0) {
            QStringList items;
            for (int i = 0; i < window.CmbMaxErrSync->count(); ++i) items << window.CmbMaxErrSync->itemText(i);
            error = "the threshold must be one of " + items.join(", ").toStdString() + " ms, not '" +
                    request_.threshold + "'";
            return false;
        }
        window.CmbMaxErrSync->setCurrentIndex(index);
    }
    if (request_.reset == kResetReader) window.ChkBoxResetTimerKivoAfter->setChecked(true);
    if (request_.reset == kResetGps) window.ChkBoxCmd55ReseGPSKivoAfter->setChecked(true);
    Say("threshold " + window.CmbMaxErrSync->currentText().toStdString() + " ms");
    return true;
}

bool UnattendedRun::OpenPorts(TSincrovia& window, TSincroviaProcedures& procedures, std::string& error) {
    // The ports are those "MemCom.set" chooses; the window restored them at its first show,
    // and a port the file names that is not present was left unselected there.
    const std::string path = procedures.SettingsFilePath();
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    if (file) content << file.rdbuf();
    const ComSelection saved = ParseComSelection(content.str());
    bool anyChosen = false;
    bool allPresent = true;
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto& port = saved[static_cast<std::size_t>(slot - 1)];
        if (!port) continue;
        anyChosen = true;
        if (window.PortList(slot)->currentIndex() < 0) {
            Say(SlotName(slot) + ": port " + *port + " is not present");
            allPresent = false;
        }
    }
    if (!anyChosen) {
        error = "no port is chosen in " + path;
        return false;
    }
    if (!allPresent) {
        error = "a port chosen in " + path + " is not present";
        return false;
    }

    Say("1-Open COM");
    window.UpdateActions();
    window.SpButComOpen->click();
    bool allOpen = true;
    for (int slot = 1; slot <= SlotCount; ++slot) {
        if (window.PortList(slot)->currentIndex() < 0) continue;
        const std::string port = window.PortList(slot)->currentText().toStdString();
        if (procedures.Slot(slot).PortOpen) {
            Say(SlotName(slot) + ": " + port + " open");
        } else {
            Say(SlotName(slot) + ": " + port + " cannot be opened: " + LastLogLine(window, slot));
            allOpen = false;
        }
    }
    if (!allOpen) {
        error = "a port cannot be opened";
        return false;
    }
    const auto idle = [&window] { return !window.ThreadedTimer1.Enabled() && !window.FBusy; };
    if (!WaitUntil(procedures, idle, kOpenTimeoutMs)) {
        error = "the firmware read did not end";
        return false;
    }
    for (int slot = 1; slot <= SlotCount; ++slot) {
        if (!procedures.Slot(slot).PortOpen) continue;
        const std::string& version = procedures.Slot(slot).FirmwareVer;
        Say(SlotName(slot) + ": " + window.FirmwareLabel(slot)->text().toStdString() +
            (version.empty() ? " (no firmware reply)" : ""));
    }
    return true;
}

int UnattendedRun::Run(TSincrovia& window, TSincroviaProcedures& procedures) {
    Say(std::string("unattended ") + ModeName(request_.mode));
    // Let the first show finish (port lists, restored choice, start-up warning).
    for (int pass = 0; pass < kSettlePasses; ++pass) procedures.HandleOneMessage();

    std::string error;
    if (!ApplySettings(window, error) || !OpenPorts(window, procedures, error))
        return Finish(window, procedures, kUnattendedFailed, error);

    QAbstractButton* button = nullptr;
    switch (request_.mode) {
    case UnattendedRequest::Mode::Read: button = window.SpBtReadDtAndTm; break;
    case UnattendedRequest::Mode::Sync: button = window.SpBtWriteDtAndTm; break;
    case UnattendedRequest::Mode::SetTime:
        button = window.SetTimeButton(request_.slot);
        if (request_.offsetSeconds) window.OffsetUpDown(request_.slot)->SetPosition(*request_.offsetSeconds);
        Say(SlotName(request_.slot) + ": offset " + window.OffsetBox(request_.slot)->text().toStdString() + " s");
        break;
    }
    const std::string caption = button->text().toStdString();
    window.UpdateActions();
    if (!button->isEnabled())
        return Finish(window, procedures, kUnattendedFailed, "\"" + caption + "\" is not available now");

    Say(caption);
    round_.reset();
    button->click();
    const auto running = [&window] { return window.ThreadedTimer1.Enabled() || window.FBusy; };
    if (!round_ && !running()) {
        // The procedure did not start: its box (already printed) says why.
        const std::string why = desktop_.LastErrorText();
        return Finish(window, procedures, kUnattendedFailed,
                      "\"" + caption + "\" was refused" + (why.empty() ? "" : ": " + why));
    }
    if (request_.mode == UnattendedRequest::Mode::Sync)
        Say(window.ChkBoxCmd55ReseGPSKivoAfter->isChecked() ? "Reset GPS sent, reading back"
                                                            : "Reset Reader sent, reading back");
    if (!WaitUntil(
            procedures, [this, &running] { return round_.has_value() && !running(); }, kProcedureTimeoutMs))
        return Finish(window, procedures, kUnattendedNotOk, "no verdict within the procedure's time");
    return Finish(window, procedures, ExitStatusOfVerdict(round_->verdict), "");
}

int UnattendedRun::Finish(TSincrovia& window, TSincroviaProcedures& procedures, int status, const std::string& error) {
    if (round_) out_ << '\n' << FormatRoundTable(*round_) << '\n' << round_->verdict << std::endl;
    if (!error.empty()) Say("error: " + error);
    if (!request_.screenshotFile.empty()) {
        // The buttons as the user would see them now: their rules are evaluated when idle.
        window.UpdateActions();
        procedures.PumpMessages();
        if (window.grab().save(QString::fromStdString(request_.screenshotFile), "PNG"))
            Say("screenshot: " + request_.screenshotFile);
        else
            Say("error: cannot write " + request_.screenshotFile);
    }
    window.UpdateActions();
    if (window.SpButComClose->isEnabled()) window.SpButComClose->click();
    WriteJson(status, error);
    return status;
}

int UnattendedRun::Refuse(const std::string& error) {
    Say("error: " + error);
    WriteJson(kUnattendedFailed, error);
    return kUnattendedFailed;
}

void UnattendedRun::WriteJson(int status, const std::string& error) {
    if (request_.jsonFile.empty()) return;
    const auto text = [](const std::string& s) { return QString::fromStdString(s); };
    QJsonObject result;
    result["mode"] = ModeName(request_.mode);
    result["exit_status"] = status;
    result["error"] = text(error);
    result["verdict"] = round_ ? QJsonValue(text(round_->verdict)) : QJsonValue();
    result["reason"] = round_ ? QJsonValue(text(round_->reason)) : QJsonValue();
    result["threshold_ms"] = round_ ? QJsonValue(text(round_->threshold)) : QJsonValue();
    result["pc_time"] =
        round_ ? QJsonValue(text(FormatDateTime(kDecoderTimePattern, round_->pcTimeOnRead))) : QJsonValue();
    result["write_unix_us"] = writeUnixUs_ != 0 ? QJsonValue(static_cast<qint64>(writeUnixUs_)) : QJsonValue();
    QJsonArray slotResults;
    if (round_) {
        for (int slot = 1; slot <= SlotCount; ++slot) {
            const RoundReading& r = round_->readings[static_cast<std::size_t>(slot - 1)];
            const auto offset = OffsetToPcMs(*round_, r);
            const auto trip = RoundTripMs(r);
            QJsonObject s;
            s["slot"] = slot;
            s["decoder"] = text(r.decoder);
            s["port"] = text(r.port);
            s["firmware"] = text(r.firmware);
            s["status"] = ReadingStatusName(r.status);
            s["decoder_time"] = r.status == ReadingStatus::Ok
                                    ? QJsonValue(text(FormatDateTime(kDecoderTimePattern, r.decoderTime)))
                                    : QJsonValue();
            s["offset_to_pc_ms"] = offset ? QJsonValue(static_cast<qint64>(*offset)) : QJsonValue();
            s["round_trip_ms"] = trip ? QJsonValue(static_cast<qint64>(*trip)) : QJsonValue();
            slotResults.append(s);
        }
    }
    result["slots"] = slotResults;
    QFile file(QString::fromStdString(request_.jsonFile));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(QJsonDocument(result).toJson()) < 0 ||
        !file.flush()) {
        Say("error: cannot write " + request_.jsonFile);
        return;
    }
    Say("result: " + request_.jsonFile);
}

}  // namespace sincrovia
