// Bindings of the tracked order books: the Book type (book_object.hpp), track_book and
// untrack_book, and a book's line in stats().

#include <pybind11/pybind11.h>

#include "core/book/book_sync.hpp"
#include "core/book/kept_book.hpp"
#include "module/bindings.hpp"
#include "module/book_object.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

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
    bind_book_type(m);
    base.def(
            "track_book",
            [](BaseExchangeConnector& self, const std::string& channel,
               const std::string& instrument, bool deliver) {
                return new_book(
                    without_gil([&] { return self.track_book(channel, instrument, deliver); }));
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
