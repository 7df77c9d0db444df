// The ports panel: the port choice and its file, opening and closing the links, the firmware
// display and the readiness check every clock procedure runs first.
#include <QDir>
#include <QPushButton>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "app/Procedures.h"
#include "decoder_link/LinkSettings.h"
#include "util/DesktopServices.h"

namespace sincrovia {

namespace {

constexpr char kFirmwareLabelPrefix[] = "Firmware V: ";
constexpr std::size_t kMaxPortNameLength = 255;
constexpr char kSaveErrorText[] = "The port choice could not be saved to ";
constexpr char kTempSuffix[] = ".tmp";

const std::array<TRxTextProc, SlotCount> kRxCallbacks{RxOnCom1, RxOnCom2, RxOnCom3, RxOnCom4};

FirmwareLabelState LabelState(const TStaticText* label) {
    const QColor c = label->Color();
    if (c == ColorBlack) return FirmwareLabelState::OpenNoReply;
    if (c == ColorGreen) return FirmwareLabelState::Accepted;
    if (c == ColorRed) return FirmwareLabelState::Refused;
    return FirmwareLabelState::NotOpen;
}

}  // namespace

std::string TSincroviaProcedures::SettingsFilePath() const {
    std::string folder = options_.settingsFolder;
    if (folder.empty()) folder = ProgramFolder();
    return (std::filesystem::path(folder) / SettingsFileName).string();
}

void TSincroviaProcedures::RestoreComSelection() {
    std::ifstream file(SettingsFilePath(), std::ios::binary);
    if (!file) return;
    std::stringstream content;
    content << file.rdbuf();
    const ComSelection selection = ParseComSelection(content.str());
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto& port = selection[static_cast<std::size_t>(slot - 1)];
        if (!port) continue;
        TDropDownList* list = w_.PortList(slot);
        list->setCurrentIndex(list->findText(QString::fromStdString(Cp1252ToUtf8(*port)), Qt::MatchFixedString));
    }
}

void TSincroviaProcedures::SaveComSelection(const std::array<std::string, SlotCount>& ports) {
    // Written beside and renamed over the old file, so a failed write leaves the old choice.
    const std::string path = SettingsFilePath();
    const std::string temp = path + kTempSuffix;
    std::string reason;
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (file) file << FormatComSelection(ports);
        file.flush();
        if (!file) reason = std::error_code(errno, std::generic_category()).message();
    }
    if (reason.empty()) {
        std::error_code ec;
        std::filesystem::rename(temp, path, ec);
        if (ec) reason = ec.message();
    }
    if (reason.empty()) return;
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    Desktop().MessageBox(ApplicationTitle, kSaveErrorText + path + ": " + reason, MsgIcon::Error, MsgButtons::Ok,
                         MsgAnswer::Ok);
}

bool TSincroviaProcedures::OpenSlot(int slot, const std::string& port, TMemoLines* log, TRxTextProc rx,
                                    bool showWindow) {
    const auto i = static_cast<std::size_t>(slot - 1);
    if (slots_[i].DecoderLink != nullptr || port.empty()) return false;
    slots_[i].DecoderLink = new TTest(&w_, port.substr(0, kMaxPortNameLength), rx, showWindow, "", log);
    slots_[i].PortOpen = slots_[i].DecoderLink->LinkControl(LinkMode::Open);
    return true;
}

void TSincroviaProcedures::ActApriCOM_AllExecute() {
    w_.SetStatusText("");
    w_.FAbortRequest = false;
    std::array<std::string, SlotCount> chosen;
    const bool developer = w_.IsDeveloperWorkstation();
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto i = static_cast<std::size_t>(slot - 1);
        TDropDownList* list = w_.PortList(slot);
        const std::string port = list->currentIndex() >= 0 ? Utf8ToCp1252(list->currentText().toStdString()) : "";
        // The choice is remembered whatever happens to the opening.
        if (slots_[i].DecoderLink == nullptr && !port.empty()) chosen[i] = port;
        try {
            OpenSlot(slot, port, w_.MemoLines(slot), kRxCallbacks[i], developer);
        } catch (const std::exception& e) {
            ReportApplicationError(e.what());
        }
    }
    const bool anyOpen = AnySlotOpen();
    if (!anyOpen) {
        CloseAllLinksNow();
    } else {
        ClearReadings(false);
        ShowSyncResult(srIdle);
        for (int slot = 1; slot <= SlotCount; ++slot) {
            TStaticText* label = w_.FirmwareLabel(slot);
            label->setText(FirmwareUnknownText);
            label->SetColor(Slot(slot).PortOpen ? ColorBlack : ColorGrayText);
        }
        if (!developer) {
            StartStep(ProcedureStep::ReadFirmware);
        }
    }
    SaveComSelection(chosen);
}

void TSincroviaProcedures::ActChiudiCOM_AllExecute() {
    w_.FAbortRequest = true;
    if (deliveryDepth_ > 0) {
        // A link cannot be freed from inside its own delivery (a box shown by a receive
        // callback lets the user click here): the close runs as soon as the delivery ends.
        closeDeferred_ = true;
        return;
    }
    CloseAllLinksNow();
}

