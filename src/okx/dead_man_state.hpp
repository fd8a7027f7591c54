#pragma once
// What OKX holds of the account's dead-man countdown, as the connector knows it (DeadManPeriod,
// dead_man_switch.hpp): one state, its transitions in one table. Pure.
//
//   state     event         next      what it means
//   off       accepted_on   armed     OKX took a period: a countdown runs, refreshed
//   armed     accepted_on   armed     a refresh (or the program's new period) restarted it
//   off, armed, doubtful  accepted_off  off   OKX took 0: no countdown
//   armed     turned_off    off       the program is turning it off: no refresh restarts it
//   any       doubt         doubtful  a request whose fate is unknown may reach OKX after the
//                                     program's: the wanted period goes again until one sent
//                                     after the doubt is taken
//   doubtful  accepted_on   armed
//   (turned_off while doubtful: still doubtful, and the 0 is what goes again)

#include <cstdint>
#include <optional>

namespace corvane {

enum class DeadManState : std::uint8_t { off, armed, doubtful };
enum class DeadManEvent : std::uint8_t { accepted_on, accepted_off, turned_off, doubt };

// The next state, or nullopt when `event` changes nothing in `state`.
std::optional<DeadManState> dead_man_transition(DeadManState state, DeadManEvent event);

}  // namespace corvane
