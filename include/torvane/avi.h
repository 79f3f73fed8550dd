/* AVI writer: one video stream and up to eight audio tracks, a legacy "idx1" index, and
 * OpenDML indexes with further "AVIX" RIFF segments past AVI_SEGMENT_THRESHOLD bytes (or the
 * size set with AVI_set_segment_size).
 * Operations return 0 (a record for creation) or -1 (null) and leave a code that
 * AVI_get_last_error returns. */
#ifndef TORVANE_AVI_H
#define TORVANE_AVI_H

#include <stdint.h>

#include "torvane/export.h"

TORVANE_EXTERN_C_BEGIN

#define AVI_HEADER_SPACE 2048
#define AVI_TRACK_LIMIT 8
#define AVI_MAX_SEGMENTS 32
#define AVI_SEGMENT_THRESHOLD 1992294400LL
#define AVI_MIN_SEGMENT_SIZE 8192LL
#define AVI_PROVISIONAL_SIZE 0xFEFFF003u

/* Error codes, indexes into AVI_error_messages. */
#define AVI_ERR_NONE 0
#define AVI_ERR_SIZELIM 1
#define AVI_ERR_OPEN 2
#define AVI_ERR_READ 3
#define AVI_ERR_WRITE 4
#define AVI_ERR_WRITE_INDEX 5
#define AVI_ERR_CLOSE 6
#define AVI_ERR_NOT_PERM 7
#define AVI_ERR_NO_MEM 8
#define AVI_ERR_NO_AVI 9
#define AVI_ERR_NO_HDRL 10
#define AVI_ERR_NO_MOVI 11
#define AVI_ERR_NO_VIDS 12
#define AVI_ERR_NO_IDX 13
#define AVI_ERR_UNKNOWN 14

typedef struct AviFile AviFile;

/* Code of the last failure. Each thread has its own, so parallel conversions do not race. */
TORVANE_API int32_t AVI_get_last_error(void);
#if !defined(_WIN32) || defined(TORVANE_STATIC)
/* The same code as a variable, for C callers that read or clear it directly. Not offered across
 * a Windows DLL: thread-local data cannot be imported there (MSVC refuses it). */
TORVANE_API extern TORVANE_THREAD_LOCAL int32_t AVI_last_error;
#endif
TORVANE_API extern const char* const AVI_error_messages[15];

/* Creates (or empties) the AVI file at `path`, UTF-8 on every system. */
TORVANE_API AviFile* AVI_create_output(const char* path);
TORVANE_API int AVI_describe_video(AviFile* file, int32_t width, int32_t height, double fps,
                                   const char* compressor);
TORVANE_API int AVI_describe_audio(AviFile* file, int32_t channels, int32_t sample_rate,
                                   int32_t bits_per_sample, int32_t format_tag,
                                   int32_t bitrate_kbps);
TORVANE_API int AVI_put_video_frame(AviFile* file, const uint8_t* data, int32_t length,
                                    int32_t key_flag);
TORVANE_API int AVI_put_audio(AviFile* file, const uint8_t* data, int32_t length);
TORVANE_API int AVI_finish(AviFile* file);

/* Size of the RIFF segments in bytes: segment n ends before n + 1 times it from the file's
 * start, and a chunk that would carry it (with its indexes) further begins segment n + 1.
 * 0 means AVI_SEGMENT_THRESHOLD, which is also the largest size (the first segment's sizes
 * and "idx1" offsets are 32-bit fields that players read as signed); the smallest is
 * AVI_MIN_SEGMENT_SIZE, room for the header, the indexes and a few chunks. Only before the
 * first chunk is put; otherwise, or for a size out of these bounds, -1 with code
 * AVI_ERR_NOT_PERM and the size unchanged. */
TORVANE_API int AVI_set_segment_size(AviFile* file, int64_t bytes);

/* Output buffering, off by default. With a buffer of `size` bytes (0: off), data chunks are
 * gathered and written in large blocks; the file's bytes are the same either way. A put whose
 * chunk does not fit writes the buffer first; when that write fails, the put fails (code
 * AVI_ERR_WRITE) and every buffered chunk that did not reach the file whole is taken back, as
 * if it had never been put: the file continues after the last chunk that is in it. Pending
 * chunks are written before switching segments and when finishing. */
TORVANE_API int AVI_set_write_buffer(AviFile* file, int32_t size);
/* Writes the buffered chunks now (taking them back on failure, as above). */
TORVANE_API int AVI_flush(AviFile* file);
/* Writing behind, off by default; it needs a buffer. On, a buffer that must be written to make
 * room (a put whose chunk does not fit, AVI_make_room) is handed to a second thread, and the
 * next chunks gather meanwhile in a second buffer of the same size; the file's bytes are the
 * same. A failure of that write fails the next call that waits for it (a put that makes room
 * or goes straight to the file, AVI_make_room, AVI_flush, a description, switching segments,
 * finishing, turning it off): the chunks that did not reach the file whole are taken back,
 * with every chunk put after them. */
TORVANE_API int AVI_set_write_behind(AviFile* file, int on);
/* Empties the buffer for the next chunks: hands its chunks to the second thread when writing
 * behind, else writes them now (as AVI_flush). */
TORVANE_API int AVI_make_room(AviFile* file);
/* Free space of the output buffer, where the next chunk's data would go: null (and *room 0)
 * without a buffer or without room for a byte. A caller may build the data of its next chunk
 * there, at most *room bytes, and pass that pointer to the put, which then copies nothing.
 * Any call on the record other than this one may reuse the space. */
TORVANE_API uint8_t* AVI_chunk_space(AviFile* file, int32_t* room);
/* Data chunks (video frames and audio chunks) that are in the file: those still buffered and
 * those taken back are not counted. -1 for no record. */
TORVANE_API int64_t AVI_chunks_in_file(const AviFile* file);

TORVANE_EXTERN_C_END

#endif
