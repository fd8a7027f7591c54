// Core reaching into exchange code.
#include "okx/okx_connector.hpp"
