#include "okx/okx_connector.hpp"

#include <algorithm>
#include <map>

#include "core/stream/clock_watch.hpp"
#include "core/stream/handler_phase.hpp"
#include "core/text/inbound_json.hpp"
#include "core/text/output.hpp"
#include "okx/okx_account_rest.hpp"
#include "okx/okx_events.hpp"
#include "okx/okx_book.hpp"
#include "okx/okx_push_traits.hpp"
#include "okx/relisted_orders.hpp"

namespace corvane {

// One connection. A private one examines what arrives until the login reply has come (the
// first "login" or "error" event; a notice may come first): a successful login replays the
// channels. Events after the replay say when every replayed channel is answered (the connection
// can then take over a stream), and a notice 64008 that OKX will close this connection soon.
//
// A private connection also keeps OKX's clock measured and, from its login on, the dead-man
// switch refreshed; both stop when it closes.
class OkxConnector::Connection final : public ConnectionHandler {
public:
    explicit Connection(OkxConnector& owner)
        : owner(owner),
          clock_watch(owner.clock, [&owner] { return owner.rest_endpoint(); }, okx::time_request(),
                      kClockInterval),
          dead_man(owner.dead_man, owner.queue(),
                   [this](int seconds, https::Done done) {
                       return this->owner.start_post(*loop, okx::kCancelAllAfterPath,
                                                     okx::cancel_all_after_body(seconds),
                                                     std::move(done));
                   }) {}

    void on_open(RunContext& context) override {
        loop = &context.loop();
        if (owner.is_private) {
            clock_watch.start(context.loop());
            phases.fire(HandlerEvent::login_sent);
            owner.send_login(context);
        } else {
            replay(context);
        }
    }

    void on_closed(RunContext& /*context*/) override {
        clock_watch.stop();
        dead_man.stop();
    }

    void on_message(RunContext& context, std::string& payload, bool binary) override {
        // Pushes, the bulk, are never parsed: only events ({"event":...}) and a login reply.
        const bool logging_in = phases.is(HandlerPhase::logging_in);
        if (!logging_in && (binary || payload.compare(0, 9, R"({"event":)") != 0)) {
            const bool answer = !binary && payload.compare(0, 6, R"({"id":)") == 0;
            if (answer) context.request_answered();
            if (answer && retry_relisted(context, payload)) return;
            context.deliver(payload, binary);
            if (answer) drain_if_done(context);
            return;
        }
        const nlohmann::json event = parse(payload);
        context.deliver(payload, binary);
        examine(context, event);
    }

    // Every channel unsubscribed; OKX pushes nothing of one after its answer. The connection
    // is done once those are answered and so is every operation sent on it (a close before
    // would lose a reply still on its way).
    bool stop_pushes(RunContext& context) override {
        if (!phases.allows(HandlerEvent::stop_sent)) return false;  // logging in, replaying
        stopping = owner.unsubscribe_all(context);
        const bool waits =
            stopping > 0 || !refreshes.empty() || context.unanswered_requests() > 0;
        if (waits) phases.fire(HandlerEvent::stop_sent);
        return waits;
    }

private:
    // An order refused with 51001 that went out with a looked-up code while its caller waits:
    // the instrument's type is fetched again (on this loop, never waiting), and the order goes
    // once more if its code changed and its caller still waits, on the stream's connection of
    // the moment; otherwise the refusal is delivered as it came, unless the caller took it.
    bool retry_relisted(RunContext& context, std::string& payload) {
        std::optional<okx::Order> order = owner.relisted.answered(payload);
        if (!order) return false;
        finished.clear();  // not from inside their own completions
        https::Endpoint endpoint;
        const https::Request request = owner.instruments_request_for(order->inst_id, &endpoint);
        const std::uint64_t key = ++refresh_count;
        refreshes[key] = Refresh{std::move(*order), nullptr};
        auto pending = context.loop().rest(endpoint, request,
                                           [this, &context, key](const https::Reply& reply) {
                                               on_refreshed(context, key, reply);
                                           });
        const auto it = refreshes.find(key);
        if (it != refreshes.end()) it->second.pending = std::move(pending);
        return true;
    }

    void on_refreshed(RunContext& context, std::uint64_t key, const https::Reply& reply) {
        const auto it = refreshes.find(key);
        if (it == refreshes.end()) return;
        Refresh refresh = std::move(it->second);
        refreshes.erase(it);
        finished.push_back(std::move(refresh.pending));
        const auto code = owner.code_in_reply(reply, refresh.order.inst_id);
        auto next = owner.relisted.refreshed(refresh.order.ord_id, code);
        if (next.resend && !context.send_request_on_stream(okx::order_request(*next.resend)))
            next.deliver = owner.relisted.unsent(refresh.order.ord_id);
        if (next.deliver) context.deliver_now(*next.deliver, false);
        drain_if_done(context);
    }

    // The connection ended with refreshes under way: their refusals (unless their callers took
    // them) come before its end.
    void on_ending(RunContext& context) override {
        for (auto& [key, refresh] : refreshes) {
            auto next = owner.relisted.refreshed(refresh.order.ord_id, std::nullopt);
            if (next.deliver) context.deliver(*next.deliver, false);
        }
        refreshes.clear();
    }

