#include "mexc/mexc_connector.hpp"

#include <algorithm>

#include "core/rest/request_errors.hpp"
#include "core/rest/rest_answer.hpp"
#include "core/stream/clock_watch.hpp"
#include "core/stream/periodic_rest.hpp"
#include "core/text/inbound_json.hpp"
#include "core/text/output.hpp"
#include "mexc/mexc_frames.hpp"
#include "mexc/mexc_book.hpp"
#include "mexc/mexc_push_traits.hpp"
#include "mexc/signed_rest.hpp"

namespace corvane {
namespace {

// MEXC closes every connection after 24 hours: a stream moves to a new one before.
constexpr double kMaxConnectionAge = 23.5 * 3600;
// MEXC serves at most 30 streams on a connection; it leaves the rest unserved.
constexpr std::size_t kMaxStreams = 30;
const char* const kTooManyStreams = "Too many streams: MEXC serves at most 30 per connection";

KeepAlive mexc_keepalive(const MexcSettings& settings) {
    KeepAlive keepalive;
    keepalive.ping = KeepAlive::Ping::periodically;  // MEXC answers each one: replies are queued
    keepalive.interval = settings.ping_interval;
    keepalive.dead_after = settings.stall_limit;
    keepalive.ping_text = mexc::ping_request().dump();
    keepalive.ping_line = "Пингуем " + keepalive.ping_text;
    return keepalive;
}

// Why a renewal reply does not extend the key; empty when it does.
std::string renewal_failure(const https::Reply& reply) {
    if (reply.outcome != https::Reply::Outcome::answered) return reply.failure;
    if (!reply.succeeded()) return "HTTP " + std::to_string(reply.status) + " " + reply.body;
    try {
        const auto value = parse_inbound_json(reply.body);
        if (value.is_object() && value.contains("listenKey") && value["listenKey"].is_string()) {
            return {};
        }
    } catch (const std::exception&) {
        // not JSON: reported below like any other reply without the key
    }
    return "no listenKey in the reply " + reply.body;
}

}  // namespace

// One connection. A private one renews its listen key on the connection's own loop, so that
// nothing waits for a renewal under way when the connection ends; a renewal that fails ends
// the connection, since the stream would no longer carry the account's updates. The answer to
// its replay says that the connection can take over a stream.
class MexcConnector::Connection final : public ConnectionHandler {
public:
    Connection(MexcConnector& owner, std::string listen_key)
        : owner(owner),
          listen_key(std::move(listen_key)),
          clock_watch(owner.clock, [&owner] { return owner.rest(); }, mexc::time_request(),
                      kClockInterval),
          renewal(owner.settings.listen_key_renewal, owner.settings.listen_key_renewal,
                  {nullptr,
                   [this](RunLoop& loop, https::Done done) { return renew(loop, std::move(done)); },
                   [this](const https::Reply& reply) { return on_renewed(reply); }}) {}

    void on_open(RunContext& context) override {
        if (owner.is_private && listen_key.empty()) return;  // nothing to replay or renew
        const bool replayed = owner.replay(context) > 0;
        phases.fire(HandlerEvent::replay_sent);
        if (!replayed) {
            phases.fire(HandlerEvent::replay_answered);
            context.ready();
        }
        if (!owner.is_private) return;
        opened_on = &context;
        renewal.start(context.loop());
        clock_watch.start(context.loop());
    }

    void on_message(RunContext& context, std::string& payload, bool binary) override {
        const auto event = mexc::frame_event(phases.state(), payload, binary);
        context.deliver(payload, binary);
        if (!event) return;
        phases.fire(*event);
        if (*event == HandlerEvent::replay_answered) return context.ready();
        context.drained();
    }

    // One UNSUBSCRIPTION for every stream; MEXC pushes nothing of them after its answer.
    bool stop_pushes(RunContext& context) override {
        if (!phases.allows(HandlerEvent::stop_sent)) return false;  // replaying
        const std::vector<std::string> streams = owner.stream_names();
        if (streams.empty()) return false;
        nlohmann::json request = mexc::subscription_request(streams);
        request["method"] = "UNSUBSCRIPTION";
        context.send_json(request);
        phases.fire(HandlerEvent::stop_sent);
        return true;
    }

    void on_closed(RunContext& /*context*/) override {
        print_line(Stream::out, "Connection MEXC closed");
        renewal.stop();
        clock_watch.stop();
    }

private:
    std::unique_ptr<https::Pending> renew(RunLoop& loop, https::Done done) {
        return mexc::start_signed(loop, owner.rest(), "PUT", mexc::kListenKeyPath,
                                  owner.api_secret, owner.api_pass, {{"listenKey", listen_key}},
                                  std::move(done), owner.clock_offset());
    }

