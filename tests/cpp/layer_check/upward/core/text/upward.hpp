#pragma once
// Text reaching up into the stream layer.
#include "core/stream/session.hpp"
