#pragma once
// BaseExchangeConnector: the interface Python calls, plus the inbound queue every exchange fills
// and every reader drains.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/inbound_queue.hpp"
#include "core/param_map.hpp"

namespace corvane {

class BaseExchangeConnector {
public:
    BaseExchangeConnector() = default;
    BaseExchangeConnector(const BaseExchangeConnector&) = delete;
    BaseExchangeConnector& operator=(const BaseExchangeConnector&) = delete;
    virtual ~BaseExchangeConnector() = default;

    virtual void connect(const std::string& url) = 0;
    virtual void disconnect() = 0;
    virtual void subscribe(const ParamMap& params) = 0;
    virtual void unsubscribe(const ParamMap& params) = 0;
    // The exchange's reply when the call itself carries it (MEXC, over REST); nullopt when the
    // reply arrives on the stream instead (OKX).
    virtual std::optional<std::string> place_order(const ParamMap& params) = 0;
    virtual std::optional<std::string> cancel_order(const ParamMap& params) = 0;

    // Throws std::invalid_argument naming the first keyword of `required` that is absent.
    void require_params(const ParamMap& params, const std::vector<std::string>& required) const;

    // The readers' side of the inbound queue (see inbound_queue.hpp).
    std::optional<InboundMessage> take(std::chrono::milliseconds max_wait) {
        return inbound.take(max_wait);
    }
    std::optional<InboundMessage> try_take() { return inbound.try_take(); }
    void give_back(std::string&& payload) { inbound.give_back(std::move(payload)); }
    InboundQueue& queue() { return inbound; }

protected:
    InboundQueue inbound;
};

}  // namespace corvane
