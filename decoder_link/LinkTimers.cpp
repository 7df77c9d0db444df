#include "decoder_link/LinkTimers.h"

#include "serial/ThdTimer.h"

namespace sincrovia {

LinkTimer::LinkTimer(uint32_t intervalMs, std::function<void()> onTick) : timer_(std::make_unique<TThreadedTimer>()) {
    timer_->SetInterval(intervalMs);
    timer_->OnTimer = [tick = std::move(onTick)](void*) {
        if (tick) tick();
    };
}

LinkTimer::~LinkTimer() = default;

bool LinkTimer::Enabled() const { return timer_->Enabled(); }

void LinkTimer::SetEnabled(bool value) { timer_->SetEnabled(value); }

uint32_t LinkTimer::Interval() const { return timer_->Interval(); }

}  // namespace sincrovia
