// Encoding then decoding a speech-like signal in every mode: frames of the expected size, and a
// decoded signal that follows the input with a per-mode signal-to-noise floor.
#include <cstdio>
#include <string>

#include "voice/voice_test_util.h"

using namespace voicetest;

namespace {

struct ModeCase {
    int16_t mode;
    int block;          // samples per encoded block
    int words;          // payload words per frame
    double min_snr_db;  // floor, measured after the first second
};

// Floors sit about 3 dB below what the codecs reach on this signal: G.711 about 37 dB, IMA
// ADPCM about 17 dB, G.726 about 13, 19, 26 and 33 dB at 2 to 5 bits, mode 68 about 13 dB.
const ModeCase kCases[] = {
    {1, 320, 160, 34.0}, {2, 320, 160, 34.0}, {65, 320, 160, 34.0}, {66, 320, 160, 34.0},
    {3, 320, 82, 14.5},  {35, 321, 82, 14.5}, {67, 320, 80, 14.5},  {4, 320, 40, 10.5},
    {36, 320, 40, 10.5}, {5, 320, 60, 16.5},  {37, 320, 60, 16.5},  {6, 320, 80, 23.0},
    {38, 320, 80, 23.0}, {7, 320, 100, 30.0}, {39, 320, 100, 30.0}, {68, 320, 40, 10.0},
};

class RoundTrip : public ::testing::TestWithParam<ModeCase> {};

TEST_P(RoundTrip, DecodedSignalFollowsTheInput) {
    const ModeCase c = GetParam();
    const std::vector<int16_t> input = speech_signal(static_cast<std::size_t>(c.block) * 100);
    VoiceCodecState enc = fresh_state(c.mode, true);
    VoiceCodecState dec = fresh_state(c.mode, false);
    std::vector<int16_t> output;
    for (std::size_t start = 0; start < input.size(); start += static_cast<std::size_t>(c.block)) {
        const std::vector<int16_t> block(
            input.begin() + static_cast<std::ptrdiff_t>(start),
            input.begin() + static_cast<std::ptrdiff_t>(start) + c.block);
        VoiceFrame frame = encode(enc, block);
        ASSERT_EQ(frame.payload_words, c.words);
        ASSERT_EQ(frame.flags[0], 0x00);
        ASSERT_EQ(frame.flags[1], 0x01);
        ASSERT_EQ(frame.reserved, 0);
        const Decoded d = decode(dec, frame);
        ASSERT_EQ(d.rc, 0);
        ASSERT_EQ(static_cast<int>(d.pcm.size()), c.block);
        output.insert(output.end(), d.pcm.begin(), d.pcm.end());
    }
    ASSERT_EQ(output.size(), input.size());
    const double snr = snr_db(input, output, 8000);
    RecordProperty("snr_db", std::to_string(snr));
    std::printf("mode %d: SNR %.2f dB\n", c.mode, snr);
    EXPECT_GE(snr, c.min_snr_db);
    // A sanity ceiling: lossy modes must not come out bit-exact (that would mean the test
    // compared the input with itself).
    EXPECT_LT(snr, 80.0);
}

INSTANTIATE_TEST_SUITE_P(AllModes, RoundTrip, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                             return "mode" + std::to_string(info.param.mode);
                         });

// The decoder of a carried-state mode must track the encoder exactly across frames of mixed
// sizes: encoding 160-, 240- and 480-sample blocks one after another still round-trips.
TEST(RoundTrip, CarriedStateSurvivesMixedFrameSizes) {
    for (const int16_t mode : {4, 5, 6, 7, 36, 37, 38, 39, 67, 68}) {
        const std::vector<int16_t> input = speech_signal(16000, 99);
        VoiceCodecState enc = fresh_state(mode, true);
        VoiceCodecState dec = fresh_state(mode, false);
        std::vector<int16_t> output;
        const int sizes[] = {160, 240, 480, 80, 400};
        std::size_t start = 0;
        for (int k = 0; start + 480 <= input.size(); ++k) {
            const int n = sizes[k % 5];
            const std::vector<int16_t> block(
                input.begin() + static_cast<std::ptrdiff_t>(start),
                input.begin() + static_cast<std::ptrdiff_t>(start) + n);
            VoiceFrame frame = encode(enc, block);
            const Decoded d = decode(dec, frame);
            ASSERT_EQ(d.rc, 0) << "mode " << mode << " block " << n;
            ASSERT_EQ(static_cast<int>(d.pcm.size()), n) << "mode " << mode;
            output.insert(output.end(), d.pcm.begin(), d.pcm.end());
            start += static_cast<std::size_t>(n);
        }
        const double snr = snr_db(input, output, 8000);
        std::printf("mixed sizes, mode %d: SNR %.2f dB\n", mode, snr);
        EXPECT_GE(snr, mode == 4 || mode == 36 || mode == 68 ? 10.0 : 14.0) << "mode " << mode;
    }
}

}  // namespace
