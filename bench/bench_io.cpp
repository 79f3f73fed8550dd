// The per-frame path of a conversion, piece by piece, in bytes per second: reading a
// recording's frames, writing AVI chunks (with output buffers of several sizes), and the whole
// job. Files go to $TORVANE_BENCH_DIR (default: the system's temporary folder); the recording is
// read from the page cache after the first pass.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/conversion_job.h"
#include "recording/custommp4_internal.h"
#include "tools/ifvbuild/ifv_builder.h"
#include "torvane/avi.h"
#include "torvane/custommp4.h"
#include "torvane/source.h"
#include "torvane/voice.h"

namespace {

namespace fs = std::filesystem;

// About 64 MiB: 25 frames a second of 20 KB video (every 50th a 100 KB key frame) and one
// 168-byte voice frame after each, as a recorder at 4 Mbit/s writes them.
constexpr int kFrames = 3000;

fs::path work_dir() {
    const char* dir = std::getenv("TORVANE_BENCH_DIR");
    fs::path path = dir && *dir ? fs::path(dir) : fs::temp_directory_path() / "torvane-bench";
    fs::create_directories(path);
    return path;
}

uint32_t video_size(int i) {
    return i % 50 == 0 ? 100000u : 18000u + static_cast<uint32_t>((i * 7919) % 4001);
}

const fs::path& recording() {
    static const fs::path path = [] {
        const fs::path p = work_dir() / "bench.ifv";
        ifvbuild::Recording rec;
        rec.video.width = 1280;
        rec.video.height = 720;
        rec.audio.format = "TV35";
        rec.audio.frame_length = 168;
        rec.file.audio_flag = 1;
        VoiceCodecState enc;
        TV_VOICE_EncReset(&enc, VOICE_MODE_ADPCM_FIRST);
        int16_t pcm[321];
        for (int i = 0; i < kFrames; ++i) {
            const auto t = static_cast<uint32_t>(40 * i);
            ifvbuild::append_video(rec, ifvbuild::pattern(video_size(i), static_cast<uint32_t>(i)),
                                   t, i % 50 == 0);
            for (int s = 0; s < 321; ++s)
                pcm[s] = static_cast<int16_t>(6000 * std::sin((s + 321 * i) * 0.05));
            VoiceFrame frame{};
            TV_VOICE_EncodeFrame(&enc, pcm, &frame, 321);
            const auto* b = reinterpret_cast<const uint8_t*>(&frame);
            ifvbuild::append_audio(rec, std::vector<uint8_t>(b, b + 168), t + 1);
        }
        if (!ifvbuild::write_file(rec, p)) std::abort();
        return p;
    }();
    return path;
}

void BM_ReadFrames(benchmark::State& state) {
    const fs::path& path = recording();
    std::vector<uint8_t> buffer(CUSTOMMP4_FRAME_BUFFER_SIZE);
    int64_t bytes = 0;
    for (auto _ : state) {
        custommp4_handle* h = custommp4_open(path.c_str(), 0);
        if (!h) {
            state.SkipWithError("recording not opened");
            return;
        }
        uint32_t ts = 0;
        uint8_t key = 0, audio = 0;
        int32_t n;
        while ((n = custommp4_read_one_media_frame(h, buffer.data(), CUSTOMMP4_FRAME_BUFFER_SIZE,
                                                   &ts, &key, &audio)) > 0) {
            bytes += n;
        }
        custommp4_close(h);
    }
    state.SetBytesProcessed(bytes);
}

// The frames as the conversion reads them: runs of frames that follow each other in the file,
// each run with one scattered read into a 2 MiB buffer (against BM_ReadFrames, one read each
// through the stream's buffer).
void BM_ReadRuns(benchmark::State& state) {
    const fs::path& path = recording();
    std::vector<uint8_t> buffer(2 << 20);
    std::vector<tv::platform::Part> parts;
    int64_t bytes = 0;
    for (auto _ : state) {
        custommp4_handle* h = custommp4_open(path.c_str(), 0);
        if (!h) {
            state.SkipWithError("recording not opened");
            return;
        }
        tv::mp4::FrameRef frame;
        bool more = tv::mp4::next_frame(h, CUSTOMMP4_FRAME_BUFFER_SIZE, frame) > 0;
        while (more) {
            parts.clear();
            const int64_t start = frame.position;
            int64_t end = start;
            size_t used = 0;
            while (more && frame.position == end && used + frame.length <= buffer.size()) {
                parts.push_back({buffer.data() + used, frame.length});
                used += frame.length;
                end += frame.length;
                more = tv::mp4::next_frame(h, CUSTOMMP4_FRAME_BUFFER_SIZE, frame) > 0;
            }
            if (parts.empty()) {  // a frame larger than the buffer: none in this recording
                state.SkipWithError("frame larger than the buffer");
                break;
            }
            bytes += tv::mp4::read_run(h, start, parts);
        }
        custommp4_close(h);
    }
    state.SetBytesProcessed(bytes);
}

// The frames as the conversion takes them: source_next_frame, read through the source's
// read-ahead windows, voice frames decoded.
void BM_SourceFrames(benchmark::State& state) {
    const fs::path& path = recording();
    int64_t bytes = 0;
    for (auto _ : state) {
        SourceMedia* media = source_open(path.c_str(), 0);
        if (!media) {
            state.SkipWithError("recording not opened");
            return;
        }
        SourceFrame frame;
        while (source_next_frame(media, &frame) > 0) bytes += frame.length;
        source_close(media);
    }
    state.SetBytesProcessed(bytes);
}

// Chunks as a conversion puts them: a video frame, then its decoded voice frame (642 bytes).
// Arguments: the output buffer's size (0: none), and 1 to write it behind.
void BM_PutChunks(benchmark::State& state) {
    const auto buffer_size = static_cast<int32_t>(state.range(0));
    const auto behind = static_cast<int>(state.range(1));
    const fs::path path = work_dir() / "bench-put.avi";
    std::vector<uint8_t> video(100000, 0x5A);
    std::vector<uint8_t> pcm(642, 0x11);
    int64_t bytes = 0;
    for (auto _ : state) {
        AviFile* avi = AVI_create_output(path.c_str());
        AVI_set_write_buffer(avi, buffer_size);
        AVI_set_write_behind(avi, behind);
        AVI_describe_video(avi, 1280, 720, 25.0, "H264");
        AVI_describe_audio(avi, 1, 8000, 16, 1, 0);
        for (int i = 0; i < kFrames; ++i) {
            const auto length = static_cast<int32_t>(video_size(i));
            AVI_put_video_frame(avi, video.data(), length, i % 50 == 0);
            AVI_put_audio(avi, pcm.data(), static_cast<int32_t>(pcm.size()));
            bytes += length + static_cast<int64_t>(pcm.size());
        }
        AVI_finish(avi);
        state.PauseTiming();
        fs::remove(path);  // a fresh file each time, as a conversion makes one
        state.ResumeTiming();
    }
    state.SetBytesProcessed(bytes);
}

void BM_Convert(benchmark::State& state) {
    const fs::path& in = recording();
    const fs::path out = work_dir() / "bench-convert.avi";
    for (auto _ : state) {
        tv::ConversionProgress progress;
        const tv::JobReport r = tv::ConversionJob(in.string(), out.string(), progress);
        if (r.outcome != tv::JobOutcome::Converted) {
            state.SkipWithError("conversion failed");
            return;
        }
        state.PauseTiming();
        fs::remove(out);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(in)));
}

}  // namespace

BENCHMARK(BM_ReadFrames)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadRuns)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SourceFrames)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PutChunks)
    ->Args({0, 0})
    ->Args({64 << 10, 0})
    ->Args({1 << 20, 0})
    ->Args({2 << 20, 0})
    ->Args({2 << 20, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Convert)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
