// Hand-off ceiling: a connector whose queue a C++ thread has filled with ready payloads before
// the same Python loop as a real connection reads it (for m in connector.wsrun()). It measures
// the take and the str alone: no network, no TLS, no producer competing for the cores.

#include <pybind11/pybind11.h>

#include <thread>

#include "core/connector/base_connector.hpp"
#include "module/bindings.hpp"
#include "payload.hpp"

namespace py = pybind11;

namespace corvane::bench {

class FeedConnector final : public BaseExchangeConnector {
public:
    ~FeedConnector() override { stop(); }

    // Queues `count` stamped ASCII payloads of `size` bytes on a C++ thread and returns when
    // they are all queued; the stream then ends, so the reader drains them and stops.
    void fill(std::size_t size, std::uint64_t count) {
        stop();
        inbound.open_stream();
        feeder = std::thread([this, size, count] {
            const PayloadTemplate payload(size);
            for (std::uint64_t seq = 1; seq <= count; ++seq) {
                InboundMessage message;
                message.payload.assign(payload.text.size(), '\0');
                payload.stamp(message.payload.data(), seq, 0);
                message.ascii = true;
                if (inbound.push(std::move(message))) inbound.wake();
            }
            inbound.end_stream();
        });
        stop();
    }

    void connect(const std::string&) override {}
    void disconnect() override { stop(); }
    void subscribe(const ParamMap&) override {}
    void unsubscribe(const ParamMap&) override {}
    std::optional<std::string> place_order(const ParamMap&) override { return {}; }
    std::optional<std::string> cancel_order(const ParamMap&) override { return {}; }
    std::string query_order(const ParamMap&) override { return {}; }
    std::optional<std::string> batch_orders(const ParamMap&, const std::vector<ParamMap>&) override {
        return {};
    }
    std::string open_orders(const ParamMap&) override { return {}; }
    std::string rest_url() const override { return {}; }
    void set_rest_url(const std::string&) override {}
    std::optional<double> max_connection_age() const override { return {}; }
    void set_max_connection_age(std::optional<double>) override {}
    Stats stats() override { return Stats{inbound.counts()}; }

private:
    const std::vector<std::string>& keywords_of(OrderCall) const override {
        static const std::vector<std::string> none;
        return none;
    }
    bool has_credentials() const override { return false; }
    const char* private_constructor() const override { return ""; }
    void stop() {
        if (feeder.joinable()) feeder.join();
    }

    std::thread feeder;
};

}  // namespace corvane::bench

PYBIND11_MODULE(_bench_handoff, m) {
    py::module_::import("_corvane_ws_module");  // registers BaseExchangeConnector
    using corvane::bench::FeedConnector;
    py::class_<FeedConnector, corvane::BaseExchangeConnector,
               corvane::ConnectorHolder<FeedConnector>>(m, "FeedConnector")
        .def(py::init<>())
        .def("fill", &FeedConnector::fill, py::call_guard<py::gil_scoped_release>());
}
