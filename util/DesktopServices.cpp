#include "util/DesktopServices.h"

#include <atomic>
#include <cstdio>

namespace sincrovia {

namespace {

constexpr char kBell = '\a';

std::atomic<DesktopServices*> gInstalled{nullptr};

HeadlessDesktop& DefaultDesktop() {
    static HeadlessDesktop instance;
    return instance;
}

}  // namespace

MsgAnswer HeadlessDesktop::MessageBox(const std::string& caption, const std::string& text, MsgIcon /*icon*/,
                                      MsgButtons /*buttons*/, MsgAnswer defaultAnswer) {
    // One write per box, so that boxes from different threads do not interleave.
    const std::string line = "[" + caption + "] " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return defaultAnswer;
}

void HeadlessDesktop::Beep() {
    std::fputc(kBell, stderr);
    std::fflush(stderr);
}

void HeadlessDesktop::PlaySystemSound(const std::string& /*alias*/) { Beep(); }

MsgAnswer RecordingDesktop::MessageBox(const std::string& caption, const std::string& text, MsgIcon icon,
                                       MsgButtons buttons, MsgAnswer defaultAnswer) {
    std::lock_guard lock(mutex_);
    boxes_.push_back(Box{caption, text, icon, buttons});
    return hasAnswer_ ? answer_ : defaultAnswer;
}

void RecordingDesktop::Beep() {
    std::lock_guard lock(mutex_);
    ++beeps_;
}

void RecordingDesktop::PlaySystemSound(const std::string& alias) {
    std::lock_guard lock(mutex_);
    sounds_.push_back(alias);
}

void RecordingDesktop::SetAnswer(MsgAnswer answer) {
    std::lock_guard lock(mutex_);
    hasAnswer_ = true;
    answer_ = answer;
}

std::vector<RecordingDesktop::Box> RecordingDesktop::Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

int RecordingDesktop::BeepCount() const {
    std::lock_guard lock(mutex_);
    return beeps_;
}

std::vector<std::string> RecordingDesktop::Sounds() const {
    std::lock_guard lock(mutex_);
    return sounds_;
}

void RecordingDesktop::Clear() {
    std::lock_guard lock(mutex_);
    boxes_.clear();
    beeps_ = 0;
    sounds_.clear();
}

DesktopServices& Desktop() {
    DesktopServices* installed = gInstalled.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : DefaultDesktop();
}

void SetDesktop(DesktopServices* services) { gInstalled.store(services, std::memory_order_release); }

}  // namespace sincrovia
