// Four-bit IMA ADPCM in three frame layouts: mode 3 (state header, high nibble first), mode 35
// (first sample verbatim, low nibble first; every recording's voice) and mode 67 (no header,
// state carried across frames).
#include <algorithm>
#include <array>

#include "common/bytes.h"
#include "voice/voice_internal.h"

namespace tv::voice {
namespace {

constexpr int kMaxStepIndex = 88;

constexpr std::array<int32_t, kMaxStepIndex + 1> kStepSize = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::array<int, 16> kIndexAdjust = {-1, -1, -1, -1, 2, 4, 6, 8,
                                              -1, -1, -1, -1, 2, 4, 6, 8};

constexpr int clamp_index(int index) {
    return index < 0 ? 0 : (index > kMaxStepIndex ? kMaxStepIndex : index);
}

// The prediction change for each (step index, code) pair, precomputed: one load per sample,
// and it hangs off the index chain rather than the prediction chain. The index itself is
// updated with plain arithmetic, so neither loop-carried chain waits on a memory load.
constexpr int32_t decoded_delta(int step, int code) {
    int32_t vpdiff = step >> 3;
    if (code & 4) vpdiff += step;
    if (code & 2) vpdiff += step >> 1;
    if (code & 1) vpdiff += step >> 2;
    return (code & 8) ? -vpdiff : vpdiff;
}

constexpr std::array<int32_t, (kMaxStepIndex + 1) * 16> make_delta_table() {
    std::array<int32_t, (kMaxStepIndex + 1) * 16> table{};
    for (int index = 0; index <= kMaxStepIndex; ++index) {
        for (int code = 0; code < 16; ++code)
            table[static_cast<std::size_t>(index * 16 + code)] =
                decoded_delta(kStepSize[static_cast<std::size_t>(index)], code);
    }
    return table;
}

constexpr auto kDeltaTable = make_delta_table();

// Index adjustments pre-scaled to rows of the delta table.
constexpr std::array<int32_t, 16> make_row_adjust() {
    std::array<int32_t, 16> out{};
    for (std::size_t i = 0; i < 16; ++i) out[i] = kIndexAdjust[i] * 16;
    return out;
}
constexpr auto kRowAdjust = make_row_adjust();

// Decoder state between codes; the step index is kept as its row offset (index * 16).
struct Decoder {
    int32_t row;
    int32_t predicted;