    PeriodicRest::Then on_renewed(const https::Reply& reply) {
        const std::string failure = renewal_failure(reply);
        if (failure.empty()) return PeriodicRest::Then::wait;
        print_line(Stream::err, "Error: listen key renewal: " + failure);
        opened_on->close(CloseCode::normal, "listen key renewal failed");
        return PeriodicRest::Then::stop;
    }

    // How often a private connection measures MEXC's clock again.
    static constexpr std::chrono::minutes kClockInterval{10};

    MexcConnector& owner;
    const std::string listen_key;
    ClockWatch clock_watch;
    HandlerPhases phases;  // replaying until its answer, ready, retiring until drained
    RunContext* opened_on = nullptr;  // the connection's, from its open on
    PeriodicRest renewal;  // a renewal that fails ends the connection
};

MexcConnector::MexcConnector() : MexcConnector(std::nullopt, MexcSettings{}) {}

MexcConnector::MexcConnector(std::string API_key, std::string API_secret, std::string API_pass)
    : MexcConnector(Credentials{std::move(API_key), std::move(API_secret), std::move(API_pass)},
                    MexcSettings{}) {}

MexcConnector::MexcConnector(std::optional<Credentials> credentials, MexcSettings settings)
    : WebSocketConnector(mexc_keepalive(settings), kMaxConnectionAge),
      api_key(credentials ? credentials->api_key : std::string()),
      api_secret(credentials ? credentials->api_secret : std::string()),
      api_pass(credentials ? credentials->api_pass : std::string()),
      is_private(credentials.has_value()),
      settings(std::move(settings)),
      rest_host(this->settings.rest) {}

MexcConnector::~MexcConnector() {
    shutdown();
}

// ---- connect and disconnect (Python threads) ----

WebSocketConnector::Attempt MexcConnector::prepare(const std::string& url) {
    Attempt attempt = prepare_stream(url);
    attempt.books = BookSource{&books, mexc::book_key, mexc::read_depth_push, rest(),
                               mexc::book_snapshot_request, mexc::read_depth_snapshot,
                               mexc::kBookSnapshotPacing.min_interval};
    return attempt;
}

WebSocketConnector::Attempt MexcConnector::prepare_stream(const std::string& url) {
    if (!is_private) {
        return Attempt{url, std::make_unique<Connection>(*this, ""), {},
                       [this] { return std::make_unique<Connection>(*this, ""); },
                       mexc::push_traits()};
    }
    // Signed timestamps go by MEXC's clock: measured before the first signed request, then now
    // and then.
    measure_clock(clock, rest(), mexc::time_request());
    std::string key = obtain_listen_key();
    // A replacement connection goes on the same key.
    return Attempt{mexc::with_listen_key(url, key), std::make_unique<Connection>(*this, key), key,
                   [this, key] { return std::make_unique<Connection>(*this, key); },
                   mexc::push_traits()};
}

WebSocketConnector::BookRules MexcConnector::book_rules(const std::string& channel,
                                                        const std::string& instrument) const {
    if (instrument.empty()) throw std::invalid_argument("track_book: a symbol is needed");
    if (!mexc::keeps_book(channel, instrument)) {
        throw std::invalid_argument(
            "track_book: MEXC books are kept from spot@public.aggre.depth.v3.api.pb@(100ms|10ms)@" +
            instrument + " and spot@public.limit.depth.v3.api.pb@" + instrument +
            "@(5|10|20), not " + channel);
    }
    book::BookSyncLimits limits;
    limits.pacing = mexc::kBookSnapshotPacing;
    return BookRules{mexc::book_sequence_rule(), limits};
}

void MexcConnector::on_connection_created() {
    if (is_private) print_line(Stream::out, "Connected MEXC private");
}

void MexcConnector::adopt(const std::string& lease) {
    std::lock_guard<std::mutex> lock(key_mtx);
    held_key = lease;
}

// The key of the live stream stays (an attempt refused as "already connected" extended it);
// only a key of this attempt's own goes.
void MexcConnector::abandon(const std::string& lease) {
    if (!lease.empty() && lease != current_listen_key()) close_listen_key(lease);
}

void MexcConnector::after_disconnect() {
    const std::string key = take_held_key();
    if (!key.empty()) close_listen_key(key);
}

std::string MexcConnector::current_listen_key() const {
    std::lock_guard<std::mutex> lock(key_mtx);
    return held_key;
}

std::string MexcConnector::take_held_key() {
    std::lock_guard<std::mutex> lock(key_mtx);
    return std::exchange(held_key, std::string());
}

// The key of the last connection lives on for an hour after its last extension: extending it
// costs no new key (an account may hold only 60).
std::string MexcConnector::obtain_listen_key() {
    const std::string held = current_listen_key();
    if (!held.empty() && extend_listen_key(held)) return held;
    return create_listen_key();
}

// A failure raises the error of any REST call, after the "Error:" line of one that got no
// answer.
std::string MexcConnector::create_listen_key() const {
    const https::Reply reply =
        mexc::send_signed(rest(), "POST", mexc::kListenKeyPath, api_secret, api_pass, {},
                          clock_offset());
    if (reply.outcome != https::Reply::Outcome::answered) {
        print_line(Stream::err, "Error: " + reply.failure);
    }
    const std::string body = body_or_throw(reply);
    if (renewal_failure(reply).empty()) {
        return parse_inbound_json(body)["listenKey"].get<std::string>();
    }
    if (mexc::error_code_in(body)) throw_refused_in_2xx(reply);  // MEXC's refusal in a 2xx
    throw RequestOutcomeUnknown("Request outcome unknown: no listenKey in the reply " + body);
}

bool MexcConnector::extend_listen_key(const std::string& key) const {
    const auto reply = mexc::send_signed(rest(), "PUT", mexc::kListenKeyPath, api_secret, api_pass,
                                         {{"listenKey", key}}, clock_offset());
    return renewal_failure(reply).empty();
}

void MexcConnector::close_listen_key(const std::string& key) const {
    https::Endpoint endpoint = rest();
    endpoint.timeout = std::min(endpoint.timeout, settings.key_close_timeout);
    mexc::send_signed_request(endpoint, "DELETE", mexc::kListenKeyPath, api_secret, api_pass,
                              {{"listenKey", key}}, clock_offset());
}

// ---- connection events (run thread) ----

// Returns how many channels were replayed.
std::vector<std::string> MexcConnector::stream_names() const {
    std::vector<std::string> names;
    const auto add = [&names](std::string name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(std::move(name));
        }
    };
    private_channels.replay([&](const std::vector<std::string>& channels) {
        for (const auto& channel : channels)
            add(channel);
    });
    public_subscriptions.replay([&](const std::vector<mexc::PublicChannel>& entries) {
        for (const auto& entry : entries)
            add(mexc::compose_channel(entry));
    });
    return names;
}

