// The in-place transcoder: checks, the byte swap of G.711 frames, decode-then-encode of modes
// 67 and 68 with both states running on, and every kind of frame it leaves unchanged.
#include <memory>

#include "voice/voice_test_util.h"

using namespace voicetest;

namespace {

std::unique_ptr<VoiceTranscodeState> transcoder(int mode) {
    auto st = std::make_unique<VoiceTranscodeState>();
    std::memset(st.get(), 0xB7, sizeof *st);
    EXPECT_EQ(TV_VOICE_TransCodeReset(st.get(), mode), 0);
    return st;
}

TEST(Transcode, ResetChecksAndSetsBothStates) {
    EXPECT_EQ(TV_VOICE_TransCodeReset(nullptr, 97), VOICE_ERR_TRANS_NULL_STATE);
    EXPECT_EQ(TV_VOICE_TransCodeReset(nullptr, 5), VOICE_ERR_TRANS_NULL_STATE);
    for (const int32_t mode : {96, 101, 0, 1, -1, 65}) {
        VoiceTranscodeState st;
        std::memset(&st, 0x42, sizeof st);
        const VoiceTranscodeState before = st;
        EXPECT_EQ(TV_VOICE_TransCodeReset(&st, mode), VOICE_ERR_TRANS_MODE) << mode;
        EXPECT_TRUE(same_bytes(&st, &before, sizeof st)) << "mode " << mode << " changes nothing";
    }
    const std::pair<int, int> pairs[] = {{97, 1}, {98, 2}, {99, 3}, {100, 4}};
    for (const auto& [mode, base] : pairs) {
        auto st = transcoder(mode);
        EXPECT_EQ(st->encoder.mode, base);
        EXPECT_EQ(st->decoder.mode, base + 64);
        // The decoder part, 2048 bytes in, is a reset state of its mode; so is the encoder part.
        const auto* raw = reinterpret_cast<const uint8_t*>(st.get());
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&st->decoder) - raw, 2048);
        const VoiceCodecState dec = fresh_state(base + 64, false);
        const VoiceCodecState enc = fresh_state(base, true);
        if (base == 3) {
            EXPECT_TRUE(
                same_bytes(&st->decoder.codec.adpcm, &dec.codec.adpcm, sizeof dec.codec.adpcm));
            EXPECT_TRUE(
                same_bytes(&st->encoder.codec.adpcm, &enc.codec.adpcm, sizeof enc.codec.adpcm));
        }
        if (base == 4) {
            EXPECT_TRUE(same_bytes(&st->decoder.codec.adpcm16w, &dec.codec.adpcm16w,
                                   sizeof dec.codec.adpcm16w));
            EXPECT_TRUE(
                same_bytes(&st->encoder.codec.g726, &enc.codec.g726, sizeof enc.codec.g726));
        }
    }
    // Only the low 16 bits of the mode count.
    auto st = transcoder(0x10000 + 98);
    EXPECT_EQ(st->encoder.mode, 2);
}

TEST(Transcode, FrameChecksComeInTheirFixedOrder) {
    VoiceFrame f = make_frame(40, 0x55);
    EXPECT_EQ(TV_VOICE_TransCodeFrame(nullptr, nullptr), VOICE_ERR_TRANS_NULL_STATE);
    EXPECT_EQ(TV_VOICE_TransCodeFrame(nullptr, &f), VOICE_ERR_TRANS_NULL_STATE);
    auto st = transcoder(97);
    EXPECT_EQ(TV_VOICE_TransCodeFrame(st.get(), nullptr), VOICE_ERR_NULL_INPUT);
    // An encoder part outside modes 1 to 4 is refused, even with a null frame ruled out first.
    for (const int mode : {0, 5, 35, 65, 8}) {
        TV_VOICE_EncReset(&st->encoder, mode);
        const VoiceFrame before = f;
        EXPECT_EQ(TV_VOICE_TransCodeFrame(st.get(), &f), VOICE_ERR_TRANS_MODE) << mode;
        EXPECT_TRUE(same_bytes(&f, &before, sizeof f));
    }
}

