// The voice library: decoding, encoding and transcoding in every mode, from any bytes.
#include <cstdint>
#include <cstring>
#include <memory>

#include "torvane/voice.h"

namespace {

constexpr int16_t kModes[] = {1, 2, 3, 4, 5, 6, 7, 35, 36, 37, 38, 39, 65, 66, 67, 68};

void decode_stream(int16_t mode, const uint8_t* data, size_t size) {
    VoiceCodecState state;
    TV_VOICE_DecReset(&state, mode);
    while (size > 0) {
        // Exactly one frame's room, so that any read past it is caught.
        auto frame = std::make_unique<VoiceFrame>();
        const size_t n = size < sizeof(VoiceFrame) ? size : sizeof(VoiceFrame);
        std::memcpy(frame.get(), data, n);
        int16_t pcm[VOICE_MAX_DECODED_SAMPLES];
        int16_t count = -1;
        const int32_t r = TV_VOICE_DecodeFrame(&state, frame.get(), pcm, &count);
        if (r != 0 && count != 0) __builtin_trap();
        if (count < 0 || count > VOICE_MAX_DECODED_SAMPLES) __builtin_trap();
        const size_t used = 4 + 2 * static_cast<size_t>(frame->payload_words);
        const size_t step = used < n ? used : n;
        data += step;
        size -= step;
    }
}

void encode_stream(int16_t mode, const uint8_t* data, size_t size) {
    VoiceCodecState enc, dec;
    TV_VOICE_EncReset(&enc, mode);
    TV_VOICE_DecReset(&dec, mode);
    while (size >= 3) {
        const int32_t count = 1 + (data[0] | (data[1] << 8)) % VOICE_MAX_SAMPLES;
        data += 2;
        size -= 2;
        int16_t pcm[VOICE_MAX_SAMPLES] = {};
        const size_t bytes = size < 2u * count ? size : 2u * count;
        std::memcpy(pcm, data, bytes);
        data += bytes;
        size -= bytes;
        VoiceFrame frame{};
        if (TV_VOICE_EncodeFrame(&enc, pcm, &frame, count) != 0) __builtin_trap();
        int16_t out[VOICE_MAX_DECODED_SAMPLES];
        int16_t decoded = 0;
        TV_VOICE_DecodeFrame(&dec, &frame, out, &decoded);
    }
}

void transcode_stream(int16_t mode, const uint8_t* data, size_t size) {
    auto state = std::make_unique<VoiceTranscodeState>();
    if (TV_VOICE_TransCodeReset(state.get(), mode) != 0) return;
    while (size > 0) {
        // Four bytes of room beyond a frame: the most a transcoded frame grows.
        auto frame = std::make_unique<VoiceFrame>();
        const size_t n = size < sizeof(VoiceFrame) - 4 ? size : sizeof(VoiceFrame) - 4;
        std::memcpy(frame.get(), data, n);
        if (TV_VOICE_TransCodeFrame(state.get(), frame.get()) != 0) __builtin_trap();
        data += n;
        size -= n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    ++data;
    --size;
    switch (selector >> 6) {
        case 0:
            decode_stream(kModes[selector % 16], data, size);
            break;
        case 1:
            encode_stream(kModes[selector % 16], data, size);
            break;
        case 2:
            transcode_stream(static_cast<int16_t>(97 + selector % 4), data, size);
            break;
        default:
            decode_stream(static_cast<int16_t>(selector), data, size);
            break;  // any mode
    }
    return 0;
}
