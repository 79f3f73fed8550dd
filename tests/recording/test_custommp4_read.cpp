// Reading frames: the time-order merge, empty segments, refused entries, truncated files,
// and recordings that reach past 128 MiB and past 4 GiB.
#include <gtest/gtest.h>

#include <unistd.h>

#include "common/bytes.h"
#include "recording/reader_test_util.h"
#include "support/test_support.h"

namespace {

using rtest::Frame;

using rtest::printf_text;

std::vector<uint8_t> bytes_of(std::size_t n, uint32_t seed) {
    return ifvbuild::pattern(n, seed);
}

// (is-audio, time stamp) of every frame handed out, up to the end.
std::vector<std::pair<int, uint32_t>> order(const std::vector<Frame>& frames) {
    std::vector<std::pair<int, uint32_t>> out;
    for (const auto& f : frames) {
        if (f.result > 0) out.emplace_back(f.audio, f.time_stamp);
    }
    return out;
}

TEST(Read, FramesComeInTimeOrderVideoFirstOnEqualStamps) {
    ifvbuild::Recording rec;
    auto& seg = rec.segments.emplace_back();
    seg.add_video(bytes_of(50, 1), 0, true);
    seg.add_video(bytes_of(51, 2), 40);
    seg.add_video(bytes_of(52, 3), 80);
    seg.add_video(bytes_of(53, 4), 0x80000000u);  // unsigned: after every audio stamp below
    for (uint32_t t : {0u, 20u, 80u, 100u}) seg.add_audio(bytes_of(320, t + 10), t);
    auto o = rtest::open(rtest::write(rec, "read_order"));
    ASSERT_NE(o.handle, nullptr);
    auto all = rtest::read_all(o.handle.get());
    EXPECT_EQ(all.out, "");
    const std::vector<std::pair<int, uint32_t>> want = {
        {0, 0}, {1, 0}, {1, 20}, {0, 40}, {0, 80}, {1, 80}, {1, 100}, {0, 0x80000000u}};
    EXPECT_EQ(order(all.frames), want);
    EXPECT_EQ(all.frames, rtest::expected_frames(rec));
    EXPECT_EQ(all.frames[0].key, 1);
    EXPECT_EQ(all.frames[3].key, 0);
    // After the end every call returns 0.
    std::vector<uint8_t> buffer(CUSTOMMP4_FRAME_BUFFER_SIZE);
    EXPECT_EQ(
        custommp4_read_one_media_frame(o.handle.get(), buffer.data(), CUSTOMMP4_FRAME_BUFFER_SIZE,
                                       nullptr, nullptr, nullptr),
        0);
}

TEST(Read, SeveralSegmentsWithDifferentTableSizes) {
    auto rec = rtest::sample_recording(3);
    // The middle segment holds more entries than the others; the tables are reused.
    auto& mid = rec.segments[1];
    for (uint32_t i = 0; i < 40; ++i) mid.add_video(bytes_of(30, 500 + i), 1100 + i);
    rtest::expect_read_cleanly(rtest::write(rec, "read_segments"), rec);
}

TEST(Read, EmptySegmentsAnywhereAreNotTheEnd) {
    ifvbuild::Recording rec;
    rec.segments.emplace_back();  // empty first
    rec.segments.emplace_back().add_video(bytes_of(10, 1), 5, true);
    rec.segments.emplace_back();  // two empty in the middle
    rec.segments.emplace_back();
    auto& s4 = rec.segments.emplace_back();
    s4.add_audio(bytes_of(320, 2), 9);
    s4.add_video(bytes_of(11, 3), 10);
    rec.segments.emplace_back();  // empty last
    auto o = rtest::open(rtest::write(rec, "read_empty_segments"));
    ASSERT_NE(o.handle, nullptr);
    auto all = rtest::read_all(o.handle.get());
    EXPECT_EQ(all.out, "");
    ASSERT_EQ(all.frames.size(), 4u);
    EXPECT_EQ(all.frames, rtest::expected_frames(rec));

    ifvbuild::Recording only_empty;
    only_empty.segments.resize(3);
    o = rtest::open(rtest::write(only_empty, "read_only_empty"));
    ASSERT_NE(o.handle, nullptr);
    all = rtest::read_all(o.handle.get());
    ASSERT_EQ(all.frames.size(), 1u);
    EXPECT_EQ(all.frames[0].result, 0);
}

TEST(Read, BufferLengthBoundary) {
    ifvbuild::Recording rec;
    auto& seg = rec.segments.emplace_back();
    seg.add_video(bytes_of(1000, 1), 0);
    seg.add_video(bytes_of(1001, 2), 1);  // one byte over: refused
    seg.add_video(bytes_of(999, 3), 2);
    const auto lay = ifvbuild::layout(rec);
    auto o = rtest::open(rtest::write(rec, "read_boundary"));
    ASSERT_NE(o.handle, nullptr);
    auto all = rtest::read_all(o.handle.get(), 1000);
    ASSERT_EQ(all.frames.size(), 4u);
    EXPECT_EQ(all.frames[0].result, 1000);
    EXPECT_EQ(all.frames[0].bytes, bytes_of(1000, 1));
    EXPECT_EQ(all.frames[1].result, -1);
    EXPECT_EQ(all.frames[2].result, 999);
    EXPECT_EQ(all.frames[2].bytes, bytes_of(999, 3));
    EXPECT_EQ(all.frames[3].result, 0);
    EXPECT_EQ(all.out, printf_text("warning:size error 1,frame offset:%lld,frame length:%lld,"
                                   "buffer length:%lld\n",
                                   lay.segments[0].data + 1000, 1001, 1000));
}

TEST(Read, RefusedAndZeroLengthEntriesArePassedOver) {
    ifvbuild::Recording rec;
    rec.base = 100;
    auto& seg = rec.segments.emplace_back();
    seg.add_video(bytes_of(20, 1), 0, true);
    seg.add_audio(bytes_of(320, 2), 0);
    seg.add_video(bytes_of(300000, 3), 10);  // longer than the frame buffer
    seg.add_audio(bytes_of(320, 4), 20);
    seg.add_video({}, 30);  // length 0
    seg.add_video(bytes_of(21, 5), 40);
    seg.add_video({}, 50);  // length 0 with only video left
    seg.add_video(bytes_of(22, 6), 60);
    const auto lay = ifvbuild::layout(rec);
    const long long data = static_cast<long long>(lay.segments[0].data);

    auto o = rtest::open(rtest::write(rec, "read_refused"), 100);
    ASSERT_NE(o.handle, nullptr);
    auto all = rtest::read_all(o.handle.get());
    std::vector<int32_t> results;
    for (const auto& f : all.frames) results.push_back(f.result);
    EXPECT_EQ(results, (std::vector<int32_t>{20, 320, -1, 320, -1, 21, -1, 22, 0}));
    EXPECT_EQ(all.frames[5].bytes, bytes_of(21, 5));
    EXPECT_EQ(all.frames[7].bytes, bytes_of(22, 6));
    // Positions in the messages are file positions: base + stored offset.
    const char* video =
        "warning:size error %lld,frame offset:%lld,frame length:%lld,buffer length:262144\n";
    EXPECT_EQ(all.out, printf_text(video, 2, data + 340, 300000) +
                           printf_text(video, 1, data + 300660, 0) +
                           printf_text(video, 1, data + 300681, 0));
}

TEST(Read, RefusedFrameLeavesTheOutputsUntouched) {
    ifvbuild::Recording rec;
    rec.segments.emplace_back().add_video(bytes_of(64, 1), 7, true);
    auto o = rtest::open(rtest::write(rec, "read_untouched"));
    ASSERT_NE(o.handle, nullptr);
    std::vector<uint8_t> buffer(64, 0xEE);
    uint32_t ts = 0xAAAAAAAA;
    uint8_t key = 0xBB, audio = 0xCC;
    tvtest::StdoutCapture capture;
    EXPECT_EQ(custommp4_read_one_media_frame(o.handle.get(), buffer.data(), 63, &ts, &key, &audio),
              -1);
    capture.finish();
    EXPECT_EQ(ts, 0xAAAAAAAAu);
    EXPECT_EQ(key, 0xBB);
    EXPECT_EQ(audio, 0xCC);
    EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xEE));
}

