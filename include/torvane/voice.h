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

/* Per-codec parts of a codec state. Callers treat them as opaque; they are spelled out only so
 * that the state is a complete type callers can allocate and embed. */
typedef struct VoiceAdpcmFields {
    int16_t predicted;  /* last reconstructed sample */
    uint8_t step_index; /* 0 to 88 */
    uint8_t unused_;
} VoiceAdpcmFields;

typedef struct VoiceG726Fields {
    int32_t code_size; /* bits per code, 2 to 5 */
    int32_t a1, a2;
    int32_t ap;
    int32_t b[6];
    int32_t dml, dms;
    int32_t dq[6]; /* 11-bit floats, dq[0] the newest */
    int32_t pk1, pk2;
    int32_t sr1, sr2; /* 11-bit floats */
    int32_t td;
    int32_t yl, yu;
} VoiceG726Fields;

typedef struct VoiceAdpcm16wFields {
    int16_t sr1, sr2;
    int16_t a1, a2;
    int16_t b[6];
    int16_t dq[6]; /* linear, dq[0] the newest */
    int16_t dms, dml;
    int16_t ap;
    int16_t yu;
    int16_t td;
    int16_t dqsez1, dqsez2;
    int16_t unused_;
    int32_t yl;
} VoiceAdpcm16wFields;

/* Codec state: caller-allocated, valid after a reset. One record type serves encoder and
 * decoder; it is sized for the largest codec (the mode plus 25 32-bit fields). */
typedef struct VoiceCodecState {
    int16_t mode;
    int16_t reserved_;
    union {
        VoiceAdpcmFields adpcm;
        VoiceG726Fields g726;
        VoiceAdpcm16wFields adpcm16w;
        int32_t raw[25];
    } codec;
} VoiceCodecState;

/* Transcoder state: the encoder state at the start, the decoder state 2048 bytes after it. */
typedef struct VoiceTranscodeState {
    VoiceCodecState encoder;
    uint8_t gap_[2048 - sizeof(VoiceCodecState)];
    VoiceCodecState decoder;
} VoiceTranscodeState;

#ifdef __cplusplus
static_assert(sizeof(VoiceCodecState) == 104, "mode plus 25 32-bit fields");
static_assert(sizeof(VoiceFrame) == 484, "four-byte header and 240 payload words");
#else
_Static_assert(sizeof(VoiceCodecState) == 104, "mode plus 25 32-bit fields");
_Static_assert(sizeof(VoiceFrame) == 484, "four-byte header and 240 payload words");
#endif

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
