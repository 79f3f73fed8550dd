/* Symbol visibility of the public C interface of libtorvane. */
#ifndef TORVANE_EXPORT_H
#define TORVANE_EXPORT_H

#if defined(TORVANE_STATIC)
/* Linked into the program: nothing to export or import. */
#define TORVANE_API
#elif defined(_WIN32)
#if defined(TORVANE_BUILDING_LIBRARY)
#define TORVANE_API __declspec(dllexport)
#else
#define TORVANE_API __declspec(dllimport)
#endif
#else
#define TORVANE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define TORVANE_EXTERN_C_BEGIN extern "C" {
#define TORVANE_EXTERN_C_END }
#else
#define TORVANE_EXTERN_C_BEGIN
#define TORVANE_EXTERN_C_END
#endif

#ifdef __cplusplus
#define TORVANE_THREAD_LOCAL thread_local
#else
#define TORVANE_THREAD_LOCAL _Thread_local
#endif

#endif
