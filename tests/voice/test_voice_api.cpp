// The exported interface: version text, resets, the order of argument checks, refused calls
// leaving everything untouched, the frame-size rules of every mode, and the exported names.
#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "support/test_support.h"
#include "voice/voice_test_util.h"

using namespace voicetest;

namespace {

TEST(VoiceVersion, CopiesTheTextWithItsTerminatorOnly) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(TV_VOICE_GetVersion(buffer), 0);
    EXPECT_STREQ(buffer, "TV_VOICE_VERSION=TV3000_VOICELIB_V1.0.0.0");
    EXPECT_EQ(std::strlen(buffer), 41u);
    EXPECT_EQ(buffer[42], '#') << "nothing is written past the terminator";
    EXPECT_EQ(TV_VOICE_GetVersion(nullptr), -1);
}

TEST(VoiceReset, NullStateIsRefusedFirst) {
    EXPECT_EQ(TV_VOICE_EncReset(nullptr, 35), VOICE_ERR_NULL_STATE);
    EXPECT_EQ(TV_VOICE_DecReset(nullptr, 35), VOICE_ERR_NULL_STATE);
    EXPECT_EQ(TV_VOICE_EncReset(nullptr, 8), VOICE_ERR_NULL_STATE);
}

TEST(VoiceReset, UnknownModeIsStoredButChangesNothingElse) {
    for (const int32_t mode : {0, 8, 34, 40, 64, 69, 97, 100, -1, 0x7FFF}) {
        for (const bool encoder : {true, false}) {
            VoiceCodecState s;
            std::memset(&s, 0x3C, sizeof s);
            VoiceCodecState before = s;
            const int32_t rc = encoder ? TV_VOICE_EncReset(&s, mode) : TV_VOICE_DecReset(&s, mode);
            EXPECT_EQ(rc, encoder ? VOICE_ERR_ENC_MODE : VOICE_ERR_DEC_MODE) << mode;
            EXPECT_EQ(s.mode, static_cast<int16_t>(mode));
            before.mode = s.mode;
            EXPECT_TRUE(same_bytes(&s, &before, sizeof s)) << "mode " << mode;
        }
    }
}

TEST(VoiceReset, OnlyTheLow16BitsOfTheModeCount) {
    VoiceCodecState s;
    EXPECT_EQ(TV_VOICE_DecReset(&s, 0x10000 + 35), 0);
    EXPECT_EQ(s.mode, 35);
    EXPECT_EQ(TV_VOICE_EncReset(&s, 0x10000 + 8), VOICE_ERR_ENC_MODE);
    EXPECT_EQ(s.mode, 8);
    // 0xFFFF0001 is -65535 as a 32-bit number but mode 1 in its low 16 bits.
    EXPECT_EQ(TV_VOICE_EncReset(&s, static_cast<int32_t>(0xFFFF0001u)), 0);
    EXPECT_EQ(s.mode, 1);
}

