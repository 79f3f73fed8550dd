// Two frames decoded at once must be what two decodes in turn give: samples, counts, results
// and the state left for the next frame.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "torvane/voice.h"
#include "voice/voice_internal.h"

namespace {

// A frame of `mode`: encoded from noise of a random length, or damaged in one of the ways the
// decoder refuses or reads differently.
VoiceFrame make_frame(int16_t mode, std::mt19937& random) {
    VoiceCodecState enc;
    TV_VOICE_EncReset(&enc, mode);
    int16_t pcm[VOICE_MAX_DECODED_SAMPLES];
    for (int16_t& x : pcm) x = static_cast<int16_t>(static_cast<int>(random() % 50000) - 25000);
    const int sizes[] = {1, 2, 3, 160, 161, 320, 321, 480, 481};
    VoiceFrame frame{};
    TV_VOICE_EncodeFrame(&enc, pcm, &frame, static_cast<int16_t>(sizes[random() % 9]));
    switch (random() % 8) {
        case 0:
            frame.flags[1] ^= 0x03;
            break;  // not a normal frame
        case 1:
            frame.payload_words = 0;
            break;  // empty
        case 2:
            frame.payload_words = 241;
            break;  // longer than a frame
        case 3:
            frame.payload[2] = static_cast<uint8_t>(random());
            break;  // step index past 88
        default:
            break;
    }
    return frame;
}

}  // namespace

TEST(VoicePairs, SameAsTwoDecodesInTurn) {
    std::mt19937 random(2024);
    for (const int16_t mode : {int16_t{VOICE_MODE_ADPCM}, int16_t{VOICE_MODE_ADPCM_FIRST},
                               int16_t{VOICE_MODE_ADPCM_NOHDR}, int16_t{1}, int16_t{5}}) {
        for (int round = 0; round < 400; ++round) {
            SCOPED_TRACE(std::to_string(mode) + " round " + std::to_string(round));
            VoiceFrame a = make_frame(mode, random), b = make_frame(mode, random);
            VoiceFrame a2 = a, b2 = b;
            // Zeroed: a reset sets only its codec's fields, and the states are compared whole.
            VoiceCodecState one{}, two{};
            TV_VOICE_DecReset(&one, mode);
            TV_VOICE_DecReset(&two, mode);
            // A state that earlier frames moved.
            VoiceFrame first = make_frame(mode, random), first2 = first;
            int16_t scratch[VOICE_MAX_DECODED_SAMPLES];
            int16_t n = 0;
            TV_VOICE_DecodeFrame(&one, &first, scratch, &n);
            TV_VOICE_DecodeFrame(&two, &first2, scratch, &n);

            int16_t expect[2][VOICE_MAX_DECODED_SAMPLES] = {};
            int16_t expect_counts[2] = {-1, -1};
            const int32_t expect_results[2] = {
                TV_VOICE_DecodeFrame(&one, &a, expect[0], &expect_counts[0]),
                TV_VOICE_DecodeFrame(&one, &b, expect[1], &expect_counts[1])};

            int16_t got[2][VOICE_MAX_DECODED_SAMPLES] = {};
            int16_t* const outputs[2] = {got[0], got[1]};
            VoiceFrame* const frames[2] = {&a2, &b2};
            int16_t counts[2] = {-1, -1};
            int32_t results[2] = {7, 7};
            tv::voice::decode_frame_pair(&two, frames, outputs, counts, results);

            for (int i = 0; i < 2; ++i) {
                EXPECT_EQ(results[i], expect_results[i]) << i;
                ASSERT_EQ(counts[i], expect_counts[i]) << i;
                EXPECT_EQ(std::memcmp(got[i], expect[i], sizeof got[i]), 0) << i;
            }
            EXPECT_EQ(std::memcmp(&one, &two, sizeof one), 0);
            EXPECT_EQ(std::memcmp(&a, &a2, sizeof a), 0);
            EXPECT_EQ(std::memcmp(&b, &b2, sizeof b), 0);
        }
    }
}
