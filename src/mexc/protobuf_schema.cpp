// The messages of MEXC's websocket-proto (PushDataV3ApiWrapper and its bodies), by field number,
// as published in mexcdevelop/websocket-proto; fields added in 2026 included. Types: "text" for
// proto strings (MEXC sends prices and quantities as decimal text), int32, int64, bool, and
// nested messages.

#include "mexc/protobuf_decoder.hpp"

namespace corvane::mexc {
namespace {

using T = ProtoField::Type;

extern const ProtoMessage kDealItem;
extern const ProtoMessage kAggreDealItem;
extern const ProtoMessage kDepthItem;
extern const ProtoMessage kDeals;
extern const ProtoMessage kAggreDeals;
extern const ProtoMessage kIncreaseDepths;
extern const ProtoMessage kIncreaseDepthsBatch;
extern const ProtoMessage kLimitDepths;
extern const ProtoMessage kAggreDepths;
extern const ProtoMessage kBookTicker;
extern const ProtoMessage kAggreBookTicker;
extern const ProtoMessage kBookTickerBatch;
extern const ProtoMessage kKline;
extern const ProtoMessage kMiniTicker;
extern const ProtoMessage kMiniTickers;
extern const ProtoMessage kPrivateOrders;
extern const ProtoMessage kPrivateDeals;
extern const ProtoMessage kPrivateAccount;
extern const ProtoMessage kWrapper;

const ProtoField kDealItemFields[] = {
    {1, "price", T::text, false, nullptr, 0},
    {2, "quantity", T::text, false, nullptr, 1},
    {3, "tradeType", T::int32, false, nullptr, 2},
    {4, "time", T::int64, false, nullptr, 3},
};
const ProtoMessage kDealItem{kDealItemFields, 4};

const ProtoField kAggreDealItemFields[] = {
    {1, "price", T::text, false, nullptr, 4},      {2, "quantity", T::text, false, nullptr, 5},
    {3, "tradeType", T::int32, false, nullptr, 6}, {4, "time", T::int64, false, nullptr, 7},
    {5, "tradeId", T::text, false, nullptr, 8},
};
const ProtoMessage kAggreDealItem{kAggreDealItemFields, 5};

const ProtoField kDepthItemFields[] = {
    {1, "price", T::text, false, nullptr, 9},
    {2, "quantity", T::text, false, nullptr, 10},
};
const ProtoMessage kDepthItem{kDepthItemFields, 2};

const ProtoField kDealsFields[] = {
    {1, "deals", T::message, true, &kDealItem, 11},
    {2, "eventType", T::text, false, nullptr, 12},
};
const ProtoMessage kDeals{kDealsFields, 2};

const ProtoField kAggreDealsFields[] = {
    {1, "deals", T::message, true, &kAggreDealItem, 13},
    {2, "eventType", T::text, false, nullptr, 14},
};
const ProtoMessage kAggreDeals{kAggreDealsFields, 2};

const ProtoField kIncreaseDepthsFields[] = {
    {1, "asks", T::message, true, &kDepthItem, 15},
    {2, "bids", T::message, true, &kDepthItem, 16},
    {3, "eventType", T::text, false, nullptr, 17},
    {4, "version", T::text, false, nullptr, 18},
};
const ProtoMessage kIncreaseDepths{kIncreaseDepthsFields, 4};

const ProtoField kIncreaseDepthsBatchFields[] = {
    {1, "items", T::message, true, &kIncreaseDepths, 19},
    {2, "eventType", T::text, false, nullptr, 20},
};
const ProtoMessage kIncreaseDepthsBatch{kIncreaseDepthsBatchFields, 2};

const ProtoField kLimitDepthsFields[] = {
    {1, "asks", T::message, true, &kDepthItem, 21},
    {2, "bids", T::message, true, &kDepthItem, 22},
    {3, "eventType", T::text, false, nullptr, 23},
    {4, "version", T::text, false, nullptr, 24},
    {5, "lastOrderCreateTime", T::int64, false, nullptr, 25},
};
const ProtoMessage kLimitDepths{kLimitDepthsFields, 5};

const ProtoField kAggreDepthsFields[] = {
    {1, "asks", T::message, true, &kDepthItem, 26},
    {2, "bids", T::message, true, &kDepthItem, 27},
    {3, "eventType", T::text, false, nullptr, 28},
    {4, "fromVersion", T::text, false, nullptr, 29},
    {5, "toVersion", T::text, false, nullptr, 30},
    {6, "lastOrderCreateTime", T::int64, false, nullptr, 31},
};
const ProtoMessage kAggreDepths{kAggreDepthsFields, 6};

const ProtoField kBookTickerFields[] = {
    {1, "bidPrice", T::text, false, nullptr, 32},
    {2, "bidQuantity", T::text, false, nullptr, 33},
    {3, "askPrice", T::text, false, nullptr, 34},
    {4, "askQuantity", T::text, false, nullptr, 35},
};
const ProtoMessage kBookTicker{kBookTickerFields, 4};

const ProtoField kAggreBookTickerFields[] = {
    {1, "bidPrice", T::text, false, nullptr, 36},
    {2, "bidQuantity", T::text, false, nullptr, 37},
    {3, "askPrice", T::text, false, nullptr, 38},
    {4, "askQuantity", T::text, false, nullptr, 39},
    {5, "version", T::text, false, nullptr, 40},
    {6, "lastOrderCreateTime", T::int64, false, nullptr, 41},
};
const ProtoMessage kAggreBookTicker{kAggreBookTickerFields, 6};

const ProtoField kBookTickerBatchFields[] = {
    {1, "items", T::message, true, &kBookTicker, 42},
    {2, "version", T::text, false, nullptr, 43},
    {3, "lastOrderCreateTime", T::int64, false, nullptr, 44},
};
const ProtoMessage kBookTickerBatch{kBookTickerBatchFields, 3};

const ProtoField kKlineFields[] = {
    {1, "interval", T::text, false, nullptr, 45},
    {2, "windowStart", T::int64, false, nullptr, 46},
    {3, "openingPrice", T::text, false, nullptr, 47},
    {4, "closingPrice", T::text, false, nullptr, 48},
    {5, "highestPrice", T::text, false, nullptr, 49},
    {6, "lowestPrice", T::text, false, nullptr, 50},
    {7, "volume", T::text, false, nullptr, 51},
    {8, "amount", T::text, false, nullptr, 52},
    {9, "windowEnd", T::int64, false, nullptr, 53},
};
const ProtoMessage kKline{kKlineFields, 9};

const ProtoField kMiniTickerFields[] = {
    {1, "symbol", T::text, false, nullptr, 54},
    {2, "price", T::text, false, nullptr, 55},
    {3, "rate", T::text, false, nullptr, 56},
    {4, "zonedRate", T::text, false, nullptr, 57},
    {5, "high", T::text, false, nullptr, 58},
    {6, "low", T::text, false, nullptr, 59},
    {7, "volume", T::text, false, nullptr, 60},
    {8, "quantity", T::text, false, nullptr, 61},
    {9, "lastCloseRate", T::text, false, nullptr, 62},
    {10, "lastCloseZonedRate", T::text, false, nullptr, 63},
    {11, "lastCloseHigh", T::text, false, nullptr, 64},
    {12, "lastCloseLow", T::text, false, nullptr, 65},
};
const ProtoMessage kMiniTicker{kMiniTickerFields, 12};

const ProtoField kMiniTickersFields[] = {
    {1, "items", T::message, true, &kMiniTicker, 66},
};
const ProtoMessage kMiniTickers{kMiniTickersFields, 1};

const ProtoField kPrivateOrdersFields[] = {
    {1, "id", T::text, false, nullptr, 67},
    {2, "clientId", T::text, false, nullptr, 68},
    {3, "price", T::text, false, nullptr, 69},
    {4, "quantity", T::text, false, nullptr, 70},
    {5, "amount", T::text, false, nullptr, 71},
    {6, "avgPrice", T::text, false, nullptr, 72},
    {7, "orderType", T::int32, false, nullptr, 73},
    {8, "tradeType", T::int32, false, nullptr, 74},
    {9, "isMaker", T::boolean, false, nullptr, 75},
    {10, "remainAmount", T::text, false, nullptr, 76},
    {11, "remainQuantity", T::text, false, nullptr, 77},
    {12, "lastDealQuantity", T::text, false, nullptr, 78},
    {13, "cumulativeQuantity", T::text, false, nullptr, 79},
    {14, "cumulativeAmount", T::text, false, nullptr, 80},
    {15, "status", T::int32, false, nullptr, 81},
    {16, "createTime", T::int64, false, nullptr, 82},
    {17, "market", T::text, false, nullptr, 83},
    {18, "triggerType", T::int32, false, nullptr, 84},
    {19, "triggerPrice", T::text, false, nullptr, 85},
    {20, "state", T::int32, false, nullptr, 86},
    {21, "ocoId", T::text, false, nullptr, 87},
    {22, "routeFactor", T::text, false, nullptr, 88},
    {23, "symbolId", T::text, false, nullptr, 89},
    {24, "marketId", T::text, false, nullptr, 90},
    {25, "marketCurrencyId", T::text, false, nullptr, 91},
    {26, "currencyId", T::text, false, nullptr, 92},
};
const ProtoMessage kPrivateOrders{kPrivateOrdersFields, 26};

const ProtoField kPrivateDealsFields[] = {
    {1, "price", T::text, false, nullptr, 93},
    {2, "quantity", T::text, false, nullptr, 94},
    {3, "amount", T::text, false, nullptr, 95},
    {4, "tradeType", T::int32, false, nullptr, 96},
    {5, "isMaker", T::boolean, false, nullptr, 97},
    {6, "isSelfTrade", T::boolean, false, nullptr, 98},
    {7, "tradeId", T::text, false, nullptr, 99},
    {8, "clientOrderId", T::text, false, nullptr, 100},
    {9, "orderId", T::text, false, nullptr, 101},
    {10, "feeAmount", T::text, false, nullptr, 102},
    {11, "feeCurrency", T::text, false, nullptr, 103},
    {12, "time", T::int64, false, nullptr, 104},
};
const ProtoMessage kPrivateDeals{kPrivateDealsFields, 12};

const ProtoField kPrivateAccountFields[] = {
    {1, "vcoinName", T::text, false, nullptr, 105},
    {2, "coinId", T::text, false, nullptr, 106},
    {3, "balanceAmount", T::text, false, nullptr, 107},
    {4, "balanceAmountChange", T::text, false, nullptr, 108},
    {5, "frozenAmount", T::text, false, nullptr, 109},
    {6, "frozenAmountChange", T::text, false, nullptr, 110},
    {7, "type", T::text, false, nullptr, 111},
    {8, "time", T::int64, false, nullptr, 112},
};
const ProtoMessage kPrivateAccount{kPrivateAccountFields, 8};

const ProtoField kWrapperFields[] = {
    {1, "channel", T::text, false, nullptr, 113},
    {3, "symbol", T::text, false, nullptr, 114},
    {4, "symbolId", T::text, false, nullptr, 115},
    {5, "createTime", T::int64, false, nullptr, 116},
    {6, "sendTime", T::int64, false, nullptr, 117},
    {301, "publicDeals", T::message, false, &kDeals, 118},
    {302, "publicIncreaseDepths", T::message, false, &kIncreaseDepths, 119},
    {303, "publicLimitDepths", T::message, false, &kLimitDepths, 120},
    {304, "privateOrders", T::message, false, &kPrivateOrders, 121},
    {305, "publicBookTicker", T::message, false, &kBookTicker, 122},
    {306, "privateDeals", T::message, false, &kPrivateDeals, 123},
    {307, "privateAccount", T::message, false, &kPrivateAccount, 124},
    {308, "publicSpotKline", T::message, false, &kKline, 125},
    {309, "publicMiniTicker", T::message, false, &kMiniTicker, 126},
    {310, "publicMiniTickers", T::message, false, &kMiniTickers, 127},
    {311, "publicBookTickerBatch", T::message, false, &kBookTickerBatch, 128},
    {312, "publicIncreaseDepthsBatch", T::message, false, &kIncreaseDepthsBatch, 129},
    {313, "publicAggreDepths", T::message, false, &kAggreDepths, 130},
    {314, "publicAggreDeals", T::message, false, &kAggreDeals, 131},
    {315, "publicAggreBookTicker", T::message, false, &kAggreBookTicker, 132},
};
const ProtoMessage kWrapper{kWrapperFields, 20};

}  // namespace

const ProtoMessage& push_wrapper() {
    return kWrapper;
}

}  // namespace corvane::mexc
