// G.711 A-law and µ-law: modes 1 and 2 keep the first sample of a payload word in its low
// byte, modes 65 and 66 in its high byte. No state.
#include <array>

#include "voice/voice_internal.h"

namespace tv::voice {
namespace {

// Expansion at 16-bit scale, equal to the ITU-T G.191 reference expanders.
constexpr int16_t alaw_value(uint8_t code) {
    const int v = (code ^ 0x55) & 0x7F;
    const int exponent = v >> 4;
    int mantissa = v & 0x0F;
    if (exponent > 0) mantissa += 16;
    mantissa = (mantissa << 4) + 8;
    if (exponent > 1) mantissa <<= exponent - 1;
    return static_cast<int16_t>((code & 0x80) ? mantissa : -mantissa);
}

constexpr int16_t ulaw_value(uint8_t code) {
    const int v = ~code & 0xFF;
    const int exponent = (v >> 4) & 7;
    const int step = 4 << (exponent + 1);
    const int magnitude = (0x80 << exponent) + step * (v & 0x0F) + step / 2 - 4 * 33;
    return static_cast<int16_t>((code & 0x80) ? magnitude : -magnitude);
}

template <int16_t (*expand)(uint8_t)>
constexpr std::array<int16_t, 256> make_table() {
    std::array<int16_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = expand(static_cast<uint8_t>(c));
    return table;
}

constexpr auto kAlawTable = make_table<alaw_value>();
constexpr auto kUlawTable = make_table<ulaw_value>();

bool is_alaw(int16_t mode) {
    return mode == VOICE_MODE_G711A || mode == VOICE_MODE_G711A_SWAP;
}
bool is_swapped(int16_t mode) {
    return mode == VOICE_MODE_G711A_SWAP || mode == VOICE_MODE_G711U_SWAP;
}

}  // namespace

uint8_t alaw_compress(int16_t x) {
    int v = x >> 3;
    int mask = 0xD5;
    if (v < 0) {
        v = ~v;
        mask = 0x55;
    }
    const int segment = v < 32 ? 0 : highest_bit(static_cast<uint32_t>(v)) - 4;
    const int mantissa = segment == 0 ? (v >> 1) & 0x0F : (v >> segment) & 0x0F;
    return static_cast<uint8_t>(((segment << 4) | mantissa) ^ mask);
}

uint8_t ulaw_compress(int16_t x) {
    // Negation rather than one's complement on the negative side, as the recorder's chip does;
    // this differs from the G.191 reference on 508 negative inputs.
    int v = x >> 2;
    int mask = 0xFF;
    if (v < 0) {
        v = -v;
        mask = 0x7F;
    }
    if (v > 8159) v = 8159;
    v += 33;
    const int segment = highest_bit(static_cast<uint32_t>(v)) - 5;
    if (segment == 8) return static_cast<uint8_t>(0x7F ^ mask);
    return static_cast<uint8_t>(((segment << 4) | ((v >> (segment + 1)) & 0x0F)) ^ mask);
}

int16_t alaw_expand(uint8_t code) {
    return kAlawTable[code];
}
int16_t ulaw_expand(uint8_t code) {
    return kUlawTable[code];
}

int g711_encode(int16_t mode, std::span<const int16_t> pcm, PayloadBuffer payload) {
    const int words = static_cast<int>(pcm.size()) / 2;
    const bool swapped = is_swapped(mode);
    uint8_t (*const compress)(int16_t) = is_alaw(mode) ? alaw_compress : ulaw_compress;
    for (int i = 0; i < words; ++i) {
        const uint8_t first = compress(pcm[static_cast<std::size_t>(2 * i)]);
        const uint8_t second = compress(pcm[static_cast<std::size_t>(2 * i + 1)]);
        payload[static_cast<std::size_t>(2 * i)] = swapped ? second : first;
        payload[static_cast<std::size_t>(2 * i + 1)] = swapped ? first : second;
    }
    return words;
}

int g711_decode(int16_t mode, std::span<const uint8_t> payload, int16_t* pcm) {
    const std::array<int16_t, 256>& table = is_alaw(mode) ? kAlawTable : kUlawTable;
    const std::size_t bytes = payload.size();
    if (is_swapped(mode)) {
        for (std::size_t i = 0; i < bytes; i += 2) {
            pcm[i] = table[payload[i + 1]];
            pcm[i + 1] = table[payload[i]];
        }
    } else {
        for (std::size_t i = 0; i < bytes; ++i) pcm[i] = table[payload[i]];
    }
    return static_cast<int>(bytes);
}

}  // namespace tv::voice
