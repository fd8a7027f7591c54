#pragma once
// A 2xx REST reply checked before it is taken for the answer its call documents: one that is
// not that answer may hide a request carried out (an unknown outcome), and an exchange's error
// code in it is the refusal it names. Pure functions, any thread.

#include <nlohmann/json.hpp>

#include <string>

#include "core/rest/https_client.hpp"

namespace corvane {

// The JSON of a 2xx reply (body_or_throw's error for any other reply); RequestOutcomeUnknown
// for a body that is not JSON.
nlohmann::json answer_json(const https::Reply& reply);

// RequestOutcomeUnknown: `reply`, a 2xx, is not the answer documented.
[[noreturn]] void throw_not_documented(const https::Reply& reply);

// RequestRefused with the reply's status and body: `reply`, a 2xx, carries an error code.
[[noreturn]] void throw_refused_in_2xx(const https::Reply& reply);

}  // namespace corvane
