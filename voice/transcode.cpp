// In-place frame transcoder: byte-swapped G.711 frames become plain ones, header-less ADPCM
// frames gain a state header, mode-68 frames become 16 kbit/s G.726 frames.
#include <array>
#include <utility>

#include "voice/voice_internal.h"

namespace {

constexpr int kFirstTransMode = VOICE_TRANS_G711A;
constexpr int kLastTransMode = VOICE_TRANS_ADPCM16;
constexpr int kSourceModeOffset = 64;  // frames in are of base mode + 64

}  // namespace

extern "C" {

TORVANE_API int32_t TV_VOICE_TransCodeReset(VoiceTranscodeState* state, int32_t mode) {
    if (state == nullptr) return VOICE_ERR_TRANS_NULL_STATE;
    const int m = static_cast<int16_t>(mode);
    if (m < kFirstTransMode || m > kLastTransMode) return VOICE_ERR_TRANS_MODE;
    const int base = m - (kFirstTransMode - 1);
    TV_VOICE_DecReset(&state->decoder, base + kSourceModeOffset);
    TV_VOICE_EncReset(&state->encoder, base);
    return 0;
}

TORVANE_API int32_t TV_VOICE_TransCodeFrame(VoiceTranscodeState* state, VoiceFrame* frame) {
    if (state == nullptr) return VOICE_ERR_TRANS_NULL_STATE;
    if (frame == nullptr) return VOICE_ERR_NULL_INPUT;
    const int16_t mode = state->encoder.mode;
    if (mode < VOICE_MODE_G711A || mode > VOICE_MODE_G726_16) return VOICE_ERR_TRANS_MODE;

    if (mode == VOICE_MODE_G711A || mode == VOICE_MODE_G711U) {
        // A header claiming more words than a frame holds is no G.711 frame; swapping that
        // many would run past the caller's frame, so such a frame passes through untouched.
        const int words = frame->payload_words;
        if (2 * words > tv::voice::kMaxPayloadBytes) return 0;
        for (int i = 0; i < words; ++i) std::swap(frame->payload[2 * i], frame->payload[2 * i + 1]);
        return 0;
    }

    // A frame either decoder or encoder refuses is left as it came: the count stays 0 (or
    // exceeds what the encoder takes) and the encoder then writes nothing.
    std::array<int16_t, tv::voice::kMaxDecodedSamples> pcm{};
    int16_t count = 0;
    TV_VOICE_DecodeFrame(&state->decoder, frame, pcm.data(), &count);
    TV_VOICE_EncodeFrame(&state->encoder, pcm.data(), frame, count);
    return 0;
}

}  // extern "C"
