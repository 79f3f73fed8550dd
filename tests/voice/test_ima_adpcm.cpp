// IMA ADPCM in modes 3, 35 and 67: nibble orders, header words, clamping at the table ends,
// dropped trailing samples, agreement with a plain reference decoder on random streams, and
// encoder outputs worked out by hand or pinned.
#include <random>

#include "voice/voice_test_util.h"

using namespace voicetest;

namespace {

// The IMA ADPCM reference decoder, sample by sample, written the way the standard's
// pseudo-code reads.
const int kSteps[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int kAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

struct RefImaState {
    int predicted = 0;
    int index = 0;
};

int16_t ref_decode(RefImaState& s, int code) {
    const int step = kSteps[s.index];
    int diff = step >> 3;
    if (code & 4) diff += step;
    if (code & 2) diff += step >> 1;
    if (code & 1) diff += step >> 2;
    s.predicted += (code & 8) ? -diff : diff;
    if (s.predicted > 32767) s.predicted = 32767;
    if (s.predicted < -32768) s.predicted = -32768;
    s.index += kAdjust[code & 7];
    if (s.index < 0) s.index = 0;
    if (s.index > 88) s.index = 88;
    return static_cast<int16_t>(s.predicted);
}

TEST(ImaAdpcm, DecodersAgreeWithTheReferenceOnRandomFrames) {
    std::mt19937 rng(2024);
    for (const int mode : {3, 35, 67}) {
        VoiceCodecState s = fresh_state(mode, false);
        RefImaState carried;  // mode 67 carries the state across frames
        for (int trial = 0; trial < 300; ++trial) {
            const int words = 2 + static_cast<int>(rng() % 121);
            VoiceFrame f = make_frame(words);
            for (int i = 0; i < 2 * words; ++i) f.payload[i] = static_cast<uint8_t>(rng());
            // Header step indexes over the whole byte range, 89 to 255 included.
            if (trial % 3 == 0) f.payload[2] = static_cast<uint8_t>(89 + rng() % 167);
            const VoiceFrame before = f;
            const Decoded d = decode(s, f);
            ASSERT_EQ(d.rc, 0);
            ASSERT_TRUE(same_bytes(&f, &before, sizeof f)) << "the caller's frame is not changed";

            std::vector<int16_t> expected;
            RefImaState r = carried;
            int first_byte = 0;
            if (mode != 67) {
                r.predicted = static_cast<int16_t>(f.payload[0] | (f.payload[1] << 8));
                r.index = f.payload[2] > 88 ? 88 : f.payload[2];
                first_byte = 4;
                if (mode == 35) expected.push_back(static_cast<int16_t>(r.predicted));
            }
            for (int i = first_byte; i < 2 * words; ++i) {
                const int hi = f.payload[i] >> 4;
                const int lo = f.payload[i] & 15;
                expected.push_back(ref_decode(r, mode == 35 ? lo : hi));
                expected.push_back(ref_decode(r, mode == 35 ? hi : lo));
            }
            ASSERT_EQ(d.pcm, expected) << "mode " << mode << " trial " << trial;
            // The state ends where the reference ends.
            ASSERT_EQ(s.codec.adpcm.predicted, r.predicted);
            ASSERT_EQ(s.codec.adpcm.step_index, r.index);
            carried = r;
        }
    }
}

TEST(ImaAdpcm, EncoderMatchesFramesWorkedOutByHand) {
    struct Case {
        int mode;
        std::vector<std::vector<int16_t>> blocks;  // one frame each
        std::vector<std::vector<uint8_t>> payloads;
        int predicted, index;  // the state after the last frame
    };
    const Case cases[] = {
        // From 0 at index 0, 1000 four times: code 7 at steps 7, 16, 34, 73 (predictions 11,
        // 41, 104, 240). 0 from 240 at step 157: codes 0xE (-254), 0 (+34), 8 (-31), 0 (+28).
        // The trailing -5 gives code 8 (-26) and stays out of the payload.
        {67, {{1000, 1000, 1000, 1000, 0, 0, 0, 0, -5}}, {{0x77, 0x77, 0xE0, 0x80}}, -9, 34},
        // The first sample is the header word; then codes 6 (+10), 0xE (-20), 1 (+7), 0 (+2),
        // the earlier one of each pair in the low nibble.
        {35, {{100, 110, 90, 100, 100}}, {{0x64, 0x00, 0x00, 0x00, 0xE6, 0x01}}, 99, 10},
        // The header is the state before the frame: -240 at index 32 after four codes 0xF.
        // Holding -240 at step 157 then gives codes 0 (+19), 8 (-17), 8 (-16), 0 (+14) and a
        // trailing 0 (+13).
        {3,
         {{-1000, -1000, -1000, -1000}, {-240, -240, -240, -240, -240}},
         {{0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}, {0x10, 0xFF, 0x20, 0x00, 0x08, 0x80}},
         -227,
         27},
    };
    for (const Case& c : cases) {
        VoiceCodecState s = fresh_state(c.mode, true);
        for (std::size_t i = 0; i < c.blocks.size(); ++i) {
            EXPECT_EQ(payload_of(encode(s, c.blocks[i])), c.payloads[i])
                << "mode " << c.mode << " frame " << i;
        }
        EXPECT_EQ(s.codec.adpcm.predicted, c.predicted) << "mode " << c.mode;
        EXPECT_EQ(s.codec.adpcm.step_index, c.index) << "mode " << c.mode;
    }
}

TEST(ImaAdpcm, EncoderOverALongStream) {
    // Frames of 1 to 481 samples, every fifth a full-scale burst that drives the index to the
    // top and the prediction into its limits. Payloads pinned from a model of the standard's
    // coder; the decoder checks the headers and every frame that ends on a whole word.
    struct Pinned {
        int mode;
        uint32_t payload_fnv;
    };
    const std::vector<int16_t> signal = integer_signal(481 * 40);
    for (const Pinned& p :
         {Pinned{3, 0xEB3ECB8Fu}, Pinned{35, 0x8AE8F436u}, Pinned{67, 0x1E03220Fu}}) {
        VoiceCodecState enc = fresh_state(p.mode, true);
        VoiceCodecState dec = fresh_state(p.mode, false);
        std::mt19937 rng(7);
        std::vector<uint8_t> payloads;
        std::size_t pos = 0;
        for (int trial = 0; trial < 40; ++trial) {
            const int n = 1 + static_cast<int>(rng() % 481);
            std::vector<int16_t> block(signal.begin() + static_cast<std::ptrdiff_t>(pos),
                                       signal.begin() + static_cast<std::ptrdiff_t>(pos) + n);
            if (trial % 5 == 4) {
                for (auto& v : block) v = (rng() & 1) ? 32767 : -32768;
            }
            pos += static_cast<std::size_t>(n);
            const int16_t predicted = p.mode == 35 ? block[0] : enc.codec.adpcm.predicted;
            const int index = enc.codec.adpcm.step_index;
            VoiceFrame f = encode(enc, block);
            const std::vector<uint8_t> payload = payload_of(f);
            if (p.mode != 67) {
                ASSERT_GE(payload.size(), 4u);
                EXPECT_EQ(static_cast<int16_t>(payload[0] | payload[1] << 8), predicted);
                EXPECT_EQ(payload[2], index);
                EXPECT_EQ(payload[3], 0);
            }
            const Decoded d = decode(dec, f);
            ASSERT_EQ(d.rc, 0);
            const int coded = p.mode == 35 ? n - 1 : n;
            if (p.mode != 67 && coded % 4 == 0) {
                EXPECT_EQ(dec.codec.adpcm.predicted, enc.codec.adpcm.predicted) << trial;
                EXPECT_EQ(dec.codec.adpcm.step_index, enc.codec.adpcm.step_index) << trial;
            }
            payloads.insert(payloads.end(), payload.begin(), payload.end());
        }
        EXPECT_EQ(fnv1a(payloads.data(), payloads.size()), p.payload_fnv) << "mode " << p.mode;
        EXPECT_EQ(enc.codec.adpcm.predicted, 23095) << "mode " << p.mode;
        EXPECT_EQ(enc.codec.adpcm.step_index, 88) << "mode " << p.mode;
    }
}

TEST(ImaAdpcm, NibbleOrderOfEachLayout) {
    // Byte 0x12: mode 35 decodes code 2 first, modes 3 and 67 code 1 first.
    RefImaState r1, r2;
    const int16_t code1_first = ref_decode(r1, 1);
    const int16_t code2_first = ref_decode(r2, 2);
    ASSERT_NE(code1_first, code2_first);

    VoiceCodecState s67 = fresh_state(67, false);
    VoiceFrame f67 = make_frame(1);
    f67.payload[0] = 0x12;
    EXPECT_EQ(decode(s67, f67).pcm.at(0), code1_first);

    VoiceCodecState s3 = fresh_state(3, false);
    VoiceFrame f3 = make_frame(3);
    f3.payload[4] = 0x12;
    EXPECT_EQ(decode(s3, f3).pcm.at(0), code1_first);

    VoiceCodecState s35 = fresh_state(35, false);
    VoiceFrame f35 = make_frame(3);
    f35.payload[4] = 0x12;
    const Decoded d35 = decode(s35, f35);
    EXPECT_EQ(d35.pcm.at(0), 0) << "sample 0 is the header word";
    EXPECT_EQ(d35.pcm.at(1), code2_first);
}

TEST(ImaAdpcm, ZeroCodesAtTheSmallestStepHoldThePrediction) {
    VoiceCodecState s = fresh_state(3, false);
    VoiceFrame f = make_frame(20, 0x00);
    f.payload[0] = 1000 & 0xFF;
    f.payload[1] = 1000 >> 8;
    const Decoded d = decode(s, f);
    ASSERT_EQ(d.pcm.size(), 72u);
    for (const int16_t v : d.pcm) EXPECT_EQ(v, 1000);
    EXPECT_EQ(s.codec.adpcm.step_index, 0) << "codes 0 to 3 never take the index below 0";
    EXPECT_EQ(s.codec.adpcm.predicted, 1000);
}

TEST(ImaAdpcm, SaturatesAtTheTopOfTheStepTable) {
    // From 0 at index 88, code 7 adds 4095 + 32767 + 16383 + 8191 and clips at 32767; code 0xF
    // clips at -32768; the index stays at 88.
    for (const auto& [byte, expected] :
         {std::pair{0x77, int16_t{32767}}, std::pair{0xFF, int16_t{-32768}}}) {
        VoiceCodecState s = fresh_state(3, false);
        VoiceFrame f = make_frame(3);
        f.payload[2] = 88;
        f.payload[4] = static_cast<uint8_t>(byte);
        f.payload[5] = static_cast<uint8_t>(byte);
        const Decoded d = decode(s, f);
        ASSERT_EQ(d.pcm.size(), 4u);
        for (const int16_t v : d.pcm) EXPECT_EQ(v, expected);
        EXPECT_EQ(s.codec.adpcm.step_index, 88);
    }
    // The encoder saturates too: a full-scale square wave never wraps.
    VoiceCodecState enc = fresh_state(67, true);
    VoiceCodecState dec = fresh_state(67, false);
    std::vector<int16_t> square(480);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 40) % 2 ? 32767 : -32768;
    VoiceFrame f = encode(enc, square);
    const Decoded d = decode(dec, f);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(enc.codec.adpcm.step_index, dec.codec.adpcm.step_index);
    EXPECT_GT(snr_db(square, d.pcm, 40), 3.0);
}

TEST(ImaAdpcm, HeaderStepIndexAbove88IsClamped) {
    for (const int index : {89, 100, 200, 255}) {
        VoiceCodecState a = fresh_state(35, false);
        VoiceCodecState b = fresh_state(35, false);
        VoiceFrame high = make_frame(10, 0x3C);
        VoiceFrame top = high;
        high.payload[0] = 0;
        high.payload[1] = 0;
        high.payload[2] = static_cast<uint8_t>(index);
        high.payload[3] = 0x55;  // the high byte of word 1 is ignored
        top.payload[0] = 0;
        top.payload[1] = 0;
        top.payload[2] = 88;
        top.payload[3] = 0;
        EXPECT_EQ(decode(a, high).pcm, decode(b, top).pcm) << index;
    }
}

TEST(ImaAdpcm, FrameSizesAtTheEdges) {
    // One sample in mode 35: header words only, decoding to that sample.
    VoiceCodecState enc = fresh_state(35, true);
    VoiceFrame one = encode(enc, {-777});
    EXPECT_EQ(one.payload_words, 2);
    VoiceCodecState dec = fresh_state(35, false);
    EXPECT_EQ(decode(dec, one).pcm, std::vector<int16_t>{-777});

    // 321 samples give 82 words; 481 give 122.
    VoiceCodecState e2 = fresh_state(35, true);
    EXPECT_EQ(encode(e2, speech_signal(321)).payload_words, 82);
    EXPECT_EQ(encode(e2, speech_signal(481)).payload_words, 122);

    // One payload word cannot hold a header: refused without samples in modes 3 and 35.
    for (const int mode : {3, 35}) {
        VoiceCodecState s = fresh_state(mode, false);
        VoiceFrame f = make_frame(1, 0x44);
        EXPECT_EQ(decode(s, f).rc, VOICE_ERR_DEC_LENGTH) << mode;
    }
    // Two words: the header alone, giving no sample in mode 3 and the verbatim one in mode 35.
    VoiceCodecState s3 = fresh_state(3, false);
    VoiceFrame h = make_frame(2, 0x00);
    h.payload[0] = 0x10;
    const Decoded d3 = decode(s3, h);
    EXPECT_EQ(d3.rc, 0);
    EXPECT_TRUE(d3.pcm.empty());
    EXPECT_EQ(s3.codec.adpcm.predicted, 0x10) << "the header still loads the state";
}

}  // namespace
