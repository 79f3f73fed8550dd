// The job reads runs of frames with one system call, straight into the chunks they become.
// Whatever the recording's layout, the file must be the one that reading frame by frame gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "app/job_test_util.h"
#include "common/platform.h"
#include "common/sysio.h"
#include "support/avi_check.h"
#include "support/test_support.h"
#include "tools/ifvbuild/ifv_builder.h"
#include "torvane/custommp4.h"
#include "torvane/voice.h"

namespace fs = std::filesystem;
using jobtest::run_job;
using jobtest::voice_frame;
using tv::JobOutcome;

namespace {

uint32_t g_seed = 1;
uint32_t next_random() {
    g_seed = g_seed * 1103515245u + 12345u;
    return g_seed >> 8;
}

ifvbuild::Recording base_recording(const char* audio_format, uint32_t frame_length) {
    ifvbuild::Recording rec;
    rec.video.width = 352;
    rec.video.height = 288;
    rec.audio.format = audio_format;
    rec.audio.frame_length = frame_length;
    rec.audio.bits_per_sample = 16;
    rec.file.audio_flag = 1;
    return rec;
}

// Voice recording over `segments` segments; `between` may put bytes into a segment's data
// before each frame, `samples` chooses the length of each voice frame.
ifvbuild::Recording voice_recording(int frames, int segments,
                                    const std::function<void(ifvbuild::Segment&, int)>& between,
                                    const std::function<int(int)>& samples) {
    auto rec = base_recording("TV35", 168);
    VoiceCodecState enc;
    TV_VOICE_EncReset(&enc, VOICE_MODE_ADPCM_FIRST);
    for (int s = 0; s < segments; ++s) rec.segments.emplace_back();
    for (int i = 0; i < frames; ++i) {
        auto& seg = rec.segments[static_cast<size_t>(i * segments / frames)];
        if (between) between(seg, i);
        const uint32_t size = i % 29 == 3 ? CUSTOMMP4_FRAME_BUFFER_SIZE : 1 + next_random() % 60000;
        seg.add_video(ifvbuild::pattern(size, static_cast<uint32_t>(i)), 40 * i, i % 25 == 0);
        if (between) between(seg, i);
        seg.add_audio(voice_frame(enc, i, samples ? samples(i) : 321), 40 * i + 1);
    }
    return rec;
}

struct JobRun {
    tv::JobReport report;
    std::vector<uint8_t> bytes;
    long scattered_reads = 0;
};

long g_scattered_reads = 0;
int64_t counting_preadv(int fd, const tv::sysio::Part* parts, int count, int64_t offset) {
    ++g_scattered_reads;
    return tv::sysio::real_ops().preadv(fd, parts, count, offset);
}

// Converts `in`; frame by frame when the job gets no memory for its output buffer.
JobRun convert(const fs::path& in, const fs::path& out, bool frame_by_frame,
               const tv::ConversionOptions& options = {}) {
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.preadv = counting_preadv;
    if (frame_by_frame) ops.may_allocate = [](size_t bytes) { return bytes < (1u << 20); };
    g_scattered_reads = 0;
    tv::ConversionProgress progress;
    JobRun run;
    run.report = run_job(in, out, progress, &ops, options);
    run.bytes = tvtest::read_file(tvtest::frames_file(run.report, out));
    run.scattered_reads = g_scattered_reads;
    return run;
}

// Both ways of reading give the same file and the same report; the batched one reads with
// fewer calls than there are frames (divided by `fewer`).
void expect_same_as_frame_by_frame(const std::string& name, const std::vector<uint8_t>& file,
                                   int fewer = 4, const tv::ConversionOptions& options = {}) {
    SCOPED_TRACE(name);
    const auto dir = tvtest::scratch_dir("batches-" + name);
    tvtest::write_file(dir / "in.ifv", file);
    const JobRun batched = convert(dir / "in.ifv", dir / "batched.avi", false, options);
    const JobRun single = convert(dir / "in.ifv", dir / "single.avi", true, options);
    EXPECT_EQ(batched.report.outcome, single.report.outcome);
    EXPECT_EQ(batched.report.written_frames, single.report.written_frames);
    EXPECT_EQ(batched.report.skipped_frames, single.report.skipped_frames);
    EXPECT_EQ(batched.report.missing_frames, single.report.missing_frames);
    EXPECT_EQ(batched.report.system_error, single.report.system_error);
    ASSERT_GT(single.report.written_frames, 0);
    EXPECT_LT(batched.scattered_reads, single.report.written_frames / fewer);
    ASSERT_EQ(batched.bytes.size(), single.bytes.size());
    EXPECT_TRUE(batched.bytes == single.bytes);
    const auto avi = tvtest::check_avi(batched.bytes);
    EXPECT_TRUE(avi.ok()) << tvtest::describe(avi);
}

}  // namespace