TEST(Read, AudioFramesThatCannotBeRead) {
    // Frames shorter than the audio frame length in the buffer, then a length of 0.
    auto rec = rtest::sample_recording(1);
    const auto lay = ifvbuild::layout(rec);
    const long long data = static_cast<long long>(lay.segments[0].data);
    auto o = rtest::open(rtest::write(rec, "read_audio_refused"));
    ASSERT_NE(o.handle, nullptr);
    auto all = rtest::read_all(o.handle.get(), 319);
    std::vector<int32_t> results;
    for (const auto& f : all.frames) results.push_back(f.result);
    // Video 0 and audio 0 share stamp 0; audio 60 comes between video 40 and 80.
    EXPECT_EQ(results, (std::vector<int32_t>{100, -1, 101, -1, 102, 0}));
    const char* sample =
        "warning:size error %lld,sample offset:%lld,sample length:%lld,buffer length:319\n";
    EXPECT_EQ(all.out,
              printf_text(sample, 2, data + 303, 320) + printf_text(sample, 2, data + 623, 320));

    rec.audio.frame_length = 0;
    o = rtest::open(rtest::write(rec, "read_audio_zero"));
    ASSERT_NE(o.handle, nullptr);
    all = rtest::read_all(o.handle.get());
    results.clear();
    for (const auto& f : all.frames) results.push_back(f.result);
    EXPECT_EQ(results, (std::vector<int32_t>{100, -1, 101, -1, 102, 0}));
}

