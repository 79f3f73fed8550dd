// Shared pieces of the voice codec: frame geometry, mode classes and the per-family entry
// points that the dispatch in voice.cpp calls after every argument and length check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "torvane/voice.h"
#include "voice/frame_pair.h"

namespace tv::voice {

inline constexpr int kHeaderBytes = 4;
inline constexpr int kMaxPayloadBytes = 480;
inline constexpr int kMaxFrameBytes = kHeaderBytes + kMaxPayloadBytes;
inline constexpr int kMaxSamples = VOICE_MAX_SAMPLES;
inline constexpr int kMaxDecodedSamples = VOICE_MAX_DECODED_SAMPLES;

// Payload of one frame under construction; sized for the largest frame any encoder builds.
using PayloadBuffer = std::span<uint8_t, kMaxPayloadBytes>;

enum class Family { None, G711, Adpcm, G726, Adpcm16w };

constexpr Family family_of(int16_t mode) {
    switch (mode) {
        case VOICE_MODE_G711A:
        case VOICE_MODE_G711U:
        case VOICE_MODE_G711A_SWAP:
        case VOICE_MODE_G711U_SWAP:
            return Family::G711;
        case VOICE_MODE_ADPCM:
        case VOICE_MODE_ADPCM_FIRST:
        case VOICE_MODE_ADPCM_NOHDR:
            return Family::Adpcm;
        case VOICE_MODE_G726_16:
        case VOICE_MODE_G726_24:
        case VOICE_MODE_G726_32:
        case VOICE_MODE_G726_40:
        case VOICE_MODE_G726_16_MSB:
        case VOICE_MODE_G726_24_MSB:
        case VOICE_MODE_G726_32_MSB:
        case VOICE_MODE_G726_40_MSB:
            return Family::G726;
        case VOICE_MODE_ADPCM16W:
            return Family::Adpcm16w;
        default:
            return Family::None;
    }
}

// Bits per G.726 code: 2 to 5 for modes 4/36 to 7/39.
constexpr int g726_code_size(int16_t mode) {
    return (mode & 31) - 2;
}
constexpr bool g726_msb_first(int16_t mode) {
    return mode >= VOICE_MODE_G726_16_MSB;
}

// Payload words the encoder produces for a block of n samples (1 to 481).
constexpr int encoded_payload_words(int16_t mode, int n) {
    switch (family_of(mode)) {
        case Family::G711:
            return n / 2;
        case Family::Adpcm:
            if (mode == VOICE_MODE_ADPCM) return n / 4 + 2;
            if (mode == VOICE_MODE_ADPCM_FIRST) return (n - 1) / 4 + 2;
            return n / 4;
        case Family::G726:
            return g726_code_size(mode) * n / 16;
        case Family::Adpcm16w:
            return n / 8;
        case Family::None:
            break;
    }
    return 0;
}

// Samples a frame of `words` payload words decodes to, or -1 when the length is refused.
constexpr int decoded_sample_count(int16_t mode, int words) {
    if (words <= 0) return -1;
    int samples = 0;
    switch (family_of(mode)) {
        case Family::Adpcm:
            // 4L - 7 at most 481 bounds all three layouts; one word cannot hold the two header
            // words of modes 3 and 35.
            if (4 * words - 7 > kMaxSamples) return -1;
            if (mode == VOICE_MODE_ADPCM) return words >= 2 ? 4 * (words - 2) : -1;
            if (mode == VOICE_MODE_ADPCM_FIRST) return words >= 2 ? 4 * (words - 2) + 1 : -1;
            return 4 * words;
        case Family::G711:
            samples = 2 * words;
            break;
        case Family::G726:
            samples = 16 * words / g726_code_size(mode);
            break;
        case Family::Adpcm16w:
            samples = 8 * words;
            break;
        case Family::None:
            return -1;
    }
    return samples <= kMaxSamples && samples % 80 == 0 ? samples : -1;
}

// Arithmetic helpers: the codecs wrap and shift exactly as 16-bit hardware would.
constexpr int16_t wrap16(int32_t v) {
    return static_cast<int16_t>(v);
}
constexpr int32_t clamp32(int32_t v, int32_t lo, int32_t hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}
constexpr int16_t sat16(int32_t v) {
    return static_cast<int16_t>(clamp32(v, -32768, 32767));
}

// Index of the highest set bit (0 for 0 and 1).
constexpr int highest_bit(uint32_t v) {
    return v == 0 ? 0 : 31 - __builtin_clz(v);
}
// Number of bits needed for v (0 for 0).
constexpr int bit_length(uint32_t v) {
    return v == 0 ? 0 : 32 - __builtin_clz(v);
}

// Per-family coders. Encoders code n samples (1 to 481) into `payload` and return the payload
// word count; decoders are handed an accepted frame and return the sample count.
void adpcm_reset(VoiceCodecState& state);
int adpcm_encode(VoiceCodecState& state, int16_t mode, std::span<const int16_t> pcm,
                 PayloadBuffer payload);
int adpcm_decode(VoiceCodecState& state, int16_t mode, std::span<const uint8_t> payload,
                 int16_t* pcm);
// Modes whose frames carry their own starting state (3, 35), which adpcm_decode_pair takes.
bool adpcm_pairs(int16_t mode);
// Two accepted frames of such a mode, as adpcm_decode would decode them one after the other.
void adpcm_decode_pair(VoiceCodecState& state, int16_t mode, std::span<const uint8_t> payload_a,
                       std::span<const uint8_t> payload_b, int16_t* pcm_a, int16_t* pcm_b,
                       int& count_a, int& count_b);

int g711_encode(int16_t mode, std::span<const int16_t> pcm, PayloadBuffer payload);
int g711_decode(int16_t mode, std::span<const uint8_t> payload, int16_t* pcm);
uint8_t alaw_compress(int16_t x);
uint8_t ulaw_compress(int16_t x);
int16_t alaw_expand(uint8_t code);
int16_t ulaw_expand(uint8_t code);

void g726_reset(VoiceCodecState& state, int code_size);
int g726_encode(VoiceCodecState& state, int16_t mode, std::span<const int16_t> pcm,
                PayloadBuffer payload);
int g726_decode(VoiceCodecState& state, int16_t mode, std::span<uint8_t> payload, int16_t* pcm);
// Rewrites a payload of B-bit codes between the two packings, in place; does nothing when the
// byte count times 8 is not a multiple of B.
void g726_lsb_to_msb(std::span<uint8_t> payload, int code_size);
void g726_msb_to_lsb(std::span<uint8_t> payload, int code_size);

void adpcm16w_reset(VoiceCodecState& state);
int adpcm16w_encode(VoiceCodecState& state, std::span<const int16_t> pcm, PayloadBuffer payload);
int adpcm16w_decode(VoiceCodecState& state, std::span<const uint8_t> payload, int16_t* pcm);

}  // namespace tv::voice
