// PCM WAV files: the audio that torvane-mkifv stores in a recording.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mkifv {

struct WavAudio {
    uint32_t sample_rate = 0;
    uint16_t bits_per_sample = 0;  // 8 or 16
    uint16_t channels = 0;
    std::vector<uint8_t> data;  // the "data" chunk, as stored
};

// Reads an uncompressed PCM WAV (format 1, or WAVE_FORMAT_EXTENSIBLE carrying PCM). On failure
// returns nothing and says why in `error`.
std::optional<WavAudio> read_wav(const std::vector<uint8_t>& file, std::string& error);

// The first channel as 16-bit samples (8-bit input is widened).
std::vector<int16_t> mono_samples(const WavAudio& audio);

}  // namespace mkifv
