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

// The trader's calls added since.

inline constexpr const char* kBatchOrders = R"doc(
Several orders in one request: orders=[{...}, ...], 1 to 20 dicts, each with the keywords of
place_order but ord_id. OKX: msg_id= is the request's id; the reply arrives on the stream. MEXC:
one symbol; returns the exchange's REST reply.)doc";

inline constexpr const char* kOpenOrders = R"doc(
The account's open orders (private connectors), the exchange's REST reply as a str. OKX:
inst_type, inst_family, inst_id, ordType, state, after, before, limit, all optional. MEXC:
inst_id.)doc";

inline constexpr const char* kAmendOrder = R"doc(
OKX amend-order: msg_id, ord_id or cl_ord_id, inst_id, and newSz and/or newPx (options: newPxUsd,
newPxVol); optional inst_id_code, cxlOnFail (bool), req_id. The reply arrives on the stream.)doc";

inline constexpr const char* kSettleOrder = R"doc(
Ends the wait for the reply to the order placed with ord_id and resend_relisted=True: after
this call that order is never sent again. Returns (kind, refusal): "resent" when it was sent
once more with its instrument's new instIdCode (the reply to ord_id still to come, or just
taken, may be the resend's: a 51001 refusal then is not its answer), "refused" when OKX refused
it with 51001 and it was not sent again (refusal: that reply, not delivered on the stream),
"none" otherwise (refusal empty).)doc";

inline constexpr const char* kBatchCancelOrders = R"doc(
OKX batch-cancel-orders: msg_id, orders=[{...}, ...], 1 to 20 dicts with the keywords of
cancel_order but msg_id. The reply arrives on the stream.)doc";

inline constexpr const char* kBatchAmendOrders = R"doc(
OKX batch-amend-orders: msg_id, orders=[{...}, ...], 1 to 20 dicts with the keywords of
amend_order but msg_id. The reply arrives on the stream.)doc";

inline constexpr const char* kCancelAllAfter = R"doc(
OKX's dead-man switch (private connectors): every pending order is cancelled unless the countdown
of `seconds` (10 to 120) is restarted in time; 0 turns it off. Sends it now and returns OKX's
reply; then the connector restarts it every third of the period while a logged-in connection is
open and the program reads (a reader asked for a message since the last restart, or waits for
one now).)doc";

inline constexpr const char* kCancelAllOrders = R"doc(
MEXC: cancels every open order of one symbol (inst_id); returns the exchange's REST reply.)doc";

}  // namespace corvane::doc
