// Bindings of the three connector classes: argument conversion and GIL release only.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/connector/live_connectors.hpp"
#include "core/text/output.hpp"
#include "mexc/mexc_connector.hpp"
#include "module/bindings.hpp"
#include "module/docstrings.hpp"
#include "module/keyword_calls.hpp"
#include "okx/okx_connector.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

// A subscribe or unsubscribe: keywords checked and converted with the GIL held; the connector
// then runs without it, since it may block on the connector's lock.
template <void (BaseExchangeConnector::*op)(const ParamMap&)>
void subscription_call(BaseExchangeConnector& self, const py::kwargs& kwargs) {
    const ParamMap params = checked_keywords(self, OrderCall::subscribe, kwargs);
    without_gil([&] { (self.*op)(params); });
}

// An order call: its keywords checked, then converted, then the call without the GIL; the
// exchange's reply when the call carries one.
template <OrderCall call>
std::optional<py::str> order_call(BaseExchangeConnector& self, const py::kwargs& kwargs) {
    const ParamMap params = checked_keywords(self, call, kwargs);
    return optional_reply(without_gil([&]() -> std::optional<std::string> {
        if (call == OrderCall::place) return self.place_order(params);
        return self.cancel_order(params);
    }));
}

// A REST query: the exchange's reply, always.
template <OrderCall call>
py::str query_call(BaseExchangeConnector& self, const py::kwargs& kwargs) {
    const ParamMap params = checked_keywords(self, call, kwargs);
    return reply_text(without_gil([&] {
        return call == OrderCall::query ? self.query_order(params) : self.open_orders(params);
    }));
}

std::optional<py::str> batch_orders(BaseExchangeConnector& self, const py::kwargs& kwargs) {
    const BatchKeywords batch = batch_keywords(self, OrderCall::place, kwargs);
    return optional_reply(
        without_gil([&] { return self.batch_orders(batch.params, batch.orders); }));
}

// OKX's calls of its own; their replies arrive on the stream.
template <void (OkxConnector::*op)(const ParamMap&, const std::vector<ParamMap>&), OrderCall item>
void okx_batch(OkxConnector& self, const py::kwargs& kwargs) {
    const BatchKeywords batch = batch_keywords(self, item, kwargs);
    without_gil([&] { (self.*op)(batch.params, batch.orders); });
}

void okx_amend(OkxConnector& self, const py::kwargs& kwargs) {
    const ParamMap params = checked_keywords(self, OrderCall::amend, kwargs);
    without_gil([&] { self.amend_order(params); });
}

py::tuple okx_settle_order(OkxConnector& self, const std::string& ord_id) {
    using Kind = okx::RelistedOrders::Settled::Kind;
    const auto settled = without_gil([&] { return self.settle_order(ord_id); });
    const char* kind = settled.kind == Kind::resent    ? "resent"
                       : settled.kind == Kind::refused ? "refused"
                                                       : "none";
    return py::make_tuple(kind, reply_text(settled.refusal));
}

py::str okx_cancel_all_after(OkxConnector& self, int seconds) {
    return reply_text(without_gil([&] { return self.cancel_all_after(seconds); }));
}

py::str mexc_cancel_all(MexcConnector& self, const py::kwargs& kwargs) {
    const ParamMap params = checked_keywords(self, OrderCall::cancel_all, kwargs);
    return reply_text(without_gil([&] { return self.cancel_all_orders(params); }));
}

// An int of 0 or more; bool and None are refused rather than taken as 1, 0 or "no bound".
void limit_queue(BaseExchangeConnector& self, const py::object& max_bytes) {
    if (!PyLong_Check(max_bytes.ptr()) || PyBool_Check(max_bytes.ptr())) {
        throw py::type_error("max_bytes must be an int, not " +
                             std::string(Py_TYPE(max_bytes.ptr())->tp_name));
    }
    const auto bytes = max_bytes.cast<py::int_>();
    if (bytes < py::int_(0)) throw py::value_error("max_bytes must be 0 or more");
    self.limit_queue(py::cast<std::size_t>(bytes));
}

