// A core file in no layer.
#include "core/text/output.hpp"
