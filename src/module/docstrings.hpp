#pragma once
// The docstrings Python shows, exactly as users have always seen them.

namespace corvane::doc {

inline constexpr const char* kModule =
    "\n        corvane_ws_module\n        -------------------\n"
    "        A C++ library that provides WebSocket connections to different exchanges with same "
    "interface.\n\n"
    "        This module allows connection to WebSocket servers, subscription to channels,\n"
    "        placing and cancelling orders, and includes cryptographic functions for data "
    "encoding and hashing.\n    ";

inline constexpr const char* kBase =
    "\n            BaseExchangeConnector\n\n"
    "            A base class that provides common WebSocket connection functionality.\n        ";

inline constexpr const char* kOkx =
    "\n            WebSocket\n\n"
    "            A specialized connector for OKX exchanges, inheriting from "
    "BaseExchangeConnector.\n        ";

inline constexpr const char* kMexc =
    "\n            WebSocket\n\n"
    "            A specialized connector for MEXC exchanges, inheriting from "
    "BaseExchangeConnector.\n        ";

inline constexpr const char* kConnect =
    "\n                Connect to the WebSocket server.\n\n"
    "                Parameters:\n"
    "                    url (str): The URL of the WebSocket server.\n\n"
    "                Returns:\n"
    "                    A status or result of the connection attempt.\n            ";

inline constexpr const char* kDisconnect =
    "\n                Disconnect from the WebSocket server.\n            ";

inline constexpr const char* kPublicInit =
    "\n                Constructor for public WebSocket.\n            ";

inline constexpr const char* kPrivateInit =
    "\n                Constructor for private WebSocket.\n\n"
    "                Parameters:\n"
    "                    API_key (str)\n"
    "                    API_secret (str)\n"
    "                    API_pass (str)\n            ";

}  // namespace corvane::doc