TEST(VoiceReset, SetsEachFamilysStartingState) {
    // G.711 keeps nothing: the reset touches only the mode.
    for (const int mode : {1, 2, 65, 66}) {
        VoiceCodecState s;
        std::memset(&s, 0x77, sizeof s);
        VoiceCodecState before = s;
        ASSERT_EQ(TV_VOICE_DecReset(&s, mode), 0);
        before.mode = static_cast<int16_t>(mode);
        EXPECT_TRUE(same_bytes(&s, &before, sizeof s)) << mode;
    }
    for (const int mode : {3, 35, 67}) {
        VoiceCodecState s = fresh_state(mode, true);
        EXPECT_EQ(s.mode, mode);
        EXPECT_EQ(s.codec.adpcm.predicted, 0);
        EXPECT_EQ(s.codec.adpcm.step_index, 0);
    }
    // The fields G.726 and mode 68 share; `sr` is where the reconstructed signal starts.
    const auto expect_adaptive_start = [](const auto& g, int sr) {
        EXPECT_EQ(g.a1, 0);
        EXPECT_EQ(g.a2, 0);
        EXPECT_EQ(g.ap, 0);
        EXPECT_EQ(g.dml, 0);
        EXPECT_EQ(g.dms, 0);
        EXPECT_EQ(g.td, 0);
        EXPECT_EQ(g.sr1, sr);
        EXPECT_EQ(g.sr2, sr);
        EXPECT_EQ(g.yl, 34816);
        EXPECT_EQ(g.yu, 544);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(g.b[i], 0);
            EXPECT_EQ(g.dq[i], 32);
        }
    };
    for (const int mode : {4, 5, 6, 7, 36, 37, 38, 39}) {
        SCOPED_TRACE(mode);
        const VoiceCodecState s = fresh_state(mode, false);
        const VoiceG726Fields& g = s.codec.g726;
        EXPECT_EQ(g.code_size, (mode & 31) - 2);
        EXPECT_EQ(g.pk1, 0);
        EXPECT_EQ(g.pk2, 0);
        expect_adaptive_start(g, 32);
    }
    const VoiceCodecState s = fresh_state(68, true);
    const VoiceAdpcm16wFields& w = s.codec.adpcm16w;
    EXPECT_EQ(w.dqsez1, 0);
    EXPECT_EQ(w.dqsez2, 0);
    expect_adaptive_start(w, 16);
}

// --- Encoder checks -------------------------------------------------------------------------

TEST(VoiceEncode, ChecksComeInTheirFixedOrder) {
    VoiceCodecState bad_mode;
    TV_VOICE_EncReset(&bad_mode, 8);
    std::vector<int16_t> pcm(481, 100);
    VoiceFrame frame;
    EXPECT_EQ(TV_VOICE_EncodeFrame(nullptr, nullptr, nullptr, 0), VOICE_ERR_NULL_STATE);
    EXPECT_EQ(TV_VOICE_EncodeFrame(&bad_mode, nullptr, nullptr, 0), VOICE_ERR_NULL_INPUT);
    EXPECT_EQ(TV_VOICE_EncodeFrame(&bad_mode, pcm.data(), nullptr, 0), VOICE_ERR_NULL_OUTPUT);
    EXPECT_EQ(TV_VOICE_EncodeFrame(&bad_mode, pcm.data(), &frame, 0), VOICE_ERR_ENC_COUNT);
    EXPECT_EQ(TV_VOICE_EncodeFrame(&bad_mode, pcm.data(), &frame, 320), VOICE_ERR_ENC_MODE);
}

TEST(VoiceEncode, SampleCountMustLieFrom1To481InItsLow16Bits) {
    std::vector<int16_t> pcm(481, 100);
    struct Case {
        int32_t count;
        bool accepted;
    };
    const Case cases[] = {
        {0, false},  {-1, false},      {482, false},          {0x7FFF, false}, {1, true},
        {481, true}, {0x10000, false}, {0x10000 + 320, true}, {0x8000, false}, {-65536 + 5, true}};
    for (const Case& c : cases) {
        VoiceCodecState s = fresh_state(35, true);
        VoiceFrame f = make_frame(0, 0xCD);
        const int32_t rc = TV_VOICE_EncodeFrame(&s, pcm.data(), &f, c.count);
        EXPECT_EQ(rc, c.accepted ? 0 : VOICE_ERR_ENC_COUNT) << "count " << c.count;
    }
}

