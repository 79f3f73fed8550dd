// G.726 in modes 4 to 7 (LSB-first) and 36 to 39 (MSB-first): code positions in both packings,
// the in-place rewrite of MSB-first frames, odd blocks, output range, and fixed results from an
// independent model of the coder.
#include <random>

#include "voice/voice_test_util.h"

using namespace voicetest;

namespace {

constexpr int kBits[] = {2, 3, 4, 5};
int lsb_mode(int bits) {
    return bits + 2;
}
int msb_mode(int bits) {
    return bits + 34;
}
int words_for_80(int bits) {
    return 5 * bits;
}

std::vector<int> random_codes(std::size_t n, int bits, uint32_t seed) {
    Lcg rng(seed);
    std::vector<int> codes(n);
    for (int& c : codes) c = static_cast<int>(rng.next() % (1u << bits));
    return codes;
}

std::vector<int16_t> decode_codes(int mode, int bits, const std::vector<int>& codes) {
    VoiceCodecState s = fresh_state(mode, false);
    std::vector<int16_t> out;
    const std::size_t per_frame = 80;
    for (std::size_t start = 0; start < codes.size(); start += per_frame) {
        const std::vector<int> part(codes.begin() + static_cast<std::ptrdiff_t>(start),
                                    codes.begin() + static_cast<std::ptrdiff_t>(start + per_frame));
        VoiceFrame f = frame_with_payload(pack_codes(part, bits, mode >= 36));
        const Decoded d = decode(s, f);
        EXPECT_EQ(d.rc, 0);
        out.insert(out.end(), d.pcm.begin(), d.pcm.end());
    }
    return out;
}

TEST(G726, ZeroFrameDecodesToMultiplesOfFour) {
    VoiceCodecState s = fresh_state(6, false);
    VoiceFrame f = make_frame(20, 0x00);
    const Decoded d = decode(s, f);
    ASSERT_EQ(d.pcm.size(), 80u);
    for (const int16_t v : d.pcm) EXPECT_EQ(v % 4, 0);
}

TEST(G726, Byte0x21HoldsItsCodesInOppositeOrderInModes6And38) {
    // Mode 6: code 1 (low nibble) first, then 2. Mode 38: code 2 (high nibble) first, then 1.
    const auto starting_with = [](int first, int second) {
        std::vector<int> codes(80, 0);
        codes[0] = first;
        codes[1] = second;
        return decode_codes(6, 4, codes);
    };
    const std::vector<int16_t> one_then_two = starting_with(1, 2);
    const std::vector<int16_t> two_then_one = starting_with(2, 1);
    ASSERT_NE(one_then_two, two_then_one);

    for (const int mode : {6, 38}) {
        SCOPED_TRACE(mode);
        VoiceCodecState s = fresh_state(mode, false);
        VoiceFrame f = make_frame(20, 0x00);
        f.payload[0] = 0x21;
        EXPECT_EQ(decode(s, f).pcm, mode == 6 ? one_then_two : two_then_one);
        // Mode 38's byte is rewritten in place into LSB-first order.
        EXPECT_EQ(f.payload[0], mode == 6 ? 0x21 : 0x12);
    }
}

TEST(G726, EveryCodePositionInBothPackings) {
    // A single nonzero code at position k changes the output from sample k on, never before:
    // this pins where each code sits, including codes that straddle bytes.
    for (const int bits : kBits) {
        const std::vector<int16_t> silent =
            decode_codes(lsb_mode(bits), bits, std::vector<int>(80, 0));
        for (int k = 0; k < 80; ++k) {
            std::vector<int> codes(80, 0);
            codes[static_cast<std::size_t>(k)] = 1;
            for (const bool msb : {false, true}) {
                const std::vector<int16_t> out =
                    decode_codes(msb ? msb_mode(bits) : lsb_mode(bits), bits, codes);
                for (int i = 0; i < k; ++i)
                    ASSERT_EQ(out[static_cast<std::size_t>(i)], silent[static_cast<std::size_t>(i)])
                        << bits << " k " << k;
                ASSERT_NE(out[static_cast<std::size_t>(k)], silent[static_cast<std::size_t>(k)])
                    << "bits " << bits << " k " << k << " msb " << msb;
            }
        }
    }
}

TEST(G726, MsbModesDecodeTheSameCodesAndLeaveTheFrameLsbFirst) {
    for (const int bits : kBits) {
        const std::vector<int> codes = random_codes(80, bits, static_cast<uint32_t>(bits));
        const std::vector<uint8_t> lsb = pack_codes(codes, bits, false);
        const std::vector<uint8_t> msb = pack_codes(codes, bits, true);
        ASSERT_NE(lsb, msb);

        VoiceCodecState a = fresh_state(lsb_mode(bits), false);
        VoiceCodecState b = fresh_state(msb_mode(bits), false);
        VoiceFrame fa = frame_with_payload(lsb);
        VoiceFrame fb = frame_with_payload(msb);
        const VoiceFrame fa_before = fa;
        EXPECT_EQ(decode(a, fa).pcm, decode(b, fb).pcm) << bits;
        EXPECT_TRUE(same_bytes(&fa, &fa_before, sizeof fa)) << "LSB-first frames are not touched";
        EXPECT_EQ(payload_of(fb), lsb) << "bits " << bits;
        EXPECT_EQ(fb.payload_words, words_for_80(bits));

        // Decoding the rewritten buffer again as an MSB-first frame reads other codes.
        VoiceCodecState again = fresh_state(msb_mode(bits), false);
        VoiceCodecState first = fresh_state(msb_mode(bits), false);
        VoiceFrame original = frame_with_payload(msb);
        EXPECT_NE(decode(again, fb).pcm, decode(first, original).pcm);
    }
}

TEST(G726, MsbEncodersWriteTheLsbStreamInMsbOrder) {
    const std::vector<int16_t> input = integer_signal(480);
    for (const int bits : kBits) {
        for (const int n : {80, 160, 320, 480}) {
            const std::vector<int16_t> block(input.begin(), input.begin() + n);
            VoiceCodecState a = fresh_state(lsb_mode(bits), true);
            VoiceCodecState b = fresh_state(msb_mode(bits), true);
            const VoiceFrame fa = encode(a, block);
            const VoiceFrame fb = encode(b, block);
            ASSERT_EQ(fa.payload_words, fb.payload_words);
            // Unpack the LSB stream and repack it MSB-first.
            std::vector<int> codes;
            const std::vector<uint8_t> lsb = payload_of(fa);
            for (std::size_t pos = 0; pos + static_cast<std::size_t>(bits) <= lsb.size() * 8;
                 pos += static_cast<std::size_t>(bits)) {
                int code = 0;
                for (int i = 0; i < bits; ++i)
                    code |= ((lsb[(pos + i) / 8] >> ((pos + i) % 8)) & 1) << i;
                codes.push_back(code);
            }
            EXPECT_EQ(payload_of(fb), pack_codes(codes, bits, true))
                << "bits " << bits << " n " << n;
            EXPECT_TRUE(same_bytes(&a.codec, &b.codec, sizeof a.codec)) << "same coder state";
        }
    }
}

TEST(G726, BitOrderConverterSkipsPayloadsThatHoldNoWholeCodes) {
    // 3- and 5-bit streams whose bit count is no multiple of the code size stay LSB-first.
    const std::vector<int16_t> input = integer_signal(40);
    const std::pair<int, int> cases[] = {{3, 22}, {5, 10}, {5, 13}, {3, 40}, {3, 16}, {5, 16}};
    for (const auto& [bits, n] : cases) {
        const std::vector<int16_t> block(input.begin(), input.begin() + n);
        VoiceCodecState a = fresh_state(lsb_mode(bits), true);
        VoiceCodecState b = fresh_state(msb_mode(bits), true);
        const VoiceFrame fa = encode(a, block);
        const VoiceFrame fb = encode(b, block);
        const int words = bits * n / 16;
        ASSERT_EQ(fa.payload_words, words);
        const bool whole_codes = (16 * words) % bits == 0;
        if (whole_codes) {
            EXPECT_NE(payload_of(fa), payload_of(fb)) << bits << " " << n;
        } else {
            EXPECT_EQ(payload_of(fa), payload_of(fb)) << bits << " " << n;
        }
    }
}

TEST(G726, UnfilledPayloadBitsAreZero) {
    // 13 samples at 5 bits: 12 are coded (60 bits) into a 64-bit payload.
    const std::vector<int16_t> block = {30000,  -30000, 30000,  -30000, 30000,  -30000, 30000,
                                        -30000, 30000,  -30000, 30000,  -30000, 30000};
    for (const int mode : {7, 39}) {
        VoiceCodecState s = fresh_state(mode, true);
        const VoiceFrame f = encode(s, block);
        ASSERT_EQ(f.payload_words, 4);
        EXPECT_EQ(f.payload[7] & 0xF0, 0) << mode;
    }
}

TEST(G726, OddBlockCodesOneSampleLess) {
    const std::vector<int16_t> input = integer_signal(81);
    VoiceCodecState odd = fresh_state(6, true);
    VoiceCodecState even = fresh_state(6, true);
    const VoiceFrame a = encode(odd, input);
    const VoiceFrame b = encode(even, std::vector<int16_t>(input.begin(), input.end() - 1));
    EXPECT_EQ(a.payload_words, 20);
    EXPECT_EQ(payload_of(a), payload_of(b));
    EXPECT_TRUE(same_bytes(&odd, &even, sizeof odd)) << "the 81st sample does not touch the state";

    // payload_words comes from the count as passed: 5 bits x 7 samples = 2 words for 6 coded.
    VoiceCodecState s = fresh_state(7, true);
    EXPECT_EQ(encode(s, std::vector<int16_t>(input.begin(), input.begin() + 7)).payload_words, 2);
}

TEST(G726, OutputStaysWithinTheShiftedFourteenBitRange) {
    for (const int bits : kBits) {
        const std::vector<int16_t> out =
            decode_codes(lsb_mode(bits), bits, random_codes(480 * 4, bits, 77));
        for (const int16_t v : out) {
            ASSERT_EQ(v % 4, 0);
            ASSERT_LE(v, 32764);
            ASSERT_GE(v, -32768);
        }
    }
    // Full-scale input: 32767 and -32768 become 8191 and -8192 before coding; nothing wraps.
    VoiceCodecState enc = fresh_state(7, true);
    VoiceCodecState dec = fresh_state(7, false);
    std::vector<int16_t> square(480);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 20) % 2 ? 32767 : -32768;
    for (int round = 0; round < 10; ++round) {
        VoiceFrame f = encode(enc, square);
        const Decoded d = decode(dec, f);
        ASSERT_EQ(d.rc, 0);
        if (round == 9) {
            EXPECT_GT(snr_db(square, d.pcm), 10.0);
        }
    }
}

