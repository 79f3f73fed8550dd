// OpenDML files: segment switches, standard and super indexes, "AVIX" segments. The segment
// size is lowered so that the files stay small; the large test uses the real one.
#include <gtest/gtest.h>

#include "avi_test_util.h"
#include "support/test_support.h"

using namespace avitest;
using namespace tvtest;

namespace {

class AviOdml : public AviTest {
  protected:
    std::vector<uint8_t> data = std::vector<uint8_t>(20000, 0x5A);
};

TEST_F(AviOdml, FirstSwitch) {
    AviPtr avi = create(64 * 1024);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    // Audio first, then video and audio unevenly, until the first switch.
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    int i = 0;
    while (avi->segment_switches == 0) {
        ASSERT_LT(i, 1000);
        ASSERT_EQ(rec.video(data.data(), 2001 + i, i % 5 == 0), 0);
        for (int a = 0; a < i % 3; ++a) ASSERT_EQ(rec.audio(data.data(), 320), 0);
        ++i;
    }
    // The chunk that caused the switch lies in the second segment, right after its header.
    Written trigger;
    for (const Written& w : rec.chunks) {
        if (w.segment == 1) {
            trigger = w;
            break;
        }
    }
    ASSERT_EQ(trigger.segment, 1);
    const int64_t avix = avi->video_super_index->std_indexes[1].base_offset;
    EXPECT_EQ(trigger.pos, avix + 24);
    EXPECT_EQ(avi->segment_header_written[1], true);
    // Segment 0 ended before the chunk would carry it past the threshold.
    EXPECT_LE(avix, 64 * 1024);
    EXPECT_GT(avix + 24 + 8 + trigger.length + 2048, 64 * 1024);
    // Written indexes are released; the legacy index is not needed any more.
    EXPECT_EQ(avi->video_super_index->std_indexes[0].data.data(), nullptr);
    EXPECT_EQ(avi->tracks[0].super_index->std_indexes[0].data.data(), nullptr);
    EXPECT_EQ(avi->legacy_index.data(), nullptr);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(rec.audio(data.data(), 320), 0);
    ASSERT_EQ(rec.video(data.data(), 777, false), 0);
    ASSERT_EQ(AVI_finish(avi.release()), 0);

    check_first_switch(path, rec.chunks);
    check_structure(path, rec.chunks);
}

TEST_F(AviOdml, ManySegmentsAndTheirIndexes) {
    AviPtr avi = create(48 * 1024);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    uint32_t state = 1;
    for (int i = 0; i < 150; ++i) {
        state = state * 1103515245 + 12345;
        ASSERT_EQ(
            rec.video(data.data(), static_cast<int32_t>(500 + (state >> 16) % 3000), i % 12 == 0),
            0);
        // Bursts of audio now and then, silence in between.
        if ((state >> 8) % 4 == 0) {
            for (uint32_t a = 0; a < (state >> 4) % 9; ++a)
                ASSERT_EQ(rec.audio(data.data(), 640), 0);
        }
    }
    const int32_t switches = avi->segment_switches;
    ASSERT_GE(switches, 5);
    tvtest::StdoutCapture out;
    ASSERT_EQ(AVI_finish(avi.release()), 0);
    const std::string printed = out.finish();
    check_structure(path, rec.chunks);

    // One diagnostic line per video super index entry.
    auto h = read_range(path, 0, 2048);
    SuperIndex video = read_super_index(h, 212);
    ASSERT_EQ(video.entries.size(), static_cast<size_t>(switches) + 1);
    std::string expected;
    for (size_t i = 0; i < video.entries.size(); ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "VID NrEntries %zu/%zu (00db) |0x%llX|%u|%u|\n", i,
                      video.entries.size(),
                      static_cast<unsigned long long>(video.entries[i].offset),
                      video.entries[i].size, video.entries[i].duration);
        expected += line;
    }
    EXPECT_EQ(printed, expected);

    // The durations add up to the streams' lengths: 150 frames, and the audio's 2-byte blocks.
    uint64_t frames = 0;
    for (const SuperEntry& e : video.entries) frames += e.duration;
    EXPECT_EQ(frames, 150u);
    uint64_t audio_bytes = 0;
    for (const Written& w : rec.chunks) audio_bytes += w.tag == "01wb" ? w.length : 0;
    const SuperIndex audio = read_super_index(h, 96 + le32(h, 92) + 102);
    ASSERT_EQ(audio.chunk_id, "01wb");
    uint64_t samples = 0;
    for (const SuperEntry& e : audio.entries) samples += e.duration;
    EXPECT_EQ(samples, audio_bytes / 2);
    EXPECT_EQ(samples, le32(h, 96 + le32(h, 92) + 12 + 8 + 32));  // the track's dwLength
}

