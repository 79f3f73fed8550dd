/* The recorder chip's voice library: G.711, IMA ADPCM, G.726 and a two-bit ADPCM, chosen by a
 * numeric mode, plus an in-place frame transcoder. All state lives in caller-owned records;
 * the library keeps nothing of its own. */
#ifndef TORVANE_VOICE_H
#define TORVANE_VOICE_H

#include <stdint.h>

#include "torvane/export.h"

TORVANE_EXTERN_C_BEGIN

#define VOICE_MAX_SAMPLES 481
/* Largest decoder output of any mode (mode 67, 122 payload words). */
#define VOICE_MAX_DECODED_SAMPLES 488

/* Modes */
#define VOICE_MODE_G711A 1
#define VOICE_MODE_G711U 2
#define VOICE_MODE_ADPCM 3
#define VOICE_MODE_G726_16 4
#define VOICE_MODE_G726_24 5
#define VOICE_MODE_G726_32 6
#define VOICE_MODE_G726_40 7
#define VOICE_MODE_ADPCM_FIRST 35
#define VOICE_MODE_G726_16_MSB 36
#define VOICE_MODE_G726_24_MSB 37
#define VOICE_MODE_G726_32_MSB 38
#define VOICE_MODE_G726_40_MSB 39
#define VOICE_MODE_G711A_SWAP 65
#define VOICE_MODE_G711U_SWAP 66
#define VOICE_MODE_ADPCM_NOHDR 67
#define VOICE_MODE_ADPCM16W 68

/* Transcode modes */
#define VOICE_TRANS_G711A 97
#define VOICE_TRANS_G711U 98
#define VOICE_TRANS_ADPCM 99
#define VOICE_TRANS_ADPCM16 100

/* Frame types (bits 8-9 of the flags word) */
#define VOICE_FRAME_NORMAL 1

/* Error codes; negative when read as signed 32-bit integers. */
#define VOICE_ERR_NULL_STATE ((int32_t)0xA1220101u)
#define VOICE_ERR_NULL_INPUT ((int32_t)0xA1220102u)
#define VOICE_ERR_NULL_OUTPUT ((int32_t)0xA1220103u)
#define VOICE_ERR_ENC_MODE ((int32_t)0xA1220001u)
#define VOICE_ERR_ENC_COUNT ((int32_t)0xA1220002u)
#define VOICE_ERR_DEC_MODE ((int32_t)0xA1220011u)
#define VOICE_ERR_DEC_LENGTH ((int32_t)0xA1220012u)
#define VOICE_ERR_DEC_FRAMETYPE ((int32_t)0xA1220013u)
#define VOICE_ERR_TRANS_NULL_STATE ((int32_t)0xA1221001u)
#define VOICE_ERR_TRANS_MODE ((int32_t)0xA1221002u)

/* One encoded frame: a four-byte header, then payload_words 16-bit little-endian words.
 * Byte-aligned, so a frame inside any byte buffer can be addressed as a VoiceFrame. */
typedef struct VoiceFrame {
    uint8_t flags[2]; /* 16-bit little-endian; bits 8-9 the frame type */
    uint8_t payload_words;
    uint8_t reserved;
    uint8_t payload[480];
} VoiceFrame;

/* Codec state: opaque to callers, who allocate it and pass it to a reset first. */
typedef struct VoiceCodecState {
    int16_t mode;
    int16_t reserved_;
    int32_t fields[25]; /* sized for the largest codec state (G.726) */
} VoiceCodecState;

/* Transcoder state: the encoder state at the start, the decoder state 2048 bytes after it. */
typedef struct VoiceTranscodeState {
    VoiceCodecState encoder;
    uint8_t gap_[2048 - sizeof(VoiceCodecState)];
    VoiceCodecState decoder;
} VoiceTranscodeState;

TORVANE_API int32_t TV_VOICE_GetVersion(char* buffer);
TORVANE_API int32_t TV_VOICE_EncReset(VoiceCodecState* state, int32_t mode);
TORVANE_API int32_t TV_VOICE_DecReset(VoiceCodecState* state, int32_t mode);
TORVANE_API int32_t TV_VOICE_EncodeFrame(VoiceCodecState* state, const int16_t* pcm,
                                         VoiceFrame* frame, int32_t sample_count);
TORVANE_API int32_t TV_VOICE_DecodeFrame(VoiceCodecState* state, VoiceFrame* frame, int16_t* pcm,
                                         int16_t* sample_count);
TORVANE_API int32_t TV_VOICE_TransCodeReset(VoiceTranscodeState* state, int32_t mode);
TORVANE_API int32_t TV_VOICE_TransCodeFrame(VoiceTranscodeState* state, VoiceFrame* frame);

TORVANE_EXTERN_C_END

#endif
