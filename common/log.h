// The core's diagnostics, one line per call, to the sink chosen with torvane_set_log.
#pragma once

#include "torvane/log.h"

namespace tv {

// Formats one line (a trailing newline is optional and not passed on) and hands it to the sink.
void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While one lives, lines logged on its thread are dropped: for reading again what was read and
// told once already.
class LogMute {
  public:
    LogMute();
    ~LogMute();
    LogMute(const LogMute&) = delete;
    LogMute& operator=(const LogMute&) = delete;
};

}  // namespace tv
