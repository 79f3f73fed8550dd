// The exported voice library: argument checks in their fixed order, then dispatch by mode.
// Every check happens before anything is written, so a refused call changes nothing but the
// count output of a decode.
#include <array>
#include <cstddef>
#include <cstring>

#include "common/bytes.h"
#include "voice/voice_internal.h"

static_assert(offsetof(VoiceCodecState, mode) == 0);
static_assert(offsetof(VoiceTranscodeState, encoder) == 0);
static_assert(offsetof(VoiceTranscodeState, decoder) == 2048);
static_assert(offsetof(VoiceFrame, payload_words) == 2);
static_assert(offsetof(VoiceFrame, payload) == 4);

namespace tv::voice {
namespace {

constexpr char kVersion[] = "TV_VOICE_VERSION=TV3000_VOICELIB_V1.0.0.0";
static_assert(sizeof(kVersion) == 42);

constexpr uint16_t kFrameTypeMask = 0x0300;
constexpr uint16_t kNormalFrameFlags = VOICE_FRAME_NORMAL << 8;

// Runs the reset of a known mode; false for a mode outside the table.
bool reset_state(VoiceCodecState& state, int16_t mode) {
    switch (family_of(mode)) {
        case Family::G711:
            break;
        case Family::Adpcm:
            adpcm_reset(state);
            break;
        case Family::G726:
            g726_reset(state, g726_code_size(mode));
            break;
        case Family::Adpcm16w:
            adpcm16w_reset(state);
            break;
        case Family::None:
            state.mode = mode;
            return false;
    }
    state.mode = mode;
    return true;
}

}  // namespace
}  // namespace tv::voice

using namespace tv::voice;

extern "C" {

TORVANE_API int32_t TV_VOICE_GetVersion(char* buffer) {
    if (buffer == nullptr) return -1;
    std::memcpy(buffer, kVersion, sizeof(kVersion));
    return 0;
}

TORVANE_API int32_t TV_VOICE_EncReset(VoiceCodecState* state, int32_t mode) {
    if (state == nullptr) return VOICE_ERR_NULL_STATE;
    return reset_state(*state, static_cast<int16_t>(mode)) ? 0 : VOICE_ERR_ENC_MODE;
}

TORVANE_API int32_t TV_VOICE_DecReset(VoiceCodecState* state, int32_t mode) {
    if (state == nullptr) return VOICE_ERR_NULL_STATE;
    return reset_state(*state, static_cast<int16_t>(mode)) ? 0 : VOICE_ERR_DEC_MODE;
}

TORVANE_API int32_t TV_VOICE_EncodeFrame(VoiceCodecState* state, const int16_t* pcm,
                                         VoiceFrame* frame, int32_t sample_count) {
    if (state == nullptr) return VOICE_ERR_NULL_STATE;
    if (pcm == nullptr) return VOICE_ERR_NULL_INPUT;
    if (frame == nullptr) return VOICE_ERR_NULL_OUTPUT;
    const int n = static_cast<int16_t>(sample_count);
    if (n <= 0 || n > kMaxSamples) return VOICE_ERR_ENC_COUNT;
    const int16_t mode = state->mode;
    const Family family = family_of(mode);
    if (family == Family::None) return VOICE_ERR_ENC_MODE;

    // The frame is built apart and copied at the end: the output may be the caller's only
    // copy of an earlier frame (the transcoder encodes over the frame it just decoded).
    std::array<uint8_t, kMaxFrameBytes> work{};
    const PayloadBuffer payload(work.data() + kHeaderBytes, kMaxPayloadBytes);
    const std::span<const int16_t> samples(pcm, static_cast<std::size_t>(n));
    int words = 0;
    switch (family) {
        case Family::G711:
            words = g711_encode(mode, samples, payload);
            break;
        case Family::Adpcm:
            words = adpcm_encode(*state, mode, samples, payload);
            break;
        case Family::G726:
            words = g726_encode(*state, mode, samples, payload);
            break;
        case Family::Adpcm16w:
            words = adpcm16w_encode(*state, samples, payload);
            break;
        case Family::None:
            break;
    }
    tv::store_le16(work.data(), kNormalFrameFlags);
    work[2] = static_cast<uint8_t>(words);
    work[3] = 0;
    std::memcpy(frame, work.data(), static_cast<std::size_t>(kHeaderBytes + 2 * words));
    return 0;
}

TORVANE_API int32_t TV_VOICE_DecodeFrame(VoiceCodecState* state, VoiceFrame* frame, int16_t* pcm,
                                         int16_t* sample_count) {
    if (state == nullptr) return VOICE_ERR_NULL_STATE;
    if (frame == nullptr) return VOICE_ERR_NULL_INPUT;
    if (pcm == nullptr || sample_count == nullptr) return VOICE_ERR_NULL_OUTPUT;
    *sample_count = 0;
    if ((tv::load_le16(frame->flags) & kFrameTypeMask) != kNormalFrameFlags)
        return VOICE_ERR_DEC_FRAMETYPE;
    const int words = frame->payload_words;
    if (words == 0) return VOICE_ERR_DEC_LENGTH;
    const int16_t mode = state->mode;
    const Family family = family_of(mode);
    if (family == Family::None) return VOICE_ERR_DEC_MODE;
    const int expected = decoded_sample_count(mode, words);
    if (expected < 0) return VOICE_ERR_DEC_LENGTH;

    // Accepted lengths never exceed the 480 payload bytes of a VoiceFrame.
    const std::span<uint8_t> payload(frame->payload, static_cast<std::size_t>(2 * words));
    int produced = 0;
    switch (family) {
        case Family::G711:
            produced = g711_decode(mode, payload, pcm);
            break;
        case Family::Adpcm:
            produced = adpcm_decode(*state, mode, payload, pcm);
            break;
        case Family::G726:
            produced = g726_decode(*state, mode, payload, pcm);
            break;
        case Family::Adpcm16w:
            produced = adpcm16w_decode(*state, payload, pcm);
            break;
        case Family::None:
            break;
    }
    *sample_count = static_cast<int16_t>(produced);
    return 0;
}

}  // extern "C"

namespace tv::voice {

void decode_frame_pair(VoiceCodecState* state, VoiceFrame* const frames[2], int16_t* const pcm[2],
                       int16_t counts[2], int32_t results[2]) {
    auto pairs = [&](const VoiceFrame* frame) {
        return frame != nullptr &&
               (tv::load_le16(frame->flags) & kFrameTypeMask) == kNormalFrameFlags &&
               frame->payload_words != 0 &&
               decoded_sample_count(state->mode, frame->payload_words) >= 0;
    };
    if (state != nullptr && family_of(state->mode) == Family::Adpcm && adpcm_pairs(state->mode) &&
        pcm[0] != nullptr && pcm[1] != nullptr && pairs(frames[0]) && pairs(frames[1])) {
        int a = 0, b = 0;
        adpcm_decode_pair(
            *state, state->mode,
            std::span<const uint8_t>(frames[0]->payload, 2u * frames[0]->payload_words),
            std::span<const uint8_t>(frames[1]->payload, 2u * frames[1]->payload_words), pcm[0],
            pcm[1], a, b);
        counts[0] = static_cast<int16_t>(a);
        counts[1] = static_cast<int16_t>(b);
        results[0] = results[1] = 0;
        return;
    }
    results[0] = TV_VOICE_DecodeFrame(state, frames[0], pcm[0], &counts[0]);
    results[1] = TV_VOICE_DecodeFrame(state, frames[1], pcm[1], &counts[1]);
}

}  // namespace tv::voice
