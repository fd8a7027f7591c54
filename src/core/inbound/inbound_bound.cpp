#include "core/inbound/inbound_bound.hpp"

namespace corvane {

void InboundBound::resumed() {
    std::lock_guard<std::mutex> lock(mtx);
    resume_hook = nullptr;
    fire(BoundEvent::resume);
}

void InboundBound::fire(BoundEvent event) {
    if (const auto next = bound_transition(state.load(std::memory_order_relaxed), event))
        state.store(*next);
}

}  // namespace corvane
