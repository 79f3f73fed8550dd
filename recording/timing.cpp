// source_timing: the recording's timing from its index alone, for --info and the conversion's
// companions (the clock subtitles, the drift in the summary).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "recording/custommp4_internal.h"
#include "torvane/source.h"

namespace {

constexpr uint32_t kGapMs = 1000;
constexpr uint32_t kBurstRun = 3;  // intervals in a row

struct HandleCloser {
    void operator()(custommp4_handle* h) const { custommp4_close(h); }
};

uint32_t median(std::vector<int64_t> values) {
    if (values.empty()) return 0;
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle > 0 ? static_cast<uint32_t>(std::min<int64_t>(*middle, UINT32_MAX)) : 0;
}

void find_gaps(const std::vector<uint32_t>& stamps, SourceTiming& t) {
    std::vector<SourceTimingSpan> gaps;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        if (stamps[i] > stamps[i - 1] && stamps[i] - stamps[i - 1] > kGapMs)
            gaps.push_back({stamps[i - 1], stamps[i] - stamps[i - 1], 0});
    }
    t.gap_count = static_cast<uint32_t>(gaps.size());
    std::stable_sort(gaps.begin(), gaps.end(),
                     [](const auto& a, const auto& b) { return a.length_ms > b.length_ms; });
    for (std::size_t i = 0; i < gaps.size() && i < SOURCE_TIMING_MAX_SPANS; ++i)
        t.gaps[i] = gaps[i];
}

// A burst: frames that came much faster than the recording's own pace, as a recorder that
// empties its buffer after a stall gives them.
void find_bursts(const std::vector<uint32_t>& stamps, SourceTiming& t) {
    const uint32_t fast = t.interval_ms / 4;
    if (fast == 0) return;
    std::size_t run_start = 0, run = 0;
    auto close_run = [&](std::size_t end) {
        if (run >= kBurstRun) {
            if (t.burst_count < SOURCE_TIMING_MAX_SPANS) {
                t.bursts[t.burst_count] = {stamps[run_start], stamps[end] - stamps[run_start],
                                           static_cast<uint32_t>(run + 1)};
            }
            ++t.burst_count;
        }
        run = 0;
    };
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        if (stamps[i] >= stamps[i - 1] && stamps[i] - stamps[i - 1] < fast) {
            if (run == 0) run_start = i - 1;
            ++run;
        } else {
            close_run(i - 1);
        }
    }
    if (!stamps.empty()) close_run(stamps.size() - 1);
}

}  // namespace

extern "C" {

int source_timing(const char* path, SourceTiming* timing) {
    if (timing == nullptr) return -1;
    *timing = SourceTiming{};
    errno = 0;
    std::unique_ptr<custommp4_handle, HandleCloser> h(custommp4_open(path, 0));
    if (!h) return -1;
    return source_timing_of(h.get(), timing);
}

int source_timing_of(custommp4_handle* h, SourceTiming* timing) {
    if (timing == nullptr) return -1;
    *timing = SourceTiming{};
    if (h == nullptr) return -1;
    SourceTiming& t = *timing;
    t.start_time = custommp4_get_start_time(h);
    t.end_time = custommp4_get_end_time(h);
    t.base_ms = h->sect_table.empty() ? 0 : h->sect_table[0].start_time_stamp;
    t.announced_video_frames = custommp4_get_video_frame_count(h);
    t.duration_ms = custommp4_get_duration(h);
    t.stored_frame_rate = static_cast<double>(custommp4_get_stored_frame_rate(h));

    std::vector<uint32_t> video;
    bool any = false, any_audio = false;
    uint32_t last_audio = 0;
    // A conversion takes no more frames than the recording announces.
    uint64_t left =
        static_cast<uint64_t>(t.announced_video_frames) + custommp4_get_audio_frame_count(h);
    try {
        for (; left > 0; --left) {
            tv::mp4::FrameRef f;
            const int32_t got = tv::mp4::next_frame(h, CUSTOMMP4_MAX_FRAME_SIZE, f);
            if (got == 0) break;
            if (got < 0) continue;
            const uint32_t s = f.time_stamp;
            t.first_ms = any ? std::min(t.first_ms, s) : s;
            t.last_ms = any ? std::max(t.last_ms, s) : s;
            any = true;
            if (f.is_audio) {
                if (any_audio && s < last_audio) ++t.out_of_order;
                if (any_audio && s == last_audio) ++t.equal_stamps;
                if (!any_audio) t.first_audio_ms = s;
                any_audio = true;
                last_audio = s;
                ++t.audio_frames;
                continue;
            }
            if (!video.empty() && s < video.back()) ++t.out_of_order;
            if (!video.empty() && s == video.back()) ++t.equal_stamps;
            video.push_back(s);
        }
        std::vector<int64_t> steps;
        steps.reserve(video.size());
        for (std::size_t i = 1; i < video.size(); ++i)
            steps.push_back(static_cast<int64_t>(video[i]) - video[i - 1]);
        t.interval_ms = median(std::move(steps));
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    t.video_frames = static_cast<uint32_t>(video.size());
    if (!video.empty()) {
        t.first_video_ms = video.front();
        t.last_video_ms = video.back();
        t.video_stamps = static_cast<uint32_t*>(std::malloc(video.size() * sizeof(uint32_t)));
        if (t.video_stamps == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        std::memcpy(t.video_stamps, video.data(), video.size() * sizeof(uint32_t));
    }
    find_gaps(video, t);
    find_bursts(video, t);
    return 0;
}

void source_timing_release(SourceTiming* timing) {
    if (timing == nullptr) return;
    std::free(timing->video_stamps);
    timing->video_stamps = nullptr;
}

}  // extern "C"