std::size_t MexcConnector::replay(RunContext& context) const {
    std::size_t count = 0;
    if (is_private) {
        private_channels.replay([&](const std::vector<std::string>& channels) {
            if (!channels.empty()) context.send_json(mexc::subscription_request(channels));
            count = channels.size();
        });
        return count;
    }
    public_subscriptions.replay([&](const std::vector<mexc::PublicChannel>& entries) {
        std::vector<std::string> channels;
        for (const auto& entry : entries)
            channels.push_back(mexc::compose_channel(entry));
        if (!channels.empty()) context.send_json(mexc::subscription_request(channels));
        count = channels.size();
    });
    return count;
}

// ---- subscriptions (Python threads) ----

void MexcConnector::subscribe(const ParamMap& params) {
    if (is_private) {
        require_params(params, {"channel"});
        const std::string& channel = params.at("channel");
        private_channels.add_limited(channel, kMaxStreams, kTooManyStreams,
                                     [&] { send_if_open(mexc::subscription_request({channel})); });
        return;
    }
    require_params(params, {"host", "symbol"});
    const mexc::PublicChannel channel{params.at("host"), params.at("symbol"),
                                      param_or(params, "level", {})};
    const std::string stream = mexc::compose_channel(channel);
    public_subscriptions.add_limited(
        channel, kMaxStreams, kTooManyStreams,
        [&] { send_if_open(mexc::subscription_request({stream})); },
        [](const mexc::PublicChannel& a, const mexc::PublicChannel& b) {
            return mexc::compose_channel(a) == mexc::compose_channel(b);
        });
    restart_sequence(stream, {});
}

// A private unsubscribe forgets the first equal record, a public one every equal record.
void MexcConnector::unsubscribe(const ParamMap& params) {
    if (is_private) {
        require_params(params, {"channel"});
        const std::string& channel = params.at("channel");
        private_channels.remove(channel, false,
                                [&] { send_if_open(mexc::unsubscription_request(channel)); });
        return;
    }
    require_params(params, {"host", "symbol"});
    const mexc::PublicChannel channel{params.at("host"), params.at("symbol"),
                                      param_or(params, "level", {})};
    public_subscriptions.remove(channel, true, [&] {
        send_if_open(mexc::unsubscription_request(mexc::compose_channel(channel)));
    });
    restart_sequence(mexc::compose_channel(channel), {});
}

}  // namespace corvane