py::dict stats_of(BaseExchangeConnector& self) {
    const auto s = without_gil([&] { return self.stats(); });
    py::dict out;
    out["queued_messages"] = s.queue.queued_messages;
    out["queued_bytes"] = s.queue.queued_bytes;
    out["max_queued_bytes"] = s.queue.max_queued_bytes;
    out["received_messages"] = s.queue.received_messages;
    out["received_bytes"] = s.queue.received_bytes;
    out["connections"] = s.connections;
    out["connected"] = s.connected;
    out["last_receive_ns"] =
        s.queue.received_messages > 0 ? py::object(py::int_(s.queue.last_receive_ns)) : py::none();
    out["last_error"] = s.last_error ? py::object(py::str(*s.last_error)) : py::none();
    out["pings_sent"] = s.pings_sent;
    out["paused"] = s.queue.paused;
    out["gaps"] = s.gaps;
    out["clock_offset_ms"] =
        s.clock_offset_ms ? py::object(py::int_(*s.clock_offset_ms)) : py::none();
    out["reading_past_bound"] = s.queue.past_bound;
    out["queue_overruns"] = s.queue.overruns;
    py::list books;
    for (const auto& book : s.books)
        books.append(book_stats(book.key, book.status));
    out["books"] = books;
    return out;
}

template <typename Connector>
py::class_<Connector, BaseExchangeConnector, ConnectorHolder<Connector>> bind_connector(
    py::module_& m, const char* name, const char* doc) {
    py::class_<Connector, BaseExchangeConnector, ConnectorHolder<Connector>> cls(m, name, doc);
    cls.def(py::init<>(), doc::kPublicInit)
        .def(py::init<std::string, std::string, std::string>(), doc::kPrivateInit);
    return cls;
}

}  // namespace

BaseClass bind_base_connector(py::module_& m) {
    BaseClass base(m, "BaseExchangeConnector", doc::kBase);
    base.def(
            "connect",
            [](BaseExchangeConnector& self, const std::string& url) {
                without_gil([&] { self.connect(url); });
            },
            py::arg("url"), doc::kConnect)
        .def(
            "disconnect",
            [](BaseExchangeConnector& self) { without_gil([&] { self.disconnect(); }); },
            doc::kDisconnect)
        .def("subscribe", &subscription_call<&BaseExchangeConnector::subscribe>)
        .def("unsubscribe", &subscription_call<&BaseExchangeConnector::unsubscribe>)
        .def("place_order", &order_call<OrderCall::place>)
        .def("cancel_order", &order_call<OrderCall::cancel>)
        .def("query_order", &query_call<OrderCall::query>)
        .def_property("rest_url", &BaseExchangeConnector::rest_url,
                      &BaseExchangeConnector::set_rest_url)
        .def_property(
            "max_connection_age", &BaseExchangeConnector::max_connection_age,
            [](BaseExchangeConnector& self, std::optional<double> seconds) {
                without_gil([&] { self.set_max_connection_age(seconds); });
            },
            R"doc(
Seconds after which a connection is replaced by a new one without a gap (make before break), or
None for no limit. Default: None for OKX, 23.5 hours for MEXC (which closes connections after
24 hours).)doc")
        .def("stats", &stats_of, R"doc(
What the connector has counted, read without holding up its connection: queued_messages and
queued_bytes (waiting for a reader now), max_queued_bytes (the most ever queued),
received_messages and received_bytes (since the connector was made), connections (opened so
far), connected, last_receive_ns (time.time_ns() of the last message, None before the first),
last_error (the last failure's reason, None if none), pings_sent, paused (reading stopped by
limit_queue), gaps (breaks in the exchanges' order-book sequences, each also an Event of kind
"gap"), clock_offset_ms (the exchange's clock minus this machine's as last measured by a
private connector, None before), reading_past_bound (an OKX stream held back for 20 s reads on
past limit_queue, within its margin), queue_overruns (connections closed because the reader fell
behind by limit_queue and its margin).)doc")
        .def("limit_queue", &limit_queue, py::arg("max_bytes"), R"doc(
Above max_bytes of queued payload the connection stops reading its socket (TCP pushes back on
the exchange) and reads again below half; nothing is dropped. 0, the default: no bound. During a
switch-over the old connection reads past the bound until it has delivered everything; an OKX
stream held back for 20 s reads on past it, so that OKX's notice of a close is not missed. Past
the bound plus a margin (the bound again, at least 16 MiB) nothing more is kept: reading stops
for good and the connection is closed (1008, its close event giving the reason).)doc");
    return base;
}

