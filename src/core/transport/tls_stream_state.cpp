#include "core/transport/tls_stream_state.hpp"

#include "core/state/state_table.hpp"

namespace corvane {
namespace {

using S = TlsState;
using E = TlsEvent;

constexpr Transition<S, E> kRows[] = {
    {S::detached, E::attach, S::open},
    {S::open, E::hold, S::holding},
    {S::holding, E::release, S::open},
    {S::open, E::fail, S::failed},
    {S::holding, E::fail, S::failed_holding},
    {S::failed, E::hold, S::failed_holding},
    {S::failed_holding, E::release, S::failed},
};

constexpr StateTable<S, E> kTlsTable{kRows};

}  // namespace

std::optional<TlsState> tls_transition(TlsState state, TlsEvent event) {
    return kTlsTable.next(state, event);
}

}  // namespace corvane
