#include "app/frame_range.h"

#include <cstring>

#include "common/log.h"

namespace tv {
namespace {

// Frames held while the span's start is looked for: a recorder's group of pictures is a few
// seconds. A recording whose key frames lie further apart starts at the next one instead.
constexpr uint64_t kHoldLimit = 64u << 20;

}  // namespace

void FrameRange::pass(const SourceFrame& frame,
                      const std::function<void(const SourceFrame&)>& put) {
    // Voice from before the first picture would play over nothing of its own.
    if (frame.is_audio && frame.status != SOURCE_FRAME_REFUSED && frame.time_stamp < key_ms_)
        return;
    put(frame);
    ++taken_;
}

void FrameRange::start(const std::function<void(const SourceFrame&)>& put) {
    started_ = true;
    for (Held& h : held_) {
        h.frame.data = h.bytes.data();
        pass(h.frame, put);
    }
    held_.clear();
    held_bytes_ = 0;
}

bool FrameRange::take(const SourceFrame& frame,
                      const std::function<void(const SourceFrame&)>& put) {
    if (ended_) return false;
    const bool refused = frame.status == SOURCE_FRAME_REFUSED;
    const auto ms = static_cast<int64_t>(frame.time_stamp);
    const bool key = !refused && !frame.is_audio && frame.key_flag != 0;
    if (!started_) {
        if (refused) return true;  // nothing to hold: no data, kind unknown
        if (ms >= from_) {
            // A key frame right at the start starts the span; without one before it, the
            // first key frame after it does.
            if (key && (held_.empty() || ms == from_)) {
                held_.clear();
                held_bytes_ = 0;
                key_ms_ = ms;
            } else if (held_.empty()) {
                return true;
            }
            start(put);
        } else {
            if (key) {
                held_.clear();
                held_bytes_ = 0;
                key_ms_ = ms;
            } else if (held_.empty() || (frame.is_audio && ms < key_ms_)) {
                return true;
            }
            if (held_bytes_ + frame.length > kHoldLimit) {
                logf(
                    "warning:no key frame within %llu MiB before the start of the span; it "
                    "starts at the next key frame\n",
                    static_cast<unsigned long long>(kHoldLimit >> 20));
                held_.clear();
                held_bytes_ = 0;
                return true;
            }
            Held& h = held_.emplace_back();
            h.frame = frame;
            h.bytes.assign(frame.data, frame.data + frame.length);
            held_bytes_ += frame.length;
            return true;
        }
    }
    // Stamps out of order end the span at the first one past its end.
    if (!refused && ms > to_) {
        ended_ = true;
        return false;
    }
    pass(frame, put);
    return true;
}

}  // namespace tv