// Registered after the iterators: the names before it keep the order programs know.
void bind_keepalive(BaseClass& base) {
    base.def(
        "set_keepalive",
        [](BaseExchangeConnector& self, std::optional<double> ping_interval,
           std::optional<double> ping_timeout) {
            without_gil([&] { self.set_keepalive(ping_interval, ping_timeout); });
        },
        py::arg("ping_interval"), py::arg("ping_timeout"), R"doc(
The keep-alive from the next connect() on, in seconds: a ping (OKX: text "ping" after
ping_interval without any message; MEXC: {"method":"PING"} every ping_interval), and the
connection closed as dead when nothing arrives within ping_timeout of a ping. None turns each
off (no ping: no time-out either). ValueError for 0, a negative number or NaN; a huge one means
as long as can be waited. Without it: OKX pings after 25 s of silence and closes after 35 s,
MEXC pings every 30 s and closes after 70 s of silence.)doc");
}

void bind_okx_connector(py::module_& m) {
    bind_connector<OkxConnector>(m, "OkxConnector", doc::kOkx)
        .def(
            "load_instruments",
            [](OkxConnector& self, const std::string& inst_type, const std::string& inst_family) {
                return without_gil([&] { return self.load_instruments(inst_type, inst_family); });
            },
            py::arg("inst_type"), py::arg("inst_family") = "", R"doc(
Caches the instIdCode of every instrument of inst_type ("SPOT", "MARGIN", "SWAP", "FUTURES";
"OPTION" with its inst_family, such as "BTC-USD") in one REST request, so that no order on them
waits for a lookup. Returns how many came. Raises RequestRefused or RequestNotSent like a
lookup.)doc")
        .def(
            "instrument_code",
            [](OkxConnector& self, const std::string& inst_id) {
                return without_gil([&] { return self.instrument_code(inst_id); });
            },
            py::arg("inst_id"), R"doc(
The instIdCode of inst_id ("BTC-USDT"): cached, else fetched over REST (caching every code of
its type) as an order on it would fetch it, so that a later order call on it sends at once.
Raises RequestRefused or RequestNotSent like a lookup.)doc")
        .def("batch_orders", &batch_orders, doc::kBatchOrders)
        .def("open_orders", &query_call<OrderCall::open_orders>, doc::kOpenOrders)
        .def("amend_order", &okx_amend, doc::kAmendOrder)
        .def("batch_cancel_orders",
             &okx_batch<&OkxConnector::batch_cancel_orders, OrderCall::cancel>,
             doc::kBatchCancelOrders)
        .def("batch_amend_orders", &okx_batch<&OkxConnector::batch_amend_orders, OrderCall::amend>,
             doc::kBatchAmendOrders)
        .def("cancel_all_after", &okx_cancel_all_after, py::arg("seconds"),
             doc::kCancelAllAfter)
        .def("settle_order", &okx_settle_order, py::arg("ord_id"), doc::kSettleOrder);
}

void bind_mexc_connector(py::module_& m) {
    bind_connector<MexcConnector>(m, "MexcConnector", doc::kMexc)
        .def("batch_orders", &batch_orders, doc::kBatchOrders)
        .def("open_orders", &query_call<OrderCall::open_orders>, doc::kOpenOrders)
        .def("cancel_all_orders", &mexc_cancel_all, doc::kCancelAllOrders);
}

void register_exit_hook() {
    // Held by the atexit module only, so the module gains no attribute. Lines still queued for
    // a slow stream are written before the interpreter goes.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        without_gil([] {
            LiveConnectors::disconnect_all();
            flush_output();
        });
        set_sink(nullptr);  // a Python sink goes while Python can still take it
        without_gil(flush_output);
    }));
}

}  // namespace corvane
