#include <gtest/gtest.h>

#include <stdexcept>

#include "okx/okx_connector.hpp"

namespace corvane {
namespace {

std::string missing_message(BaseExchangeConnector& c, const ParamMap& params,
                            const std::vector<std::string>& required) {
    try {
        c.require_params(params, required);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

TEST(RequireParams, FirstMissingKeywordInListOrderWins) {
    OkxConnector c;
    EXPECT_EQ(missing_message(c, {}, {"channel", "inst_id"}),
              "Missing required parameter: channel");
    EXPECT_EQ(missing_message(c, {{"channel", "x"}}, {"channel", "inst_id"}),
              "Missing required parameter: inst_id");
    EXPECT_EQ(missing_message(c, {{"inst_id", "x"}}, {"channel", "inst_id"}),
              "Missing required parameter: channel");
}

TEST(RequireParams, EmptyValuesCountAsPresent) {
    OkxConnector c;
    EXPECT_EQ(missing_message(c, {{"channel", ""}, {"inst_id", ""}}, {"channel", "inst_id"}), "");
}

TEST(Connector, FreshConnectorHasNothingToReadOrJoin) {
    OkxConnector c;
    EXPECT_FALSE(c.is_running());
    EXPECT_FALSE(c.is_connected());
    EXPECT_THROW(c.take(std::chrono::milliseconds(0)), std::runtime_error);
    c.disconnect();
    c.disconnect();
}

}  // namespace
}  // namespace corvane