TEST(Read, TruncatedFiles) {
    auto rec = rtest::sample_recording(2);
    const auto lay = ifvbuild::layout(rec);
    const auto full = ifvbuild::to_bytes(rec);
    const auto expected = rtest::expected_frames(rec);
    // The file cut to `size` bytes, opened.
    const auto open_cut = [&](std::size_t size, const std::string& name) {
        return rtest::open(rtest::write_bytes({full.begin(), full.begin() + size}, name));
    };
    // "ReadmdatSegmentObject2 ... failed `cause`": the second segment is damaged.
    const auto second_damaged = [&](int cause) {
        return printf_text("ReadmdatSegmentObject%lld (offset:%lld) failed %lld\n", 2,
                           static_cast<long long>(lay.segments[1].position), cause);
    };

    // Cut inside the last frame of the file (audio at 1060): it comes back as 0, with its
    // outputs and a diagnostic.
    {
        auto o = open_cut(full.size() - 1, "trunc_last_frame");
        ASSERT_NE(o.handle, nullptr);
        auto all = rtest::read_all(o.handle.get());
        ASSERT_EQ(all.frames.size(), 9u);
        for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(all.frames[i], expected[i]);
        const Frame& cut = all.frames.back();
        EXPECT_EQ(cut.result, 0);
        EXPECT_EQ(cut.time_stamp, 1060u);  // outputs are written once the read is tried
        EXPECT_EQ(cut.audio, 1);
        EXPECT_EQ(all.out, printf_text("warning:read error,sample offset:%lld,sample length:%lld\n",
                                       static_cast<long long>(full.size()) - 320, 320, 0));
    }
    // Cut inside the second segment's index: that segment is damaged, the first one reads.
    {
        auto o = open_cut(lay.segments[1].video_index + 10, "trunc_second_index");
        ASSERT_NE(o.handle, nullptr);
        EXPECT_EQ(o.out, second_damaged(4));
        auto all = rtest::read_all(o.handle.get());
        EXPECT_EQ(all.frames.size(), 6u);
    }
    // Cut inside the first segment's frame data: the second header is missing and the frames
    // past the cut come back as 0, each with its diagnostic, until the real end.
    {
        auto o = open_cut(lay.segments[0].data + 150, "trunc_first_data");
        ASSERT_NE(o.handle, nullptr);
        EXPECT_EQ(o.out, second_damaged(1));
        std::vector<uint8_t> buffer(CUSTOMMP4_FRAME_BUFFER_SIZE);
        std::vector<int32_t> results;
        tvtest::StdoutCapture capture;
        for (int i = 0; i < 7; ++i) {
            results.push_back(custommp4_read_one_media_frame(o.handle.get(), buffer.data(),
                                                             CUSTOMMP4_FRAME_BUFFER_SIZE, nullptr,
                                                             nullptr, nullptr));
        }
        capture.finish();
        EXPECT_EQ(results, (std::vector<int32_t>{100, 0, 0, 0, 0, 0, 0}));
    }
}

