// SourceMedia: queries on live and null objects, and audio decoding by format.
#include "torvane/source.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/job_test_util.h"
#include "support/test_support.h"
#include "tools/ifvbuild/ifv_builder.h"
#include "torvane/voice.h"

TEST(SourceMedia, NullObjectAnswersZero) {
    uint8_t buf[16];
    uint32_t ts = 0, len = 0;
    uint8_t key = 0, audio = 0;
    EXPECT_EQ(source_open(nullptr, 0), nullptr);
    source_close(nullptr);
    EXPECT_EQ(source_has_audio(nullptr), 0);
    EXPECT_EQ(source_duration(nullptr), 0u);
    EXPECT_EQ(source_video_frame_count(nullptr), 0u);
    EXPECT_EQ(source_audio_frame_count(nullptr), 0u);
    EXPECT_EQ(source_width(nullptr), 0u);
    EXPECT_EQ(source_height(nullptr), 0u);
    EXPECT_EQ(source_audio_bits(nullptr), 0);
    EXPECT_EQ(source_audio_rate(nullptr), 0u);
    EXPECT_EQ(source_read_frame(nullptr, buf, &ts, &key, &audio), 0);
    EXPECT_EQ(source_decode_audio(nullptr, buf, 4, buf, &len), -1);
}

