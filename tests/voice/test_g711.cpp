// G.711 against the ITU-T G.191 reference behaviour: A-law on all 65536 inputs, µ-law with its
// known differences on the negative side, both expanders on all 256 codes, and the byte order
// of the plain and swapped layouts.
#include <set>

#include "voice/voice_test_util.h"

using namespace voicetest;

namespace {

// Reference compressors and expanders in the shape of the G.191 software tools: 16-bit input,
// the 12 (A-law) or 14 (µ-law) most significant bits used, one's complement on the negative side.
uint8_t g191_alaw_compress(int16_t lin) {
    int ix = lin < 0 ? (~lin) >> 4 : lin >> 4;
    if (ix > 15) {
        int iexp = 1;
        while (ix > 16 + 15) {
            ix >>= 1;
            ++iexp;
        }
        ix -= 16;
        ix += iexp << 4;
    }
    if (lin >= 0) ix |= 0x80;
    return static_cast<uint8_t>(ix ^ 0x55);
}

int16_t g191_alaw_expand(uint8_t code) {
    int ix = code ^ 0x55;
    ix &= 0x7F;
    const int iexp = ix >> 4;
    int mant = ix & 0x0F;
    if (iexp > 0) mant += 16;
    mant = (mant << 4) + 0x08;
    if (iexp > 1) mant <<= iexp - 1;
    return static_cast<int16_t>(code > 127 ? mant : -mant);
}

uint8_t g191_ulaw_compress(int16_t lin) {
    int absno = lin < 0 ? ((~lin) >> 2) + 33 : (lin >> 2) + 33;
    if (absno > 0x1FFF) absno = 0x1FFF;
    int i = absno >> 6;
    int segno = 1;
    while (i != 0) {
        ++segno;
        i >>= 1;
    }
    const int high = 8 - segno;
    const int low = 0x0F - ((absno >> segno) & 0x0F);
    int out = (high << 4) | low;
    if (lin >= 0) out |= 0x80;
    return static_cast<uint8_t>(out);
}

int16_t g191_ulaw_expand(uint8_t code) {
    const int sign = code < 0x80 ? -1 : 1;
    int mantissa = ~code;
    const int exponent = (mantissa >> 4) & 0x07;
    const int segment = exponent + 1;
    mantissa &= 0x0F;
    const int step = 4 << segment;
    return static_cast<int16_t>(sign * ((0x80 << exponent) + step * mantissa + step / 2 - 4 * 33));
}

// Encodes two samples in `mode` and returns the two payload bytes.
std::pair<uint8_t, uint8_t> encode_pair(int mode, int16_t a, int16_t b) {
    VoiceCodecState s = fresh_state(mode, true);
    const VoiceFrame f = encode(s, {a, b});
    EXPECT_EQ(f.payload_words, 1);
    return {f.payload[0], f.payload[1]};
}

// Decodes a 40-word frame whose payload starts with `bytes` and returns its samples.
std::vector<int16_t> decode_payload(int mode, const std::vector<uint8_t>& bytes) {
    VoiceCodecState s = fresh_state(mode, false);
    VoiceFrame f = make_frame(40, 0xD5);
    std::memcpy(f.payload, bytes.data(), bytes.size());
    const Decoded d = decode(s, f);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.pcm.size(), 80u);
    return d.pcm;
}

// Compresses every 16-bit value through the library (mode 1 or 2), 480 samples per block.
std::vector<uint8_t> compress_all(int mode) {
    std::vector<uint8_t> out;
    out.reserve(65536);
    VoiceCodecState s = fresh_state(mode, true);
    std::vector<int16_t> block;
    for (int x = -32768; x <= 32767; ++x) {
        block.push_back(static_cast<int16_t>(x));
        if (block.size() == 480 || x == 32767) {
            const VoiceFrame f = encode(s, block);
            out.insert(out.end(), f.payload, f.payload + 2 * f.payload_words);
            block.clear();
        }
    }
    return out;
}

