/* Where the library's diagnostics go. The recording reader and the AVI writer report what they
 * refuse or fail at as single lines of text; by default each line is printed on standard
 * output. A program may send them elsewhere or drop them. The setting is process-wide. */
#ifndef TORVANE_LOG_H
#define TORVANE_LOG_H

#include "torvane/export.h"

TORVANE_EXTERN_C_BEGIN

/* Receives one whole diagnostic line per call, without its trailing newline. Conversions in
 * several threads may call it at the same time. It must not call torvane_set_log. */
typedef void (*torvane_log_fn)(void* user, const char* line);

/* Sends every later diagnostic line to fn, with user as its first argument; a null fn restores
 * the default (standard output). Safe to call while other threads are working: once it
 * returns, the previous sink is no longer called. */
TORVANE_API void torvane_set_log(torvane_log_fn fn, void* user);

/* A sink that drops every line: torvane_set_log(torvane_log_discard, NULL) silences the
 * library. */
TORVANE_API void torvane_log_discard(void* user, const char* line);

TORVANE_EXTERN_C_END

#endif
