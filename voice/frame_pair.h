// Decoding two voice frames at once, for the recording's source: the library's own interface
// between modules, not part of the public C API.
#pragma once

#include <cstdint>

#include "torvane/voice.h"

namespace tv::voice {

// Decodes two frames exactly as two calls of TV_VOICE_DecodeFrame in turn would (samples,
// counts, results and the final state); in modes 3 and 35, whose frames carry their own
// starting state, both at once, which takes about the time of one.
void decode_frame_pair(VoiceCodecState* state, VoiceFrame* const frames[2], int16_t* const pcm[2],
                       int16_t counts[2], int32_t results[2]);

}  // namespace tv::voice