TEST(VoiceEncode, RefusedCallsWriteNothing) {
    std::vector<int16_t> pcm(481, 1234);
    for (const int16_t mode : kAllModes) {
        VoiceCodecState s = fresh_state(mode, true);
        // Move the state away from its reset values first.
        VoiceFrame scratch;
        ASSERT_EQ(TV_VOICE_EncodeFrame(&s, pcm.data(), &scratch, 160), 0);
        const VoiceCodecState before = s;
        VoiceFrame f;
        std::memset(&f, 0xCD, sizeof f);
        const VoiceFrame untouched = f;
        EXPECT_EQ(TV_VOICE_EncodeFrame(&s, pcm.data(), &f, 482), VOICE_ERR_ENC_COUNT);
        EXPECT_EQ(TV_VOICE_EncodeFrame(&s, pcm.data(), &f, 0), VOICE_ERR_ENC_COUNT);
        EXPECT_TRUE(same_bytes(&f, &untouched, sizeof f)) << mode;
        EXPECT_TRUE(same_bytes(&s, &before, sizeof s)) << mode;
    }
    VoiceCodecState s;
    TV_VOICE_EncReset(&s, 8);
    const VoiceCodecState before = s;
    VoiceFrame f;
    std::memset(&f, 0xCD, sizeof f);
    const VoiceFrame untouched = f;
    EXPECT_EQ(TV_VOICE_EncodeFrame(&s, pcm.data(), &f, 80), VOICE_ERR_ENC_MODE);
    EXPECT_TRUE(same_bytes(&f, &untouched, sizeof f));
    EXPECT_TRUE(same_bytes(&s, &before, sizeof s));
}

// The frame-size table, a row per family of modes: the payload words of an n-sample block, the
// accepted payload lengths L and the samples an L-word payload holds.
struct FrameSizes {
    std::set<int> modes;
    int (*words)(int n);
    std::set<int> lengths;
    int (*samples)(int l);
};

// `count` lengths from `first` in steps of `step`.
std::set<int> spaced(int first, int count, int step) {
    std::set<int> out;
    for (int i = 0; i < count; ++i) out.insert(first + i * step);
    return out;
}

const FrameSizes& frame_sizes(int mode) {
    static const FrameSizes table[] = {
        {{1, 2, 65, 66},
         [](int n) { return n / 2; },
         spaced(40, 6, 40),
         [](int l) { return 2 * l; }},
        // One word cannot hold the header.
        {{3},
         [](int n) { return n / 4 + 2; },
         spaced(2, 121, 1),
         [](int l) { return 4 * (l - 2); }},
        {{35},
         [](int n) { return (n - 1) / 4 + 2; },
         spaced(2, 121, 1),
         [](int l) { return 4 * (l - 2) + 1; }},
        {{67}, [](int n) { return n / 4; }, spaced(1, 122, 1), [](int l) { return 4 * l; }},
        {{4, 36, 68},
         [](int n) { return 2 * n / 16; },
         spaced(10, 6, 10),
         [](int l) { return 8 * l; }},
        {{5, 37},
         [](int n) { return 3 * n / 16; },
         spaced(15, 6, 15),
         [](int l) { return 16 * l / 3; }},
        {{6, 38}, [](int n) { return 4 * n / 16; }, spaced(20, 6, 20), [](int l) { return 4 * l; }},
        {{7, 39},
         [](int n) { return 5 * n / 16; },
         spaced(25, 6, 25),
         [](int l) { return 16 * l / 5; }},
    };
    for (const FrameSizes& row : table)
        if (row.modes.count(mode)) return row;
    static const FrameSizes none{{}, [](int) { return -1; }, {}, [](int) { return -1; }};
    ADD_FAILURE() << "mode " << mode << " is not in the table";
    return none;
}

