#include "cli/recording_info.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/conversion_job.h"
#include "cli/printable.h"
#include "torvane/custommp4.h"

namespace tvcli {
namespace {

constexpr uint32_t kRawFormat = 0x57415247u;  // "GRAW"

std::string utc_text(uint32_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string fourcc_text(uint32_t code) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(code >> (8 * i));
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return s;
}

nlohmann::json describe(const std::string& path) {
    nlohmann::json j;
    j["path"] = path;
    custommp4_handle* h = custommp4_open(path.c_str(), 0);
    if (h == nullptr) {
        j["error"] = "recording not opened";
        return j;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    j["size"] = ec ? 0 : size;
    j["segments"] = custommp4_get_segment_count(h);
    const uint32_t duration = custommp4_get_duration(h);
    j["duration_ms"] = duration;
    j["start_time"] = utc_text(custommp4_get_start_time(h));
    j["end_time"] = utc_text(custommp4_get_end_time(h));
    const uint32_t video_frames = custommp4_get_video_frame_count(h);
    const double stored = custommp4_get_stored_frame_rate(h);
    nlohmann::json video;
    video["width"] = custommp4_get_width(h);
    video["height"] = custommp4_get_height(h);
    video["frames"] = video_frames;
    video["frame_rate"] = tv::ConversionFrameRate(video_frames, duration, stored);
    video["stored_frame_rate"] =
        std::isfinite(stored) ? nlohmann::json(stored) : nlohmann::json(nullptr);
    j["video"] = video;
    nlohmann::json audio;
    const uint32_t format = custommp4_get_audio_format(h);
    audio["frames"] = custommp4_get_audio_frame_count(h);
    audio["format"] = fourcc_text(format);
    audio["codec"] = format == kRawFormat ? "pcm" : "ima-adpcm-voice";
    audio["sample_rate"] = custommp4_get_audio_rate(h);
    audio["bits_per_sample"] = custommp4_get_audio_bits(h);
    audio["frame_length"] = custommp4_get_audio_frame_length(h);
    j["audio"] = audio;
    custommp4_close(h);
    return j;
}

void print_text(const nlohmann::json& j) {
    std::printf("%s\n", printable(j["path"].get<std::string>()).c_str());
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
}

}  // namespace

int print_info(const std::vector<std::string>& inputs, bool json) {
    int status = 0;
    nlohmann::json all = nlohmann::json::array();
    for (const auto& path : inputs) {
        nlohmann::json j = describe(path);
        if (j.contains("error")) status = 1;
        if (json)
            all.push_back(std::move(j));
        else
            print_text(j);
    }
    if (json) {
        // Paths need not be UTF-8; replace what is not rather than fail.
        std::printf("%s\n",
                    all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    return status;
}

}  // namespace tvcli
