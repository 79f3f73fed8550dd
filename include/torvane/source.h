/* SourceMedia: one open recording paired with the voice decoder that turns its audio frames
 * into 16-bit PCM. Every operation tolerates a null pointer. */
#ifndef TORVANE_SOURCE_H
#define TORVANE_SOURCE_H

#include <stdint.h>

#include "torvane/export.h"

TORVANE_EXTERN_C_BEGIN

typedef struct SourceMedia SourceMedia;
/* A recording as custommp4_open gives it (torvane/custommp4.h); declared here so that C callers
 * may include the headers in any order. */
struct custommp4_handle;

/* `path` in UTF-8 on every system. Null on failure, errno set as by custommp4_open. */
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

/* The recording's timing as its index gives it, walked in the order a conversion takes the
 * frames; no frame is read. Stamps are milliseconds as the recording stores them; offsets
 * count from base_ms, the stamp at the header's start time. */
#define SOURCE_TIMING_MAX_SPANS 5
typedef struct SourceTimingSpan {
    uint32_t at_ms;     /* stamp where it begins */
    uint32_t length_ms; /* gaps: time without a video frame; bursts: time the run covers */
    uint32_t frames;    /* bursts: video frames in the run */
} SourceTimingSpan;

typedef struct SourceTiming {
    uint32_t start_time, end_time; /* header's, seconds since 1970 */
    uint32_t base_ms;
    /* What ConversionFrameRate takes, as the conversion gives it. */
    uint32_t announced_video_frames, duration_ms;
    double stored_frame_rate;
    uint32_t video_frames, audio_frames;    /* frames the index gives, refused ones aside */
    uint32_t first_ms, last_ms;             /* lowest and highest stamp of any frame */
    uint32_t first_video_ms, last_video_ms; /* of the first and last video frame taken */
    uint32_t first_audio_ms;                /* 0 without audio frames */
    uint32_t interval_ms;                   /* median of the video stamp differences */
    uint32_t out_of_order, equal_stamps;    /* frames below / equal to their stream's last */
    /* Pauses of more than a second between video frames: the largest, longest first. */
    uint32_t gap_count;
    SourceTimingSpan gaps[SOURCE_TIMING_MAX_SPANS];
    /* Runs of at least 3 video intervals under a quarter of interval_ms: the first ones. */
    uint32_t burst_count;
    SourceTimingSpan bursts[SOURCE_TIMING_MAX_SPANS];
    /* Every video frame's stamp, in the order a conversion writes them; freed by
     * source_timing_release. */
    uint32_t* video_stamps;
} SourceTiming;

/* 0 with *timing filled in; -1 when the recording could not be opened (errno as by
 * source_open) or memory was refused. */
TORVANE_API int source_timing(const char* path, SourceTiming* timing);
/* The same on a recording that custommp4_open gave, whose frames it uses up: for a caller that
 * describes the recording and would not open it (and print its diagnostics) twice. */
TORVANE_API int source_timing_of(struct custommp4_handle* recording, SourceTiming* timing);
TORVANE_API void source_timing_release(SourceTiming* timing);
/* Header start and end time, seconds since 1970, and the stamp at the start time (the first
 * segment's); 0 for a null media. */
TORVANE_API uint32_t source_start_time(const SourceMedia* media);
TORVANE_API uint32_t source_end_time(const SourceMedia* media);
TORVANE_API uint32_t source_start_stamp(const SourceMedia* media);

TORVANE_EXTERN_C_END

#endif