TEST(Transcode, G711FramesHaveTheirWordBytesSwapped) {
    for (const int mode : {97, 98}) {
        auto st = transcoder(mode);
        VoiceFrame f = make_frame(40, 0xEE);
        f.payload[0] = 0x55;
        f.payload[1] = 0xD5;
        for (int i = 2; i < 80; ++i) f.payload[i] = static_cast<uint8_t>(i);
        const VoiceFrame before = f;
        ASSERT_EQ(TV_VOICE_TransCodeFrame(st.get(), &f), 0);
        EXPECT_EQ(f.payload[0], 0xD5);
        EXPECT_EQ(f.payload[1], 0x55);
        for (int i = 2; i < 80; ++i) EXPECT_EQ(f.payload[i], before.payload[i ^ 1]) << i;
        EXPECT_TRUE(same_bytes(&f, &before, 4)) << "header unchanged";
        EXPECT_TRUE(same_bytes(f.payload + 80, before.payload + 80, 400))
            << "nothing past the payload";

        // The swapped frame now decodes in the base mode as the original did in the swapped mode.
        VoiceCodecState swapped = fresh_state(mode - 32, false);
        VoiceCodecState plain = fresh_state(mode - 96, false);
        VoiceFrame original = before;
        EXPECT_EQ(decode(swapped, original).pcm, decode(plain, f).pcm);
    }
}

TEST(Transcode, G711SwapIgnoresTheHeader) {
    // The header is neither examined nor changed: a frame type or length no decoder accepts
    // is still swapped, word by word.
    auto st = transcoder(97);
    VoiceFrame f = make_frame(3, 0x00);
    f.flags[1] = 0x00;
    f.reserved = 9;
    for (int i = 0; i < 8; ++i) f.payload[i] = static_cast<uint8_t>(0x10 + i);
    ASSERT_EQ(TV_VOICE_TransCodeFrame(st.get(), &f), 0);
    const uint8_t expected[8] = {0x11, 0x10, 0x13, 0x12, 0x15, 0x14, 0x16, 0x17};
    EXPECT_TRUE(same_bytes(f.payload, expected, 8));
    EXPECT_EQ(f.flags[1], 0x00);
    EXPECT_EQ(f.reserved, 9);
    EXPECT_EQ(f.payload_words, 3);

    // A zero-length frame passes untouched.
    VoiceFrame empty = make_frame(0, 0x21);
    const VoiceFrame empty_before = empty;
    ASSERT_EQ(TV_VOICE_TransCodeFrame(st.get(), &empty), 0);
    EXPECT_TRUE(same_bytes(&empty, &empty_before, sizeof empty));
}

TEST(Transcode, G711FrameLongerThanAFrameHoldsPassesUntouched) {
    // payload_words above 240 would swap past the end of the caller's frame.
    auto st = transcoder(98);
    struct Padded {
        VoiceFrame frame;
        uint8_t guard[64];
    } p;
    std::memset(&p, 0x6B, sizeof p);
    p.frame.flags[1] = 0x01;
    p.frame.payload[0] = 0x01;
    for (const int words : {241, 255}) {
        p.frame.payload_words = static_cast<uint8_t>(words);
        const Padded before = p;
        ASSERT_EQ(TV_VOICE_TransCodeFrame(st.get(), &p.frame), 0);
        EXPECT_TRUE(same_bytes(&p, &before, sizeof p)) << words;
    }
    p.frame.payload_words = 240;
    ASSERT_EQ(TV_VOICE_TransCodeFrame(st.get(), &p.frame), 0);
    EXPECT_EQ(p.frame.payload[1], 0x01) << "240 words is the largest frame and is swapped";
    for (const uint8_t g : p.guard) EXPECT_EQ(g, 0x6B);
}