TEST(ConversionBatches, RecordingLayouts) {
    g_seed = 7;
    // Frames back to back, across segments (the index tables between them end a run).
    auto plain = voice_recording(300, 3, {}, {});
    expect_same_as_frame_by_frame("plain", ifvbuild::to_bytes(plain));
    // Each segment's video frames before its audio frames.
    for (auto& seg : plain.segments) seg.store_video_first();
    expect_same_as_frame_by_frame("video-first", ifvbuild::to_bytes(plain));

    // Bytes between frames: a few, many, and more than a run skips (which ends it).
    auto gaps = [](ifvbuild::Segment& seg, int i) {
        const size_t sizes[] = {0, 0, 1, 0, 17, 4096, 0, 65536, 65537, 200000, 0, 3};
        seg.data.insert(seg.data.end(), sizes[(i * 7 + seg.data.size()) % 12], uint8_t{0xA5});
    };
    expect_same_as_frame_by_frame("gaps", ifvbuild::to_bytes(voice_recording(300, 2, gaps, {})));

    // Voice frames of other lengths (their PCM does not fill the room laid out for it, or
    // overflows it; some name more bytes than a frame of the recording holds), and voice
    // frames that cannot be decoded (an empty chunk).
    auto lengths = [](int i) {
        return i % 11 == 4 ? 161 : i % 13 == 6 ? 1 : i % 17 == 9 ? 481 : 321;
    };
    auto rec = voice_recording(300, 2, {}, lengths);
    for (auto& seg : rec.segments) {
        for (size_t a = 5; a < seg.audio.size(); a += 23) {
            std::memset(seg.data.data() + seg.audio[a].data_offset, 0xFF, 4);
        }
    }
    expect_same_as_frame_by_frame("pcm-lengths", ifvbuild::to_bytes(rec));

    // Frames stored in another order than they are read: a frame before the previous one's
    // end starts a new run.
    auto shuffled = voice_recording(240, 1, {}, {});
    auto& seg = shuffled.segments[0];
    for (size_t v = 0; v + 3 < seg.video.size(); v += 5) {
        std::swap(seg.video[v].data_offset, seg.video[v + 3].data_offset);
        std::swap(seg.video[v].length, seg.video[v + 3].length);
    }
    expect_same_as_frame_by_frame("order", ifvbuild::to_bytes(shuffled), 2);

    // Refused entries among the frames: no length, longer than any frame buffer.
    auto refused = voice_recording(240, 2, {}, {});
    for (auto& s : refused.segments) {
        for (size_t v = 2; v < s.video.size(); v += 9) s.video[v].length = 0;
        for (size_t v = 6; v < s.video.size(); v += 17)
            s.video[v].length = CUSTOMMP4_FRAME_BUFFER_SIZE + 1;
    }
    expect_same_as_frame_by_frame("refused", ifvbuild::to_bytes(refused));
}

