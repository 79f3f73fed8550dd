#include "cli/recording_info.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/conversion_job.h"
#include "cli/evidence.h"
#include "cli/printable.h"
#include "common/platform.h"
#include "torvane/custommp4.h"

namespace tvcli {
namespace {

// Keys in the order they are set, so the JSON reads the same run after run.
using Json = nlohmann::ordered_json;
// Of the --info JSON; raised when a key changes its meaning.
constexpr int kInfoSchemaVersion = 1;

constexpr uint32_t kRawFormat = 0x57415247u;  // "GRAW"

// Wall-clock time of a stamp: the header's start time plus the stamp's offset.
template <class T>
std::string clock_text(const T& t, uint32_t stamp) {
    const int64_t offset = (static_cast<int64_t>(stamp) - t.base_ms) / 1000;
    std::tm tm{};
    tv::platform::utc_time(t.start_time + offset, tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

double frame_rate_of(const SourceTiming& t) {
    return tv::ConversionFrameRate(t.announced_video_frames, t.duration_ms, t.stored_frame_rate);
}

Json span_json(const SourceTiming& t, const SourceTimingSpan& span, bool burst) {
    Json j;
    j["at"] = clock_text(t, span.at_ms);
    j["at_ms"] = span.at_ms;
    j["length_ms"] = span.length_ms;
    if (burst) j["frames"] = span.frames;
    return j;
}

Json timing_json(custommp4_handle* h) {
    SourceTiming t;
    if (source_timing_of(h, &t) != 0) return nullptr;
    Timeline line;
    line.start_time = t.start_time;
    line.base_ms = t.base_ms;
    line.fps = frame_rate_of(t);
    line.stamps.assign(t.video_stamps, t.video_stamps + t.video_frames);
    Json j;
    j["first_ms"] = t.first_ms;
    j["last_ms"] = t.last_ms;
    j["first_time"] = clock_text(t, t.first_ms);
    j["last_time"] = clock_text(t, t.last_ms);
    j["interval_ms"] = t.interval_ms;
    j["out_of_order"] = t.out_of_order;
    j["equal_stamps"] = t.equal_stamps;
    j["audio_offset_ms"] =
        t.audio_frames == 0 || t.video_frames == 0
            ? Json(nullptr)
            : Json(static_cast<int64_t>(t.first_audio_ms) - static_cast<int64_t>(t.first_video_ms));
    j["gap_count"] = t.gap_count;
    j["gaps"] = Json::array();
    for (uint32_t i = 0; i < t.gap_count && i < SOURCE_TIMING_MAX_SPANS; ++i)
        j["gaps"].push_back(span_json(t, t.gaps[i], false));
    j["burst_count"] = t.burst_count;
    j["bursts"] = Json::array();
    for (uint32_t i = 0; i < t.burst_count && i < SOURCE_TIMING_MAX_SPANS; ++i)
        j["bursts"].push_back(span_json(t, t.bursts[i], true));
    j["avi_drift_s"] = avi_drift(line);
    // The end can be close while the middle is far off: a pause is spread over the frames.
    double worst = 0;
    for (uint32_t i = 0; i < t.video_frames; ++i) {
        const double recorded =
            (static_cast<double>(t.video_stamps[i]) - static_cast<double>(t.first_video_ms)) /
            1000.0;
        worst = std::max(worst, std::fabs(i / line.fps - recorded));
    }
    j["avi_largest_offset_s"] = worst;
    source_timing_release(&t);
    return j;
}

std::string fourcc_text(uint32_t code) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(code >> (8 * i));
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return s;
}

Json describe(const std::string& path) {
    Json j;
    j["schema_version"] = kInfoSchemaVersion;
    put_path(j, "path", path);
    custommp4_handle* h = custommp4_open(path.c_str(), 0);
    if (h == nullptr) {
        j["error"] = "recording not opened";
        return j;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(tv::platform::path_of(path), ec);
    j["size"] = ec ? 0 : size;
    j["segments"] = custommp4_get_segment_count(h);
    const uint32_t duration = custommp4_get_duration(h);
    j["duration_ms"] = duration;
    j["start_time"] = tvcli::utc_iso(custommp4_get_start_time(h));
    j["end_time"] = tvcli::utc_iso(custommp4_get_end_time(h));
    const uint32_t video_frames = custommp4_get_video_frame_count(h);
    const double stored = custommp4_get_stored_frame_rate(h);
    Json video;
    video["width"] = custommp4_get_width(h);
    video["height"] = custommp4_get_height(h);
    video["frames"] = video_frames;
    video["frame_rate"] = tv::ConversionFrameRate(video_frames, duration, stored);
    video["stored_frame_rate"] = std::isfinite(stored) ? Json(stored) : Json(nullptr);
    j["video"] = video;
    Json audio;
    const uint32_t format = custommp4_get_audio_format(h);
    audio["frames"] = custommp4_get_audio_frame_count(h);
    audio["format"] = fourcc_text(format);
    audio["codec"] = format == kRawFormat ? "pcm" : "ima-adpcm-voice";
    audio["sample_rate"] = custommp4_get_audio_rate(h);
    audio["bits_per_sample"] = custommp4_get_audio_bits(h);
    audio["frame_length"] = custommp4_get_audio_frame_length(h);
    j["audio"] = audio;
    j["timing"] = timing_json(h);
    custommp4_close(h);
    return j;
}

void print_text(const Json& j, const std::string& path) {
    std::printf("%s\n", printable(path).c_str());
    if (j.contains("error")) {
        std::printf("  error:      %s\n", j["error"].get<std::string>().c_str());
        return;
    }
    const auto& v = j["video"];
    const auto& a = j["audio"];
    std::printf("  size:       %llu bytes\n",
                static_cast<unsigned long long>(j["size"].get<uint64_t>()));
    std::printf("  segments:   %u\n", j["segments"].get<uint32_t>());
    std::printf("  duration:   %.3f s\n", j["duration_ms"].get<uint32_t>() / 1000.0);
    std::printf("  start time: %s\n", j["start_time"].get<std::string>().c_str());
    std::printf("  end time:   %s\n", j["end_time"].get<std::string>().c_str());
    std::printf("  video:      %ux%u, %u frames, %.3f fps\n", v["width"].get<uint32_t>(),
                v["height"].get<uint32_t>(), v["frames"].get<uint32_t>(),
                v["frame_rate"].get<double>());
    if (a["frames"].get<uint32_t>() == 0) {
        std::printf("  audio:      none\n");
    } else {
        std::printf("  audio:      %s (%s), %u Hz, %u bits, %u frames of %u bytes\n",
                    a["codec"].get<std::string>().c_str(), a["format"].get<std::string>().c_str(),
                    a["sample_rate"].get<uint32_t>(), a["bits_per_sample"].get<uint32_t>(),
                    a["frames"].get<uint32_t>(), a["frame_length"].get<uint32_t>());
    }
    const auto& t = j["timing"];
    if (t.is_null()) return;
    std::printf("  first:      %s (%u ms)\n", t["first_time"].get<std::string>().c_str(),
                t["first_ms"].get<uint32_t>());
    std::printf("  last:       %s (%u ms)\n", t["last_time"].get<std::string>().c_str(),
                t["last_ms"].get<uint32_t>());
    std::printf("  interval:   %u ms; %u out of order, %u with equal stamps\n",
                t["interval_ms"].get<uint32_t>(), t["out_of_order"].get<uint32_t>(),
                t["equal_stamps"].get<uint32_t>());
    if (!t["audio_offset_ms"].is_null())
        std::printf("  sync:       audio starts %+lld ms from the video\n",
                    static_cast<long long>(t["audio_offset_ms"].get<int64_t>()));
    std::printf("  gaps:       %u over 1 s\n", t["gap_count"].get<uint32_t>());
    for (const auto& g : t["gaps"])
        std::printf("    at %s: %.3f s\n", g["at"].get<std::string>().c_str(),
                    g["length_ms"].get<uint32_t>() / 1000.0);
    std::printf("  bursts:     %u\n", t["burst_count"].get<uint32_t>());
    for (const auto& b : t["bursts"])
        std::printf("    at %s: %u frames in %u ms\n", b["at"].get<std::string>().c_str(),
                    b["frames"].get<uint32_t>(), b["length_ms"].get<uint32_t>());
    std::printf("  AVI drift:  %.3f s at the end, %.3f s at most\n", t["avi_drift_s"].get<double>(),
                t["avi_largest_offset_s"].get<double>());
}

}  // namespace

int print_info(const std::vector<std::string>& inputs, bool json) {
    int status = 0;
    Json all = Json::array();
    for (const auto& path : inputs) {
        Json j = describe(path);
        if (j.contains("error")) status = 1;
        if (json)
            all.push_back(std::move(j));
        else
            print_text(j, path);
    }
    if (json) {
        // Paths that are not UTF-8 are shown with replacements and kept in path_bytes.
        std::printf("%s\n", all.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    }
    return status;
}

Timeline timeline_of(const SourceMedia* media) {
    Timeline t;
    t.start_time = source_start_time(media);
    t.end_time = source_end_time(media);
    t.base_ms = source_start_stamp(media);
    t.fps = tv::ConversionFrameRate(source_video_frame_count(media), source_duration(media),
                                    source_stored_frame_rate(media));
    return t;
}

double avi_drift(const Timeline& t) {
    if (t.stamps.empty()) return 0.0;
    const double avi = static_cast<double>(t.stamps.size() - 1) / t.fps;
    const double recorded =
        (static_cast<double>(t.stamps.back()) - static_cast<double>(t.stamps.front())) / 1000.0;
    return std::fabs(avi - recorded);
}

bool write_clock_srt(const std::string& path, const Timeline& t) {
    FILE* out = tv::platform::create_stream(path.c_str());
    if (out == nullptr) return false;
    const double fps = t.fps;
    const auto frames = static_cast<uint32_t>(t.stamps.size());
    auto avi_time = [&](uint32_t frame) {
        const auto ms = static_cast<uint64_t>(std::llround(frame * 1000.0 / fps));
        char buf[40];
        std::snprintf(buf, sizeof buf, "%02llu:%02llu:%02llu,%03llu",
                      static_cast<unsigned long long>(ms / 3600000),
                      static_cast<unsigned long long>(ms / 60000 % 60),
                      static_cast<unsigned long long>(ms / 1000 % 60),
                      static_cast<unsigned long long>(ms % 1000));
        return std::string(buf);
    };
    // The first frame of each recorded second starts its cue; a stamp that goes back in time
    // starts none.
    std::vector<uint32_t> starts;
    int64_t shown = INT64_MIN;
    for (uint32_t i = 0; i < frames; ++i) {
        const int64_t second = (static_cast<int64_t>(t.stamps[i]) - t.base_ms) / 1000;
        if (second > shown) {
            starts.push_back(i);
            shown = second;
        }
    }
    for (std::size_t c = 0; c < starts.size(); ++c) {
        const uint32_t end = c + 1 < starts.size() ? starts[c + 1] : frames;
        std::fprintf(out, "%zu\n%s --> %s\n%s UTC\n\n", c + 1, avi_time(starts[c]).c_str(),
                     avi_time(end).c_str(), clock_text(t, t.stamps[starts[c]]).c_str());
    }
    const bool written = std::ferror(out) == 0;
    const int saved = errno;
    if (std::fclose(out) != 0 || !written) {
        if (written) return false;
        errno = saved;
        return false;
    }
    return true;
}

}  // namespace tvcli
