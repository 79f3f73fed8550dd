// The job reads runs of frames with one system call, straight into the chunks they become.
// Whatever the recording's layout, the file must be the one that reading frame by frame gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "app/conversion_job.h"
#include "avi/avi_internal.h"
#include "common/sysio.h"
#include "support/avi_check.h"
#include "support/test_support.h"
#include "tools/ifvbuild/ifv_builder.h"
#include "torvane/custommp4.h"
#include "torvane/voice.h"

namespace fs = std::filesystem;
using tv::JobOutcome;

namespace {

std::vector<uint8_t> voice_frame(VoiceCodecState& enc, int seed, int samples = 321) {
    int16_t pcm[321];
    for (int i = 0; i < 321; ++i)
        pcm[i] = static_cast<int16_t>(9000 * std::sin((i + seed * 321) * 0.05));
    VoiceFrame frame{};
    EXPECT_EQ(TV_VOICE_EncodeFrame(&enc, pcm, &frame, static_cast<int16_t>(samples)), 0);
    const auto* p = reinterpret_cast<const uint8_t*>(&frame);
    return std::vector<uint8_t>(p, p + 4 + 2 * frame.payload_words);
}

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

struct Run {
    tv::JobReport report;
    std::vector<uint8_t> bytes;
    long scattered_reads = 0;
};

long g_scattered_reads = 0;
ssize_t counting_preadv(int fd, const struct iovec* iov, int count, off_t offset) {
    ++g_scattered_reads;
    return ::preadv(fd, iov, count, offset);
}

// Converts `in`; frame by frame when the job gets no memory for its output buffer.
Run convert(const fs::path& in, const fs::path& out, bool frame_by_frame) {
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.preadv = counting_preadv;
    if (frame_by_frame) ops.may_allocate = [](size_t bytes) { return bytes < (1u << 20); };
    g_scattered_reads = 0;
    tv::sysio::install(&ops);
    tv::ConversionProgress progress;
    Run run;
    run.report = tv::ConversionJob(in.string(), out.string(), progress);
    tv::sysio::install(nullptr);
    run.bytes = tvtest::read_file(out);
    run.scattered_reads = g_scattered_reads;
    return run;
}

// Both ways of reading give the same file and the same report; the batched one reads with
// fewer calls than there are frames (divided by `fewer`).
void expect_same_as_frame_by_frame(const std::string& name, const std::vector<uint8_t>& file,
                                   int fewer = 4) {
    SCOPED_TRACE(name);
    const auto dir = tvtest::scratch_dir("batches-" + name);
    tvtest::write_file(dir / "in.ifv", file);
    const Run batched = convert(dir / "in.ifv", dir / "batched.avi", false);
    const Run single = convert(dir / "in.ifv", dir / "single.avi", true);
    EXPECT_EQ(single.scattered_reads, 0);
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

struct ThresholdGuard {
    explicit ThresholdGuard(int64_t bytes) { AVI_default_segment_threshold = bytes; }
    ~ThresholdGuard() { AVI_default_segment_threshold = AVI_SEGMENT_THRESHOLD; }
};

}  // namespace

TEST(ConversionBatches, RecordingLayouts) {
    g_seed = 7;
    // Frames back to back, across segments (the index tables between them end a run).
    expect_same_as_frame_by_frame("plain", ifvbuild::to_bytes(voice_recording(300, 3, {}, {})));

    // Bytes between frames: a few, many, and more than a run skips (which ends it).
    auto gaps = [](ifvbuild::Segment& seg, int i) {
        const size_t sizes[] = {0, 0, 1, 0, 17, 4096, 0, 65536, 65537, 200000, 0, 3};
        seg.data.insert(seg.data.end(), sizes[(i * 7 + seg.data.size()) % 12], uint8_t{0xA5});
    };
    expect_same_as_frame_by_frame("gaps", ifvbuild::to_bytes(voice_recording(300, 2, gaps, {})));

    // Voice frames of other lengths (their PCM does not fill the room laid out for it, or
    // overflows it) and voice frames that cannot be decoded (an empty chunk).
    auto lengths = [](int i) { return i % 11 == 4 ? 161 : i % 13 == 6 ? 1 : 321; };
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
        for (size_t v = 6; v < s.video.size(); v += 17) s.video[v].length = CUSTOMMP4_FRAME_BUFFER_SIZE + 1;
    }
    expect_same_as_frame_by_frame("refused", ifvbuild::to_bytes(refused));
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
    // Every switch to a new RIFF segment moves the writer's space while a batch is laid out
    // in it; the frames after it are read again where the space went.
    g_seed = 3;
    const ThresholdGuard small(1024 * 1024);
    expect_same_as_frame_by_frame("opendml", ifvbuild::to_bytes(voice_recording(400, 2, {}, {})));
}

TEST(ConversionBatches, RecordingCutShort) {
    // The file ends inside a frame: the frames before it are kept, that one and the rest are
    // missing, the same way frame by frame.
    g_seed = 5;
    auto bytes = ifvbuild::to_bytes(voice_recording(200, 1, {}, {}));
    for (size_t cut : {bytes.size() * 2 / 3, bytes.size() - 100}) {
        const std::vector<uint8_t> shorter(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        expect_same_as_frame_by_frame("cut" + std::to_string(cut), shorter);
    }
}