TEST(G726, CoefficientBoundsHoldOnRandomStreams) {
    for (const int bits : kBits) {
        VoiceCodecState s = fresh_state(lsb_mode(bits), false);
        std::mt19937 rng(static_cast<unsigned>(bits));
        for (int frame = 0; frame < 200; ++frame) {
            VoiceFrame f = make_frame(words_for_80(bits));
            // Mostly quiet codes (magnitude index 0 or 1) with bursts, to reach every branch.
            for (int i = 0; i < 2 * f.payload_words; ++i)
                f.payload[i] = static_cast<uint8_t>(frame % 7 == 0 ? rng() : rng() & 0x11);
            ASSERT_EQ(decode(s, f).rc, 0);
            const VoiceG726Fields& g = s.codec.g726;
            ASSERT_GE(g.yu, 544);
            ASSERT_LE(g.yu, 5120);
            ASSERT_GE(g.a2, -12288);
            ASSERT_LE(g.a2, 12288);
            ASSERT_LE(g.a1, 15360 - g.a2);
            ASSERT_GE(g.a1, g.a2 - 15360);
            ASSERT_TRUE(g.td == 0 || g.td == 1);
            ASSERT_EQ(g.code_size, bits);
        }
    }
}

// Fixed results from an independent model of the coder, on 160 codes of the generator above
// (decoder) and on the integer test signal (encoder); they cover saturated stretches too.
struct Golden {
    int bits;
    int16_t first[8];
    uint32_t decoded_fnv;
    uint32_t encoded_fnv;
};
const Golden kGolden[] = {
    {2, {12, 60, -16, -60, 84, -24, 20, 72}, 0x5ED915B3u, 0x102065B9u},
    {3, {60, 72, -48, 0, -16, -68, -60, 0}, 0x0883506Fu, 0x5591171Au},
    {4, {-60, 68, -44, 0, 0, 0, 16, 52}, 0x25FB3810u, 0x293923CAu},
    {5, {0, 72, -48, 28, -168, 192, -104, -176}, 0x069625CCu, 0x112FFD3Fu},
};

