# The layers of the C++ library, lowest first. Each is a static library corvane_<layer> built
# from src/<dir>; its code may include its own headers and those of the layers it USES, nothing
# above or beside it. src/CMakeLists.txt builds the targets from this table and
# cmake/CheckLayers.cmake refuses any include that breaks it, so both read the same rules.

set(CORVANE_LAYERS state text book inbound transport rest stream connector crypto okx mexc)

set(CORVANE_LAYER_state_DIR core/state)  # one enum and its transition table (header only)
set(CORVANE_LAYER_state_USES "")
set(CORVANE_LAYER_text_DIR core/text)  # output, UTF-8, JSON and number text, parameters
set(CORVANE_LAYER_text_USES state)
set(CORVANE_LAYER_book_DIR core/book)  # exact decimals, order books, their sync with no socket
set(CORVANE_LAYER_book_USES state text)
set(CORVANE_LAYER_inbound_DIR core/inbound)  # the inbound queue, batches, payload buffers
set(CORVANE_LAYER_inbound_USES state)
set(CORVANE_LAYER_transport_DIR core/transport)  # TLS stream, socket BIO, contexts, client config
set(CORVANE_LAYER_transport_USES state text inbound)
set(CORVANE_LAYER_rest_DIR core/rest)  # the kept-alive HTTPS client, its errors, the clock offset
set(CORVANE_LAYER_rest_USES state text transport)
set(CORVANE_LAYER_stream_DIR core/stream)  # feed, session, keep-alive, pacer, switch-over
set(CORVANE_LAYER_stream_USES state text book inbound transport rest)
set(CORVANE_LAYER_connector_DIR core/connector)  # the connectors and their subscriptions
set(CORVANE_LAYER_connector_USES state text book inbound rest stream)
set(CORVANE_LAYER_crypto_DIR crypto)
set(CORVANE_LAYER_crypto_USES "")
set(CORVANE_LAYER_okx_DIR okx)
set(CORVANE_LAYER_okx_USES state text book inbound rest stream connector crypto)
set(CORVANE_LAYER_mexc_DIR mexc)
set(CORVANE_LAYER_mexc_USES state text book inbound rest stream connector crypto)

# Only these layers include Asio, Beast or websocketpp headers.
set(CORVANE_NETWORK_LAYERS transport rest stream)
# Exchange code must not see the transport: besides those libraries, it must not include the
# headers that carry their types.
set(CORVANE_EXCHANGE_LAYERS okx mexc)
set(CORVANE_TRANSPORT_CARRIERS core/stream/session.hpp core/stream/feed.hpp
  core/stream/asio_run_loop.hpp)

# The known exceptions, as "<file>|<included header>"; an exception that no longer occurs fails
# the check, so this list only shrinks.
set(CORVANE_LAYER_EXCEPTIONS
  # websocketpp's UTF-8 validator is a plain header with no transport in it.
  "core/text/utf8_check.cpp|websocketpp/utf8_validator.hpp"
)
