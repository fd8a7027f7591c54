#include "core/rest/https/rest_tls.hpp"

#include <openssl/ssl.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "core/transport/tls_context.hpp"

namespace corvane::https {
namespace {

struct SessionFree {
    void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
};
using Session = std::unique_ptr<SSL_SESSION, SessionFree>;

std::mutex sessions_mtx;  // innermost: taken alone, by OpenSSL's callback and by resume_session
std::map<std::string, Session> sessions;  // guarded by sessions_mtx

int host_index() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// OpenSSL hands over a reference to each session it gets (TLS 1.3: after the handshake).
int on_new_session(SSL* ssl, SSL_SESSION* session) {
    const auto* host_port = static_cast<const std::string*>(SSL_get_ex_data(ssl, host_index()));
    if (host_port == nullptr) return 0;
    std::lock_guard<std::mutex> lock(sessions_mtx);
    sessions[*host_port].reset(session);
    return 1;
}

void forget_sessions() {
    std::lock_guard<std::mutex> lock(sessions_mtx);
    sessions.clear();
}

std::string trust_store_names() {
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    return std::string(file ? file : "") + '\n' + (dir ? dir : "");
}

}  // namespace

std::shared_ptr<boost::asio::ssl::context> rest_tls() {
    static std::shared_ptr<boost::asio::ssl::context> context;
    static std::string loaded_from;
    const std::string names = trust_store_names();
    if (context == nullptr || names != loaded_from) {
        context = std::make_shared<boost::asio::ssl::context>(make_rest_tls_context());
        SSL_CTX* ctx = context->native_handle();
        SSL_CTX_set_session_cache_mode(ctx,
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(ctx, on_new_session);
        loaded_from = names;
        forget_sessions();  // made under the trust store that no longer applies
    }
    return context;
}

void resume_session(SSL* ssl, const std::string* host_port) {
    SSL_set_ex_data(ssl, host_index(), const_cast<std::string*>(host_port));
    std::lock_guard<std::mutex> lock(sessions_mtx);
    const auto kept = sessions.find(*host_port);
    if (kept != sessions.end() && SSL_SESSION_is_resumable(kept->second.get()))
        SSL_set_session(ssl, kept->second.get());
}

}  // namespace corvane::https
