// `torvane-convert --info`: what a recording holds, as text or JSON.
#pragma once

#include <cstdint>
#include <string>

#include <vector>
#include "torvane/source.h"

namespace tvcli {

// Prints a description of every input on standard output. Returns the exit status: 0 when every
// recording could be opened, 1 otherwise.
int print_info(const std::vector<std::string>& inputs, bool json);

// The AVI's video frames against the recorded time.
struct Timeline {
    uint32_t start_time = 0;  // the header's, seconds since 1970
    uint32_t end_time = 0;
    uint32_t base_ms = 0;  // the stamp at start_time
    double fps = 0;        // as the conversion writes the AVI: frame n at n / fps
    std::vector<uint32_t> stamps;
};
// The timeline of a recording the conversion has open, without its frames.
Timeline timeline_of(const SourceMedia* media);

// Seconds between the AVI time of the last video frame and its recorded offset from the first.
double avi_drift(const Timeline& timeline);

// Writes subtitles with the recorded wall-clock time, a cue for each recorded second that
// holds a video frame, at the AVI time of its first frame. False with errno on failure.
bool write_clock_srt(const std::string& path, const Timeline& timeline);

}  // namespace tvcli
