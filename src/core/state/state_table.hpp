#pragma once
// One stateful object's life: a single enum value that changes only through a table of
// transitions (from, event, to). The table is data, so a test drives it alone and the object
// does what each transition says. Not synchronised: the object's owner (one thread, or the
// holder of its lock) is the only one to read or fire it.

#include <cstddef>
#include <optional>

namespace corvane {

template <typename State, typename Event>
struct Transition {
    State from;
    Event event;
    State to;
};

// A fixed table of transitions; an event with no row for the current state changes nothing.
template <typename State, typename Event>
class StateTable {
public:
    template <std::size_t N>
    constexpr explicit StateTable(const Transition<State, Event> (&rows)[N]) : rows_(rows), size_(N) {}

    // The next state, or nullopt when `event` changes nothing in `state`.
    constexpr std::optional<State> next(State state, Event event) const {
        for (std::size_t i = 0; i < size_; ++i) {
            if (rows_[i].from == state && rows_[i].event == event) return rows_[i].to;
        }
        return std::nullopt;
    }

private:
    const Transition<State, Event>* rows_;
    std::size_t size_;
};

// The current state of one object and its table.
template <typename State, typename Event>
class StateMachine {
public:
    constexpr StateMachine(const StateTable<State, Event>& table, State initial)
        : table_(&table), state_(initial) {}

    constexpr State state() const { return state_; }
    constexpr bool is(State state) const { return state_ == state; }

    // Moves on `event`; returns false, the state unchanged, when the table has no row for it.
    constexpr bool fire(Event event) {
        const std::optional<State> next = table_->next(state_, event);
        if (!next) return false;
        state_ = *next;
        return true;
    }

private:
    const StateTable<State, Event>* table_;
    State state_;
};

}  // namespace corvane