TEST(G726, MatchesTheModelOfTheCoder) {
    for (const Golden& g : kGolden) {
        const std::vector<int16_t> out = decode_codes(
            lsb_mode(g.bits), g.bits, random_codes(160, g.bits, static_cast<uint32_t>(g.bits)));
        ASSERT_EQ(out.size(), 160u);
        EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 8),
                  std::vector<int16_t>(g.first, g.first + 8))
            << g.bits;
        EXPECT_EQ(fnv1a(out), g.decoded_fnv) << "bits " << g.bits;

        VoiceCodecState enc = fresh_state(lsb_mode(g.bits), true);
        const std::vector<int16_t> input = integer_signal(160);
        std::vector<uint8_t> payload;
        for (int half = 0; half < 2; ++half) {
            const VoiceFrame f = encode(enc, std::vector<int16_t>(input.begin() + 80 * half,
                                                                  input.begin() + 80 * (half + 1)));
            const std::vector<uint8_t> p = payload_of(f);
            payload.insert(payload.end(), p.begin(), p.end());
        }
        EXPECT_EQ(fnv1a(payload.data(), payload.size()), g.encoded_fnv) << "bits " << g.bits;
    }
}

// A decoder state set up by hand, then one frame of codes; returns the samples.
std::vector<int16_t> decode_from(VoiceCodecState& s, int bits, const std::vector<int>& codes) {
    VoiceFrame f = frame_with_payload(pack_codes(codes, bits, false));
    const Decoded d = decode(s, f);
    EXPECT_EQ(d.rc, 0);
    return d.pcm;
}

