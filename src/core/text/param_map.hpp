#pragma once
// The keyword arguments of one connector call, as text, sorted by key.

#include <map>
#include <stdexcept>
#include <string>

namespace corvane {

using ParamMap = std::map<std::string, std::string>;

// A keyword that an order call does not read, "Unknown keyword: <name>" (a TypeError in Python):
// refused rather than ignored, since a misspelt keyword would change the order silently.
struct UnknownKeyword : std::invalid_argument {
    explicit UnknownKeyword(const std::string& name)
        : std::invalid_argument("Unknown keyword: " + name) {}
};

// The value of an optional keyword, or `fallback` when the caller did not give it.
inline const std::string& param_or(const ParamMap& params, const std::string& key,
                                   const std::string& fallback) {
    const auto it = params.find(key);
    return it == params.end() ? fallback : it->second;
}

}  // namespace corvane