TEST_F(AviOdml, TrackThatStartsLateAndTrackThatStops) {
    AviPtr avi = create(32 * 1024);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    // Track 1 only in the first segment: its later standard indexes are empty, duration 0.
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    while (avi->segment_switches < 2) ASSERT_EQ(rec.video(data.data(), 3000, true), 0);
    // Track 2 begins in segment 2: its slots 0 and 1 are never written nor listed.
    ASSERT_EQ(AVI_describe_audio(avi.get(), 2, 22050, 8, 1, 0), 0);
    for (int i = 0; avi->segment_switches < 4; ++i) {
        ASSERT_EQ(rec.video(data.data(), 2500, i % 4 == 0), 0);
        ASSERT_EQ(rec.audio(data.data(), 441), 0);
    }
    const AviSuperIndex& late = *avi->tracks[1].super_index;
    EXPECT_EQ(late.std_indexes[2].base_offset, avi->video_super_index->std_indexes[2].base_offset);
    finish_and_check(avi, rec);

    auto h = read_range(path, 0, 2048);
    const uint32_t video_list = le32(h, 92) + 96;
    const uint32_t track1_list = le32(h, video_list + 4) + video_list + 8;
    SuperIndex first = read_super_index(h, video_list + 102);
    ASSERT_EQ(first.entries.size(), 5u);
    for (size_t s = 1; s < 5; ++s) {
        EXPECT_EQ(first.entries[s].size, 24u);
        EXPECT_EQ(first.entries[s].duration, 0u);  // not a wrapped -1
    }
    SuperIndex second = read_super_index(h, track1_list + 102);
    EXPECT_EQ(second.chunk_id, "02wb");
    EXPECT_EQ(second.entries.size(), 3u);
}

TEST_F(AviOdml, AudioBeforeTheFirstVideoChunkNeverSwitches) {
    AviPtr avi = create(16 * 1024);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    for (int i = 0; i < 40; ++i) ASSERT_EQ(rec.audio(data.data(), 1000), 0);
    EXPECT_EQ(avi->segment_switches, 0);
    EXPECT_GT(avi->position, 32 * 1024);
    // The first video chunk switches at once: the segment is full.
    ASSERT_EQ(rec.video(data.data(), 100, true), 0);
    EXPECT_EQ(avi->segment_switches, 1);
    finish_and_check(avi, rec);
}

TEST_F(AviOdml, ThirtyThirdSegmentIsRefused) {
    AviPtr avi = create(8 * 1024);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    int refused = 0;
    std::string message;
    {
        StderrCapture err;
        for (int i = 0; i < 200 && refused == 0; ++i) {
            if (rec.video(data.data(), 3000, true) != 0) ++refused;
        }
        message = err.finish();
    }
    ASSERT_EQ(refused, 1);
    EXPECT_EQ(message, "Internal error in aviwriter - redefine AVI_MAX_SEGMENTS");
    EXPECT_EQ(avi->segment_switches, AVI_MAX_SEGMENTS - 1);
    const int32_t frames = avi->video_frame_count;
    EXPECT_EQ(static_cast<size_t>(frames), rec.chunks.size());
    EXPECT_EQ(avi->indexed_frame_count, frames);
    // Smaller chunks still fit into the last segment, and the file can be finished.
    ASSERT_EQ(rec.video(data.data(), 10, false), 0);
    finish_and_check(avi, rec);
}

TEST_F(AviOdml, SegmentSizeIsSetBeforeTheFirstChunkAndWithinBounds) {
    EXPECT_EQ(AVI_set_segment_size(nullptr, 0), -1);
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    for (int64_t refused : {-1LL, AVI_MIN_SEGMENT_SIZE - 1, AVI_SEGMENT_THRESHOLD + 1}) {
        AVI_last_error = AVI_ERR_NONE;
        EXPECT_EQ(AVI_set_segment_size(avi.get(), refused), -1) << refused;
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NOT_PERM);
    }
    ASSERT_EQ(AVI_set_segment_size(avi.get(), AVI_MIN_SEGMENT_SIZE), 0);
    ASSERT_EQ(AVI_set_segment_size(avi.get(), 0), 0);  // the default again
    EXPECT_EQ(avi->segment_threshold, AVI_SEGMENT_THRESHOLD);
    // Descriptions put no chunk: the size can still change after them.
    ASSERT_EQ(AVI_describe_video(avi.get(), 64, 48, 25.0, "H264"), 0);
    ASSERT_EQ(AVI_set_segment_size(avi.get(), 32 * 1024), 0);
    ASSERT_EQ(AVI_put_video_frame(avi.get(), data.data(), 3000, 1), 0);
    EXPECT_EQ(AVI_set_segment_size(avi.get(), 64 * 1024), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NOT_PERM);
    // Past 32 KiB, not 64 KiB: the size that was refused did not replace it.
    for (int i = 0; i < 12; ++i) ASSERT_EQ(AVI_put_video_frame(avi.get(), data.data(), 3000, 1), 0);
    EXPECT_EQ(avi->segment_switches, 1);
    EXPECT_EQ(AVI_finish(avi.release()), 0);
}

}  // namespace