TEST(G726, TransitionStartsJustAboveItsThreshold) {
    // yl = 34816 puts the threshold at 51; with ap = 256 the scale factor is yu, and a 5-bit
    // code 15 reconstructs to 51 at yu = 608 (no transition) and 52 at yu = 616 (transition:
    // predictor cleared). Samples from the independent model.
    struct Case {
        int32_t yu;
        bool transition;
        uint32_t fnv;
        int16_t first[3];
    };
    const Case cases[] = {{608, false, 0x889F6339u, {204, 16, 0}},
                          {616, true, 0xD25A0595u, {208, 0, 0}}};
    for (const Case& c : cases) {
        VoiceCodecState s = fresh_state(7, false);
        VoiceG726Fields& g = s.codec.g726;
        g.td = 1;
        g.ap = 256;
        g.yu = c.yu;
        g.a1 = 1000;
        g.a2 = -500;
        for (int32_t& b : g.b) b = 300;
        std::vector<int> codes(80, 0);
        codes[0] = 15;
        const std::vector<int16_t> out = decode_from(s, 5, codes);
        EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 3),
                  std::vector<int16_t>(c.first, c.first + 3))
            << c.yu;
        EXPECT_EQ(fnv1a(out), c.fnv) << c.yu;
        // After a transition the zero codes that follow leave the predictor at 0.
        EXPECT_EQ(g.a1 == 0 && g.a2 == 0 && g.b[0] == 0, c.transition) << c.yu;
    }
}

TEST(G726, OversizedReconstructionKeepsTheLiteralFloatForm) {
    // Large coefficients push the second sample's sr to -41660, whose bit 15 is clear: its float
    // takes sign 0 and an exponent of 16 that carries into the bits above. The third sample's
    // prediction follows from that literal form (-25640; the sign of sr would give -25636).
    VoiceCodecState s = fresh_state(6, false);
    VoiceG726Fields& g = s.codec.g726;
    for (int32_t& b : g.b) b = 10870;
    for (int32_t& dq : g.dq) dq = 2047;  // -32767 as an 11-bit float
    g.a1 = 13972;
    g.a2 = -6559;
    g.sr1 = 1000;
    std::vector<int> codes(80, 0);
    const int head[] = {15, 2, 10, 1, 15, 4};
    std::copy(std::begin(head), std::end(head), codes.begin());
    const std::vector<int16_t> out = decode_from(s, 4, codes);
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 8),
              (std::vector<int16_t>{-32768, -32768, -25640, -32768, -27156, -9580, 3140, 6744}));
    EXPECT_EQ(fnv1a(out), 0xEB1461C6u);
}

}  // namespace
