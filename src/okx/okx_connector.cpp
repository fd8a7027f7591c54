#include "okx/okx_connector.hpp"

#include "core/inbound_json.hpp"
#include "core/output.hpp"
#include "core/session.hpp"

namespace corvane {

// One connection. A private one examines what arrives until the login reply has come (the
// first "login" or "error" event; a notice may come first): a successful login replays the
// channels.
class OkxConnector::Connection final : public ConnectionHandler {
public:
    explicit Connection(OkxConnector& owner) : owner(owner), awaiting_login(owner.is_private) {}

    void on_open(Session& session) override {
        if (owner.is_private) {
            owner.send_login(session);
        } else {
            owner.replay(session);
        }
    }

    void on_message(Session& session, std::string& payload, bool binary) override {
        if (awaiting_login) examine_login_reply(session, payload);
        session.deliver(payload, binary);
    }

private:
    void examine_login_reply(Session& session, const std::string& payload) {
        const auto reply = parse_inbound_json(payload);
        const auto is = [&reply](const char* key, const char* value) {
            const auto it = reply.find(key);
            return it != reply.end() && *it == nlohmann::json(value);
        };
        if (!reply.is_object() || !(is("event", "login") || is("event", "error"))) return;
        print_line(Stream::out, reply.dump());
        if (is("event", "login") && is("code", "0")) owner.replay(session);
        awaiting_login = false;
    }

    OkxConnector& owner;
    bool awaiting_login;
};

namespace {

// The optional keywords of a private subscription and the members they become, in the order
// the registry lines show them.
const std::pair<std::string, std::string> kPrivateChannelKeywords[] = {
    {"inst_type", "instType"}, {"inst_family", "instFamily"}, {"inst_id", "instId"}};

void print_lines(const std::vector<std::string>& lines) {
    for (const auto& line : lines)
        print_line(Stream::out, line);
}

}  // namespace

KeepAlive OkxConnector::default_keepalive() {
    using std::chrono::seconds;
    KeepAlive keepalive;
    keepalive.ping = KeepAlive::Ping::when_idle;
    keepalive.interval = seconds(25);
    keepalive.dead_after = seconds(35);
    keepalive.ping_text = "ping";
    keepalive.pong_text = "pong";
    return keepalive;
}

OkxConnector::OkxConnector() : OkxConnector(std::nullopt, default_keepalive()) {}

OkxConnector::OkxConnector(std::string API_key, std::string API_secret, std::string API_pass)
    : OkxConnector(Credentials{std::move(API_key), std::move(API_secret), std::move(API_pass)},
                   default_keepalive()) {}

OkxConnector::OkxConnector(std::optional<Credentials> credentials, KeepAlive keepalive)
    : WebSocketConnector(std::move(keepalive)),
      credentials(credentials.value_or(Credentials{})),
      is_private(credentials.has_value()) {}

OkxConnector::~OkxConnector() {
    shutdown();
}

// The REST host goes with the WebSocket URL: OKX's own (live or demo) for OKX's hosts, the same
// host and port for any other (the simulator serves both there).
WebSocketConnector::Attempt OkxConnector::prepare(const std::string& url) {
    const auto authority = url.rfind("wss://", 0) == 0 ? url.substr(6, url.find('/', 6) - 6) : "";
    const auto colon = authority.rfind(':');
    const std::string host = authority.substr(0, colon);
    if (!host.empty()) {
        std::lock_guard<std::mutex> lock(rest_mtx);
        demo = host == "wspap.okx.com";
        if (demo || host == "ws.okx.com") {
            rest_default = https::Endpoint{"www.okx.com"};
        } else {
            rest_default = https::Endpoint{
                host, colon == std::string::npos ? "443" : authority.substr(colon + 1)};
        }
    }
    return Attempt{url, std::make_unique<Connection>(*this), {}};
}

// ---- run thread ----

void OkxConnector::send_login(Session& session) const {
    const std::string timestamp = okx::login_timestamp(std::chrono::system_clock::now());
    const auto request =
        okx::login_request(credentials.api_key, credentials.api_pass,
                           okx::login_signature(timestamp, credentials.api_secret), timestamp);
    try {
        session.send_json(request);
    } catch (const nlohmann::json::type_error&) {
        // The serialiser's text would show the offending byte of the credential.
        throw std::runtime_error("the API credentials are not valid UTF-8");
    }
}

// Nothing recorded yet is a normal state: later subscribes go out as they are made.
void OkxConnector::replay(Session& session) const {
    channels.replay([](const auto& args) { return okx::subscription_request("subscribe", args); },
                    [&session](const nlohmann::json& request) { session.send_json(request); });
}

// ---- subscriptions (Python threads) ----

okx::ChannelArg OkxConnector::channel_arg(const ParamMap& params) const {
    if (is_private) {
        require_params(params, {"channel"});
        okx::ChannelArg arg{{{"channel", params.at("channel")}}};
        for (const auto& [keyword, member] : kPrivateChannelKeywords) {
            const auto it = params.find(keyword);
            if (it != params.end()) arg.members[member] = it->second;
        }
        return arg;
    }
    require_params(params, {"channel", "inst_id"});
    return okx::ChannelArg{{{"channel", params.at("channel")}, {"instId", params.at("inst_id")}}};
}

void OkxConnector::subscribe(const ParamMap& params) {
    const okx::ChannelArg arg = channel_arg(params);
    const auto all =
        channels.add(arg, [&] { send_if_open(okx::subscription_request("subscribe", {arg})); });
    print_lines(registry_lines(all));
}

void OkxConnector::unsubscribe(const ParamMap& params) {
    const okx::ChannelArg arg = channel_arg(params);
    channels.remove(arg, true,
                    [&] { send_if_open(okx::subscription_request("unsubscribe", {arg})); });
}

std::vector<std::string> OkxConnector::registry_lines(
    const std::vector<okx::ChannelArg>& args) const {
    std::vector<std::string> lines;
    for (const auto& arg : args) {
        std::string line = "Channel: " + arg.channel();
        if (!is_private) line += ", inst_id: " + arg.members.at("instId");
        for (const auto& [keyword, member] : kPrivateChannelKeywords) {
            const auto it = arg.members.find(member);
            if (is_private && it != arg.members.end()) line += ", " + keyword + ": " + it->second;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace corvane