TEST(G711, AlawCompressionEqualsTheReferenceOnAllInputs) {
    const std::vector<uint8_t> codes = compress_all(1);
    ASSERT_EQ(codes.size(), 65536u);
    int mismatches = 0;
    for (int x = -32768; x <= 32767; ++x) {
        const uint8_t got = codes[static_cast<std::size_t>(x + 32768)];
        const uint8_t want = g191_alaw_compress(static_cast<int16_t>(x));
        if (got != want && ++mismatches <= 5)
            ADD_FAILURE() << "x=" << x << " got " << int(got) << " want " << int(want);
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(G711, UlawCompressionDiffersFromTheReferenceExactlyOnItsNegativeSide) {
    const std::vector<uint8_t> codes = compress_all(2);
    ASSERT_EQ(codes.size(), 65536u);
    std::set<int> differing;
    for (int x = -32768; x <= 32767; ++x) {
        const uint8_t got = codes[static_cast<std::size_t>(x + 32768)];
        if (got != g191_ulaw_compress(static_cast<int16_t>(x))) differing.insert(x);
        // Negation instead of one's complement: a negative input is coded as the reference
        // codes an input four below it (one step of the 14-bit value further out).
        if (x >= 0) {
            ASSERT_EQ(got, g191_ulaw_compress(static_cast<int16_t>(x))) << x;
        } else if (x >= -32764) {
            ASSERT_EQ(got, g191_ulaw_compress(static_cast<int16_t>(x - 4))) << x;
        }
    }
    EXPECT_EQ(differing.size(), 508u);
    EXPECT_LT(*differing.rbegin(), 0);
    for (const int x : {-1, -2, -3, -4}) EXPECT_TRUE(differing.count(x)) << x;
}

TEST(G711, ExpansionTablesEqualTheReferenceExpanders) {
    for (const int mode : {1, 2}) {
        const std::vector<int16_t> pcm = decode_counting_codes(mode, 240);
        ASSERT_EQ(pcm.size(), 480u);
        for (int c = 0; c < 256; ++c) {
            const int16_t want = mode == 1 ? g191_alaw_expand(static_cast<uint8_t>(c))
                                           : g191_ulaw_expand(static_cast<uint8_t>(c));
            EXPECT_EQ(pcm[static_cast<std::size_t>(c)], want) << "mode " << mode << " code " << c;
        }
    }
    // Landmarks of both tables.
    const std::vector<int16_t> a = decode_payload(1, {0x00, 0xD5, 0xAA});
    EXPECT_EQ(a[0], -5504);
    EXPECT_EQ(a[1], 8);
    EXPECT_EQ(a[2], 32256);
    const std::vector<int16_t> u = decode_payload(2, {0x00, 0x7F, 0xFF, 0x80});
    EXPECT_EQ(u[0], -32124);
    EXPECT_EQ(u[1], 0);
    EXPECT_EQ(u[2], 0);
    EXPECT_EQ(u[3], 32124);
}

TEST(G711, ExpandedValuesCompressBackToTheirCode) {
    for (const int mode : {1, 2}) {
        VoiceCodecState dec = fresh_state(mode, false);
        VoiceFrame f = make_frame(240);
        for (int i = 0; i < 480; ++i) f.payload[i] = static_cast<uint8_t>(i);
        const Decoded d = decode(dec, f);
        VoiceCodecState enc = fresh_state(mode, true);
        const VoiceFrame back = encode(enc, d.pcm);
        for (int c = 0; c < 256; ++c) {
            // µ-law 0x7F is the negative zero; 0 compresses to the positive one.
            const int want = (mode == 2 && c == 0x7F) ? 0xFF : c;
            EXPECT_EQ(back.payload[c], want) << "mode " << mode << " code " << c;
        }
    }
}

TEST(G711, CompressionLandmarks) {
    EXPECT_EQ(encode_pair(1, 0, 8), std::make_pair(uint8_t{0xD5}, uint8_t{0xD5}));
    EXPECT_EQ(encode_pair(1, 16, -1), std::make_pair(uint8_t{0xD4}, uint8_t{0x55}));
    EXPECT_EQ(encode_pair(1, 32767, -32768), std::make_pair(uint8_t{0xAA}, uint8_t{0x2A}));
    EXPECT_EQ(encode_pair(2, 0, -1), std::make_pair(uint8_t{0xFF}, uint8_t{0x7E}));
    EXPECT_EQ(encode_pair(2, 32767, -32768), std::make_pair(uint8_t{0x80}, uint8_t{0x00}));
    EXPECT_EQ(encode_pair(2, 3, -4), std::make_pair(uint8_t{0xFF}, uint8_t{0x7E}));
}

TEST(G711, PlainAndSwappedLayouts) {
    // Plain: first sample in the low byte (payload byte 0); swapped: in the high byte.
    EXPECT_EQ(encode_pair(1, 8, -8), std::make_pair(uint8_t{0xD5}, uint8_t{0x55}));
    EXPECT_EQ(encode_pair(65, 8, -8), std::make_pair(uint8_t{0x55}, uint8_t{0xD5}));
    EXPECT_EQ(encode_pair(2, 0, -1), std::make_pair(uint8_t{0xFF}, uint8_t{0x7E}));
    EXPECT_EQ(encode_pair(66, 0, -1), std::make_pair(uint8_t{0x7E}, uint8_t{0xFF}));

    const std::vector<int16_t> plain = decode_payload(1, {0xD5, 0x55});
    EXPECT_EQ(plain[0], 8);
    EXPECT_EQ(plain[1], -8);
    const std::vector<int16_t> swapped = decode_payload(65, {0xD5, 0x55});
    EXPECT_EQ(swapped[0], -8);
    EXPECT_EQ(swapped[1], 8);

    // A 160-word mode-66 frame gives 320 samples, the high byte of each word first.
    VoiceCodecState s = fresh_state(66, false);
    VoiceFrame f = make_frame(160);
    for (int i = 0; i < 320; ++i) f.payload[i] = static_cast<uint8_t>(i * 7);
    const Decoded d = decode(s, f);
    ASSERT_EQ(d.pcm.size(), 320u);
    VoiceCodecState u = fresh_state(2, false);
    VoiceFrame g = f;
    for (int i = 0; i < 320; i += 2) std::swap(g.payload[i], g.payload[i + 1]);
    EXPECT_EQ(decode(u, g).pcm, d.pcm);
}

TEST(G711, OddBlockLosesItsLastSample) {
    const std::vector<int16_t> block = speech_signal(161);
    for (const int mode : {1, 2, 65, 66}) {
        VoiceCodecState s = fresh_state(mode, true);
        VoiceFrame f = encode(s, block);
        EXPECT_EQ(f.payload_words, 80) << mode;
        VoiceCodecState t = fresh_state(mode, true);
        VoiceFrame g = encode(t, std::vector<int16_t>(block.begin(), block.end() - 1));
        EXPECT_EQ(payload_of(f), payload_of(g)) << mode;
    }
}

}  // namespace
