// Helpers for the voice codec tests: frame construction, encode/decode wrappers and a
// speech-like test signal.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "torvane/voice.h"

namespace voicetest {

inline constexpr int16_t kAllModes[] = {1, 2, 3, 4, 5, 6, 7, 35, 36, 37, 38, 39, 65, 66, 67, 68};

// The IMA ADPCM modes.
inline bool is_ima(int mode) {
    return mode == 3 || mode == 35 || mode == 67;
}

// A frame filled with `fill` everywhere, then given a normal header of `words` payload words.
inline VoiceFrame make_frame(int words, uint8_t fill = 0) {
    VoiceFrame f;
    std::memset(&f, fill, sizeof f);
    f.flags[0] = 0x00;
    f.flags[1] = 0x01;
    f.payload_words = static_cast<uint8_t>(words);
    f.reserved = 0;
    return f;
}

inline VoiceFrame frame_with_payload(const std::vector<uint8_t>& payload) {
    VoiceFrame f = make_frame(static_cast<int>(payload.size() / 2));
    std::memcpy(f.payload, payload.data(), payload.size());
    return f;
}

inline VoiceCodecState fresh_state(int mode, bool encoder) {
    VoiceCodecState s;
    std::memset(&s, 0xA5, sizeof s);
    const int32_t rc = encoder ? TV_VOICE_EncReset(&s, mode) : TV_VOICE_DecReset(&s, mode);
    EXPECT_EQ(rc, 0) << "reset of mode " << mode;
    return s;
}

struct Decoded {
    int32_t rc = 0;
    std::vector<int16_t> pcm;
};

// Decodes one frame; the output buffer is the largest any mode needs.
inline Decoded decode(VoiceCodecState& state, VoiceFrame& frame) {
    std::vector<int16_t> out(VOICE_MAX_DECODED_SAMPLES, 0x5A5A);
    int16_t count = -7;
    Decoded d;
    d.rc = TV_VOICE_DecodeFrame(&state, &frame, out.data(), &count);
    if (d.rc == 0) {
        EXPECT_GE(count, 0);
        out.resize(static_cast<std::size_t>(count));
        d.pcm = out;
    } else {
        EXPECT_EQ(count, 0);
    }
    return d;
}

// Decodes a G.711 frame (mode 1 or 2) of `words` words whose bytes count up from 0: every code
// in order, from 256 on again.
inline std::vector<int16_t> decode_counting_codes(int mode, int words) {
    VoiceCodecState s = fresh_state(mode, false);
    VoiceFrame f = make_frame(words);
    for (int i = 0; i < 2 * words; ++i) f.payload[i] = static_cast<uint8_t>(i);
    return decode(s, f).pcm;
}

inline VoiceFrame encode(VoiceCodecState& state, const std::vector<int16_t>& pcm) {
    VoiceFrame f;
    std::memset(&f, 0xEE, sizeof f);
    EXPECT_EQ(TV_VOICE_EncodeFrame(&state, pcm.data(), &f, static_cast<int32_t>(pcm.size())), 0);
    return f;
}

inline std::vector<uint8_t> payload_of(const VoiceFrame& f) {
    return std::vector<uint8_t>(f.payload, f.payload + 2 * f.payload_words);
}

inline bool same_bytes(const void* a, const void* b, std::size_t n) {
    return std::memcmp(a, b, n) == 0;
}

// Voiced speech stand-in: a gliding 110-220 Hz pulse-like harmonic series shaped by two formant
// peaks, a syllable envelope of about 4 Hz and a little noise; peak near 12000.
inline std::vector<int16_t> speech_signal(std::size_t n, uint32_t seed = 12345) {
    std::vector<int16_t> out(n);
    const double pi = 3.14159265358979323846;
    double phase = 0;
    uint32_t rng = seed;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        const double f0 = 165.0 + 55.0 * std::sin(2 * pi * 0.7 * t);
        phase += 2 * pi * f0 / 8000.0;
        double v = 0;
        for (int h = 1; h <= 20; ++h) {
            const double fh = f0 * h;
            if (fh > 3600) break;
            const double formant = std::exp(-std::pow((fh - 700) / 250, 2)) +
                                   0.6 * std::exp(-std::pow((fh - 1800) / 350, 2)) + 0.08;
            v += formant / h * std::sin(h * phase);
        }
        const double envelope = 0.15 + 0.85 * std::pow(std::sin(pi * 4.0 * t), 2);
        rng = rng * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(rng >> 8) / 16777216.0 - 0.5) * 0.02;
        out[i] = static_cast<int16_t>(std::lround(9000.0 * envelope * (v + noise)));
    }
    return out;
}

// Signal-to-noise ratio in dB of `decoded` against `original`, optionally skipping a
// start-up stretch while an adaptive coder settles.
inline double snr_db(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded,
                     std::size_t skip = 0) {
    double signal = 0, noise = 0;
    for (std::size_t i = skip; i < original.size() && i < decoded.size(); ++i) {
        const double s = original[i];
        const double e = s - decoded[i];
        signal += s * s;
        noise += e * e;
    }
    if (noise == 0) return 200.0;
    return 10.0 * std::log10(signal / noise);
}

// A 15-bit pseudo-random stream (the classic C library generator), for reproducible inputs.
class Lcg {
  public:
    explicit Lcg(uint32_t seed) : state_(seed) {}
    uint32_t next() {
        state_ = state_ * 1103515245u + 12345u;
        return state_ >> 16;
    }

  private:
    uint32_t state_;
};

// Integer-only test signal (a triangle with noise, louder every third 100 samples), so that
// fixed expectations do not depend on floating-point library details.
inline std::vector<int16_t> integer_signal(std::size_t n) {
    Lcg rng(99);
    std::vector<int16_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const int tri = static_cast<int>((i * 37) % 200) - 100;
        int v = tri * 150 + static_cast<int>(rng.next() % 2001) - 1000;
        if ((i / 100) % 3 == 2) v *= 3;
        out[i] = static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
    }
    return out;
}

// FNV-1a over bytes, to pin long outputs in a single number.
inline uint32_t fnv1a(const uint8_t* data, std::size_t n) {
    uint32_t h = 0x811C9DC5u;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ data[i]) * 0x01000193u;
    return h;
}
inline uint32_t fnv1a(const std::vector<int16_t>& pcm) {
    std::vector<uint8_t> bytes;
    for (const int16_t v : pcm) {
        bytes.push_back(static_cast<uint8_t>(v & 0xFF));
        bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
    return fnv1a(bytes.data(), bytes.size());
}

// Packs B-bit codes into a byte stream, least significant bit first (msb_first = false) or most
// significant bit first.
inline std::vector<uint8_t> pack_codes(const std::vector<int>& codes, int bits, bool msb_first) {
    std::vector<uint8_t> out((codes.size() * static_cast<std::size_t>(bits) + 7) / 8, 0);
    std::size_t pos = 0;
    for (const int code : codes) {
        for (int b = 0; b < bits; ++b, ++pos) {
            const int bit = msb_first ? (code >> (bits - 1 - b)) & 1 : (code >> b) & 1;
            if (bit)
                out[pos / 8] |=
                    static_cast<uint8_t>(msb_first ? 0x80 >> (pos % 8) : 1 << (pos % 8));
        }
    }
    return out;
}

}  // namespace voicetest