TEST(VoiceEncode, FrameSizeHeaderAndCopyLengthForEveryModeAndCount) {
    const std::vector<int16_t> pcm = speech_signal(481);
    for (const int16_t mode : kAllModes) {
        for (int n = 1; n <= 481; ++n) {
            VoiceCodecState s = fresh_state(mode, true);
            VoiceFrame f;
            std::memset(&f, 0xCD, sizeof f);
            ASSERT_EQ(TV_VOICE_EncodeFrame(&s, pcm.data(), &f, n), 0) << mode << " " << n;
            const int words = frame_sizes(mode).words(n);
            ASSERT_EQ(f.payload_words, words) << "mode " << mode << " n " << n;
            ASSERT_EQ(f.flags[0], 0x00);
            ASSERT_EQ(f.flags[1], 0x01);
            ASSERT_EQ(f.reserved, 0);
            // Exactly 4 + 2 * payload_words bytes reach the caller's frame.
            const auto* bytes = reinterpret_cast<const uint8_t*>(&f);
            for (std::size_t i = 4 + 2 * static_cast<std::size_t>(words); i < sizeof f; ++i) {
                ASSERT_EQ(bytes[i], 0xCD) << "mode " << mode << " n " << n << " byte " << i;
            }
        }
    }
}

// --- Decoder checks -------------------------------------------------------------------------

TEST(VoiceDecode, ChecksComeInTheirFixedOrder) {
    VoiceCodecState bad_mode;
    TV_VOICE_DecReset(&bad_mode, 8);
    VoiceFrame frame = make_frame(0);
    frame.flags[1] = 0x02;
    int16_t pcm[488];
    int16_t count = 99;
    EXPECT_EQ(TV_VOICE_DecodeFrame(nullptr, nullptr, nullptr, nullptr), VOICE_ERR_NULL_STATE);
    EXPECT_EQ(TV_VOICE_DecodeFrame(&bad_mode, nullptr, nullptr, &count), VOICE_ERR_NULL_INPUT);
    EXPECT_EQ(count, 99) << "the count is cleared only after the pointer checks";
    EXPECT_EQ(TV_VOICE_DecodeFrame(&bad_mode, &frame, nullptr, &count), VOICE_ERR_NULL_OUTPUT);
    EXPECT_EQ(count, 99);
    EXPECT_EQ(TV_VOICE_DecodeFrame(&bad_mode, &frame, pcm, nullptr), VOICE_ERR_NULL_OUTPUT);
    // Frame type before the zero length, zero length before the mode, mode before the length.
    EXPECT_EQ(TV_VOICE_DecodeFrame(&bad_mode, &frame, pcm, &count), VOICE_ERR_DEC_FRAMETYPE);
    EXPECT_EQ(count, 0);
    frame.flags[1] = 0x01;
    count = 99;
    EXPECT_EQ(TV_VOICE_DecodeFrame(&bad_mode, &frame, pcm, &count), VOICE_ERR_DEC_LENGTH);
    EXPECT_EQ(count, 0);
    frame.payload_words = 7;
    EXPECT_EQ(TV_VOICE_DecodeFrame(&bad_mode, &frame, pcm, &count), VOICE_ERR_DEC_MODE);
    VoiceCodecState g711 = fresh_state(1, false);
    EXPECT_EQ(TV_VOICE_DecodeFrame(&g711, &frame, pcm, &count), VOICE_ERR_DEC_LENGTH);
}

TEST(VoiceDecode, OnlyFrameTypeOneIsDecodable) {
    struct Case {
        uint8_t lo, hi;
        int32_t rc;
    };
    const Case cases[] = {{0x00, 0x00, VOICE_ERR_DEC_FRAMETYPE},
                          {0x00, 0x02, VOICE_ERR_DEC_FRAMETYPE},
                          {0x00, 0x03, VOICE_ERR_DEC_FRAMETYPE},
                          {0xFF, 0xFE, VOICE_ERR_DEC_FRAMETYPE},
                          {0x00, 0x01, 0},
                          {0xFF, 0x01, 0},
                          {0x00, 0xFD, 0}};
    for (const Case& c : cases) {
        VoiceCodecState s = fresh_state(35, false);
        VoiceFrame f = make_frame(82, 0x11);
        f.flags[0] = c.lo;
        f.flags[1] = c.hi;
        const Decoded d = decode(s, f);
        EXPECT_EQ(d.rc, c.rc) << std::hex << int(c.hi) << int(c.lo);
        if (c.rc == 0) {
            EXPECT_EQ(d.pcm.size(), 321u);
        }
    }
}

