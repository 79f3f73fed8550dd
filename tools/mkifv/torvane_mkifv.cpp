// torvane-mkifv: writes .ifv recordings from an H.264 elementary stream and a WAV file.
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/platform.h"
#include "tools/ifvbuild/ifv_builder.h"
#include "tools/mkifv/annexb.h"
#include "tools/mkifv/wav.h"
#include "torvane/voice.h"

namespace {

constexpr const char* kProgram = "torvane-mkifv";
constexpr const char* kVoiceFourcc = "TV35";  // voice library frames, mode 35

struct Options {
    std::string output;
    std::string video;
    std::string audio;
    bool raw_audio = false;
    uint32_t samples_per_frame = 0;  // 0: 321 for voice, 320 for raw
    double fps = 25.0;
    uint32_t frames_per_segment = 3000;
    double duration = 0;  // 0: the length of the inputs
    uint32_t base_offset = 0;
    uint32_t start_time = 1700000000;
    uint32_t width = 0, height = 0;
    std::string description = "This is DVR record file ver 2";
    bool video_first = false;
    std::string timestamps;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    std::exit(1);
}

void usage(FILE* out) {
    std::fprintf(
        out,
        "Usage: %s [options] --video STREAM.h264 OUTPUT.ifv\n"
        "\n"
        "Writes a recorder recording (.ifv) from an H.264 Annex-B elementary stream\n"
        "(one access unit per video frame, key frames at IDR pictures) and optional\n"
        "audio from a PCM WAV file.\n"
        "\n"
        "Options:\n"
        "  --video FILE              H.264 Annex-B stream (required)\n"
        "  --audio FILE              PCM WAV, 8 or 16 bits; the first channel is used\n"
        "  --audio-format voice|raw  voice frames (IMA ADPCM, default) or raw PCM\n"
        "  --samples-per-frame N     samples per audio frame (default 321 voice, 320 raw)\n"
        "  --fps N                   video frames per second (default 25)\n"
        "  --frames-per-segment N    video frames per segment, 1..3000 (default 3000)\n"
        "  --duration SECONDS        repeat the inputs until the recording is this long\n"
        "  --base-offset N           bytes before the recording in the file\n"
        "  --start-time T            start time, seconds since 1970 (default 1700000000)\n"
        "  --size WxH                picture size (default: from the stream)\n"
        "  --description TEXT        description text (32 bytes at most)\n"
        "  --timestamps FILE         the video frames' time stamps, one a line in\n"
        "                            milliseconds (the stream repeats as needed): gaps,\n"
        "                            bursts and stamps out of order as a recorder gives them\n"
        "  --layout interleaved|video-first\n"
        "                            frames stored in time order (default), or each\n"
        "                            segment's video frames before its audio frames\n"
        "  -h, --help                show this help\n"
        "  -V, --version             show the version\n"
        "\n"
        "Exit status:\n"
        "  0  the recording was written\n"
        "  1  an input could not be read or the recording could not be written\n"
        "  2  usage error\n",
        kProgram);
}

double parse_number(const char* text, const char* what, double low, double high) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= low && v <= high)) {
        std::fprintf(stderr, "%s: %s must be a number from %g to %g, not '%s'\n", kProgram, what,
                     low, high, text);
        std::exit(2);
    }
    return v;
}