// Outputs pinned by a hash of their bytes (FNV-1a, 64 bits), as earlier builds wrote them:
// however the frames are read and put, the files stay the same.
TEST(ConversionBatches, OutputsKeepTheirReferenceBytes) {
    auto fnv1a = [](const std::vector<uint8_t>& bytes) {
        uint64_t h = 0xcbf29ce484222325u;
        for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3u;
        return h;
    };
    const auto dir = tvtest::scratch_dir("batches-reference");
    g_seed = 5;
    auto interleaved = voice_recording(300, 3, {}, {});
    auto video_first = interleaved;
    for (auto& seg : video_first.segments) seg.store_video_first();
    auto raw = base_recording("GRAW", 320);
    raw.audio.bits_per_sample = 8;
    auto& seg = raw.segments.emplace_back();
    for (int i = 0; i < 100; ++i) {
        seg.add_video(ifvbuild::pattern(1 + next_random() % 9000, static_cast<uint32_t>(i)), 40 * i,
                      i % 25 == 0);
        seg.add_audio(ifvbuild::pattern(320, static_cast<uint32_t>(500 + i)), 40 * i + 20);
    }
    ASSERT_TRUE(ifvbuild::write_file(interleaved, dir / "interleaved.ifv"));
    ASSERT_TRUE(ifvbuild::write_file(video_first, dir / "video-first.ifv"));
    ASSERT_TRUE(ifvbuild::write_file(raw, dir / "raw8.ifv"));
    fs::copy_file(tvtest::source_dir() / "data" / "samples" / "sample.ifv", dir / "sample.ifv");
    const std::pair<const char*, uint64_t> expected[] = {
        {"interleaved", 7361414169373096273u},
        {"video-first", 7361414169373096273u},
        {"raw8", 2196181463878547041u},
        {"sample", 11438724284667033731u},
    };
    for (const auto& [name, hash] : expected) {
        const JobRun run =
            convert(dir / (std::string(name) + ".ifv"), dir / (std::string(name) + ".avi"), false);
        EXPECT_EQ(run.report.outcome, JobOutcome::Converted) << name;
        EXPECT_EQ(fnv1a(run.bytes), hash) << name;
    }
}

TEST(ConversionBatches, RawAudio) {
    g_seed = 11;
    for (uint16_t bits : {uint16_t{8}, uint16_t{16}}) {
        auto rec = base_recording("GRAW", 640);
        rec.audio.bits_per_sample = bits;
        auto& seg = rec.segments.emplace_back();
        for (int i = 0; i < 300; ++i) {
            seg.add_video(ifvbuild::pattern(1 + next_random() % 30000, static_cast<uint32_t>(i)),
                          40 * i, i % 25 == 0);
            seg.add_audio(ifvbuild::pattern(640, static_cast<uint32_t>(1000 + i)), 40 * i + 2);
        }
        expect_same_as_frame_by_frame("raw" + std::to_string(bits), ifvbuild::to_bytes(rec));
    }
}

TEST(ConversionBatches, SegmentSwitchesInsideBatches) {
    // Switches to new RIFF segments between buffered chunks and frames read ahead.
    g_seed = 3;
    tv::ConversionOptions small;
    small.avi_segment_size = 1024 * 1024;
    expect_same_as_frame_by_frame("opendml", ifvbuild::to_bytes(voice_recording(400, 2, {}, {})), 4,
                                  small);
}

