#include "tools/mkifv/wav.h"

#include "common/bytes.h"

namespace mkifv {

std::optional<WavAudio> read_wav(const std::vector<uint8_t>& file, std::string& error) {
    const uint8_t* p = file.data();
    if (file.size() < 12 || std::string(p, p + 4) != "RIFF" ||
        std::string(p + 8, p + 12) != "WAVE") {
        error = "not a RIFF WAVE file";
        return std::nullopt;
    }
    WavAudio audio;
    bool have_format = false, have_data = false;
    size_t pos = 12;
    while (pos + 8 <= file.size()) {
        const std::string id(p + pos, p + pos + 4);
        const uint64_t size = tv::load_le32(p + pos + 4);
        const size_t body = pos + 8;
        const size_t available = file.size() - body;
        const size_t length = size > available ? available : static_cast<size_t>(size);
        if (id == "fmt ") {
            if (length < 16) {
                error = "the format chunk is too short";
                return std::nullopt;
            }
            uint16_t tag = tv::load_le16(p + body);
            audio.channels = tv::load_le16(p + body + 2);
            audio.sample_rate = tv::load_le32(p + body + 4);
            audio.bits_per_sample = tv::load_le16(p + body + 14);
            if (tag == 0xFFFE && length >= 26) tag = tv::load_le16(p + body + 24);
            if (tag != 1) {
                error = "only uncompressed PCM is supported";
                return std::nullopt;
            }
            have_format = true;
        } else if (id == "data") {
            audio.data.assign(p + body, p + body + length);
            have_data = true;
        }
        pos = body + length + (length & 1);
    }
    if (!have_format || !have_data) {
        error = "the file has no format or no data chunk";
        return std::nullopt;
    }
    if ((audio.bits_per_sample != 8 && audio.bits_per_sample != 16) || audio.channels == 0 ||
        audio.sample_rate == 0) {
        error = "only 8- or 16-bit PCM with at least one channel is supported";
        return std::nullopt;
    }
    return audio;
}

std::vector<int16_t> mono_samples(const WavAudio& audio) {
    const size_t frame_bytes = static_cast<size_t>(audio.bits_per_sample / 8) * audio.channels;
    std::vector<int16_t> out;
    out.reserve(audio.data.size() / frame_bytes);
    for (size_t pos = 0; pos + frame_bytes <= audio.data.size(); pos += frame_bytes) {
        if (audio.bits_per_sample == 16) {
            out.push_back(static_cast<int16_t>(tv::load_le16(audio.data.data() + pos)));
        } else {
            out.push_back(static_cast<int16_t>((audio.data[pos] - 128) * 256));
        }
    }
    return out;
}

}  // namespace mkifv