TEST(SourceMedia, QueriesFollowTheRecording) {
    const auto dir = tvtest::scratch_dir("source-queries");
    ifvbuild::Recording rec;
    rec.video.width = 704;
    rec.video.height = 576;
    rec.audio.sample_rate = 16000;
    rec.audio.bits_per_sample = 8;
    rec.audio.frame_length = 4;
    rec.file.audio_flag = 0;  // the flag plays no part: the audio frame total decides
    auto& seg = rec.segments.emplace_back();
    seg.audio_index_slots = 1;
    seg.add_video(ifvbuild::pattern(10, 1), 100, true);
    seg.add_audio(std::vector<uint8_t>{0x00, 0x7F, 0x80, 0xFF}, 120);
    seg.start_time_stamp = 100;
    seg.end_time_stamp = 1100;
    ASSERT_TRUE(ifvbuild::write_file(rec, dir / "a.ifv"));

    SourceMedia* m = source_open((dir / "a.ifv").string().c_str(), 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(source_width(m), 704u);
    EXPECT_EQ(source_height(m), 576u);
    EXPECT_EQ(source_duration(m), 1000u);
    EXPECT_EQ(source_video_frame_count(m), 1u);
    EXPECT_EQ(source_audio_frame_count(m), 1u);
    EXPECT_EQ(source_has_audio(m), 1);
    EXPECT_EQ(source_audio_bits(m), 8);
    EXPECT_EQ(source_audio_rate(m), 16000u);

    std::vector<uint8_t> buf(0x40000), pcm(source_max_pcm_bytes(0x40000));
    uint32_t ts = 0, len = 0;
    uint8_t key = 0, audio = 0;
    EXPECT_EQ(source_read_frame(m, buf.data(), &ts, &key, &audio), 10);
    EXPECT_EQ(audio, 0);
    EXPECT_EQ(key, 1);
    EXPECT_EQ(ts, 100u);
    EXPECT_EQ(source_read_frame(m, buf.data(), &ts, &key, &audio), 4);
    EXPECT_EQ(audio, 1);
    ASSERT_EQ(source_decode_audio(m, buf.data(), 4, pcm.data(), &len), 0);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(std::vector<uint8_t>(pcm.begin(), pcm.begin() + 4),
              (std::vector<uint8_t>{0x80, 0xFF, 0x00, 0x7F}));
    EXPECT_EQ(source_read_frame(m, buf.data(), &ts, &key, &audio), 0);
    EXPECT_EQ(source_read_frame(m, nullptr, &ts, &key, &audio), 0);
    source_close(m);
}

TEST(SourceMedia, VoiceFramesDecodeToTwiceTheSampleCount) {
    const auto dir = tvtest::scratch_dir("source-voice");
    ifvbuild::Recording rec;
    rec.audio.format = "TV35";
    rec.audio.frame_length = 168;
    rec.segments.emplace_back().add_video(ifvbuild::pattern(10, 1), 0, true);
    ASSERT_TRUE(ifvbuild::write_file(rec, dir / "v.ifv"));
    SourceMedia* m = source_open((dir / "v.ifv").string().c_str(), 0);
    ASSERT_NE(m, nullptr);

    VoiceCodecState enc;
    TV_VOICE_EncReset(&enc, VOICE_MODE_ADPCM_FIRST);
    auto bytes = jobtest::voice_frame(enc, 0, 160);
    const auto size = static_cast<uint32_t>(bytes.size());
    const uint32_t payload_words = (size - 4) / 2;
    bytes.resize(0x40000);
    std::vector<uint8_t> pcm(source_max_pcm_bytes(0x40000));
    uint32_t len = 12345;
    ASSERT_EQ(source_decode_audio(m, bytes.data(), size, pcm.data(), &len), 0);
    EXPECT_EQ(len, 2u * (4u * (payload_words - 2u) + 1u));
    EXPECT_EQ(pcm[0], 0);  // the first sample comes out verbatim

    // A frame the decoder refuses leaves the caller's length as it was.
    bytes[1] = 0x00;
    len = 777;
    EXPECT_EQ(source_decode_audio(m, bytes.data(), 168, pcm.data(), &len), -1);
    EXPECT_EQ(len, 777u);

    // A frame shorter than its header claims reads the missing bytes as zero.
    bytes[1] = 0x01;
    EXPECT_EQ(source_decode_audio(m, bytes.data(), 8, pcm.data(), &len), 0);
    source_close(m);
}

// The frames handed out one by one are those that reading and decoding each frame by itself
// gives, in the same order, whatever the layout; refused entries and undecodable voice frames
// are marked, and the end stays the end.
TEST(SourceMedia, NextFrameGivesWhatReadingFrameByFrameGives) {
    const auto dir = tvtest::scratch_dir("source-next");
    ifvbuild::Recording rec;
    rec.audio.format = "TV35";
    rec.audio.frame_length = 168;
    VoiceCodecState enc;
    TV_VOICE_EncReset(&enc, VOICE_MODE_ADPCM_FIRST);
    for (int s = 0; s < 2; ++s) {
        auto& seg = rec.segments.emplace_back();
        for (int i = 0; i < 40; ++i) {
            const int n = 40 * s + i;
            seg.add_video(ifvbuild::pattern(1000 + 977 * n, n), 40 * n, i == 0);
            seg.add_audio(jobtest::voice_frame(enc, n), 40 * n + 1);
        }
        seg.video[7].length = 0;                                           // refused
        std::memset(seg.data.data() + seg.audio[9].data_offset, 0xFF, 4);  // undecodable
        seg.store_video_first();
    }
    ASSERT_TRUE(ifvbuild::write_file(rec, dir / "a.ifv"));

    SourceMedia* stream = source_open((dir / "a.ifv").string().c_str(), 0);
    SourceMedia* single = source_open((dir / "a.ifv").string().c_str(), 0);
    ASSERT_NE(stream, nullptr);
    ASSERT_NE(single, nullptr);
    std::vector<uint8_t> buf(0x40000), pcm(source_max_pcm_bytes(0x40000));
    int frames = 0, refused = 0, undecodable = 0;
    for (;;) {
        uint32_t ts = 0, len = 0;
        uint8_t key = 0, audio = 0;
        const int32_t got = source_read_frame(single, buf.data(), &ts, &key, &audio);
        SourceFrame f{};
        const int next = source_next_frame(stream, &f);
        if (got == 0) {
            EXPECT_EQ(next, 0);
            break;
        }
        ASSERT_EQ(next, 1) << frames;
        ++frames;
        if (got < 0) {
            EXPECT_EQ(f.status, SOURCE_FRAME_REFUSED) << frames;
            ++refused;
            continue;
        }
        EXPECT_EQ(f.is_audio, audio);
        EXPECT_EQ(f.time_stamp, ts);
        const uint8_t* expected = buf.data();
        if (audio != 0) {
            const int decoded = source_decode_audio(single, buf.data(), static_cast<uint32_t>(got),
                                                    pcm.data(), &len);
            undecodable += decoded != 0;
            EXPECT_EQ(f.status, decoded == 0 ? SOURCE_FRAME_WHOLE : SOURCE_FRAME_UNDECODABLE);
            if (decoded != 0) len = 0;
            expected = pcm.data();
        } else {
            EXPECT_EQ(f.key_flag, key);
            len = static_cast<uint32_t>(got);
        }
        ASSERT_EQ(f.length, len) << frames;
        EXPECT_EQ(std::memcmp(f.data, expected, f.length), 0) << frames;
    }
    EXPECT_EQ(frames, 160);
    EXPECT_EQ(refused, 2);
    EXPECT_EQ(undecodable, 2);
    SourceFrame f{};
    EXPECT_EQ(source_next_frame(stream, &f), 0);
    EXPECT_EQ(source_next_frame(nullptr, &f), -1);
    source_close(stream);
    source_close(single);
}