TEST(VoiceDecode, ReservedByteIsIgnored) {
    for (const int16_t mode : kAllModes) {
        VoiceCodecState enc = fresh_state(mode, true);
        VoiceFrame f = encode(enc, speech_signal(320));
        VoiceFrame g = f;
        g.reserved = 0xA7;
        VoiceCodecState d1 = fresh_state(mode, false);
        VoiceCodecState d2 = fresh_state(mode, false);
        const Decoded a = decode(d1, f);
        const Decoded b = decode(d2, g);
        EXPECT_EQ(a.rc, 0);
        EXPECT_EQ(a.pcm, b.pcm) << mode;
    }
}

TEST(VoiceDecode, UnknownModeRefusedAfterFrameTypeAndZeroLength) {
    VoiceCodecState s;
    EXPECT_EQ(TV_VOICE_DecReset(&s, 8), VOICE_ERR_DEC_MODE);
    VoiceFrame f = make_frame(82);
    EXPECT_EQ(decode(s, f).rc, VOICE_ERR_DEC_MODE);
    f.payload_words = 0;
    EXPECT_EQ(decode(s, f).rc, VOICE_ERR_DEC_LENGTH);
    f.payload_words = 82;
    f.flags[1] = 0;
    EXPECT_EQ(decode(s, f).rc, VOICE_ERR_DEC_FRAMETYPE);
}

TEST(VoiceDecode, LengthTableForEveryModeAndEveryLength) {
    for (const int16_t mode : kAllModes) {
        const std::set<int> accepted = frame_sizes(mode).lengths;
        for (int l = 0; l <= 255; ++l) {
            VoiceCodecState s = fresh_state(mode, false);
            VoiceFrame f = make_frame(l, 0x00);
            std::vector<int16_t> pcm(VOICE_MAX_DECODED_SAMPLES + 16, 0x5A5A);
            int16_t count = -1;
            const int32_t rc = TV_VOICE_DecodeFrame(&s, &f, pcm.data(), &count);
            if (accepted.count(l)) {
                ASSERT_EQ(rc, 0) << "mode " << mode << " L " << l;
                ASSERT_EQ(count, frame_sizes(mode).samples(l)) << "mode " << mode << " L " << l;
                ASSERT_LE(count, VOICE_MAX_DECODED_SAMPLES);
                // No sample beyond the reported count is written.
                for (std::size_t i = static_cast<std::size_t>(count); i < pcm.size(); ++i) {
                    ASSERT_EQ(pcm[i], 0x5A5A) << "mode " << mode << " L " << l << " sample " << i;
                }
            } else {
                ASSERT_EQ(rc, VOICE_ERR_DEC_LENGTH) << "mode " << mode << " L " << l;
                ASSERT_EQ(count, 0);
            }
        }
    }
}

TEST(VoiceDecode, RefusedCallsLeaveStatePcmAndFrameAlone) {
    for (const int16_t mode : kAllModes) {
        VoiceCodecState enc = fresh_state(mode, true);
        VoiceCodecState dec = fresh_state(mode, false);
        VoiceFrame good = encode(enc, speech_signal(320));
        ASSERT_EQ(decode(dec, good).rc, 0);  // a state that has moved on
        const VoiceCodecState before = dec;

        VoiceFrame refused[3] = {make_frame(0, 0x3E), make_frame(81, 0x3E), make_frame(82, 0x3E)};
        refused[2].flags[1] = 0x02;
        if (is_ima(mode)) refused[1].payload_words = 123;
        for (VoiceFrame& f : refused) {
            const VoiceFrame frame_before = f;
            std::vector<int16_t> pcm(VOICE_MAX_DECODED_SAMPLES, 0x5A5A);
            int16_t count = 77;
            EXPECT_NE(TV_VOICE_DecodeFrame(&dec, &f, pcm.data(), &count), 0) << mode;
            EXPECT_EQ(count, 0);
            for (const int16_t v : pcm) ASSERT_EQ(v, 0x5A5A) << mode;
            EXPECT_TRUE(same_bytes(&dec, &before, sizeof dec)) << mode;
            EXPECT_TRUE(same_bytes(&f, &frame_before, sizeof f)) << mode;
        }
    }
}

