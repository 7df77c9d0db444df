#include "decoder_link/BeepThread.h"

#include <chrono>

#include "util/DesktopServices.h"

namespace sincrovia {

TThreadBeep::TThreadBeep(int32_t delayMs) : delayMs_(delayMs < 0 ? 0 : delayMs) {
    thread_ = std::thread([this] { Execute(); });
}

TThreadBeep::~TThreadBeep() { Stop(); }

void TThreadBeep::RequestBeep() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (terminated_) return;
        ++pending_;
    }
    wake_.notify_all();
}

void TThreadBeep::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        terminated_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

int TThreadBeep::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_;
}

int TThreadBeep::Played() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return played_;
}

void TThreadBeep::Execute() {
    // Sleeps until beeps are pending, plays them one by one with the delay after each, and
    // goes back to sleep; the delay wait also wakes at once when the thread is stopped.
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return terminated_ || pending_ > 0; });
        if (terminated_) return;
        while (pending_ > 0 && !terminated_) {
            lock.unlock();
            Desktop().PlaySystemSound(kBeepSoundAlias);
            lock.lock();
            --pending_;
            ++played_;
            wake_.wait_for(lock, std::chrono::milliseconds(delayMs_), [this] { return terminated_; });
        }
    }
}

}  // namespace sincrovia
