// The frames of a span of a recording, as the job takes them in the recording's order: from the
// video key frame at or before the span's start, so that its first picture decodes, to its
// end; the audio from that key frame's time on, so the voice stays with its pictures.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "torvane/source.h"

namespace tv {

class FrameRange {
  public:
    // Stamps of the recording, milliseconds, as its index gives them.
    FrameRange(int64_t from_ms, int64_t to_ms) : from_(from_ms), to_(to_ms) {}

    // Takes the recording's next frame; the frames to write come out through `put`, in order.
    // A frame before the span's start is held (copied) from the last key frame on, until it is
    // known whether that key frame starts the span. False once the span is over: no later
    // frame is wanted.
    bool take(const SourceFrame& frame, const std::function<void(const SourceFrame&)>& put);

    // Frames handed to `put` so far.
    uint64_t taken() const { return taken_; }
    // Whether the span's end was reached (not the recording's).
    bool ended() const { return ended_; }

  private:
    struct Held {
        SourceFrame frame;
        std::vector<uint8_t> bytes;
    };
    void start(const std::function<void(const SourceFrame&)>& put);
    void pass(const SourceFrame& frame, const std::function<void(const SourceFrame&)>& put);

    int64_t from_, to_;
    bool started_ = false, ended_ = false;
    int64_t key_ms_ = 0;  // stamp of the key frame the span starts at
    std::vector<Held> held_;
    uint64_t held_bytes_ = 0;
    uint64_t taken_ = 0;
};

}  // namespace tv
