#pragma once
// UTF-8 validation of inbound text frames: eight bytes at a time while they are ASCII, and
// websocketpp's own validator from the first byte that is not.

#include <string>

namespace corvane {

enum class Utf8 { invalid, ascii, multibyte };

Utf8 check_utf8(const std::string& text);

}  // namespace corvane
