// Exchange code reaching websocketpp through the feed.
#include "core/stream/feed.hpp"