    void drain_if_done(RunContext& context) {
        if (!phases.is(HandlerPhase::retiring) || stopping > 0 || !refreshes.empty() ||
            context.unanswered_requests() > 0)
            return;
        phases.fire(HandlerEvent::drained);
        context.drained();
    }

    nlohmann::json parse(const std::string& payload) const {
        try {
            return parse_inbound_json(payload);
        } catch (const std::exception&) {
            // A login reply that is not JSON ends the connection.
            if (phases.is(HandlerPhase::logging_in)) throw;
            return nullptr;
        }
    }

    void examine(RunContext& context, const nlohmann::json& value) {
        using Kind = okx::Event::Kind;
        const okx::Event event = okx::event_of(value);
        if (event.kind == Kind::upgrade_notice) {
            context.replace("notice 64008", kUpgradeNotice);
        } else if (stopping > 0 &&
                   (event.kind == Kind::unsubscribed || event.kind == Kind::error)) {
            --stopping;
            drain_if_done(context);
        } else if (phases.is(HandlerPhase::logging_in)) {
            examine_login_reply(context, value, event.answers_login(), event.accepted);
        } else if (event.kind == Kind::subscribed) {
            answered(context, value.value("arg", nlohmann::json()));
        } else if (event.kind == Kind::error) {
            answered(context, nullptr);
        }
    }

    void examine_login_reply(RunContext& context, const nlohmann::json& reply, bool is_reply,
                             bool accepted) {
        if (!is_reply) return;
        print_line(Stream::out, reply.dump());
        // A login timestamp refused: the next connect's measurement counts, whatever its round
        // trip.
        if (!accepted) {
            phases.fire(HandlerEvent::login_refused);
            const auto code = reply.find("code");
            if (code != reply.end() && *code == "60006") owner.clock.distrust();
            return;
        }
        dead_man.start(context.loop());
        replay(context);
    }

    void replay(RunContext& context) {
        unanswered = owner.replay(context);
        phases.fire(HandlerEvent::replay_sent);
        if (unanswered.empty()) all_answered(context);
    }

    // An acknowledgement answers the channel its "arg" names (it may carry more members than
    // were sent); a refusal names none, so it answers one of those still unanswered.
    void answered(RunContext& context, const nlohmann::json& arg) {
        if (unanswered.empty()) return;
        if (arg.is_null()) {
            ++refusals;
        } else {
            const auto named =
                std::find_if(unanswered.begin(), unanswered.end(),
                             [&arg](const okx::ChannelArg& sent) { return names(arg, sent); });
            if (named != unanswered.end()) unanswered.erase(named);
        }
        if (unanswered.size() <= refusals) {
            unanswered.clear();
            all_answered(context);
        }
    }

    void all_answered(RunContext& context) {
        phases.fire(HandlerEvent::replay_answered);
        context.ready();
    }