TEST(ConversionBatches, RecordingCutShort) {
    // The file ends inside a frame: the frames before it are kept, that one and the rest are
    // refused, the same way frame by frame.
    g_seed = 5;
    auto bytes = ifvbuild::to_bytes(voice_recording(200, 1, {}, {}));
    for (size_t cut : {bytes.size() * 2 / 3, bytes.size() - 100}) {
        const std::vector<uint8_t> shorter(bytes.begin(),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        expect_same_as_frame_by_frame("cut" + std::to_string(cut), shorter);
    }
}

namespace {
long g_preadv_calls = 0;
long g_fail_from = 0;  // 0: never
// Reads at most a third of what is asked (cut inside a part), as a system may; from call
// g_fail_from on, fails with EIO.
int64_t stingy_preadv(int fd, const tv::sysio::Part* parts, int count, int64_t offset) {
    if (++g_preadv_calls >= g_fail_from && g_fail_from != 0) {
        errno = EIO;
        return -1;
    }
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += parts[i].size;
    size_t want = std::max<size_t>(1, total / 3 + 7);
    std::vector<tv::sysio::Part> cut;
    for (int i = 0; i < count && want > 0; ++i) {
        cut.push_back({parts[i].data, std::min(want, parts[i].size)});
        want -= cut.back().size;
    }
    return tv::sysio::real_ops().preadv(fd, cut.data(), static_cast<int>(cut.size()), offset);
}
}  // namespace

TEST(ConversionBatches, ShortAndFailingScatteredReads) {
    g_seed = 9;
    const auto dir = tvtest::scratch_dir("batches-short");
    ASSERT_TRUE(ifvbuild::write_file(voice_recording(200, 2, {}, {}), dir / "in.ifv"));
    const JobRun whole = convert(dir / "in.ifv", dir / "whole.avi", false);
    ASSERT_EQ(whole.report.outcome, JobOutcome::Converted);

    // Reads that come back short go on where they stopped: the same file.
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.preadv = stingy_preadv;
    g_fail_from = 0;
    tv::ConversionProgress progress;
    auto r = run_job(dir / "in.ifv", dir / "short.avi", progress, &ops);
    EXPECT_EQ(r.outcome, JobOutcome::Converted);
    EXPECT_TRUE(tvtest::read_file(dir / "short.avi") == whole.bytes);

    // A read that fails after others came back short: the frames read whole before it are
    // kept, the failure is told, and the disk is not asked again. The open's reads come first.
    g_preadv_calls = 0;
    tv::sysio::install(&ops);
    custommp4_close(custommp4_open((dir / "in.ifv").string().c_str(), 0));
    tv::sysio::install(nullptr);
    const long open_reads = g_preadv_calls;
    ASSERT_GT(open_reads, 0);
    for (long fail_from : {1L, 2L, 5L, 40L}) {
        SCOPED_TRACE(fail_from);
        g_preadv_calls = 0;
        g_fail_from = open_reads + fail_from;
        tv::ConversionProgress p2;
        r = run_job(dir / "in.ifv", dir / "failed.avi", p2, &ops);
        EXPECT_EQ(g_preadv_calls, open_reads + fail_from);
        EXPECT_EQ(r.outcome, JobOutcome::ReadFailed);
        EXPECT_EQ(r.system_error, EIO);
        EXPECT_LT(r.written_frames, 400);
        const fs::path failed = tvtest::frames_file(r, dir / "failed.avi");
        if (r.written_frames == 0) {  // nothing to keep, nothing left behind
            EXPECT_FALSE(fs::exists(failed));
            continue;
        }
        const auto avi = tvtest::check_avi_file(failed.string());
        EXPECT_TRUE(avi.ok()) << tvtest::describe(avi);
        uint32_t chunks = 0;
        for (const auto& [tag, n] : avi.chunk_count) chunks += n;
        EXPECT_EQ(chunks, static_cast<uint32_t>(r.written_frames));
        // What is there is the start of the whole conversion's chunks.
        const auto whole_avi = tvtest::check_avi(whole.bytes);
        ASSERT_LE(avi.data_chunks.size(), whole_avi.data_chunks.size());
        const auto bytes = tvtest::read_file(failed);
        for (size_t i = 0; i < avi.data_chunks.size(); ++i) {
            const auto& a = avi.data_chunks[i];
            const auto& b = whole_avi.data_chunks[i];
            ASSERT_EQ(a.tag, b.tag);
            ASSERT_EQ(a.size, b.size);
            ASSERT_TRUE(
                std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(a.offset),
                           bytes.begin() + static_cast<std::ptrdiff_t>(a.offset + 8 + a.size),
                           whole.bytes.begin() + static_cast<std::ptrdiff_t>(b.offset)))
                << i;
        }
    }
    g_fail_from = 0;
}
