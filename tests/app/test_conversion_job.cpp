// The conversion job: what reaches the AVI, the progress record, and how each ending is told.
#include "app/conversion_job.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "app/job_test_util.h"
#include "common/bytes.h"
#include "common/sysio.h"
#include "support/avi_check.h"
#include "support/test_support.h"
#include "tools/ifvbuild/ifv_builder.h"
#include "torvane/avi.h"
#include "torvane/custommp4.h"
#include "torvane/voice.h"

namespace fs = std::filesystem;
using jobtest::run_job;
using jobtest::voice_frame;
using testing::HasSubstr;
using tv::JobOutcome;

namespace {

// Video frames every 40 ms and, when `voice`, a voice frame after each.
ifvbuild::Recording voice_recording(int frames, bool voice = true) {
    ifvbuild::Recording rec;
    rec.video.width = 320;
    rec.video.height = 240;
    rec.audio.format = "TV35";
    rec.audio.frame_length = 168;
    rec.file.audio_flag = voice ? 1 : 0;
    VoiceCodecState enc;
    TV_VOICE_EncReset(&enc, VOICE_MODE_ADPCM_FIRST);
    auto& seg = rec.segments.emplace_back();
    for (int i = 0; i < frames; ++i) {
        seg.add_video(ifvbuild::pattern(100 + i, i), 40 * i, i % 10 == 0);
        if (voice) seg.add_audio(voice_frame(enc, i), 40 * i + 1);
    }
    seg.start_time_stamp = 0;
    seg.end_time_stamp = 40 * frames;
    return rec;
}

struct Converted {
    tv::JobReport report;
    tvtest::AviReport avi;
    std::vector<uint8_t> bytes;
};

Converted convert(const ifvbuild::Recording& rec, const fs::path& dir,
                  tv::ConversionProgress* progress = nullptr) {
    const fs::path in = dir / "in.ifv", out = dir / "out.avi";
    EXPECT_TRUE(ifvbuild::write_file(rec, in));
    tv::ConversionProgress own;
    Converted c;
    tv::ConversionOptions options;
    options.replace_existing = true;  // the tests of a folder convert to the same name
    c.report = tv::ConversionJob(in.string(), out.string(), progress ? *progress : own, options);
    c.bytes = tvtest::read_file(tvtest::frames_file(c.report, out));
    c.avi = tvtest::check_avi(c.bytes);
    return c;
}

// Payloads of the data chunks with the given tag, in file order.
std::vector<std::vector<uint8_t>> payloads(const Converted& c, const std::string& tag) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& chunk : c.avi.data_chunks) {
        if (chunk.tag != tag) continue;
        const auto begin = c.bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset + 8);
        out.emplace_back(begin, begin + chunk.size);
    }
    return out;
}

}  // namespace

