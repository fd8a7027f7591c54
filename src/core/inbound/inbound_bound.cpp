#include "core/inbound/inbound_bound.hpp"

namespace corvane {

void InboundBound::resumed() {
    std::lock_guard<std::mutex> lock(mtx);
    resume_hook = nullptr;
    fire(BoundEvent::resume);
}

bool InboundBound::lift() {
    std::lock_guard<std::mutex> lock(mtx);
    return fire(BoundEvent::lift);
}

bool InboundBound::overrun() {
    std::lock_guard<std::mutex> lock(mtx);
    if (!fire(BoundEvent::overrun)) return false;
    resume_hook = nullptr;
    overrun_count.store(overrun_count.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
    return true;
}

bool InboundBound::fire(BoundEvent event) {
    const auto next = bound_transition(state.load(std::memory_order_relaxed), event);
    if (next) state.store(*next);
    return next.has_value();
}

}  // namespace corvane
