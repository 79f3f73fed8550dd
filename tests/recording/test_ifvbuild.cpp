// The builder is the reader tests' oracle, so its bytes are pinned against the recording
// layout with literal values here, independently of the reader.
#include "tools/ifvbuild/ifv_builder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/avi_check.h"
#include "support/test_support.h"

namespace {

using ifvbuild::Recording;
using tvtest::le16;
using tvtest::le32;

std::vector<uint8_t> slice(const std::vector<uint8_t>& b, std::size_t at, std::size_t n) {
    return {b.begin() + static_cast<std::ptrdiff_t>(at),
            b.begin() + static_cast<std::ptrdiff_t>(at + n)};
}

TEST(IfvBuilder, DefaultRecordingFollowsTheLayout) {
    Recording rec;
    rec.file.start_time = 1234;
    rec.file.end_time = 5678;
    auto& seg = rec.segments.emplace_back();
    seg.add_video(std::vector<uint8_t>{0xA1, 0xA2, 0xA3}, 40, true);
    seg.add_audio(std::vector<uint8_t>(320, 0x55), 41);
    const auto b = ifvbuild::to_bytes(rec);

    // One segment with 3000 + 4000 slots: data starts at 180248.
    ASSERT_EQ(b.size(), 180248u + 3 + 320);
    EXPECT_EQ(slice(b, 0, 16),
              (std::vector<uint8_t>{0x11, 0xD2, 0xD3, 0xAB, 0xBA, 0xA9, 0xCF, 0x11, 0x8E, 0xE6,
                                    0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}));
    EXPECT_EQ(le32(b, 16), 68u);
    EXPECT_EQ(std::string(b.begin() + 20, b.begin() + 49), "This is DVR record file ver 2");
    EXPECT_EQ(b[49], 0);
    EXPECT_EQ(le32(b, 52), 1234u);
    EXPECT_EQ(le32(b, 56), 5678u);
    EXPECT_EQ(le32(b, 60), b.size());  // recording length
    EXPECT_EQ(b[64], 1);
    EXPECT_EQ(b[65], 1);

    EXPECT_EQ(slice(b, 68, 16),
              (std::vector<uint8_t>{0x41, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11, 0xA3, 0xA4,
                                    0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6}));
    EXPECT_EQ(le32(b, 68 + 16), 56u);
    EXPECT_EQ(le16(b, 68 + 24), 352);
    EXPECT_EQ(le16(b, 68 + 26), 288);
    EXPECT_EQ(le32(b, 68 + 28), 0x41C80000u);  // 25.0f
    EXPECT_EQ(std::string(b.begin() + 68 + 36, b.begin() + 68 + 40), "H264");

    EXPECT_EQ(slice(b, 124, 16),
              (std::vector<uint8_t>{0xE3, 0xCB, 0x1A, 0x4B, 0x0B, 0x10, 0xD0, 0x11, 0xA3, 0x9B,
                                    0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6}));
    EXPECT_EQ(le32(b, 124 + 16), 48u);
    EXPECT_EQ(le16(b, 124 + 26), 16);
    EXPECT_EQ(le32(b, 124 + 28), 8000u);
    EXPECT_EQ(std::string(b.begin() + 124 + 32, b.begin() + 124 + 36), "GRAW");
    EXPECT_EQ(le32(b, 124 + 36), 320u);

    EXPECT_EQ(slice(b, 172, 16),
              (std::vector<uint8_t>{0x20, 0xDB, 0xFE, 0x4C, 0xF6, 0x75, 0xCF, 0x11, 0x9C, 0x0F,
                                    0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB}));
    EXPECT_EQ(le32(b, 172 + 16), 28u);
    EXPECT_EQ(le32(b, 172 + 20), 1u);

    EXPECT_EQ(slice(b, 200, 16),
              (std::vector<uint8_t>{0x74, 0xD4, 0x06, 0x18, 0xDF, 0xCA, 0x09, 0x45, 0xA4, 0xBA,
                                    0x9A, 0xAB, 0xCB, 0x96, 0xAA, 0xE8}));
    EXPECT_EQ(le32(b, 216), b.size() - 200);  // segment size
    EXPECT_EQ(le32(b, 220), 40u);             // start time stamp: lowest frame stamp
    EXPECT_EQ(le32(b, 224), 41u);             // end time stamp: highest
    EXPECT_EQ(le32(b, 228), 1u);
    EXPECT_EQ(le32(b, 232), 1u);
    EXPECT_EQ(le32(b, 236), 3000u);
    EXPECT_EQ(le32(b, 240), 4000u);

    // Video entry at 248, audio entry at 84248.
    EXPECT_EQ(le32(b, 248), 180248u);
    EXPECT_EQ(le32(b, 248 + 4), 3u);
    EXPECT_EQ(le32(b, 248 + 16), 40u);
    EXPECT_EQ(le32(b, 248 + 20), 1u);
    EXPECT_EQ(le32(b, 248 + 28), 0u);  // second slot unused
    EXPECT_EQ(le32(b, 84248), 180251u);
    EXPECT_EQ(le32(b, 84248 + 4), 320u);
    EXPECT_EQ(le32(b, 84248 + 16), 41u);
    EXPECT_EQ(slice(b, 180248, 3), (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
}

TEST(IfvBuilder, OffsetsCountFromTheBase) {
    Recording rec;
    rec.base = 1000;
    rec.leading = {'J', 'U', 'N', 'K'};
    rec.file.video_flag = 0;
    rec.file.audio_flag = 0;
    rec.segments.emplace_back().add_video(std::vector<uint8_t>{7, 8}, 0);
    rec.segments.emplace_back().add_video(std::vector<uint8_t>{9}, 1);
    const auto b = ifvbuild::to_bytes(rec);
    const auto lay = ifvbuild::layout(rec);

    EXPECT_EQ(slice(b, 0, 4), (std::vector<uint8_t>{'J', 'U', 'N', 'K'}));
    EXPECT_EQ(b[999], 0);
    EXPECT_EQ(b[1000], 0x11);
    // Slots follow the entries when the stream flags are off: 48 + 28 bytes, then data.
    ASSERT_EQ(lay.segments.size(), 2u);
    EXPECT_EQ(lay.segments[0].position, 1200u);
    EXPECT_EQ(lay.segments[0].data, 1276u);
    EXPECT_EQ(lay.segments[1].position, 1278u);
    EXPECT_EQ(le32(b, 1200 + 36), 1u);
    EXPECT_EQ(le32(b, 1200 + 40), 0u);
    EXPECT_EQ(le32(b, 1248), 276u);  // from the base
    EXPECT_EQ(ifvbuild::video_offset(rec, 1, 0), 1278u + 76 - 1000);
    EXPECT_EQ(le32(b, 1000 + 60), b.size() - 1000);
}

TEST(IfvBuilder, OverridesAreWrittenAsGivenWithoutMovingAnything) {
    Recording rec;
    rec.file.object_size = 69;
    rec.file.recording_length = 7;
    rec.mdat.segment_count = 9;
    rec.audio.format = "G7";
    auto& s0 = rec.segments.emplace_back();
    s0.video_index_slots = 2;
    s0.audio_index_slots = 1;
    s0.size = 47;
    s0.video_frame_count = 5;
    s0.start_time_stamp = 100;
    s0.end_time_stamp = 50;
    s0.object_id[0] ^= 0xFF;
    auto& e = s0.add_video(std::vector<uint8_t>{1}, 0);
    e.offset = 0xFFFFFFF0u;
    rec.segments.emplace_back();
    const auto b = ifvbuild::to_bytes(rec);

    EXPECT_EQ(le32(b, 16), 69u);
    EXPECT_EQ(le32(b, 60), 7u);
    EXPECT_EQ(le32(b, 192), 9u);
    EXPECT_EQ(slice(b, 124 + 32, 4), (std::vector<uint8_t>{'G', '7', 0, 0}));
    EXPECT_EQ(b[200], 0x74 ^ 0xFF);
    EXPECT_EQ(le32(b, 216), 47u);
    EXPECT_EQ(le32(b, 220), 100u);
    EXPECT_EQ(le32(b, 224), 50u);
    EXPECT_EQ(le32(b, 228), 5u);
    EXPECT_EQ(le32(b, 248), 0xFFFFFFF0u);
    // The second segment still follows the first one's real size: 48 + 2*28 + 24 + 1.
    EXPECT_EQ(ifvbuild::layout(rec).segments[1].position, 200u + 129);
    EXPECT_EQ(b[329], 0x74);

    rec.segments[0].video_index_slots = 0;
    EXPECT_THROW(ifvbuild::layout(rec), std::invalid_argument);
}

TEST(IfvBuilder, WriteFileLeavesHolesAndMatchesTheBytes) {
    const auto dir = tvtest::scratch_dir("ifvbuild_write");
    Recording small;
    small.segments.emplace_back().add_audio(ifvbuild::pattern(320, 1), 5);
    ASSERT_TRUE(ifvbuild::write_file(small, dir / "small.ifv"));
    EXPECT_EQ(tvtest::read_file(dir / "small.ifv"), ifvbuild::to_bytes(small));

    Recording big;
    auto& seg = big.segments.emplace_back();
    seg.gap = 0x10000000;  // 256 MiB of nothing
    seg.add_video(ifvbuild::pattern(10, 2), 0);
    ASSERT_TRUE(ifvbuild::write_file(big, dir / "big.ifv"));
    EXPECT_EQ(std::filesystem::file_size(dir / "big.ifv"), ifvbuild::layout(big).file_size);
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(::stat((dir / "big.ifv").c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 16u << 20);
#endif
}

TEST(IfvBuilder, AppendStartsNewSegmentsWhenFull) {
    Recording rec;
    for (uint32_t i = 0; i < 3001; ++i)
        ifvbuild::append_video(rec, std::vector<uint8_t>{1}, i, false);
    ASSERT_EQ(rec.segments.size(), 2u);
    EXPECT_EQ(rec.segments[0].video.size(), 3000u);
    // The second segment holds one byte of data, so 8 more would pass the limit of 8.
    ifvbuild::append_audio(rec, std::vector<uint8_t>(8, 0), 0, /*max_segment_data=*/8);
    ifvbuild::append_audio(rec, std::vector<uint8_t>(8, 0), 0, 8);
    ASSERT_EQ(rec.segments.size(), 4u);
    EXPECT_EQ(rec.segments[2].audio.size(), 1u);
    EXPECT_EQ(rec.segments[3].audio.size(), 1u);
    EXPECT_NE(ifvbuild::pattern(16, 1), ifvbuild::pattern(16, 2));
}

}  // namespace
