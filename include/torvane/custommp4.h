/* custommp4: reader of the recorder's .ifv recordings.
 *
 * custommp4_open() checks the four header objects and the segment chain, then
 * custommp4_read_one_media_frame() hands out the frames one by one in time order (video
 * first on equal time stamps). Diagnostics go to standard output. */
#ifndef TORVANE_CUSTOMMP4_H
#define TORVANE_CUSTOMMP4_H

#include <stdint.h>

#include "torvane/export.h"

TORVANE_EXTERN_C_BEGIN

/* Size of the frame buffer that callers pass (and that source_read_frame requires). */
#define CUSTOMMP4_FRAME_BUFFER_SIZE 0x40000
/* Largest frame that source_next_frame hands out: key frames of HD and 4K cameras pass the
 * frame buffer's size by far. */
#define CUSTOMMP4_MAX_FRAME_SIZE 0x4000000

typedef struct custommp4_handle custommp4_handle;

/* Opens the recording that begins at byte `offset` of the file (`path` in UTF-8 on every
 * system, Windows included). Null on any failure; errno then holds the system's error (the
 * file could not be opened or read, memory was refused), or 0 when the file's content was
 * refused. */
TORVANE_API custommp4_handle* custommp4_open(const char* path, uint32_t offset);
/* Both release the handle and return 1. */
TORVANE_API int custommp4_close(custommp4_handle* handle);
TORVANE_API int custommp4_destroy(custommp4_handle* handle);

/* Frame length (> 0); 0 at the real end or on a short read; -1 for a frame that is refused
 * or a segment whose index cannot be loaded (the reader moves past it, so the next call goes
 * on with the next frame). Empty segments are passed over within one call. */
TORVANE_API int32_t custommp4_read_one_media_frame(custommp4_handle* handle, uint8_t* buffer,
                                                   int32_t buffer_length, uint32_t* time_stamp,
                                                   uint8_t* key_flag, uint8_t* is_audio);
/* Reads `length` bytes at the handle's logical position; 1 when the whole block was read. */
TORVANE_API int custommp4_read_data(custommp4_handle* handle, void* destination, uint32_t length);

TORVANE_API int custommp4_has_audio(const custommp4_handle* handle);
TORVANE_API uint32_t custommp4_get_duration(const custommp4_handle* handle);
TORVANE_API uint32_t custommp4_get_video_frame_count(const custommp4_handle* handle);
TORVANE_API uint32_t custommp4_get_audio_frame_count(const custommp4_handle* handle);
TORVANE_API uint16_t custommp4_get_width(const custommp4_handle* handle);
TORVANE_API uint16_t custommp4_get_height(const custommp4_handle* handle);
TORVANE_API uint16_t custommp4_get_audio_bits(const custommp4_handle* handle);
TORVANE_API uint32_t custommp4_get_audio_rate(const custommp4_handle* handle);
/* Audio format fourcc, first character in the lowest byte. */
TORVANE_API uint32_t custommp4_get_audio_format(const custommp4_handle* handle);

/* Further queries for tools that describe a recording. */
TORVANE_API uint32_t custommp4_get_audio_frame_length(const custommp4_handle* handle);
TORVANE_API uint32_t custommp4_get_segment_count(const custommp4_handle* handle);
TORVANE_API uint32_t custommp4_get_start_time(const custommp4_handle* handle);
TORVANE_API uint32_t custommp4_get_end_time(const custommp4_handle* handle);
TORVANE_API uint32_t custommp4_get_recording_length(const custommp4_handle* handle);
/* Segments that the mdat object announces; custommp4_get_segment_count gives those found. */
TORVANE_API uint32_t custommp4_get_announced_segment_count(const custommp4_handle* handle);
/* Frame rate stored in the video stream properties (frames per second, may be anything). */
TORVANE_API float custommp4_get_stored_frame_rate(const custommp4_handle* handle);
/* errno of the first failure of the system since the open (a read error, or memory
 * refused for an index table); 0 when every failure so far came from the file's content. A
 * frame read that returns 0 or -1 after this became nonzero did not end the recording. */
TORVANE_API int custommp4_get_system_error(const custommp4_handle* handle);

TORVANE_EXTERN_C_END

#endif