// Frames far into a sparse file: past 128 MiB, and with a base near 4 GiB past 32 bits.
TEST(Read, LargeRecordingsAreReadToTheirEnd) {
    ifvbuild::Recording rec;
    auto& s0 = rec.segments.emplace_back();
    s0.gap = 0x8000000 - (200 + 48 + 180000);  // the first frame lies exactly at 128 MiB
    s0.add_video(bytes_of(1000, 1), 0, true);
    s0.add_audio(bytes_of(320, 2), 1);
    auto& s1 = rec.segments.emplace_back();
    s1.gap = 0x100000;
    s1.add_video(bytes_of(2000, 3), 2);
    s1.add_audio(bytes_of(320, 4), 3);
    const auto lay = ifvbuild::layout(rec);
    ASSERT_EQ(lay.segments[0].data, 0x8000000u);
    ASSERT_GT(lay.segments[1].position, 0x8000000u);
    const auto path = tvtest::scratch_dir("read_large") / "large.ifv";
    ASSERT_TRUE(ifvbuild::write_file(rec, path));

    rtest::expect_read_cleanly(path, rec);

    // The same recording at a base of 4 GiB - 4 KiB: file positions pass 2^32.
    rec.base = 0xFFFFF000u;
    const auto far = tvtest::scratch_dir("read_past_4gib") / "far.ifv";
    if (!ifvbuild::write_file(rec, far)) GTEST_SKIP() << "no sparse file of 4.3 GB here";
    auto o = rtest::expect_read_cleanly(far, rec, rec.base);
    ASSERT_NE(o.handle, nullptr);
    EXPECT_GT(o.handle->sect_table[1].position, int64_t{1} << 32);
    o.handle.reset();
    std::filesystem::remove(far);
}

TEST(ReadData, PositionsThatCannotBeRepresented) {
    auto o = rtest::open(rtest::write(rtest::sample_recording(1), "read_data_pos"));
    ASSERT_NE(o.handle, nullptr);
    auto* h = o.handle.get();
    std::array<uint8_t, 16> id{};

    h->position = 0;
    EXPECT_EQ(custommp4_read_data(h, id.data(), 16), 1);
    EXPECT_EQ(id[0], 0x11);
    EXPECT_EQ(h->position, 16);

    for (int64_t bad : {tv::mp4::max_read_position(16) + 1, int64_t{-1}}) {
        h->position = bad;
        tvtest::StdoutCapture capture;
        EXPECT_EQ(custommp4_read_data(h, id.data(), 16), 0);
        EXPECT_EQ(capture.finish(), "custommp4_read_data:file_pos=" + std::to_string(bad) + "\n");
        EXPECT_EQ(h->position, bad);
    }
    // Past the end of the file: a short read, the position still advances.
    h->position = 1 << 30;
    EXPECT_EQ(custommp4_read_data(h, id.data(), 16), 0);
    EXPECT_EQ(h->position, (1 << 30) + 16);
}

}  // namespace
