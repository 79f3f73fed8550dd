// Inside of SourceMedia, for the conversion job: it reads many frames of the recording in one
// system call and so needs the reader itself.
#pragma once

#include "recording/custommp4_internal.h"
#include "torvane/source.h"

namespace tv {

// The recording behind `media`; null for none.
custommp4_handle* source_recording(SourceMedia* media);

}  // namespace tv