    static bool names(const nlohmann::json& arg, const okx::ChannelArg& sent) {
        if (!arg.is_object()) return false;
        return std::all_of(sent.members.begin(), sent.members.end(), [&arg](const auto& member) {
            const auto it = arg.find(member.first);
            return it != arg.end() && *it == nlohmann::json(member.second);
        });
    }

public:
    // OKX closes about 60 s after its notice.
    static constexpr std::chrono::seconds kUpgradeNotice{60};
    // How often a private connection measures OKX's clock again.
    static constexpr std::chrono::minutes kClockInterval{10};

private:
    OkxConnector& owner;
    struct Refresh {  // a refused order whose instrument list is being fetched
        okx::Order order;  // (its refusal is held by owner.relisted)
        std::unique_ptr<https::Pending> pending;
    };
    std::map<std::uint64_t, Refresh> refreshes;  // under way, by number
    std::uint64_t refresh_count = 0;
    std::vector<std::unique_ptr<https::Pending>> finished;  // completed: dropped at the next
    HandlerPhases phases;  // logging in, replaying, ready, retiring
    RunLoop* loop = nullptr;  // the connection's, from its open on
    ClockWatch clock_watch;
    DeadManRefresh dead_man;
    std::vector<okx::ChannelArg> unanswered;  // the replayed channels, until each is answered
    std::size_t refusals = 0;
    std::size_t stopping = 0;  // retired by a switch-over: unsubscriptions not answered yet
};

namespace {

// The keywords that narrow a channel and the members they become, in the order the registry
// lines show them. OKX keys most public channels by instId; others by instType (instruments),
// instFamily (opt-summary) or ccy, and private ones by these and extraParams.
const std::pair<std::string, std::string> kChannelKeywords[] = {
    {"inst_type", "instType"}, {"inst_family", "instFamily"}, {"inst_id", "instId"},
    {"ccy", "ccy"},            {"extra_params", "extraParams"}};

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
    : WebSocketConnector(std::move(keepalive), std::nullopt),
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
    // A private connector's orders may need instrument codes and its queries go over REST:
    // that connection is opened now, in the background, not by the first of them. Signed
    // timestamps go by OKX's clock: measured before the login, then now and then.
    if (is_private) {
        https::warm(rest_endpoint());
        measure_clock(clock, rest_endpoint(), okx::time_request());
    }
    return Attempt{url,
                   std::make_unique<Connection>(*this),
                   {},
                   [this] { return std::make_unique<Connection>(*this); },
                   okx::push_traits(),
                   Connection::kUpgradeNotice,
                   BookSource{&books, okx::book_key, okx::read_book_push, rest_endpoint(),
                              okx::book_snapshot_request, okx::read_book_snapshot,
                              okx::kBookSnapshotPacing.min_interval}};
}

WebSocketConnector::BookRules OkxConnector::book_rules(const std::string& channel,
                                                       const std::string& instrument) const {
    if (!okx::keeps_book(channel)) {
        throw std::invalid_argument(
            "track_book: OKX books are kept from books, books-l2-tbt, books50-l2-tbt, books5 "
            "and bbo-tbt, not " + channel);
    }
    if (instrument.empty()) throw std::invalid_argument("track_book: an instrument is needed");
    book::BookSyncLimits limits;
    limits.pacing = okx::kBookSnapshotPacing;
    return BookRules{okx::book_sequence_rule(), limits};
}

// OKX allows 3 new connections per second from one IP: every OKX connector of the process
// shares one pacer.
ConnectPacer* OkxConnector::pacer() {
    static ConnectPacer okx_connections(3);
    return &okx_connections;
}

// ---- run thread ----

void OkxConnector::send_login(RunContext& context) const {
    const std::string timestamp = okx::login_timestamp(clock.now());
    const auto request =
        okx::login_request(credentials.api_key, credentials.api_pass,
                           okx::login_signature(timestamp, credentials.api_secret), timestamp);
    try {
        context.send_json(request);
    } catch (const nlohmann::json::type_error&) {
        // The serialiser's text would show the offending byte of the credential.
        throw std::runtime_error("the API credentials are not valid UTF-8");
    }
}

// Nothing recorded yet is a normal state: later subscribes go out as they are made. Returns the
// channels replayed, each once.
std::vector<okx::ChannelArg> OkxConnector::replay(RunContext& context) const {
    std::vector<okx::ChannelArg> replayed;
    channels.replay([&](const std::vector<okx::ChannelArg>& args) {
        for (const auto& request : okx::subscription_requests("subscribe", args))
            context.send_json(request);
        for (const auto& arg : args) {
            if (std::find(replayed.begin(), replayed.end(), arg) == replayed.end()) {
                replayed.push_back(arg);
            }
        }
    });
    return replayed;
}

// Every channel recorded, each once, in requests under OKX's size limit. Returns how many.
std::size_t OkxConnector::unsubscribe_all(RunContext& context) const {
    std::vector<okx::ChannelArg> all;
    channels.replay([&](const std::vector<okx::ChannelArg>& args) {
        for (const auto& arg : args) {
            if (std::find(all.begin(), all.end(), arg) == all.end()) all.push_back(arg);
        }
    });
    for (const auto& request : okx::subscription_requests("unsubscribe", all))
        context.send_json(request);
    return all.size();
}

// ---- subscriptions (Python threads) ----

namespace {
// The instrument whose sequences a channel's pushes carry: only instId-keyed channels have one.
std::string instrument_of(const okx::ChannelArg& arg) {
    const auto it = arg.members.find("instId");
    return it == arg.members.end() ? std::string() : it->second;
}
}  // namespace

// A public channel needs something that names what it streams: the missing keyword reported
// is inst_id, which most of them take.
okx::ChannelArg OkxConnector::channel_arg(const ParamMap& params) const {
    require_params(params, {"channel"});
    okx::ChannelArg arg{{{"channel", params.at("channel")}}};
    for (const auto& [keyword, member] : kChannelKeywords) {
        const auto it = params.find(keyword);
        if (it != params.end()) arg.members[member] = it->second;
    }
    if (!is_private && arg.members.size() == 1) require_params(params, {"inst_id"});
    return arg;
}

void OkxConnector::subscribe(const ParamMap& params) {
    const okx::ChannelArg arg = channel_arg(params);
    const auto all =
        channels.add(arg, [&] { send_if_open(okx::subscription_request("subscribe", {arg})); });
    restart_sequence(arg.channel(), instrument_of(arg));
    print_lines(registry_lines(all));
}

void OkxConnector::unsubscribe(const ParamMap& params) {
    const okx::ChannelArg arg = channel_arg(params);
    channels.remove(arg, true,
                    [&] { send_if_open(okx::subscription_request("unsubscribe", {arg})); });
    restart_sequence(arg.channel(), instrument_of(arg));
}

std::vector<std::string> OkxConnector::registry_lines(
    const std::vector<okx::ChannelArg>& args) const {
    std::vector<std::string> lines;
    for (const auto& arg : args) {
        std::string line = "Channel: " + arg.channel();
        for (const auto& [keyword, member] : kChannelKeywords) {
            const auto it = arg.members.find(member);
            if (it != arg.members.end()) line += ", " + keyword + ": " + it->second;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace corvane
