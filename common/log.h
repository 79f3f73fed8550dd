// The core's diagnostics, one line per call, to the sink chosen with torvane_set_log.
#pragma once

#include "torvane/log.h"

namespace tv {

// Formats one line (a trailing newline is optional and not passed on) and hands it to the sink.
void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tv
