#include "core/rest/https/kept_state.hpp"

#include "core/state/state_table.hpp"

namespace corvane::https {
namespace {

using S = KeptState;
using E = KeptEvent;

constexpr Transition<S, E> kRows[] = {
    {S::opening, E::send, S::busy},      {S::opening, E::rest, S::idle},
    {S::idle, E::send, S::busy},         {S::busy, E::read, S::answering},
    {S::answering, E::rest, S::idle},    {S::opening, E::close, S::closed},
    {S::idle, E::close, S::closed},      {S::busy, E::close, S::closed},
    {S::answering, E::close, S::closed},
};

constexpr StateTable<S, E> kKeptTable{kRows};

}  // namespace

std::optional<KeptState> kept_transition(KeptState state, KeptEvent event) {
    return kKeptTable.next(state, event);
}

}  // namespace corvane::https
