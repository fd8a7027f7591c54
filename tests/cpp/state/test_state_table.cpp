#include <gtest/gtest.h>

#include "core/state/state_table.hpp"

namespace corvane {
namespace {

enum class Door { shut, open, locked };
enum class Act { push, pull, lock, unlock };

constexpr Transition<Door, Act> kDoorRows[] = {
    {Door::shut, Act::push, Door::open},
    {Door::open, Act::pull, Door::shut},
    {Door::shut, Act::lock, Door::locked},
    {Door::locked, Act::unlock, Door::shut},
};
constexpr StateTable<Door, Act> kDoor{kDoorRows};

TEST(StateTable, AnEventWithoutARowChangesNothing) {
    static_assert(kDoor.next(Door::shut, Act::push) == Door::open);
    static_assert(!kDoor.next(Door::locked, Act::push).has_value());
    StateMachine<Door, Act> door(kDoor, Door::shut);
    EXPECT_TRUE(door.fire(Act::lock));
    EXPECT_FALSE(door.fire(Act::push));
    EXPECT_TRUE(door.is(Door::locked));
    EXPECT_TRUE(door.fire(Act::unlock));
    EXPECT_TRUE(door.fire(Act::push));
    EXPECT_EQ(door.state(), Door::open);
}

}  // namespace
}  // namespace corvane