    int16_t step(unsigned code) {
        const int32_t delta = kDeltaTable[static_cast<std::size_t>(row) + code];
        row = clamp32(row + kRowAdjust[code], 0, kMaxStepIndex * 16);
        predicted = clamp32(predicted + delta, -32768, 32767);
        return static_cast<int16_t>(predicted);
    }
};

// Decodes two codes per byte; the low nibble first when `low_first`, else the high one.
template <bool low_first>
void decode_codes(Decoder& dec, std::span<const uint8_t> bytes, int16_t* out) {
    for (const uint8_t byte : bytes) {
        const unsigned first = low_first ? (byte & 0x0Fu) : (byte >> 4);
        const unsigned second = low_first ? (byte >> 4) : (byte & 0x0Fu);
        out[0] = dec.step(first);
        out[1] = dec.step(second);
        out += 2;
    }
}

// Two frames' codes at once: their chains do not depend on each other, so the processor runs
// them side by side. Each decoder ends as decode_codes would leave it.
template <bool low_first>
void decode_codes_pair(Decoder& a, std::span<const uint8_t> bytes_a, int16_t* out_a, Decoder& b,
                       std::span<const uint8_t> bytes_b, int16_t* out_b) {
    const std::size_t both = std::min(bytes_a.size(), bytes_b.size());
    for (std::size_t i = 0; i < both; ++i) {
        const uint8_t x = bytes_a[i];
        const uint8_t y = bytes_b[i];
        out_a[0] = a.step(low_first ? (x & 0x0Fu) : (x >> 4));
        out_b[0] = b.step(low_first ? (y & 0x0Fu) : (y >> 4));
        out_a[1] = a.step(low_first ? (x >> 4) : (x & 0x0Fu));
        out_b[1] = b.step(low_first ? (y >> 4) : (y & 0x0Fu));
        out_a += 2;
        out_b += 2;
    }
    decode_codes<low_first>(a, bytes_a.subspan(both), out_a);
    decode_codes<low_first>(b, bytes_b.subspan(both), out_b);
}

// Sample encoder over a run of samples: codes packed two per byte, first in bits 7-4. Only
// whole bytes are written; a trailing odd code still moves the state.
void encode_codes(VoiceAdpcmFields& st, std::span<const int16_t> pcm, uint8_t* out) {
    int32_t predicted = st.predicted;
    int index = st.step_index;
    int32_t step = kStepSize[static_cast<std::size_t>(index)];
    unsigned held = 0;
    bool have_first = false;
    for (const int16_t x : pcm) {
        int32_t diff = x - predicted;
        unsigned sign = 0;
        if (diff < 0) {
            sign = 8;
            diff = -diff;
        }
        unsigned code = 0;
        int32_t vpdiff = step >> 3;
        if (diff >= step) {
            code = 4;
            diff -= step;
            vpdiff += step;
        }
        step >>= 1;
        if (diff >= step) {
            code |= 2;
            diff -= step;
            vpdiff += step;
        }
        step >>= 1;
        if (diff >= step) {
            code |= 1;
            vpdiff += step;
        }
        predicted = clamp32(sign ? predicted - vpdiff : predicted + vpdiff, -32768, 32767);
        code |= sign;
        index = clamp_index(index + kIndexAdjust[code]);
        step = kStepSize[static_cast<std::size_t>(index)];
        if (have_first) {
            *out++ = static_cast<uint8_t>((held << 4) | code);
        } else {
            held = code;
        }
        have_first = !have_first;
    }
    st.predicted = static_cast<int16_t>(predicted);
    st.step_index = static_cast<uint8_t>(index);
}

// Step index from a frame header; larger values are clamped so the tables stay in range.
int header_step_index(std::span<const uint8_t> payload) {
    return payload[2] > kMaxStepIndex ? kMaxStepIndex : payload[2];
}

// The caller's state, its step index clamped likewise: the record may hold any bytes.
VoiceAdpcmFields caller_state(const VoiceCodecState& state) {
    VoiceAdpcmFields st = state.codec.adpcm;
    st.step_index = static_cast<uint8_t>(clamp_index(st.step_index));
    return st;
}

}  // namespace

void adpcm_reset(VoiceCodecState& state) {
    state.codec.adpcm = VoiceAdpcmFields{0, 0, 0};
}

int adpcm_encode(VoiceCodecState& state, int16_t mode, std::span<const int16_t> pcm,
                 PayloadBuffer payload) {
    VoiceAdpcmFields st = caller_state(state);
    const int n = static_cast<int>(pcm.size());
    const int words = encoded_payload_words(mode, n);
    // Codes of a whole block are at most 241 bytes; the header comes in front in modes 3/35.
    std::array<uint8_t, (kMaxSamples + 1) / 2> codes{};
    int code_bytes = 0;
    if (mode == VOICE_MODE_ADPCM_FIRST) {
        st.predicted = pcm[0];
        tv::store_le16(payload.data(), static_cast<uint16_t>(pcm[0]));
        payload[2] = st.step_index;
        payload[3] = 0;
        encode_codes(st, pcm.subspan(1), codes.data());
        code_bytes = 2 * (words - 2);
        for (int i = 0; i < code_bytes; ++i) {
            const uint8_t b = codes[static_cast<std::size_t>(i)];
            payload[static_cast<std::size_t>(4 + i)] = static_cast<uint8_t>((b << 4) | (b >> 4));
        }
    } else {
        int offset = 0;
        if (mode == VOICE_MODE_ADPCM) {
            tv::store_le16(payload.data(), static_cast<uint16_t>(st.predicted));
            payload[2] = st.step_index;
            payload[3] = 0;
            offset = 4;
            code_bytes = 2 * (words - 2);
        } else {
            code_bytes = 2 * words;
        }
        encode_codes(st, pcm, codes.data());
        for (int i = 0; i < code_bytes; ++i)
            payload[static_cast<std::size_t>(offset + i)] = codes[static_cast<std::size_t>(i)];
    }
    state.codec.adpcm = st;
    return words;
}

int adpcm_decode(VoiceCodecState& state, int16_t mode, std::span<const uint8_t> payload,
                 int16_t* pcm) {
    VoiceAdpcmFields& st = state.codec.adpcm;
    Decoder dec{};
    std::span<const uint8_t> codes = payload;
    int count = 0;
    if (mode == VOICE_MODE_ADPCM_NOHDR) {
        const VoiceAdpcmFields from = caller_state(state);
        dec = Decoder{from.step_index * 16, from.predicted};
        decode_codes<false>(dec, codes, pcm);
        count = static_cast<int>(2 * codes.size());
    } else {
        const auto first = static_cast<int16_t>(tv::load_le16(payload.data()));
        dec = Decoder{header_step_index(payload) * 16, first};
        codes = payload.subspan(4);
        if (mode == VOICE_MODE_ADPCM_FIRST) {
            pcm[0] = first;
            decode_codes<true>(dec, codes, pcm + 1);
            count = static_cast<int>(2 * codes.size()) + 1;
        } else {
            decode_codes<false>(dec, codes, pcm);
            count = static_cast<int>(2 * codes.size());
        }
    }
    st.predicted = static_cast<int16_t>(dec.predicted);
    st.step_index = static_cast<uint8_t>(dec.row / 16);
    return count;
}

bool adpcm_pairs(int16_t mode) {
    return mode == VOICE_MODE_ADPCM || mode == VOICE_MODE_ADPCM_FIRST;
}

void adpcm_decode_pair(VoiceCodecState& state, int16_t mode, std::span<const uint8_t> payload_a,
                       std::span<const uint8_t> payload_b, int16_t* pcm_a, int16_t* pcm_b,
                       int& count_a, int& count_b) {
    Decoder a{header_step_index(payload_a) * 16,
              static_cast<int16_t>(tv::load_le16(payload_a.data()))};
    Decoder b{header_step_index(payload_b) * 16,
              static_cast<int16_t>(tv::load_le16(payload_b.data()))};
    const auto codes_a = payload_a.subspan(4);
    const auto codes_b = payload_b.subspan(4);
    if (mode == VOICE_MODE_ADPCM_FIRST) {
        pcm_a[0] = static_cast<int16_t>(a.predicted);
        pcm_b[0] = static_cast<int16_t>(b.predicted);
        decode_codes_pair<true>(a, codes_a, pcm_a + 1, b, codes_b, pcm_b + 1);
        count_a = static_cast<int>(2 * codes_a.size()) + 1;
        count_b = static_cast<int>(2 * codes_b.size()) + 1;
    } else {
        decode_codes_pair<false>(a, codes_a, pcm_a, b, codes_b, pcm_b);
        count_a = static_cast<int>(2 * codes_a.size());
        count_b = static_cast<int>(2 * codes_b.size());
    }
    VoiceAdpcmFields& st = state.codec.adpcm;
    st.predicted = static_cast<int16_t>(b.predicted);
    st.step_index = static_cast<uint8_t>(b.row / 16);
}

}  // namespace tv::voice
