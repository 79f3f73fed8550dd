#include "common/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace {

void to_stdout(void*, const char* line) {
    // One call, so lines from several threads never interleave.
    std::printf("%s\n", line);
}

// Lines are logged under the shared lock, so a new sink waits for calls of the old one to end.
std::shared_mutex g_lock;
torvane_log_fn g_sink = to_stdout;
void* g_user = nullptr;
thread_local int t_muted = 0;

}  // namespace

extern "C" void torvane_set_log(torvane_log_fn fn, void* user) {
    std::unique_lock lock(g_lock);
    g_sink = fn ? fn : to_stdout;
    g_user = fn ? user : nullptr;
}

extern "C" void torvane_log_discard(void*, const char*) {}

namespace tv {

LogMute::LogMute() {
    ++t_muted;
}
LogMute::~LogMute() {
    --t_muted;
}

void logf(const char* format, ...) {
    if (t_muted > 0) return;
    char small[256];
    std::string large;
    char* line = small;
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    if (length >= static_cast<int>(sizeof small)) {
        large.resize(static_cast<size_t>(length));
        line = large.data();
        std::vsnprintf(line, large.size() + 1, format, again);
    }
    va_end(again);
    va_end(args);
    if (length < 0) return;
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';

    std::shared_lock lock(g_lock);
    g_sink(g_user, line);
}

}  // namespace tv
