#include "okx/dead_man_state.hpp"

#include "core/state/state_table.hpp"

namespace corvane {
namespace {

using S = DeadManState;
using E = DeadManEvent;

constexpr Transition<S, E> kRows[] = {
    {S::off, E::accepted_on, S::armed},        {S::off, E::accepted_off, S::off},
    {S::off, E::doubt, S::doubtful},           {S::armed, E::accepted_on, S::armed},
    {S::armed, E::accepted_off, S::off},       {S::armed, E::turned_off, S::off},
    {S::armed, E::doubt, S::doubtful},         {S::doubtful, E::accepted_on, S::armed},
    {S::doubtful, E::accepted_off, S::off},    {S::doubtful, E::doubt, S::doubtful},
};

constexpr StateTable<S, E> kDeadManTable{kRows};

}  // namespace

std::optional<DeadManState> dead_man_transition(DeadManState state, DeadManEvent event) {
    return kDeadManTable.next(state, event);
}

}  // namespace corvane
