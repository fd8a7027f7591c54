#pragma once
// The envelope OKX documents for every REST answer, {"code":"0","msg":"","data":[...]},
// checked before a 2xx is taken for one: anything else may hide a request carried out, so it
// is an unknown outcome. A non-zero code is OKX's refusal, left in the body for the caller to
// read. Pure functions, any thread.

#include <string>

#include "core/rest/https_client.hpp"

namespace corvane::okx {

// OKX's refusal of a signed REST call's timestamp.
inline constexpr char kTimestampExpired[] = "50102";

// The body of `reply` when it is OKX's envelope (a "data" list of objects when the code is
// "0"); the error saying what it means otherwise (body_or_throw's for a reply not a 2xx).
std::string documented_answer(const https::Reply& reply);

// The "code" of an OKX answer ("50102"); empty when the text has none.
std::string code_in(const std::string& body);

}  // namespace corvane::okx
