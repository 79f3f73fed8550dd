/* SourceMedia: one open recording paired with the voice decoder that turns its audio frames
 * into 16-bit PCM. Every operation tolerates a null pointer. */
#ifndef TORVANE_SOURCE_H
#define TORVANE_SOURCE_H

#include <stdint.h>

#include "torvane/export.h"

TORVANE_EXTERN_C_BEGIN

typedef struct SourceMedia SourceMedia;

/* Null on failure, errno set as by custommp4_open. */
TORVANE_API SourceMedia* source_open(const char* path, uint32_t offset);
TORVANE_API void source_close(SourceMedia* media);

TORVANE_API int source_has_audio(const SourceMedia* media);
TORVANE_API uint32_t source_duration(const SourceMedia* media);
TORVANE_API uint32_t source_video_frame_count(const SourceMedia* media);
TORVANE_API uint32_t source_audio_frame_count(const SourceMedia* media);
TORVANE_API uint32_t source_width(const SourceMedia* media);
TORVANE_API uint32_t source_height(const SourceMedia* media);
TORVANE_API uint16_t source_audio_bits(const SourceMedia* media);
/* Bits per sample of the PCM that source_next_frame hands out: 16 for voice frames, the
 * recording's own for raw PCM. */
TORVANE_API uint16_t source_pcm_bits(const SourceMedia* media);
TORVANE_API uint32_t source_audio_rate(const SourceMedia* media);
/* Frame rate that the recorder stored in the video stream properties; 0 if not a live object. */
TORVANE_API double source_stored_frame_rate(const SourceMedia* media);

/* The buffer must hold 0x40000 bytes. Frame length; 0 at the end; -1 for a refused frame. */
TORVANE_API int32_t source_read_frame(SourceMedia* media, uint8_t* buffer, uint32_t* time_stamp,
                                      uint8_t* key_flag, uint8_t* is_audio);

/* A frame as source_next_frame hands it out. */
typedef struct SourceFrame {
    const uint8_t* data; /* video: the frame's bytes; audio: its PCM, as source_decode_audio
                            gives it. Owned by the media, valid until the next call on it. */
    uint32_t length;     /* bytes at data */
    uint32_t time_stamp; /* milliseconds, as the recording stores it */
    uint8_t is_audio;
    uint8_t key_flag;
    uint8_t status; /* SOURCE_FRAME_WHOLE, _UNDECODABLE or _REFUSED */
} SourceFrame;

#define SOURCE_FRAME_WHOLE 0
/* A voice frame the decoder refused: no PCM (length 0); it keeps its place in the stream. */
#define SOURCE_FRAME_UNDECODABLE 1
/* An index entry or a segment the reader refused: no data, kind unknown. */
#define SOURCE_FRAME_REFUSED 2

/* The next frame in the recording's time order (video first on equal time stamps): 1 with
 * *frame filled in; 0 at the end of the recording (or where a frame is cut off by the file's
 * end, after the reader's warning); -1 when reading failed (source_system_error tells why).
 * After 0 or -1 every further call returns the same. How the file is read is the media's own
 * business: frames come out of large sequential reads whatever their layout. */
TORVANE_API int source_next_frame(SourceMedia* media, SourceFrame* frame);

/* What of the recording was not found: segments it announces that are damaged beyond
 * finding or cut off, and by how many milliseconds its frames fall clearly short of the span
 * between its start and end time (more than 2 s and a tenth of the span; 0 otherwise). */
TORVANE_API uint32_t source_missing_segments(const SourceMedia* media);
TORVANE_API uint32_t source_missing_time(const SourceMedia* media);

/* The recording reader's custommp4_get_system_error. */
TORVANE_API int source_system_error(const SourceMedia* media);

/* Largest PCM output of source_decode_audio for a frame of `frame_length` bytes. */
TORVANE_API uint32_t source_max_pcm_bytes(uint32_t frame_length);
/* Decodes one audio frame into `output`, which holds source_max_pcm_bytes(frame_length)
 * bytes. 0 on success with the byte count in *output_length; -1 on failure. */
TORVANE_API int source_decode_audio(SourceMedia* media, uint8_t* frame, uint32_t frame_length,
                                    uint8_t* output, uint32_t* output_length);

TORVANE_EXTERN_C_END

#endif
