#include "core/book/book_sync_state.hpp"

#include "core/state/state_table.hpp"

namespace corvane::book {
namespace {

using S = BookState;
using E = BookEvent;

constexpr Transition<S, E> kRows[] = {
    {S::buffering, E::push, S::snapshot_requested},
    {S::buffering, E::snapshot, S::synced},
    {S::buffering, E::crossed, S::buffering},
    {S::buffering, E::reconnect, S::buffering},
    {S::snapshot_requested, E::push, S::snapshot_requested},
    {S::snapshot_requested, E::snapshot, S::synced},
    {S::snapshot_requested, E::snapshot_alone, S::aligning},
    {S::snapshot_requested, E::snapshot_failed, S::snapshot_requested},
    {S::snapshot_requested, E::gap, S::buffering},
    {S::snapshot_requested, E::overflow, S::buffering},
    {S::snapshot_requested, E::crossed, S::buffering},
    {S::snapshot_requested, E::reconnect, S::buffering},
    {S::aligning, E::push, S::synced},
    {S::aligning, E::snapshot, S::synced},
    {S::aligning, E::gap, S::buffering},
    {S::aligning, E::crossed, S::buffering},
    {S::aligning, E::reconnect, S::buffering},
    {S::synced, E::push, S::synced},
    {S::synced, E::snapshot, S::synced},
    {S::synced, E::gap, S::buffering},
    {S::synced, E::crossed, S::buffering},
    {S::synced, E::reconnect, S::buffering},
};

constexpr StateTable<S, E> kBookTable{kRows};

}  // namespace

std::optional<BookState> book_transition(BookState state, BookEvent event) {
    return kBookTable.next(state, event);
}

const char* book_state_name(BookState state) {
    switch (state) {
        case S::buffering:
            return "buffering";
        case S::snapshot_requested:
            return "snapshot_requested";
        case S::aligning:
            return "aligning";
        case S::synced:
            return "synced";
    }
    return "?";
}

}  // namespace corvane::book