Options parse(int argc, char** argv) {
    enum {
        kVideo = 1000,
        kAudio,
        kFormat,
        kSpf,
        kFps,
        kFps2,
        kDuration,
        kBase,
        kStart,
        kSize,
        kDesc,
        kLayout,
        kTimestamps
    };
    static const option longs[] = {
        {"video", required_argument, nullptr, kVideo},
        {"audio", required_argument, nullptr, kAudio},
        {"audio-format", required_argument, nullptr, kFormat},
        {"samples-per-frame", required_argument, nullptr, kSpf},
        {"fps", required_argument, nullptr, kFps},
        {"frames-per-segment", required_argument, nullptr, kFps2},
        {"duration", required_argument, nullptr, kDuration},
        {"base-offset", required_argument, nullptr, kBase},
        {"start-time", required_argument, nullptr, kStart},
        {"size", required_argument, nullptr, kSize},
        {"description", required_argument, nullptr, kDesc},
        {"layout", required_argument, nullptr, kLayout},
        {"timestamps", required_argument, nullptr, kTimestamps},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    int c;
    while ((c = getopt_long(argc, argv, "hV", longs, nullptr)) != -1) {
        switch (c) {
            case kVideo:
                o.video = optarg;
                break;
            case kAudio:
                o.audio = optarg;
                break;
            case kFormat:
                if (std::strcmp(optarg, "raw") == 0)
                    o.raw_audio = true;
                else if (std::strcmp(optarg, "voice") == 0)
                    o.raw_audio = false;
                else {
                    std::fprintf(stderr, "%s: --audio-format is voice or raw\n", kProgram);
                    std::exit(2);
                }
                break;
            case kSpf:
                o.samples_per_frame =
                    static_cast<uint32_t>(parse_number(optarg, "--samples-per-frame", 1, 65536));
                break;
            case kFps:
                o.fps = parse_number(optarg, "--fps", 0.001, 1000);
                break;
            case kFps2:
                o.frames_per_segment =
                    static_cast<uint32_t>(parse_number(optarg, "--frames-per-segment", 1, 3000));
                break;
            case kDuration:
                o.duration = parse_number(optarg, "--duration", 0, 4e6);
                break;
            case kBase:
                o.base_offset =
                    static_cast<uint32_t>(parse_number(optarg, "--base-offset", 0, 1 << 30));
                break;
            case kStart:
                o.start_time =
                    static_cast<uint32_t>(parse_number(optarg, "--start-time", 0, 4294967295.0));
                break;
            case kSize:
                if (std::sscanf(optarg, "%ux%u", &o.width, &o.height) != 2 || o.width == 0 ||
                    o.height == 0 || o.width > 65535 || o.height > 65535) {
                    std::fprintf(stderr, "%s: --size is WIDTHxHEIGHT\n", kProgram);
                    std::exit(2);
                }
                break;
            case kDesc:
                o.description = optarg;
                break;
            case kTimestamps:
                o.timestamps = optarg;
                break;
            case kLayout:
                if (std::strcmp(optarg, "video-first") == 0)
                    o.video_first = true;
                else if (std::strcmp(optarg, "interleaved") == 0)
                    o.video_first = false;
                else {
                    std::fprintf(stderr, "%s: --layout is interleaved or video-first\n", kProgram);
                    std::exit(2);
                }
                break;
            case 'h':
                usage(stdout);
                std::exit(0);
            case 'V':
                std::printf("%s %s\n", kProgram, TORVANE_VERSION);
                std::exit(0);
            default:
                usage(stderr);
                std::exit(2);
        }
    }
    if (optind != argc - 1 || o.video.empty()) {
        usage(stderr);
        std::exit(2);
    }
    o.output = argv[optind];
    if (o.samples_per_frame == 0) o.samples_per_frame = o.raw_audio ? 320 : 321;
    if (!o.raw_audio && o.samples_per_frame > VOICE_MAX_SAMPLES) {
        std::fprintf(stderr, "%s: voice frames hold at most %d samples\n", kProgram,
                     VOICE_MAX_SAMPLES);
        std::exit(2);
    }
    return o;
}

std::vector<uint8_t> slurp(const std::string& path) {
    std::ifstream in(tv::platform::path_of(path), std::ios::binary);
    if (!in) fail("cannot read " + path + ": " + std::strerror(errno));
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// Audio frames of the recording, each with its length in samples, in stream order.
struct AudioTrack {
    std::vector<std::vector<uint8_t>> frames;
    uint32_t sample_rate = 0;
    uint16_t bits = 16;
    uint32_t frame_length = 0;
};

AudioTrack make_audio(const Options& o) {
    AudioTrack track;
    std::string error;
    auto wav = mkifv::read_wav(slurp(o.audio), error);
    if (!wav) fail(o.audio + ": " + error);
    track.sample_rate = wav->sample_rate;
    const uint32_t spf = o.samples_per_frame;
    if (o.raw_audio) {
        track.bits = wav->bits_per_sample;
        const size_t bytes_per_sample = track.bits / 8;
        track.frame_length = static_cast<uint32_t>(spf * bytes_per_sample);
        const size_t stride = bytes_per_sample * wav->channels;
        std::vector<uint8_t> first_channel;
        for (size_t pos = 0; pos + stride <= wav->data.size(); pos += stride) {
            if (track.bits == 8) {
                first_channel.push_back(
                    static_cast<uint8_t>(wav->data[pos] - 128));  // stored signed
            } else {
                first_channel.push_back(wav->data[pos]);
                first_channel.push_back(wav->data[pos + 1]);
            }
        }
        for (size_t pos = 0; pos + track.frame_length <= first_channel.size();
             pos += track.frame_length) {
            track.frames.emplace_back(
                first_channel.begin() + static_cast<std::ptrdiff_t>(pos),
                first_channel.begin() + static_cast<std::ptrdiff_t>(pos + track.frame_length));
        }
    } else {
        track.bits = 16;
        const std::vector<int16_t> samples = mkifv::mono_samples(*wav);
        VoiceCodecState state;
        TV_VOICE_EncReset(&state, VOICE_MODE_ADPCM_FIRST);
        for (size_t pos = 0; pos + spf <= samples.size(); pos += spf) {
            VoiceFrame frame{};
            if (TV_VOICE_EncodeFrame(&state, samples.data() + pos, &frame,
                                     static_cast<int32_t>(spf)) != 0) {
                fail("the voice encoder refused a frame");
            }
            const size_t length = 4 + 2 * static_cast<size_t>(frame.payload_words);
            const auto* bytes = reinterpret_cast<const uint8_t*>(&frame);
            track.frames.emplace_back(bytes, bytes + length);
        }
        track.frame_length =
            track.frames.empty() ? 0 : static_cast<uint32_t>(track.frames[0].size());
    }
    if (track.frames.empty()) fail(o.audio + ": too short for one audio frame");
    return track;
}

}  // namespace

int main(int argc, char** argv) {
    // UTF-8 on every system (on Windows from the wide command line), and so is what it prints.
    tv::platform::use_utf8_console();
    std::vector<std::string> arguments = tv::platform::utf8_arguments(argc, argv);
    std::vector<char*> utf8_argv;
    for (auto& argument : arguments) utf8_argv.push_back(argument.data());
    utf8_argv.push_back(nullptr);
    const Options o = parse(static_cast<int>(arguments.size()), utf8_argv.data());
    const std::vector<uint8_t> stream = slurp(o.video);
    const auto units = mkifv::split_access_units(stream);
    if (units.empty()) fail(o.video + ": no H.264 access unit found");

    uint32_t width = o.width, height = o.height;
    if (width == 0) {
        const auto size = mkifv::picture_size(stream);
        if (!size) fail(o.video + ": cannot read the picture size; give --size WxH");
        width = size->width;
        height = size->height;
    }

    std::vector<uint32_t> stamps;
    if (!o.timestamps.empty()) {
        std::ifstream in(tv::platform::path_of(o.timestamps));
        if (!in) fail("cannot read " + o.timestamps + ": " + std::strerror(errno));
        std::string line;
        while (std::getline(in, line)) {
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            char* end = nullptr;
            const unsigned long long ms = std::strtoull(line.c_str(), &end, 10);
            if (end == line.c_str() || ms > 4000000000ull)
                fail(o.timestamps + ": not a time stamp in milliseconds: " + line);
            stamps.push_back(static_cast<uint32_t>(ms));
        }
    }

    // Without --duration the recording is as long as the video; with it, the inputs repeat.
    // Stamps from a file set the frames and their times.
    const uint64_t video_frames = !stamps.empty() ? stamps.size()
                                  : o.duration > 0
                                      ? static_cast<uint64_t>(std::llround(o.duration * o.fps))
                                      : units.size();
    if (video_frames == 0) fail("the recording would hold no video frame");
    const double video_end_ms =
        !stamps.empty() ? *std::max_element(stamps.begin(), stamps.end()) + 1000.0 / o.fps
                        : static_cast<double>(video_frames) * 1000.0 / o.fps;
    if (video_end_ms > 4.0e9) fail("the recording would be longer than its 32-bit clock");

    ifvbuild::Recording rec;
    rec.base = o.base_offset;
    rec.file.description = o.description;
    rec.file.start_time = o.start_time;
    rec.file.end_time = o.start_time + static_cast<uint32_t>(video_end_ms / 1000.0);
    rec.video.width = static_cast<uint16_t>(width);
    rec.video.height = static_cast<uint16_t>(height);
    rec.video.frame_rate = static_cast<float>(o.fps);
    rec.video.time_scale = 1000;

    AudioTrack audio;
    uint64_t audio_frames = 0;
    if (!o.audio.empty()) {
        audio = make_audio(o);
        rec.audio.format = o.raw_audio ? "GRAW" : kVoiceFourcc;
        rec.audio.bits_per_sample = audio.bits;
        rec.audio.sample_rate = audio.sample_rate;
        rec.audio.time_scale = audio.sample_rate;
        rec.audio.frame_length = audio.frame_length;
        rec.audio.frame_duration = o.samples_per_frame;
        // Audio never runs past the video, so the span is the video's.
        const double frame_ms = o.samples_per_frame * 1000.0 / audio.sample_rate;
        const uint64_t fit = static_cast<uint64_t>(video_end_ms / frame_ms);
        audio_frames = o.duration > 0 ? fit : std::min<uint64_t>(fit, audio.frames.size());
    } else {
        rec.file.audio_flag = 0;
    }

    auto video_time = [&](uint64_t i) {
        if (!stamps.empty()) return stamps[i];
        return static_cast<uint32_t>(std::llround(i * 1000.0 / o.fps));
    };
    auto audio_time = [&](uint64_t k) {
        return static_cast<uint32_t>(
            std::llround(k * 1000.0 * o.samples_per_frame / audio.sample_rate));
    };

    constexpr uint64_t kSegmentData = 0x4000000;  // about 64 MiB of frames per segment
    uint64_t v = 0, a = 0;
    ifvbuild::Segment* seg = nullptr;
    while (v < video_frames || a < audio_frames) {
        const bool take_video =
            a >= audio_frames || (v < video_frames && video_time(v) <= audio_time(a));
        const size_t length =
            take_video ? units[v % units.size()].bytes.size() : audio.frame_length;
        if (seg == nullptr || seg->video.size() >= o.frames_per_segment ||
            seg->audio.size() >= ifvbuild::kRecorderAudioSlots ||
            seg->data.size() + length > kSegmentData) {
            if (seg != nullptr) seg->end_time_stamp = take_video ? video_time(v) : audio_time(a);
            seg = &rec.segments.emplace_back();
            seg->start_time_stamp = take_video ? video_time(v) : audio_time(a);
        }
        if (take_video) {
            const auto& unit = units[v % units.size()];
            seg->add_video(unit.bytes, video_time(v), unit.idr);
            ++v;
        } else {
            seg->add_audio(audio.frames[a % audio.frames.size()], audio_time(a));
            ++a;
        }
    }
    seg->end_time_stamp = static_cast<uint32_t>(std::llround(video_end_ms));
    if (o.video_first)
        for (auto& s : rec.segments) s.store_video_first();

    if (!ifvbuild::write_file(rec, tv::platform::path_of(o.output)))
        fail("cannot write " + o.output + ": " + std::strerror(errno));
    std::fprintf(
        stderr,
        "%s: wrote %s: %ux%u, %llu video frames at %g fps, %llu audio frames, %zu segments\n",
        kProgram, o.output.c_str(), width, height, static_cast<unsigned long long>(video_frames),
        o.fps, static_cast<unsigned long long>(audio_frames), rec.segments.size());
    return 0;
}
