// Outside checks: ffprobe and ffmpeg read the files the writer makes, plain and OpenDML, and
// files finished after the disk refused a write.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <csignal>
#include <fstream>
#include <sstream>

#include "avi_test_util.h"
#include "support/test_support.h"

using namespace avitest;
using namespace tvtest;

namespace {

// Made once per test process, in the first test's own folder: ctest runs tests in parallel.
const std::vector<AccessUnit>& clip(const fs::path& dir = {}) {
    static const std::vector<AccessUnit> units = h264_access_units(dir);
    return units;
}

// `samples` of a 440 Hz tone as 16-bit little-endian PCM at 8000 Hz, continuing from `*phase`.
std::vector<uint8_t> tone(int samples, int* phase) {
    std::vector<uint8_t> pcm;
    for (int i = 0; i < samples; ++i, ++*phase) {
        auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * *phase / 8000.0));
        pcm.push_back(static_cast<uint8_t>(v));
        pcm.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
    return pcm;
}

// Runs `body` in a child process whose files may not grow past `limit` bytes (SIGXFSZ ignored,
// so writes fail with EFBIG). The child's exit status is the result.
template <class Body>
int with_file_size_limit(rlim_t limit, Body body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit rl{};
        ::getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = limit;
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) ::_exit(90);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

class AviOutside : public AviTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(have_program("ffprobe")) << "ffprobe is needed";
        ASSERT_EQ(clip(dir).size(), 25u) << "ffmpeg with libx264 is needed to make test video";
        ASSERT_TRUE(clip()[0].key);
    }
    // Frame i of the clip repeated; audio in uneven bursts that keep pace with the video.
    static int put_frame(Recorder& rec, int i, int* phase) {
        const AccessUnit& unit = clip()[static_cast<size_t>(i) % clip().size()];
        if (int r = rec.video(unit.bytes.data(), static_cast<int32_t>(unit.bytes.size()), unit.key))
            return r;
        const int bursts[] = {0, 10, 0, 0, 4, 16, 0, 0, 10, 0};  // 40 chunks of 10 ms per 10 frames
        for (int a = 0; a < bursts[i % 10]; ++a) {
            auto pcm = tone(80, phase);
            if (int r = rec.audio(pcm.data(), static_cast<int32_t>(pcm.size()))) return r;
        }
        return 0;
    }

    static size_t count(const std::vector<Written>& chunks, const std::string& tag) {
        size_t n = 0;
        for (const Written& w : chunks) n += w.tag == tag;
        return n;
    }

    // ffprobe sees these chunks and ffmpeg decodes the file cleanly.
    void expect_readable(size_t frames, size_t audio_chunks) {
        expect_probe(path, frames, audio_chunks);
        EXPECT_EQ(decode_errors(path), "");
    }

    // A child process hands its chunk counts to the test through a file.
    void save_counts(const Recorder& rec) const {
        std::ofstream(dir / "counts")
            << count(rec.chunks, "00db") << " " << count(rec.chunks, "01wb");
    }
    void expect_readable_as_counted(size_t more_frames_than) {
        size_t frames = 0, audio = 0;
        std::ifstream(dir / "counts") >> frames >> audio;
        EXPECT_GT(frames, more_frames_than);
        expect_readable(frames, audio);
    }

    // In a child whose files may not grow past `limit` bytes, frames go in until the limit
    // refuses one (frame i); then `rest(avi, rec, i, phase)` goes on. The child's exit status
    // is the result: 0 when all went as expected, and then the counts are saved.
    template <class Rest>
    int until_the_limit(rlim_t limit, Rest rest) {
        return with_file_size_limit(limit, [&] {
            AviPtr avi = create();
            if (!avi) return 1;
            Recorder rec(avi.get());
            int phase = 0;
            int i = 0;
            while (put_frame(rec, i, &phase) == 0) {
                if (++i > 200) return 2;
            }
            if (AVI_get_last_error() != AVI_ERR_WRITE) return 3;
            const int result = rest(avi, rec, i, phase);
            if (result == 0) save_counts(rec);
            return result;
        });
    }
};

TEST_F(AviOutside, PlainFile) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    int phase = 0;
    for (int i = 0; i < 50; ++i) ASSERT_EQ(put_frame(rec, i, &phase), 0);
    EXPECT_EQ(avi->segment_switches, 0);
    finish_and_check(avi, rec);
    expect_readable(50, count(rec.chunks, "01wb"));
}

