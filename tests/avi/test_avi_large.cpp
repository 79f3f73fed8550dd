// A real OpenDML file: past the first 1,992,294,400-byte segment with large chunks, read back
// at the byte level and by ffprobe and ffmpeg. About 2 GB are written and removed again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "avi_test_util.h"
#include "support/test_support.h"

using namespace avitest;
using namespace tvtest;

namespace {

// Removes the big file however the test ends.
struct RemoveOnExit {
    fs::path path;
    ~RemoveOnExit() {
        std::error_code ec;
        fs::remove(path, ec);
    }
};

TEST(AviLarge, OpenDmlFilePastTheFirstSegment) {
    const fs::path dir = tvtest::scratch_dir("large");
    const fs::path path = dir / "large.avi";
    RemoveOnExit cleanup{path};
    ASSERT_GT(fs::space(dir).available, 3ull << 30) << "about 2.1 GB of free disk space needed";
    ASSERT_TRUE(have_program("ffprobe"));
    const std::vector<AccessUnit> clip = h264_access_units(dir);
    ASSERT_EQ(clip.size(), 25u) << "ffmpeg with libx264 is needed to make test video";

    AviPtr avi = create_writer(path);
    ASSERT_TRUE(avi);
    // Buffered, as conversions write: the audio chunks are gathered, the large video chunks
    // go straight to the file, and the buffer is written out at the switch.
    ASSERT_EQ(AVI_set_write_buffer(avi.get(), 1 << 20), 0);
    Recorder rec(avi.get());

    // Each video chunk is a real access unit followed by a filler NAL unit that brings it to
    // about 4 MB, so that the decoder reads every byte and still has little to do.
    std::vector<uint8_t> frame(4u << 20 | 1u << 19, 0xFF);
    std::vector<uint8_t> pcm(16000);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 37);
    auto put_video = [&](int i) {
        const AccessUnit& unit = clip[static_cast<size_t>(i) % clip.size()];
        const size_t size = (3u << 20) + static_cast<size_t>(i) * 7919 % (1u << 20);
        std::fill(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(size), 0xFF);
        std::memcpy(frame.data(), unit.bytes.data(), unit.bytes.size());
        const uint8_t filler[5] = {0, 0, 0, 1, 12};
        std::memcpy(frame.data() + unit.bytes.size(), filler, sizeof filler);
        frame[size - 1] = 0x80;  // trailing bits of the filler
        return rec.video(frame.data(), static_cast<int32_t>(size), unit.key);
    };
    // Audio in uneven bursts: sometimes nothing for many frames, then a long run of chunks.
    auto put_audio = [&](int i) {
        const int pattern[8] = {0, 0, 5, 0, 0, 0, 1, 2};
        for (int a = 0; a < pattern[i % 8] + (i % 29 == 0 ? 12 : 0); ++a) {
            const int32_t length = 320 * (1 + (i + a) % 4);
            if (rec.audio(pcm.data(), length) != 0) return -1;
        }
        return 0;
    };

    const auto start = std::chrono::steady_clock::now();
    for (int a = 0; a < 3; ++a) ASSERT_EQ(rec.audio(pcm.data(), 640), 0);
    int after_switch = 0;
    for (int i = 0; after_switch < 12; ++i) {
        ASSERT_LT(i, 1000);
        ASSERT_EQ(put_video(i), 0) << "frame " << i;
        ASSERT_EQ(put_audio(i), 0) << "frame " << i;
        if (avi->segment_switches > 0) ++after_switch;
    }
    ASSERT_EQ(avi->segment_switches, 1);
    EXPECT_GT(avi->position, AVI_SEGMENT_THRESHOLD);
    const int64_t avix = avi->video_super_index->std_indexes[1].base_offset;
    EXPECT_LE(avix, AVI_SEGMENT_THRESHOLD);
    ASSERT_EQ(AVI_finish(avi.release()), 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("wrote %.2f GB in %.1f s\n", static_cast<double>(fs::file_size(path)) / 1e9,
                seconds);

    check_first_switch(path, rec.chunks);
    check_structure(path, rec.chunks);

    size_t frames = 0;
    size_t audio = 0;
    for (const Written& w : rec.chunks) (w.tag == "00db" ? frames : audio) += 1;
    expect_probe(path, frames, audio);
    EXPECT_EQ(decode_errors(path), "");
}

}  // namespace