TEST(VoiceDecode, RandomFramesAndNoiseNeverMisbehave) {
    // Long runs of random payloads and full-scale noise through every mode: counts as the table
    // says, states within their ranges, nothing written past the count.
    Lcg rng(4242);
    for (const int16_t mode : kAllModes) {
        const std::set<int> lengths = frame_sizes(mode).lengths;
        const std::vector<int> accepted(lengths.begin(), lengths.end());
        VoiceCodecState dec = fresh_state(mode, false);
        VoiceCodecState enc = fresh_state(mode, true);
        for (int round = 0; round < 150; ++round) {
            const int words = accepted[rng.next() % accepted.size()];
            VoiceFrame f = make_frame(words);
            for (int i = 0; i < 2 * words; ++i) f.payload[i] = static_cast<uint8_t>(rng.next());
            std::vector<int16_t> pcm(VOICE_MAX_DECODED_SAMPLES + 8, 0x5A5A);
            int16_t count = -1;
            ASSERT_EQ(TV_VOICE_DecodeFrame(&dec, &f, pcm.data(), &count), 0) << mode;
            ASSERT_EQ(count, frame_sizes(mode).samples(words));
            for (std::size_t i = static_cast<std::size_t>(count); i < pcm.size(); ++i)
                ASSERT_EQ(pcm[i], 0x5A5A);
            if (is_ima(mode)) {
                ASSERT_LE(dec.codec.adpcm.step_index, 88);
            }

            std::vector<int16_t> noise(1 + rng.next() % 481);
            for (int16_t& v : noise) v = static_cast<int16_t>(rng.next() * 2u + (rng.next() & 1u));
            if (round % 4 == 0) {
                for (int16_t& v : noise) v = (rng.next() & 1) ? 32767 : -32768;
            }
            VoiceFrame out;
            ASSERT_EQ(
                TV_VOICE_EncodeFrame(&enc, noise.data(), &out, static_cast<int32_t>(noise.size())),
                0);
            ASSERT_EQ(out.payload_words, frame_sizes(mode).words(static_cast<int>(noise.size())));
        }
    }
}

// States not made by a reset: whatever bytes a caller hands over, every exported coder stays
// inside its tables (the sanitizer build checks the reads and the arithmetic), and an IMA step
// index past the table counts as the table's last step.
class VoiceForeignState : public ::testing::TestWithParam<int> {
  protected:
    // The byte everywhere, or random bytes when the parameter is negative.
    void fill(void* p, std::size_t n) {
        auto* bytes = static_cast<uint8_t*>(p);
        for (std::size_t i = 0; i < n; ++i)
            bytes[i] = static_cast<uint8_t>(GetParam() < 0 ? rng_.next() : GetParam());
    }

  private:
    Lcg rng_{static_cast<uint32_t>(-GetParam())};
};

