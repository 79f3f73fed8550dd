// Helpers shared by the conversion job's tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "app/conversion_job.h"
#include "common/sysio.h"
#include "torvane/voice.h"

namespace jobtest {

// A voice frame of `samples` samples of a tone; `seed` moves along the wave.
inline std::vector<uint8_t> voice_frame(VoiceCodecState& enc, int seed, int samples = 321) {
    int16_t pcm[VOICE_MAX_DECODED_SAMPLES];
    for (int i = 0; i < VOICE_MAX_DECODED_SAMPLES; ++i)
        pcm[i] = static_cast<int16_t>(9000 * std::sin((i + seed * 321) * 0.05));
    VoiceFrame frame{};
    EXPECT_EQ(TV_VOICE_EncodeFrame(&enc, pcm, &frame, static_cast<int16_t>(samples)), 0);
    const auto* p = reinterpret_cast<const uint8_t*>(&frame);
    return std::vector<uint8_t>(p, p + 4 + 2 * frame.payload_words);
}

// The job from `in` to `out`, with `ops` as the system's functions while it runs (else the
// real ones).
inline tv::JobReport run_job(const std::filesystem::path& in, const std::filesystem::path& out,
                             tv::ConversionProgress& progress, const tv::sysio::Ops* ops = nullptr,
                             const tv::ConversionOptions& options = {}) {
    tv::sysio::install(ops);
    auto report = tv::ConversionJob(in.string(), out.string(), progress, options);
    tv::sysio::install(nullptr);
    return report;
}

}  // namespace jobtest
