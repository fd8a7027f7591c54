#pragma once
// The three texts a private connector is built with, in the order Python passes them.

#include <string>

namespace corvane {

struct Credentials {
    std::string api_key;
    std::string api_secret;
    std::string api_pass;
};

}  // namespace corvane
