// Inside of SourceMedia, for the conversion job: it reads many frames of the recording in one
// system call and so needs the reader itself.
#pragma once

#include "recording/custommp4_internal.h"
#include "torvane/source.h"

namespace tv {

// The recording behind `media`; null for none.
custommp4_handle* source_recording(SourceMedia* media);

// Two audio frames, as two calls of source_decode_audio in turn would decode them (outputs,
// lengths, results, the decoder's state after them); voice frames that carry their own starting
// state are decoded both at once.
void source_decode_audio_pair(SourceMedia* media, uint8_t* const frames[2],
                              const uint32_t frame_lengths[2], uint8_t* const outputs[2],
                              uint32_t output_lengths[2], int results[2]);

}  // namespace tv