void TSincroviaProcedures::CloseAllLinksNow() {
    closeDeferred_ = false;
    round_.ForgetRequests();
    for (int slot = 1; slot <= SlotCount; ++slot) {
        const auto i = static_cast<std::size_t>(slot - 1);
        TTest* link = slots_[i].DecoderLink;
        if (link == nullptr) continue;
        slots_[i].DecoderLink = nullptr;
        slots_[i].PortOpen = false;
        link->LinkControl(LinkMode::Close);
        delete link;
    }
    for (int slot = 1; slot <= SlotCount; ++slot) w_.FirmwareLabel(slot)->SetColor(ColorGrayText);
}

void TSincroviaProcedures::ActBotClearCOM_XExecute() {
    const QObject* sender = w_.ActionSender();
    if (sender == nullptr) return;
    const QString name = sender->objectName();
    if (name.isEmpty()) return;
    const int slot = name.back().digitValue();
    if (TDropDownList* list = w_.PortList(slot)) list->setCurrentIndex(-1);
}

void TSincroviaProcedures::ShowFirmware(int slot, const ByteString& text) {
    const std::string version = ExtractFirmwareVersion(text);
    TStaticText* label = w_.FirmwareLabel(slot);
    label->setText(QString::fromStdString(kFirmwareLabelPrefix + Cp1252ToUtf8(version)));
    label->SetColor(FirmwareBelowMinimum(version, MinFirmware) ? ColorRed : ColorGreen);
    Slot(slot).FirmwareVer = version;
}

bool TSincroviaProcedures::CheckDecodersReady() { return CheckReadiness(0); }

bool TSincroviaProcedures::CheckSlotReady(int slot) {
    // The other slots are not written: only this one's state is judged.
    return CheckReadiness(slot);
}

bool TSincroviaProcedures::CheckReadiness(int onlySlot) {
    std::array<SlotReadiness, SlotCount> readiness;
    for (int slot = 1; slot <= SlotCount; ++slot) {
        if (onlySlot != 0 && slot != onlySlot) continue;
        SlotReadiness& s = readiness[static_cast<std::size_t>(slot - 1)];
        s.firmwareVersion = Slot(slot).FirmwareVer;
        s.label = LabelState(w_.FirmwareLabel(slot));
        s.portChosen = w_.PortList(slot)->currentIndex() >= 0;
    }
    if (FirstUnreadySlot(readiness, MinFirmware) == 0) return true;
    Desktop().MessageBox(ApplicationTitle, DecodersNotReadyMessage(MinFirmware), MsgIcon::Error, MsgButtons::Ok,
                         MsgAnswer::Ok);
    return false;
}

bool TSincroviaProcedures::CanStartProcedure() const { return AnySlotOpen() && ProcedureIdle(); }

bool TSincroviaProcedures::AnySlotOpen() const {
    return std::any_of(slots_.begin(), slots_.end(), [](const TDecoderSlot& s) { return s.PortOpen; });
}

bool TSincroviaProcedures::ProcedureIdle() const { return !w_.ThreadedTimer1.Enabled() && !w_.FBusy; }

void TSincroviaProcedures::AttachRules() {
    const auto openRule = [this] {
        if (AnySlotOpen()) return false;
        for (int slot = 1; slot <= SlotCount; ++slot)
            if (w_.PortList(slot)->currentIndex() >= 0) return true;
        return false;
    };
    w_.SetUpdateRule(w_.ActApriCOM_All, openRule);
    w_.SetUpdateRule(w_.ActBotClearCOM_X, openRule);
    w_.SetUpdateRule(w_.ActChiudiCOM_All, [this] { return AnySlotOpen(); });
    const auto procedureRule = [this] { return AnySlotOpen() && ProcedureIdle(); };
    for (QAction* a : {w_.ActBot2ReadDateAndTime, w_.ActBot3WriteDateAndTime, w_.ActBotSendCmd07, w_.ActBotSendCmd55})
        w_.SetUpdateRule(a, procedureRule);
    for (int slot = 1; slot <= SlotCount; ++slot) {
        QAction* action = w_.SetTimeAction(slot);
        w_.SetUpdateRule(action, [this, action, procedureRule] {
            const TDropDownList* list = w_.PortList(action->data().toInt());
            return procedureRule() && list != nullptr && list->currentIndex() >= 0;
        });
    }
    w_.SetUpdateRule(w_.ActBotCalcDif, [this] {
        if (!ProcedureIdle()) return false;
        for (int slot = 1; slot <= SlotCount; ++slot)
            if (!w_.TimeBox(slot)->text().isEmpty()) return true;
        return false;
    });
    w_.SetUpdateRule(w_.ActBotAutoSync, [] { return false; });
    // The port choice cannot change while ports are open.
    w_.AddIdleHandler([this] {
        const bool enabled = !AnySlotOpen();
        for (int slot = 1; slot <= SlotCount; ++slot) w_.PortList(slot)->setEnabled(enabled);
    });
}

}  // namespace sincrovia