TEST(ConversionJob, FrameRateFromCountAndSpan) {
    EXPECT_EQ(tv::ConversionFrameRate(750, 30000, 0), 25.0);
    EXPECT_EQ(tv::ConversionFrameRate(1, 40, 0), 25.0);
    EXPECT_DOUBLE_EQ(tv::ConversionFrameRate(2, 30, 0), 2000.0 / 30.0);
    // Spans that give no rate a player can show fall back as a span of 0 does.
    EXPECT_EQ(tv::ConversionFrameRate(0, 1000, 12), 12.0);
    EXPECT_EQ(tv::ConversionFrameRate(10, static_cast<uint32_t>(-40), 12), 12.0);
    EXPECT_EQ(tv::ConversionFrameRate(9000, 2, 0), 25.0);
    // A span of 0: the stored rate when it is usable, else 25.
    EXPECT_EQ(tv::ConversionFrameRate(10, 0, 12.5), 12.5);
    EXPECT_EQ(tv::ConversionFrameRate(10, 0, 1000.0), 1000.0);
    for (double bad : {0.0, -3.0, 1000.5, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(tv::ConversionFrameRate(10, 0, bad), 25.0) << bad;
    }
}

TEST(ConversionJob, ZeroSpanTakesTheStoredRate) {
    const auto dir = tvtest::scratch_dir("job-zero-span");
    for (const auto& [stored, rate] : {std::pair{12.5f, 12500000u}, std::pair{-1.0f, 25000000u}}) {
        auto rec = voice_recording(3, false);
        rec.video.frame_rate = stored;
        rec.segments[0].end_time_stamp = 0;  // a span of 0 ms
        const auto c = convert(rec, dir);
        ASSERT_EQ(c.avi.streams.size(), 1u);
        EXPECT_EQ(c.avi.streams[0].rate, rate) << stored;
        EXPECT_EQ(c.avi.streams[0].scale, 1000000u);
    }
}

// What the header says is taken only where it can be played: voice decodes to 16-bit PCM
// whatever the bits it names, a sample rate of 0 or past 384 kHz is 8 kHz, and a span that
// gives no frame rate falls back; the two last with a warning.
TEST(ConversionJob, AudioAndRateAsTheyAreWritten) {
    const auto dir = tvtest::scratch_dir("job-as-written");
    auto rec = voice_recording(5);
    rec.audio.bits_per_sample = 8;
    rec.audio.sample_rate = 0;
    rec.segments[0].end_time_stamp = 1;  // 5 frames in 1 ms
    testing::internal::CaptureStdout();
    const auto c = convert(rec, dir);
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_EQ(c.avi.streams.size(), 2u);
    EXPECT_EQ(c.avi.streams[0].rate, 25000000u);
    EXPECT_EQ(c.avi.streams[1].bits_per_sample, 16);
    EXPECT_EQ(c.avi.streams[1].sample_rate, 8000u);
    EXPECT_EQ(said,
              "warning:5 video frames in 1 ms give no usable frame rate, written as 25 fps\n"
              "warning:audio sample rate 0, written as 8000 Hz\n");
}

TEST(ConversionJob, VoiceRecordingBecomesVideoAndDecodedPcm) {
    const auto dir = tvtest::scratch_dir("job-voice");
    const auto rec = voice_recording(25);
    tv::ConversionProgress progress;
    const auto c = convert(rec, dir, &progress);
    ASSERT_TRUE(c.avi.ok()) << tvtest::describe(c.avi);
    EXPECT_EQ(c.report.outcome, JobOutcome::Converted);
    EXPECT_EQ(c.report.written_frames, 50);
    EXPECT_EQ(progress.m_totalFrames.load(), 50);
    EXPECT_EQ(progress.m_doneFrames.load(), 50);
    EXPECT_EQ(progress.m_jobStarted.load(), 1);
    EXPECT_TRUE(progress.m_jobEnded.load());
    EXPECT_EQ(progress.m_outcome.load(), static_cast<int32_t>(JobOutcome::Converted));

    ASSERT_EQ(c.avi.streams.size(), 2u);
    EXPECT_EQ(c.avi.streams[0].handler, "H264");
    EXPECT_EQ(c.avi.streams[0].rate, 25000000u);  // 25 frames over 1000 ms
    EXPECT_EQ(c.avi.streams[1].format_tag, 1);
    EXPECT_EQ(c.avi.streams[1].channels, 1);
    EXPECT_EQ(c.avi.streams[1].sample_rate, 8000u);
    EXPECT_EQ(c.avi.streams[1].bits_per_sample, 16);

    // Video frames unchanged and in order, key flags carried into the index.
    const auto video = payloads(c, "00db");
    ASSERT_EQ(video.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(video[i], ifvbuild::pattern(100 + i, i)) << i;

    // Audio: the library's own decoding of each voice frame, 321 samples each.
    const auto audio = payloads(c, "01wb");
    ASSERT_EQ(audio.size(), 25u);
    VoiceCodecState dec;
    TV_VOICE_DecReset(&dec, VOICE_MODE_ADPCM_FIRST);
    for (size_t i = 0; i < audio.size(); ++i) {
        const auto& frame_bytes = rec.segments[0].data;  // the frame, found through its entry
        const auto& entry = rec.segments[0].audio[i];
        VoiceFrame frame{};
        std::memcpy(&frame, frame_bytes.data() + entry.data_offset, 168);
        int16_t pcm[VOICE_MAX_DECODED_SAMPLES];
        int16_t count = 0;
        ASSERT_EQ(TV_VOICE_DecodeFrame(&dec, &frame, pcm, &count), 0);
        ASSERT_EQ(count, 321);
        ASSERT_EQ(audio[i].size(), 642u);
        for (int s = 0; s < count; ++s) {
            ASSERT_EQ(static_cast<int16_t>(tv::load_le16(audio[i].data() + 2 * s)), pcm[s])
                << i << "/" << s;
        }
    }
}

TEST(ConversionJob, SilentRecordingGetsNoAudioStream) {
    const auto dir = tvtest::scratch_dir("job-silent");
    const auto c = convert(voice_recording(10, false), dir);
    ASSERT_TRUE(c.avi.ok()) << tvtest::describe(c.avi);
    EXPECT_EQ(c.report.outcome, JobOutcome::Converted);
    EXPECT_EQ(c.avi.avih_streams, 1u);
    ASSERT_EQ(c.avi.streams.size(), 1u);
    EXPECT_EQ(c.avi.streams[0].type, "vids");
}

TEST(ConversionJob, RawPcmFramesConvertWholeAndEightBitIsUnsigned) {
    const auto dir = tvtest::scratch_dir("job-raw");
    for (uint16_t bits : {uint16_t{8}, uint16_t{16}}) {
        ifvbuild::Recording rec;
        rec.audio.format = "GRAW";
        rec.audio.bits_per_sample = bits;
        rec.audio.frame_length = 10000;  // longer than a 4096-byte buffer would hold
        auto& seg = rec.segments.emplace_back();
        seg.add_video(ifvbuild::pattern(50, 1), 0, true);
        const auto raw = ifvbuild::pattern(10000, 7);
        seg.add_audio(raw, 0);
        seg.add_audio(raw, 20);
        const auto c = convert(rec, dir);
        ASSERT_TRUE(c.avi.ok()) << tvtest::describe(c.avi);
        EXPECT_EQ(c.report.outcome, JobOutcome::Converted);
        const auto audio = payloads(c, "01wb");
        ASSERT_EQ(audio.size(), 2u);
        ASSERT_EQ(audio[0].size(), 10000u);
        for (size_t i = 0; i < raw.size(); ++i) {
            const uint8_t want = bits == 8 ? static_cast<uint8_t>(raw[i] ^ 0x80) : raw[i];
            ASSERT_EQ(audio[0][i], want) << "bits " << bits << " byte " << i;
        }
    }
}

TEST(ConversionJob, RefusedFramesAreSkippedAndTheRestConverted) {
    const auto dir = tvtest::scratch_dir("job-refused");
    auto rec = voice_recording(6, false);
    rec.segments[0].video[2].length = 0;  // refused by the reader, which moves past it
    tv::ConversionProgress progress;
    const auto c = convert(rec, dir, &progress);
    ASSERT_TRUE(c.avi.ok()) << tvtest::describe(c.avi);
    EXPECT_EQ(c.report.outcome, JobOutcome::Partial);
    EXPECT_EQ(c.report.skipped_frames, 1);
    EXPECT_EQ(c.report.written_frames, 5);
    EXPECT_EQ(progress.m_skippedFrames.load(), 1);
    EXPECT_EQ(progress.m_doneFrames.load(), 6);
    EXPECT_EQ(c.avi.chunk_count.at("00db"), 5u);
}

TEST(ConversionJob, EntryPastTheFileEndLosesThatFrameOnly) {
    const auto dir = tvtest::scratch_dir("job-early");
    auto rec = voice_recording(8, false);
    rec.segments[0].video_frame_count = 8;
    rec.segments[0].video[5].offset = 0x7FFFFFF0;  // beyond the file
    testing::internal::CaptureStdout();
    const auto c = convert(rec, dir);
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(c.avi.ok()) << tvtest::describe(c.avi);
    EXPECT_EQ(c.report.outcome, JobOutcome::Partial);
    EXPECT_EQ(c.report.written_frames, 7);
    EXPECT_EQ(c.report.skipped_frames, 1);
    EXPECT_EQ(c.report.missing_frames, 0);
    EXPECT_THAT(said, HasSubstr("warning:read error,frame offset:2147483632,frame length:105"));
}

// Key frames of HD and 4K cameras pass 256 KiB; frames up to 64 MiB are converted whole, and
// a longer entry is refused with the limit in its warning.
TEST(ConversionJob, LargeFramesConvertWhole) {
    const auto dir = tvtest::scratch_dir("job-large");
    auto rec = voice_recording(4, false);
    auto& seg = rec.segments[0];
    const auto big = ifvbuild::pattern(1'180'000, 77);
    seg.add_video(big, 200, true);
    seg.add_video(ifvbuild::pattern(300'000, 78), 240);
    seg.add_video(ifvbuild::pattern(1'048'000, 80), 260);  // a read-ahead window's size
    seg.add_video(ifvbuild::pattern(10, 79), 280).length = CUSTOMMP4_MAX_FRAME_SIZE + 1;
    testing::internal::CaptureStdout();
    const auto c = convert(rec, dir);
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(c.avi.ok()) << tvtest::describe(c.avi);
    EXPECT_EQ(c.report.written_frames, 7);
    EXPECT_EQ(c.report.skipped_frames, 1);
    const auto video = payloads(c, "00db");
    ASSERT_EQ(video.size(), 7u);
    EXPECT_TRUE(video[4] == big);
    EXPECT_EQ(video[5].size(), 300'000u);
    EXPECT_TRUE(video[6] == ifvbuild::pattern(1'048'000, 80));
    EXPECT_THAT(said, HasSubstr("frame length:67108865,buffer length:67108864"));
}

// A damaged segment is passed over and the segments after it converted; what could not be
// found (segments, time) makes the conversion partial, and the reason says so.
TEST(ConversionJob, MissingPartsOfTheRecordingArePartial) {
    const auto dir = tvtest::scratch_dir("job-missing");
    auto rec = voice_recording(2, false);
    for (int s = 1; s < 4; ++s) {
        auto& seg = rec.segments.emplace_back();
        for (int i = 0; i < 2; ++i)
            seg.add_video(ifvbuild::pattern(50, 10 * s + i), 80 * s + 40 * i);
    }
    auto bytes = ifvbuild::to_bytes(rec);
    bytes[ifvbuild::layout(rec).segments[1].position] ^= 1;  // not a segment's id any more
    tvtest::write_file(dir / "in.ifv", bytes);
    tv::ConversionProgress progress;
    auto r = run_job(dir / "in.ifv", dir / "out.avi", progress);
    EXPECT_EQ(r.outcome, JobOutcome::Partial);
    EXPECT_EQ(r.written_frames, 6);
    EXPECT_EQ(r.missing_segments, 1u);
    EXPECT_NE(tv::OutcomeReason(r, "in", "out").find("; 1 of the recording's segments missing"),
              std::string::npos);

    // The recording says it lasted 100 s; its frames cover 0.3 s.
    rec.file.end_time = rec.file.start_time + 100;
    r = convert(rec, dir).report;
    EXPECT_EQ(r.outcome, JobOutcome::Partial);
    EXPECT_EQ(r.missing_segments, 0u);
    EXPECT_GT(r.missing_ms, 99000u);
}

// A span: from the key frame at or before its start (or at it), with the voice from that frame's
// time on, to the last frame at or before its end; a span that holds nothing writes nothing.
TEST(ConversionJob, SpanStartsAtAKeyFrameWithItsVoice) {
    const auto dir = tvtest::scratch_dir("job-span");
    const fs::path in = dir / "in.ifv", out = dir / "out.avi";
    ASSERT_TRUE(ifvbuild::write_file(voice_recording(50), in));  // key frames every 400 ms
    struct Case {
        int64_t from, to;
        uint32_t first_video, videos, voices;
    };
    for (const Case c : {Case{500, 1000, 10, 16, 15}, Case{800, 800, 20, 1, 0},
                         Case{799, 1200, 10, 21, 20}, Case{0, 0, 0, 1, 0}}) {
        SCOPED_TRACE(c.from);
        tv::ConversionOptions options;
        options.replace_existing = true;
        options.from = tv::RecordingTime{false, c.from};
        options.to = tv::RecordingTime{false, c.to};
        tv::ConversionProgress progress;
        const auto report = tv::ConversionJob(in.string(), out.string(), progress, options);
        EXPECT_EQ(report.outcome, JobOutcome::Converted);
        EXPECT_EQ(report.total_frames, static_cast<int32_t>(c.videos + c.voices));
        Converted got;
        got.bytes = tvtest::read_file(out);
        got.avi = tvtest::check_avi(got.bytes);
        const auto video = payloads(got, "00db");
        ASSERT_EQ(video.size(), c.videos);
        EXPECT_EQ(video[0].size(), 100 + c.first_video);  // frame i has 100 + i bytes
        EXPECT_EQ(got.avi.data_chunks[0].tag, "00db");
        EXPECT_EQ(payloads(got, "01wb").size(), c.voices);
    }
    fs::remove(out);
    tv::ConversionOptions past;
    past.from = tv::RecordingTime{false, 5000};
    tv::ConversionProgress progress;
    EXPECT_EQ(tv::ConversionJob(in.string(), out.string(), progress, past).outcome,
              JobOutcome::NoFrames);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(dir / "out.avi.part"));
}

TEST(ConversionJob, DeliversNoMoreThanAnnounced) {
    const auto dir = tvtest::scratch_dir("job-announced");
    auto rec = voice_recording(5, false);
    // The announced totals come from the segment headers; frames beyond them are not read.
    rec.segments[0].video_frame_count = 3;
    const auto c = convert(rec, dir);
    EXPECT_EQ(c.report.outcome, JobOutcome::Converted);
    EXPECT_EQ(c.avi.chunk_count.at("00db"), 3u);
}

TEST(ConversionJob, UndecodableVoiceFrameBecomesEmptyChunk) {
    const auto dir = tvtest::scratch_dir("job-badvoice");
    auto rec = voice_recording(4);
    auto& seg = rec.segments[0];
    seg.data[seg.audio[1].data_offset + 1] = 0x02;  // frame type 2: refused by the decoder
    const auto c = convert(rec, dir);
    ASSERT_TRUE(c.avi.ok()) << tvtest::describe(c.avi);
    EXPECT_EQ(c.report.outcome, JobOutcome::Partial);
    EXPECT_EQ(c.report.skipped_frames, 1);
    const auto audio = payloads(c, "01wb");
    ASSERT_EQ(audio.size(), 4u);
    EXPECT_EQ(audio[1].size(), 0u);
    EXPECT_EQ(audio[2].size(), 642u);
}

TEST(ConversionJob, FailuresAreNamedAndNeverSuccess) {
    const auto dir = tvtest::scratch_dir("job-failures");
    {
        tv::ConversionProgress progress;
        const auto r =
            tv::ConversionJob((dir / "missing.ifv").string(), (dir / "x.avi").string(), progress);
        EXPECT_EQ(r.outcome, JobOutcome::SourceNotOpened);
        EXPECT_EQ(progress.m_totalFrames.load(), 0);
        EXPECT_EQ(progress.m_jobStarted.load(), 0);
        EXPECT_TRUE(progress.m_jobEnded.load());
        EXPECT_FALSE(fs::exists(dir / "x.avi"));
    }
    {
        ASSERT_TRUE(ifvbuild::write_file(voice_recording(3), dir / "ok.ifv"));
        tv::ConversionProgress progress;
        const auto r = tv::ConversionJob((dir / "ok.ifv").string(),
                                         (dir / "no/such/dir/x.avi").string(), progress);
        EXPECT_EQ(r.outcome, JobOutcome::OutputNotCreated);
        EXPECT_EQ(r.system_error, ENOENT);
        // The total was published before the output was tried.
        EXPECT_EQ(progress.m_totalFrames.load(), 6);
        EXPECT_EQ(progress.m_jobStarted.load(), 1);
        EXPECT_EQ(progress.m_doneFrames.load(), 0);
    }
    {
        // Nothing to write: no output, and no empty .part left behind.
        const auto c = convert(ifvbuild::Recording{}, dir);
        EXPECT_EQ(c.report.outcome, JobOutcome::NoFrames);
        EXPECT_FALSE(fs::exists(dir / "out.avi"));
        EXPECT_FALSE(fs::exists(dir / "out.avi.part"));
    }
}

// The job never writes over the recording, whatever name the output has for it.
TEST(ConversionJob, OutputThatIsTheRecordingIsRefused) {
    const auto dir = tvtest::scratch_dir("job-same");
    ASSERT_TRUE(ifvbuild::write_file(voice_recording(3), dir / "in.ifv"));
    const auto original = tvtest::read_file(dir / "in.ifv");
    std::vector<std::string> names = {"in.ifv", "hard.avi"};
    fs::create_hard_link(dir / "in.ifv", dir / "hard.avi");
#ifndef _WIN32
    fs::create_symlink(dir / "in.ifv", dir / "link.avi");  // Wine makes none
    names.push_back("link.avi");
#endif
    for (const auto& name : names) {
        tv::ConversionProgress progress;
        const auto r =
            tv::ConversionJob((dir / "in.ifv").string(), (dir / name).string(), progress);
        EXPECT_EQ(r.outcome, JobOutcome::OutputIsRecording) << name;
        EXPECT_EQ(tvtest::read_file(dir / "in.ifv"), original) << name;
    }
}

TEST(ConversionJob, PathsHaveNoLengthLimit) {
    auto dir = tvtest::scratch_dir("job-longpath");
    for (int i = 0; i < 4; ++i) dir /= std::string(80, static_cast<char>('a' + i));
    fs::create_directories(dir);
    ASSERT_GT(dir.string().size(), 300u);
    const auto c = convert(voice_recording(3), dir);
    EXPECT_EQ(c.report.outcome, JobOutcome::Converted);
    EXPECT_TRUE(c.avi.ok());
}

TEST(ConversionJob, StopRequestFinalisesWhatWasWritten) {
    const auto dir = tvtest::scratch_dir("job-stop");
    tvtest::write_file(dir / "out.avi", {'o', 'l', 'd'});
    tv::ConversionProgress progress;
    progress.m_stopRequested = true;
    const auto c = convert(voice_recording(5), dir, &progress);
    EXPECT_EQ(c.report.outcome, JobOutcome::Stopped);
    EXPECT_EQ(progress.m_doneFrames.load(), progress.m_totalFrames.load());
    // Stopped before a frame: the earlier output is as it was, and no empty .part is left.
    EXPECT_EQ(tvtest::read_file(dir / "out.avi"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_FALSE(fs::exists(dir / "out.avi.part"));
}

// The output is written aside and takes its name only when the conversion ends with frames:
// never over a file that appeared meanwhile (unless asked), never while another conversion
// writes the same .part.
TEST(ConversionJob, OutputIsWrittenAsideAndPutInPlace) {
    const auto dir = tvtest::scratch_dir("job-aside");
    ASSERT_TRUE(ifvbuild::write_file(voice_recording(5), dir / "in.ifv"));
    const std::string in = (dir / "in.ifv").string(), out = (dir / "out.avi").string();
    tv::ConversionProgress progress;
    auto r = tv::ConversionJob(in, out, progress);
    EXPECT_EQ(r.outcome, JobOutcome::Converted);
    EXPECT_TRUE(r.kept_part.empty());
    EXPECT_FALSE(fs::exists(out + ".part"));
    const auto converted = tvtest::read_file(out);

    tvtest::write_file(out, {'n', 'e', 'w'});  // appeared meanwhile
    r = tv::ConversionJob(in, out, progress);
    EXPECT_EQ(r.outcome, JobOutcome::NotPutInPlace);
    EXPECT_EQ(r.system_error, EEXIST);
    EXPECT_EQ(r.kept_part, out + ".part");
    EXPECT_EQ(tvtest::read_file(out), (std::vector<uint8_t>{'n', 'e', 'w'}));
    EXPECT_TRUE(tvtest::read_file(r.kept_part) == converted);
    EXPECT_NE(tv::OutcomeReason(r, in, out).find("the AVI " + out + ".part holds the 10 frames"),
              std::string::npos);
    r.format = tv::OutputFormat::Matroska;  // the kept file is named for what it is
    EXPECT_NE(tv::OutcomeReason(r, in, out).find("the Matroska file " + out + ".part holds"),
              std::string::npos);

    const int lock = tv::sysio::lock_file((out + ".part").c_str());  // another conversion
    ASSERT_GE(lock, 0);
    r = tv::ConversionJob(in, out, progress);
    EXPECT_EQ(r.outcome, JobOutcome::OutputNotCreated);
    EXPECT_EQ(r.system_error, EBUSY);
    tv::sysio::close(lock);
    EXPECT_TRUE(tvtest::read_file(out + ".part") == converted);

    tv::ConversionOptions replace;
    replace.replace_existing = true;
    r = tv::ConversionJob(in, out, progress, replace);
    EXPECT_EQ(r.outcome, JobOutcome::Converted);
    EXPECT_TRUE(tvtest::read_file(out) == converted);
}

namespace {
int g_writes_left = 0;
int64_t failing_write(int fd, const void* buf, size_t n) {
    if (g_writes_left-- <= 0) {
        errno = ENOSPC;
        return -1;
    }
    return tv::sysio::real_ops().write(fd, buf, n);
}
}  // namespace

TEST(ConversionJob, WriteFailureIsReportedWithItsCause) {
    const auto dir = tvtest::scratch_dir("job-enospc");
    ASSERT_TRUE(ifvbuild::write_file(voice_recording(20), dir / "in.ifv"));
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.write = failing_write;
    g_writes_left = 3;  // header space and both provisional headers, then the disk is full
    tv::ConversionProgress progress;
    const auto r = run_job(dir / "in.ifv", dir / "out.avi", progress, &ops);
    EXPECT_EQ(r.outcome, JobOutcome::WriteFailed);
    EXPECT_EQ(r.system_error, ENOSPC);
    EXPECT_EQ(r.written_frames, 0);  // none reached the file
    EXPECT_EQ(progress.m_doneFrames.load(), progress.m_totalFrames.load());
}

namespace {

// Several megabytes of video in frames of many sizes (odd ones, some near the reader's
// limit), with voice frames between the first `voiced`, so that the writer's buffer is written
// many times.
ifvbuild::Recording large_recording(int voiced = 120) {
    ifvbuild::Recording rec = voice_recording(0);
    VoiceCodecState enc;
    TV_VOICE_EncReset(&enc, VOICE_MODE_ADPCM_FIRST);
    uint32_t length = 12345;
    for (int i = 0; i < 120; ++i) {
        length = length * 1103515245u + 12345u;
        const uint32_t size =
            i % 17 == 5 ? CUSTOMMP4_FRAME_BUFFER_SIZE - (i & 1) : 1 + length % 90000;
        ifvbuild::append_video(rec, ifvbuild::pattern(size, static_cast<uint32_t>(i)), 40 * i,
                               i % 25 == 0);
        if (i < voiced) ifvbuild::append_audio(rec, voice_frame(enc, i), 40 * i + 1);
    }
    return rec;
}

int g_write_calls = 0;
int g_partial_at = 0;
std::thread::id g_job_thread;
bool g_failed_behind = false;  // the failing write was one of the writer's own thread
int64_t partial_write(int fd, const void* buf, size_t n) {
    ++g_write_calls;
    if (g_write_calls == g_partial_at) return tv::sysio::real_ops().write(fd, buf, n / 2);
    if (g_write_calls == g_partial_at + 1) {
        g_failed_behind = std::this_thread::get_id() != g_job_thread;
        errno = EIO;
        return -1;
    }
    return tv::sysio::real_ops().write(fd, buf, n);
}

}  // namespace

TEST(ConversionJob, OutputIsTheSameWithoutTheWriteBuffer) {
    const auto dir = tvtest::scratch_dir("job-unbuffered");
    const auto rec = large_recording();
    ASSERT_TRUE(ifvbuild::write_file(rec, dir / "in.ifv"));
    tv::ConversionProgress progress;
    const auto buffered = run_job(dir / "in.ifv", dir / "a.avi", progress);
    ASSERT_EQ(buffered.outcome, JobOutcome::Converted);
    EXPECT_EQ(buffered.written_frames, 240);
    // Without memory for the buffer the job writes chunk by chunk from its own frame buffer.
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.may_allocate = [](size_t bytes) { return bytes < (1u << 20); };
    tv::ConversionProgress progress2;
    const auto plain = run_job(dir / "in.ifv", dir / "b.avi", progress2, &ops);
    EXPECT_EQ(plain.outcome, JobOutcome::Converted);
    EXPECT_EQ(plain.written_frames, 240);
    const auto a = tvtest::read_file(dir / "a.avi");
    ASSERT_GT(a.size(), 5000000u);
    EXPECT_TRUE(a == tvtest::read_file(dir / "b.avi"));
    EXPECT_TRUE(tvtest::check_avi(a).ok());
}

TEST(ConversionJob, WrittenFramesAreTheFramesInTheFile) {
    // Whichever write stops halfway (the next one failing), the report counts exactly the
    // frames that the finished file holds: alone, and joined after one whose voice ends early,
    // where the file also holds silence that is no frame.
    const auto dir = tvtest::scratch_dir("job-counted");
    ASSERT_TRUE(ifvbuild::write_file(large_recording(), dir / "in.ifv"));
    ASSERT_TRUE(ifvbuild::write_file(large_recording(60), dir / "short.ifv"));
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.write = partial_write;
    int lost_frames = 0;
    int failed_behind = 0;
    g_job_thread = std::this_thread::get_id();
    for (const bool join : {false, true}) {
        for (int n = 2;; ++n) {
            SCOPED_TRACE(std::string(join ? "join, " : "") + "write " + std::to_string(n));
            g_write_calls = 0;
            g_partial_at = n;
            g_failed_behind = false;
            tv::sysio::install(&ops);
            tv::ConversionProgress progress;
            const std::string in = (dir / "in.ifv").string(), out = (dir / "out.avi").string();
            const auto r = join ? tv::JoinJob({(dir / "short.ifv").string(), in}, out, progress)
                                : tv::ConversionJob(in, out, progress);
            tv::sysio::install(nullptr);
            const int frames = join ? 420 : 240;
            if (g_write_calls < n) {
                EXPECT_EQ(r.outcome, JobOutcome::Converted);
                EXPECT_EQ(r.written_frames, frames);
                fs::remove(dir / "out.avi");
                break;  // no write left to fail
            }
            ASSERT_LT(n, 1000);
            EXPECT_EQ(progress.m_writtenFrames.load(), r.written_frames);
            const fs::path file = tvtest::frames_file(r, dir / "out.avi");
            if (r.written_frames == 0) {
                // Nothing to keep: no .part is left behind.
                EXPECT_FALSE(fs::exists(dir / "out.avi.part"));
                continue;
            }
            const auto bytes = tvtest::read_file(file);
            const auto avi = tvtest::check_avi(bytes);
            if (r.written_frames < frames) {
                // Frames were lost: the failure was theirs, the file is finished without them.
                ++lost_frames;
                EXPECT_EQ(r.outcome, JobOutcome::WriteFailed);
                // A chunk's write (code 4), or a header's while the streams are described (6).
                EXPECT_TRUE(r.avi_error == AVI_ERR_WRITE || r.avi_error == AVI_ERR_CLOSE)
                    << r.avi_error;
                EXPECT_EQ(r.system_error, EIO);
                ASSERT_TRUE(avi.ok()) << tvtest::describe(avi);
            }
            // (A failed header leaves a file that cannot be walked; its frames are all there.)
            if (avi.ok()) {
                const auto silence = std::count_if(
                    avi.data_chunks.begin(), avi.data_chunks.end(), [&](const auto& c) {
                        const auto data = bytes.begin() + static_cast<std::ptrdiff_t>(c.offset + 8);
                        return c.tag == "01wb" &&
                               std::all_of(data, data + c.size, [](uint8_t b) { return b == 0; });
                    });
                EXPECT_EQ(static_cast<size_t>(r.written_frames), avi.data_chunks.size() - silence);
            }
            failed_behind += g_failed_behind;
        }
    }
    EXPECT_GE(lost_frames, 4);    // the failures hit several blocks of frames
    EXPECT_GE(failed_behind, 2);  // some of them written behind, by the writer's thread
}

TEST(ConversionJob, ProgressIsReadableWhileTheJobRuns) {
    const auto dir = tvtest::scratch_dir("job-thread");
    ASSERT_TRUE(ifvbuild::write_file(voice_recording(400), dir / "in.ifv"));
    tv::ConversionProgress progress;
    std::thread job([&] { run_job(dir / "in.ifv", dir / "out.avi", progress); });
    int32_t last = 0;
    while (!progress.m_jobEnded.load(std::memory_order_acquire)) {
        const int32_t done = progress.m_doneFrames.load();
        EXPECT_GE(done, last);  // counts only up
        EXPECT_LE(done, 800);
        last = done;
        if (progress.m_jobStarted.load()) {
            std::lock_guard<std::mutex> lock(progress.m_progressLock);
            progress.m_jobStarted.store(0);
        }
    }
    job.join();
    EXPECT_EQ(progress.m_outcome.load(), static_cast<int32_t>(JobOutcome::Converted));
    EXPECT_EQ(progress.m_doneFrames.load(), 800);
}

namespace {
long g_allocations = 0;
long g_refused = 0;
bool counted_allocation(size_t) {
    return ++g_allocations != g_refused;
}
}  // namespace

// Memory refused at each of the job's table and index growths, the reader's and the writer's:
// never a success, the cause named, and the output either absent or a consistent AVI.
TEST(ConversionJob, EveryRefusedAllocationIsAFailure) {
    const auto dir = tvtest::scratch_dir("job-memory");
    // Past the first step of the writer's indexes; a second segment larger than the first
    // makes the reader grow its tables.
    auto rec = voice_recording(2100);
    auto& more = rec.segments.emplace_back();
    for (int i = 0; i < 3200; ++i)
        more.add_video(ifvbuild::pattern(20, i), 84000 + 40 * i, i % 10 == 0);
    more.start_time_stamp = 84000;
    more.end_time_stamp = 84000 + 40 * 3200;
    const fs::path in = dir / "in.ifv", out = dir / "out.avi";
    ASSERT_TRUE(ifvbuild::write_file(rec, in));

    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.may_allocate = counted_allocation;
    auto run = [&](long refused) {
        g_allocations = 0;
        g_refused = refused;
        tv::ConversionProgress progress;
        tvtest::StdoutCapture quiet;  // the reader's and the writer's diagnostics
        return run_job(in, out, progress, &ops);
    };
    const auto clean = run(0);
    ASSERT_EQ(clean.outcome, JobOutcome::Converted);
    ASSERT_EQ(clean.written_frames, 7400);
    const auto clean_bytes = tvtest::read_file(out);
    const long allocations = g_allocations;
    ASSERT_GE(allocations, 8);

    for (long n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(n);
        fs::remove(out);
        const auto r = run(n);
        switch (r.outcome) {
            case JobOutcome::SourceNotOpened:
            case JobOutcome::ReadFailed:
                EXPECT_EQ(r.system_error, ENOMEM);
                break;
            case JobOutcome::OutputNotCreated:
            case JobOutcome::WriteFailed:
                EXPECT_EQ(r.avi_error, AVI_ERR_NO_MEM);
                break;
            case JobOutcome::Converted:
                // Only the output buffer may be refused: the job then writes chunk by chunk.
                EXPECT_TRUE(tvtest::read_file(out) == clean_bytes);
                continue;
            default:
                ADD_FAILURE() << "refused memory ended as " << tv::JobOutcomeText(r.outcome);
        }
        if (r.outcome == JobOutcome::SourceNotOpened || r.outcome == JobOutcome::OutputNotCreated ||
            r.written_frames == 0) {
            EXPECT_FALSE(fs::exists(out));
            EXPECT_FALSE(fs::exists(out.string() + ".part"));
        } else {
            EXPECT_FALSE(fs::exists(out));  // a failed conversion keeps its frames aside
            const auto avi = tvtest::check_avi_file(tvtest::frames_file(r, out).string());
            EXPECT_TRUE(avi.ok()) << tvtest::describe(avi);
            uint32_t chunks = 0;
            for (const auto& [tag, count] : avi.chunk_count) chunks += count;
            EXPECT_EQ(chunks, static_cast<uint32_t>(r.written_frames));
            EXPECT_LT(r.written_frames, clean.written_frames);
        }
    }
    std::printf("%ld allocations refused in turn\n", allocations);
}

namespace {
// A disk that cannot read past one byte: reads come back short before it and fail with EIO
// from it on.
int64_t g_bad_byte = 0;
int64_t failing_preadv(int fd, const tv::sysio::Part* parts, int count, int64_t offset) {
    if (offset >= g_bad_byte) {
        errno = EIO;
        return -1;
    }
    std::vector<tv::sysio::Part> cut;
    for (int64_t left = g_bad_byte - offset; left > 0 && cut.size() < static_cast<size_t>(count);) {
        const tv::sysio::Part& part = parts[cut.size()];
        cut.push_back({part.data, static_cast<size_t>(std::min<int64_t>(left, part.size))});
        left -= static_cast<int64_t>(cut.back().size);
    }
    return tv::sysio::real_ops().preadv(fd, cut.data(), static_cast<int>(cut.size()), offset);
}
}  // namespace

TEST(ConversionJob, ReadErrorIsAFailureNotTheRecordingsEnd) {
    const auto dir = tvtest::scratch_dir("job-eio");
    const auto rec = voice_recording(20);
    ASSERT_TRUE(ifvbuild::write_file(rec, dir / "in.ifv"));
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.preadv = failing_preadv;
    // Inside the 12th frame, the voice frame after video 5 (frames go video, voice, video...).
    g_bad_byte = static_cast<int64_t>(ifvbuild::layout(rec).segments[0].data);
    for (int i = 0; i < 5; ++i) g_bad_byte += 100 + i + 168;
    g_bad_byte += 105 + 1;
    tv::ConversionProgress progress;
    const auto r = run_job(dir / "in.ifv", dir / "out.avi", progress, &ops);
    EXPECT_EQ(r.outcome, JobOutcome::ReadFailed);
    EXPECT_EQ(r.system_error, EIO);
    EXPECT_EQ(r.written_frames, 11);
    EXPECT_EQ(r.missing_frames, 0);
    EXPECT_EQ(progress.m_outcome.load(), static_cast<int32_t>(JobOutcome::ReadFailed));
    // What was read before is in a finished, consistent file, kept aside.
    EXPECT_FALSE(fs::exists(dir / "out.avi"));
    const auto avi = tvtest::check_avi_file(tvtest::frames_file(r, dir / "out.avi").string());
    EXPECT_TRUE(avi.ok()) << tvtest::describe(avi);
    EXPECT_EQ(avi.chunk_count.at("00db") + avi.chunk_count.at("01wb"), 11u);
}

// Jobs on three threads at once, a watcher polling all of them as the window's timer does, and
// a stop requested from the watcher's thread: each job publishes its own counts and ending.
TEST(ConversionJob, ParallelJobsAndAStopFromTheWatcher) {
    const auto dir = tvtest::scratch_dir("job-parallel");
    ASSERT_TRUE(ifvbuild::write_file(voice_recording(600), dir / "in.ifv"));
    constexpr int kJobs = 3;
    std::array<tv::ConversionProgress, kJobs> progress;
    std::array<tv::JobReport, kJobs> reports;
    std::vector<std::thread> jobs;
    for (int i = 0; i < kJobs; ++i) {
        jobs.emplace_back([&, i] {
            reports[i] = tv::ConversionJob((dir / "in.ifv").string(),
                                           (dir / ("out" + std::to_string(i) + ".avi")).string(),
                                           progress[i]);
        });
    }
    std::array<int32_t, kJobs> last{};
    bool stop_sent = false;
    for (;;) {
        bool all_ended = true;
        for (int i = 0; i < kJobs; ++i) {
            auto& p = progress[i];
            const int32_t done = p.m_doneFrames.load();
            EXPECT_GE(done, last[i]);
            last[i] = done;
            if (p.m_jobStarted.load()) {
                std::lock_guard<std::mutex> lock(p.m_progressLock);
                p.m_jobStarted.store(0);
            }
            all_ended = all_ended && p.m_jobEnded.load(std::memory_order_acquire);
        }
        // The last job is stopped once it is under way.
        if (!stop_sent && last[kJobs - 1] > 0) {
            progress[kJobs - 1].m_stopRequested.store(true);
            stop_sent = true;
        }
        if (all_ended) break;
        std::this_thread::yield();
    }
    for (auto& t : jobs) t.join();
    for (int i = 0; i < kJobs; ++i) {
        SCOPED_TRACE(i);
        const JobOutcome want = i == kJobs - 1 && reports[i].written_frames < 1200
                                    ? JobOutcome::Stopped
                                    : JobOutcome::Converted;
        EXPECT_EQ(reports[i].outcome, want);
        EXPECT_EQ(progress[i].m_outcome.load(), static_cast<int32_t>(want));
        EXPECT_EQ(progress[i].m_writtenFrames.load(), reports[i].written_frames);
        EXPECT_EQ(progress[i].m_doneFrames.load(), 1200);
        const fs::path out = dir / ("out" + std::to_string(i) + ".avi");
        if (reports[i].written_frames == 0) continue;  // stopped before a frame: no file
        const auto avi = tvtest::check_avi_file(tvtest::frames_file(reports[i], out).string());
        EXPECT_TRUE(avi.ok()) << tvtest::describe(avi);
    }
}