// Three blocks of speech encoded in mode `from` (`words_in` payload words each) through a
// transcoder of `mode`: each comes out as a `from` decoder feeding a `to` encoder, both running
// on, makes it, with `words_out` words; `check` sees the block and the result.
template <class Check>
void expect_pipeline(int mode, int from, int to, int words_in, int words_out, Check check) {
    const std::vector<int16_t> speech = speech_signal(960);
    VoiceCodecState source = fresh_state(from, true);
    auto st = transcoder(mode);
    VoiceCodecState decoder = fresh_state(from, false);
    VoiceCodecState encoder = fresh_state(to, true);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        const std::vector<int16_t> block(speech.begin() + 320 * k, speech.begin() + 320 * (k + 1));
        VoiceFrame f = encode(source, block);
        ASSERT_EQ(f.payload_words, words_in);
        const VoiceFrame expected = encode(encoder, decode(decoder, f).pcm);
        ASSERT_EQ(TV_VOICE_TransCodeFrame(st.get(), &f), 0);
        EXPECT_EQ(f.payload_words, words_out);
        EXPECT_TRUE(same_bytes(&f, &expected, 4 + 2 * static_cast<size_t>(words_out)));
        check(k, block, f);
    }
}

TEST(Transcode, HeaderlessAdpcmBecomesMode3WithStatesRunningOn) {
    expect_pipeline(99, 67, 3, 80, 82, [](int k, const std::vector<int16_t>& block, VoiceFrame f) {
        if (k == 0) {
            EXPECT_EQ(f.payload[0], 0);  // the encoder's prediction and index before the block
            EXPECT_EQ(f.payload[2], 0);
        }
        // The result is an ordinary mode-3 frame.
        VoiceCodecState dec3 = fresh_state(3, false);
        EXPECT_GT(snr_db(block, decode(dec3, f).pcm), 12.0);
    });
}

TEST(Transcode, Mode68BecomesG726At16Kbits) {
    VoiceCodecState dec4 = fresh_state(4, false);
    expect_pipeline(100, 68, 4, 40, 40, [&](int, const std::vector<int16_t>&, VoiceFrame f) {
        EXPECT_EQ(decode(dec4, f).rc, 0);
    });
}

TEST(Transcode, FramesTheInnerCodecsRefuseComeOutUnchanged) {
    struct Case {
        int mode;
        VoiceFrame frame;
    };
    std::vector<Case> cases;
    VoiceFrame wrong_type = make_frame(40, 0x93);
    wrong_type.flags[1] = 0x02;
    cases.push_back({100, wrong_type});
    cases.push_back({99, wrong_type});
    cases.push_back({100, make_frame(11, 0x93)});  // no accepted mode-68 length
    cases.push_back({100, make_frame(0, 0x93)});
    cases.push_back({99, make_frame(0, 0x93)});
    cases.push_back({99, make_frame(123, 0x93)});
    // 121 and 122 words decode to 484 and 488 samples, more than the encoder takes.
    cases.push_back({99, make_frame(121, 0x93)});
    cases.push_back({99, make_frame(122, 0x93)});
    for (Case& c : cases) {
        auto st = transcoder(c.mode);
        const VoiceFrame before = c.frame;
        const VoiceCodecState encoder_before = st->encoder;
        EXPECT_EQ(TV_VOICE_TransCodeFrame(st.get(), &c.frame), 0);
        EXPECT_TRUE(same_bytes(&c.frame, &before, sizeof before))
            << "mode " << c.mode << " words " << int(before.payload_words);
        EXPECT_TRUE(same_bytes(&st->encoder, &encoder_before, sizeof encoder_before));
    }
    // The largest frame that still passes: 120 words (480 samples) becomes 122 words.
    auto st = transcoder(99);
    VoiceFrame f = make_frame(120, 0x93);
    ASSERT_EQ(TV_VOICE_TransCodeFrame(st.get(), &f), 0);
    EXPECT_EQ(f.payload_words, 122);
}

}  // namespace
