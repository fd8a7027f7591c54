#include "core/rest/https/job_state.hpp"

#include "core/state/state_table.hpp"

namespace corvane::https {
namespace {

using S = JobState;
using E = JobEvent;

constexpr Transition<S, E> kRows[] = {
    {S::waiting, E::write, S::sent},          {S::sent, E::refused, S::waiting_again},
    {S::waiting_again, E::write, S::sent_again},
    {S::waiting, E::finish, S::done},         {S::sent, E::finish, S::done},
    {S::waiting_again, E::finish, S::done},   {S::sent_again, E::finish, S::done},
};

constexpr StateTable<S, E> kJobTable{kRows};

}  // namespace

std::optional<JobState> job_transition(JobState state, JobEvent event) {
    return kJobTable.next(state, event);
}

}  // namespace corvane::https
