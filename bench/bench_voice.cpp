// Encode and decode speed of each voice codec family, in samples per second. Mode 35 decoding
// is what every recording's voice frames go through.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "torvane/voice.h"
#include "voice/voice_internal.h"

namespace {

constexpr int kFrames = 64;

// A speech-like signal: a few harmonics under a syllable envelope.
std::vector<int16_t> signal(std::size_t n) {
    std::vector<int16_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        const double v = std::sin(2 * M_PI * 180 * t) + 0.5 * std::sin(2 * M_PI * 720 * t) +
                         0.25 * std::sin(2 * M_PI * 1900 * t);
        out[i] =
            static_cast<int16_t>(7000.0 * v * (0.2 + 0.8 * std::fabs(std::sin(2 * M_PI * 3 * t))));
    }
    return out;
}

int block_size(int mode) {
    return mode == VOICE_MODE_ADPCM_FIRST ? 321 : 320;
}

void BM_Encode(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    const int n = block_size(mode);
    const std::vector<int16_t> pcm = signal(static_cast<std::size_t>(n) * kFrames);
    VoiceCodecState codec;
    TV_VOICE_EncReset(&codec, mode);
    VoiceFrame frame;
    for (auto _ : state) {
        for (int f = 0; f < kFrames; ++f) {
            benchmark::DoNotOptimize(TV_VOICE_EncodeFrame(&codec, pcm.data() + n * f, &frame, n));
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * kFrames * n);
    state.counters["samples/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kFrames * n, benchmark::Counter::kIsRate);
}

void BM_Decode(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    const int n = block_size(mode);
    const std::vector<int16_t> pcm = signal(static_cast<std::size_t>(n) * kFrames);
    VoiceCodecState codec;
    TV_VOICE_EncReset(&codec, mode);
    std::vector<VoiceFrame> frames(kFrames);
    for (int f = 0; f < kFrames; ++f)
        TV_VOICE_EncodeFrame(&codec, pcm.data() + n * f, &frames[static_cast<std::size_t>(f)], n);
    // MSB-first G.726 frames are rewritten in place when decoded; decode from fresh copies.
    const std::vector<VoiceFrame> originals = frames;
    const bool rewrites = mode >= VOICE_MODE_G726_16_MSB && mode <= VOICE_MODE_G726_40_MSB;
    int16_t out[VOICE_MAX_DECODED_SAMPLES];
    int16_t count = 0;
    for (auto _ : state) {
        if (rewrites) {
            state.PauseTiming();
            frames = originals;
            state.ResumeTiming();
        }
        TV_VOICE_DecReset(&codec, mode);
        for (int f = 0; f < kFrames; ++f) {
            benchmark::DoNotOptimize(
                TV_VOICE_DecodeFrame(&codec, &frames[static_cast<std::size_t>(f)], out, &count));
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * kFrames * n);
    state.counters["samples/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kFrames * n, benchmark::Counter::kIsRate);
}

// Mode-35 frames two at a time, as the conversion decodes the voice frames of a batch (against
// BM_Decode/35, one at a time).
void BM_DecodePairs(benchmark::State& state) {
    const int n = block_size(VOICE_MODE_ADPCM_FIRST);
    const std::vector<int16_t> pcm = signal(static_cast<std::size_t>(n) * kFrames);
    VoiceCodecState codec;
    TV_VOICE_EncReset(&codec, VOICE_MODE_ADPCM_FIRST);
    std::vector<VoiceFrame> frames(kFrames);
    for (int f = 0; f < kFrames; ++f)
        TV_VOICE_EncodeFrame(&codec, pcm.data() + n * f, &frames[static_cast<std::size_t>(f)], n);
    int16_t out[2][VOICE_MAX_DECODED_SAMPLES];
    int16_t* outputs[2] = {out[0], out[1]};
    int16_t counts[2];
    int32_t results[2];
    for (auto _ : state) {
        TV_VOICE_DecReset(&codec, VOICE_MODE_ADPCM_FIRST);
        for (int f = 0; f < kFrames; f += 2) {
            VoiceFrame* pair[2] = {&frames[static_cast<std::size_t>(f)],
                                   &frames[static_cast<std::size_t>(f + 1)]};
            tv::voice::decode_frame_pair(&codec, pair, outputs, counts, results);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * kFrames * n);
    state.counters["samples/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kFrames * n, benchmark::Counter::kIsRate);
}

void BM_Transcode(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    const int source = mode - 32;  // 97..100 take frames of 65..68
    const std::vector<int16_t> pcm = signal(320 * kFrames);
    VoiceCodecState codec;
    TV_VOICE_EncReset(&codec, source);
    std::vector<VoiceFrame> originals(kFrames);
    for (int f = 0; f < kFrames; ++f)
        TV_VOICE_EncodeFrame(&codec, pcm.data() + 320 * f, &originals[static_cast<std::size_t>(f)],
                             320);
    std::vector<VoiceFrame> frames = originals;
    VoiceTranscodeState trans;
    for (auto _ : state) {
        state.PauseTiming();
        frames = originals;
        TV_VOICE_TransCodeReset(&trans, mode);
        state.ResumeTiming();
        for (VoiceFrame& f : frames) benchmark::DoNotOptimize(TV_VOICE_TransCodeFrame(&trans, &f));
    }
    state.SetItemsProcessed(state.iterations() * kFrames * 320);
}

// One mode per family and layout: G.711 A-law and µ-law, the three IMA layouts, G.726 at each
// rate (LSB- and MSB-first at 32 kbit/s), and mode 68.
void Modes(benchmark::internal::Benchmark* b) {
    for (const int mode : {1, 2, 65, 3, 35, 67, 4, 5, 6, 38, 7, 68}) b->Arg(mode);
}

}  // namespace

BENCHMARK(BM_Encode)->Apply(Modes);
BENCHMARK(BM_Decode)->Apply(Modes);
BENCHMARK(BM_DecodePairs);
BENCHMARK(BM_Transcode)->DenseRange(VOICE_TRANS_G711A, VOICE_TRANS_ADPCM16);

BENCHMARK_MAIN();