TEST_P(VoiceForeignState, EveryCoderStaysInBounds) {
    std::vector<int16_t> loud(480);
    for (std::size_t i = 0; i < loud.size(); ++i) loud[i] = i % 3 ? 32767 : -32768;
    for (const int16_t mode : kAllModes) {
        SCOPED_TRACE(mode);
        const bool ima = is_ima(mode);
        VoiceCodecState enc;
        fill(&enc, sizeof enc);
        enc.mode = mode;
        VoiceCodecState twin = enc;
        twin.codec.adpcm.step_index = std::min<uint8_t>(enc.codec.adpcm.step_index, 88);
        const VoiceFrame out = encode(enc, loud);
        const VoiceFrame twin_out = encode(twin, loud);
        if (ima) {
            EXPECT_TRUE(same_bytes(&out, &twin_out, 4 + 2 * out.payload_words));
        }

        VoiceCodecState dec;
        fill(&dec, sizeof dec);
        dec.mode = mode;
        twin = dec;
        twin.codec.adpcm.step_index = std::min<uint8_t>(dec.codec.adpcm.step_index, 88);
        VoiceFrame in = make_frame(*frame_sizes(mode).lengths.rbegin());
        fill(in.payload, sizeof in.payload);
        VoiceFrame copy = in;
        const Decoded d = decode(dec, in);
        ASSERT_EQ(d.rc, 0);
        if (ima) {
            EXPECT_EQ(d.pcm, decode(twin, copy).pcm);
        }
    }
    for (int mode = VOICE_TRANS_G711A; mode <= VOICE_TRANS_ADPCM16; ++mode) {
        SCOPED_TRACE(mode);
        VoiceTranscodeState t;
        fill(&t, sizeof t);
        t.encoder.mode = static_cast<int16_t>(mode - 96);
        t.decoder.mode = static_cast<int16_t>(mode - 32);
        VoiceFrame f = make_frame(60);
        fill(f.payload, sizeof f.payload);
        EXPECT_EQ(TV_VOICE_TransCodeFrame(&t, &f), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Fills, VoiceForeignState,
                         ::testing::Values(0x00, 0xFF, 0x80, 0x7F, -1, -2, -3));

// --- Exported names ---------------------------------------------------------------------------

// The Linux library's (tvvoice.dll's are checked by scripts/test-windows.sh).
#ifndef _WIN32
TEST(VoiceExportsLinux, SevenFunctionsAreExportedByNameFromTheSharedLibrary) {
    const char* lib_dir = std::getenv("TORVANE_LIB");
    const std::filesystem::path lib = lib_dir ? std::filesystem::path(lib_dir) / "libtorvane.so"
                                              : std::filesystem::path(TORVANE_SHARED_LIBRARY);
    ASSERT_TRUE(std::filesystem::exists(lib)) << lib;
    void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const char* names[] = {"TV_VOICE_GetVersion",    "TV_VOICE_EncReset",
                           "TV_VOICE_DecReset",      "TV_VOICE_EncodeFrame",
                           "TV_VOICE_DecodeFrame",   "TV_VOICE_TransCodeReset",
                           "TV_VOICE_TransCodeFrame"};
    for (const char* name : names) EXPECT_NE(dlsym(handle, name), nullptr) << name;

    // Calling through the loaded library works like the static one.
    using GetVersion = int32_t (*)(char*);
    auto get_version = reinterpret_cast<GetVersion>(dlsym(handle, "TV_VOICE_GetVersion"));
    ASSERT_NE(get_version, nullptr);
    char text[42];
    EXPECT_EQ(get_version(text), 0);
    EXPECT_STREQ(text, "TV_VOICE_VERSION=TV3000_VOICELIB_V1.0.0.0");
    dlclose(handle);

    // The codec internals stay hidden: no other dynamic symbol mentions the voice code.
    const tvtest::CommandResult nm = tvtest::run({"nm", "-D", "--defined-only", lib.string()});
    if (nm.status != 0) GTEST_SKIP() << "nm is not available";
    std::set<std::string> voice_symbols;
    std::size_t pos = 0;
    while (pos < nm.out.size()) {
        const std::size_t end = nm.out.find('\n', pos);
        const std::string line =
            nm.out.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? nm.out.size() : end + 1;
        const std::string name = line.substr(line.rfind(' ') + 1);
        if (name.find("VOICE") != std::string::npos || name.find("voice") != std::string::npos)
            voice_symbols.insert(name);
    }
    EXPECT_EQ(voice_symbols, std::set<std::string>(std::begin(names), std::end(names)));
}
#endif

}  // namespace
