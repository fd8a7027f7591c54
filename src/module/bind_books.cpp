// Bindings of the tracked order books: the Book class and track_book / untrack_book. A read
// takes the book's lock with the GIL held: the lock is held only for a copy or one push's
// apply, and the thread that applies never takes the GIL.

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>

#include "core/book/book_sync.hpp"
#include "core/book/kept_book.hpp"
#include "module/bindings.hpp"
#include "module/level_objects.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

using book::KeptBook;
using book::Side;

// None: every level; otherwise at least 1.
std::size_t depth_of(const py::object& depth) {
    if (depth.is_none()) return 0;
    if (!PyLong_Check(depth.ptr()) || PyBool_Check(depth.ptr())) {
        throw py::type_error("depth must be an int or None");
    }
    const auto n = depth.cast<long long>();
    if (n < 1) throw py::value_error("depth must be 1 or more, or None for every level");
    return static_cast<std::size_t>(n);
}

py::dict resyncs_of(const book::BookStatus& status) {
    py::dict out;
    for (std::size_t i = 0; i < status.resyncs.size(); ++i)
        out[book::resync_reason_text(static_cast<book::ResyncReason>(i))] = status.resyncs[i];
    return out;
}

}  // namespace

py::dict book_stats(const book::BookKey& key, const book::BookStatus& status) {
    py::dict out;
    out["channel"] = key.channel;
    out["instrument"] = key.instrument;
    out["synced"] = status.synced;
    out["seq"] = status.seq;
    out["applied"] = status.applied;
    out["resyncs"] = resyncs_of(status);
    return out;
}

void bind_books(py::module_& m, BaseClass& base) {
    py::class_<KeptBook, std::shared_ptr<KeptBook>>(m, "Book", R"doc(
An order book kept by the connector on its connection's thread (track_book). Reads are
consistent copies: never a half-applied push. A book out of sync (before its first sync, and
from a resync until the next) shows no levels.)doc")
        .def_property_readonly("channel", [](const KeptBook& self) { return self.key.channel; })
        .def_property_readonly("instrument",
                               [](const KeptBook& self) { return self.key.instrument; })
        .def(
            "bids",
            [](const KeptBook& self, const py::object& depth) {
                return level_list(self.top(Side::bid, depth_of(depth)));
            },
            py::arg("depth") = py::none(),
            "The best `depth` bids (all for None), highest first: [(price, size)] as Decimal.")
        .def(
            "asks",
            [](const KeptBook& self, const py::object& depth) {
                return level_list(self.top(Side::ask, depth_of(depth)));
            },
            py::arg("depth") = py::none(),
            "The best `depth` asks (all for None), lowest first: [(price, size)] as Decimal.")
        .def(
            "best_bid", [](const KeptBook& self) { return level_pair(self.best(Side::bid)); },
            "The best bid as (price, size), or None.")
        .def(
            "best_ask", [](const KeptBook& self) { return level_pair(self.best(Side::ask)); },
            "The best ask as (price, size), or None.")
        .def_property_readonly(
            "synced", [](const KeptBook& self) { return self.status().synced; },
            "Whether the book is in step with the exchange's.")
        .def_property_readonly(
            "seq", [](const KeptBook& self) { return self.status().seq; },
            "The exchange's sequence of the last push applied (OKX seqId, MEXC version).")
        .def_property_readonly(
            "ts", [](const KeptBook& self) { return self.status().ts; },
            "The exchange's time (ms) of the last push applied; 0 when it gave none.")
        .def_property_readonly(
            "applied", [](const KeptBook& self) { return self.status().applied; },
            "Pushes and snapshots applied since the book was tracked.")
        .def_property_readonly(
            "resyncs", [](const KeptBook& self) { return resyncs_of(self.status()); },
            "Resyncs by reason: start, gap, reconnect, crossed, snapshot_failed.")
        .def_property_readonly(
            "version", &KeptBook::version,
            "A number that changes whenever the levels or the sync change.")
        .def_property_readonly(
            "memory_bytes", [](const KeptBook& self) { return self.status().memory_bytes; },
            "Bytes the book's levels take.");

    base.def(
            "track_book",
            [](BaseExchangeConnector& self, const std::string& channel,
               const std::string& instrument, bool deliver) {
                return without_gil([&] { return self.track_book(channel, instrument, deliver); });
            },
            py::arg("channel"), py::arg("instrument"), py::arg("deliver") = false, R"doc(
Keeps the order book of channel and instrument on the connection's thread, from its next push
on, before or after connect(), and returns it (a Book); tracking it again returns the same Book.
OKX: channel books, books-l2-tbt, books50-l2-tbt (synced from the REST snapshot, or from a
snapshot push when the exchange sends one), books5 or bbo-tbt (a whole book each push);
instrument the instId. MEXC: channel the stream as pushed,
spot@public.aggre.depth.v3.api.pb@100ms@SYMBOL (or @10ms; synced from GET /api/v3/depth) or
spot@public.limit.depth.v3.api.pb@SYMBOL@5 (10, 20); instrument the symbol. Subscribing is the
caller's. The book's pushes reach the iterators only when deliver is True; with meta=True the
iterators give Events of kind "book_resync" (reason start, gap, reconnect, crossed or
snapshot_failed) and "book_synced". ValueError for any other channel.)doc")
        .def(
            "untrack_book",
            [](BaseExchangeConnector& self, const std::string& channel,
               const std::string& instrument) {
                return without_gil([&] { return self.untrack_book(channel, instrument); });
            },
            py::arg("channel"), py::arg("instrument"),
            "Stops keeping the book; its pushes reach the iterators again. False if not tracked.");
}

}  // namespace corvane
