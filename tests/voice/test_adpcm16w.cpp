// Mode 68, the two-bit word-packed ADPCM: code order in a payload word, trailing samples, the
// transition reset, the 16-bit wrap of the difference, and fixed results from an independent
// model of the coder.
#include "voice/voice_test_util.h"

using namespace voicetest;

namespace {

// Codes of a payload word, first code first (bits 15-14 down to 1-0).
std::vector<int> codes_of_word(const VoiceFrame& f, int word) {
    const int w = f.payload[2 * word] | (f.payload[2 * word + 1] << 8);
    std::vector<int> out;
    for (int k = 0; k < 8; ++k) out.push_back((w >> (14 - 2 * k)) & 3);
    return out;
}

TEST(Adpcm16w, FirstCodeSitsInTheTopBitsOfTheWord) {
    // From a reset, 0 gives code 0 (small positive); a large positive step code 1; a large
    // negative step code 2.
    const std::pair<int16_t, int> cases[] = {{0, 0}, {20000, 1}, {-20000, 2}};
    for (const auto& [x, code] : cases) {
        VoiceCodecState s = fresh_state(68, true);
        const VoiceFrame f = encode(s, {x, 0, 0, 0, 0, 0, 0, 0});
        ASSERT_EQ(f.payload_words, 1);
        EXPECT_EQ(codes_of_word(f, 0)[0], code) << x;
        EXPECT_EQ(f.payload[1] >> 6, code) << "payload byte 1 holds the first four codes";
    }
}

TEST(Adpcm16w, DecodesTheWord0x1B00AsCodes0123ThenZeros) {
    // Bytes 0x00, 0x1B: codes 0, 1, 2, 3, 0, 0, 0, 0. The expected samples come from an
    // independent model fed with exactly that code sequence.
    VoiceCodecState s = fresh_state(68, false);
    VoiceFrame f = make_frame(80);
    Lcg rng(68);
    f.payload[0] = 0x00;
    f.payload[1] = 0x1B;
    for (int w = 1; w < 80; ++w) {
        const uint32_t v = rng.next() & 0xFFFF;
        f.payload[2 * w] = static_cast<uint8_t>(v & 0xFF);
        f.payload[2 * w + 1] = static_cast<uint8_t>(v >> 8);
    }
    // 80 words is no accepted length; decode as 60 + 20 words.
    VoiceFrame a = make_frame(60);
    VoiceFrame b = make_frame(20);
    std::memcpy(a.payload, f.payload, 120);
    std::memcpy(b.payload, f.payload + 120, 40);
    const Decoded da = decode(s, a);
    const Decoded db = decode(s, b);
    ASSERT_EQ(da.pcm.size(), 480u);
    ASSERT_EQ(db.pcm.size(), 160u);
    std::vector<int16_t> all = da.pcm;
    all.insert(all.end(), db.pcm.begin(), db.pcm.end());
    EXPECT_EQ(std::vector<int16_t>(all.begin(), all.begin() + 8),
              (std::vector<int16_t>{3, 16, -15, -5, 3, 4, 3, 2}));
    EXPECT_EQ(fnv1a(all), 0x80066828u);
}

TEST(Adpcm16w, EncoderMatchesTheModel) {
    const std::vector<int16_t> input = integer_signal(160);
    VoiceCodecState s = fresh_state(68, true);
    std::vector<uint8_t> payload;
    for (int half = 0; half < 2; ++half) {
        const VoiceFrame f = encode(
            s, std::vector<int16_t>(input.begin() + 80 * half, input.begin() + 80 * (half + 1)));
        ASSERT_EQ(f.payload_words, 10);
        const std::vector<uint8_t> p = payload_of(f);
        payload.insert(payload.end(), p.begin(), p.end());
    }
    EXPECT_EQ(payload[0], 0x5A);
    EXPECT_EQ(payload[1], 0xA9);
    EXPECT_EQ(fnv1a(payload.data(), payload.size()), 0x41905BE6u);
}

TEST(Adpcm16w, TrailingCodesAreDroppedButMoveTheState) {
    const std::vector<int16_t> input = integer_signal(81);
    VoiceCodecState all = fresh_state(68, true);
    VoiceCodecState split = fresh_state(68, true);
    const VoiceFrame a = encode(all, input);
    const VoiceFrame b = encode(split, std::vector<int16_t>(input.begin(), input.end() - 1));
    EXPECT_EQ(a.payload_words, 10);
    EXPECT_EQ(payload_of(a), payload_of(b));
    EXPECT_FALSE(same_bytes(&all, &split, sizeof all)) << "the 81st sample moved the state";
    // A one-sample block yields no word but codes the sample.
    const VoiceFrame c = encode(split, {input.back()});
    EXPECT_EQ(c.payload_words, 0);
    EXPECT_TRUE(same_bytes(&all, &split, sizeof all));
}

TEST(Adpcm16w, TransitionClearsThePredictor) {
    // With tone detect set, any difference above yl / 7147 counts as a transition.
    VoiceCodecState s = fresh_state(68, true);
    VoiceAdpcm16wFields& w = s.codec.adpcm16w;
    w.td = 1;
    w.a1 = 3000;
    w.a2 = -2000;
    for (int16_t& b : w.b) b = 700;
    w.ap = 40;
    encode(s, {1000});
    EXPECT_EQ(w.a1, 0);
    EXPECT_EQ(w.a2, 0);
    for (const int16_t b : w.b) EXPECT_EQ(b, 0);
    EXPECT_EQ(w.ap, 256);
    EXPECT_EQ(w.td, 0);
    EXPECT_EQ(w.dq[0] > 0, true) << "the history still takes the new difference";
}

TEST(Adpcm16w, DifferenceWrapsAsA16BitNumber) {
    // A prediction of about 40000 against input 0: d = -40001 wraps to +25535, a large
    // positive difference (code 1); a saturating coder would have sent code 2.
    VoiceCodecState s = fresh_state(68, true);
    VoiceAdpcm16wFields& w = s.codec.adpcm16w;
    w.a1 = 12000;
    w.sr1 = 27307;  // se = (12000 * 27307) >> 13 = 40001
    const VoiceFrame f = encode(s, {0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(codes_of_word(f, 0)[0], 1);
}

TEST(Adpcm16w, DecoderOutputIsClampedNotWrapped) {
    // A prediction beyond 16 bits plus a difference of the same sign gives the rail, while the
    // halved history keeps its 16-bit wrap.
    for (const int sign : {1, -1}) {
        VoiceCodecState s = fresh_state(68, false);
        VoiceAdpcm16wFields& w = s.codec.adpcm16w;
        w.a1 = 12000;
        w.sr1 = static_cast<int16_t>(sign * 27307);  // se about 40000 times the sign
        VoiceFrame f = make_frame(10, 0x00);
        f.payload[1] =
            sign > 0 ? 0x40 : 0x80;  // first code 1 (large positive) or 2 (large negative)
        const Decoded d = decode(s, f);
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.pcm[0], sign > 0 ? 32767 : -32768);
    }
}

}  // namespace