TEST_F(AviOutside, OpenDmlFile) {
    AviPtr avi = create(24 * 1024);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    int phase = 0;
    // Sound before the first picture, then the clip four times over.
    for (int a = 0; a < 5; ++a) {
        auto pcm = tone(80, &phase);
        ASSERT_EQ(rec.audio(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
    }
    for (int i = 0; i < 100; ++i) ASSERT_EQ(put_frame(rec, i, &phase), 0);
    EXPECT_GE(avi->segment_switches, 3);
    {
        tvtest::StdoutCapture quiet;
        ASSERT_EQ(AVI_finish(avi.release()), 0);
    }
    check_structure(path, rec.chunks);
    expect_readable(100, count(rec.chunks, "01wb"));
}

TEST_F(AviOutside, FileSizeLimitReachedAndLifted) {
    // The child reports how many frames it wrote; after the refused chunk the limit is lifted
    // and the conversion goes on.
    const int status = until_the_limit(40000, [&](AviPtr& avi, Recorder& rec, int i, int phase) {
        rlimit rl{};
        ::getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_FSIZE, &rl);
        // When the refused chunk was audio, frame i went in: go on with the next one.
        if (count(rec.chunks, "00db") == static_cast<size_t>(i) + 1) ++i;
        for (int end = i + 30; i < end; ++i) {
            if (put_frame(rec, i, &phase) != 0) return 4;
        }
        return AVI_finish(avi.release()) != 0 ? 5 : 0;
    });
    ASSERT_EQ(status, 0);
    expect_readable_as_counted(30);
}

TEST_F(AviOutside, FileSizeLimitReachedAndFinished) {
    const int status = until_the_limit(30001, [](AviPtr& avi, Recorder&, int, int) {
        // As the conversion does: stop at the failed write and finish. The index no longer
        // fits under the limit; the file is finished without it.
        if (AVI_finish(avi.release()) != -1) return 4;
        return AVI_get_last_error() == AVI_ERR_WRITE_INDEX ? 0 : 4;
    });
    ASSERT_EQ(status, 0);
    expect_readable_as_counted(5);
}

// Picture checksums of a file, in order, as ffmpeg decodes its video stream.
std::vector<std::string> picture_sums(const fs::path& file) {
    auto r = tvtest::run(tvtest::words("ffmpeg -nostdin -v quiet -i",
                                       {file.string(), "-map", "0:v", "-f", "framemd5", "-"}));
    std::vector<std::string> sums;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') sums.push_back(line.substr(line.rfind(',') + 1));
    }
    return sums;
}

// A conversion killed anywhere in a file of several RIFF segments leaves the file as it stands
// (the writer holds nothing back): it opens, and every picture in it decodes as in the
// finished file, also past the first segment's indexes and the next segment's header.
TEST_F(AviOutside, UnfinishedOpenDmlFileKeepsItsPictures) {
    {
        AviPtr avi = create(24 * 1024);
        ASSERT_TRUE(avi);
        Recorder rec(avi.get());
        int phase = 0;
        for (int i = 0; i < 100; ++i) ASSERT_EQ(put_frame(rec, i, &phase), 0);
        tvtest::StdoutCapture quiet;
        ASSERT_EQ(AVI_finish(avi.release()), 0);
    }
    const auto reference = picture_sums(path);
    ASSERT_EQ(reference.size(), 100u);

    for (int cut : {1, 9, 24, 31, 47, 58, 76, 99}) {
        SCOPED_TRACE(cut);
        const fs::path part = dir / ("cut" + std::to_string(cut) + ".avi");
        AviPtr avi = create_writer(part, 24 * 1024);
        ASSERT_TRUE(avi);
        Recorder rec(avi.get());
        int phase = 0;
        for (int i = 0; i < cut; ++i) ASSERT_EQ(put_frame(rec, i, &phase), 0);
        if (cut > 40) {
            EXPECT_GE(avi->segment_switches, 1);
        }
        // Killed: no index, no final header, nothing more reaches the file.
        AviFile* file = avi.release();
        ::close(file->fd);
        delete file;

        const auto probe = tvtest::run({"ffprobe", "-v", "error", "-show_streams", part.string()});
        EXPECT_EQ(probe.status, 0) << probe.err;
        const auto sums = picture_sums(part);
        ASSERT_EQ(sums.size(), static_cast<size_t>(cut));
        EXPECT_TRUE(std::equal(sums.begin(), sums.end(), reference.begin()));
    }
}

}  // namespace
