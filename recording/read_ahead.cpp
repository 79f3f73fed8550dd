#include <algorithm>
#include <new>

#include "common/sysio.h"
#include "recording/read_ahead_internal.h"

namespace tv::mp4 {
namespace {

// Windows start on page boundaries, so that the system copies whole aligned pages.
constexpr int64_t kAlignment = 4096;

bool inside(int64_t start, int64_t length, const FrameRef& frame) {
    return frame.position >= start && frame.position + int64_t{frame.length} <= start + length;
}

}  // namespace

bool ReadAhead::start() {
    tried_ = true;
    constexpr std::size_t bytes = kWindows * kWindowSize;
    if (!sysio::may_allocate(bytes)) return false;
    memory_.reset(static_cast<uint8_t*>(tv::platform::aligned_alloc(kAlignment, bytes)));
    if (!memory_) return false;
    for (std::size_t i = 0; i < kWindows; ++i) windows_[i].data = memory_.get() + i * kWindowSize;
    return true;
}

bool ReadAhead::holds(const FrameRef& frame) const {
    return std::any_of(windows_.begin(), windows_.end(), [&](const Window& w) {
        return w.data != nullptr && inside(w.start, w.length, frame);
    });
}

const uint8_t* ReadAhead::view(custommp4_handle* h, const FrameRef& frame) {
    for (Window& w : windows_) {
        if (w.data != nullptr && inside(w.start, w.length, frame)) {
            w.used = ++clock_;
            return w.data + (frame.position - w.start);
        }
    }
    if (!tried_) start();
    // A window starts on the page of its first frame, which must fit from there.
    if (memory_ && frame.length <= kWindowSize - kAlignment &&
        run_readable(h, frame.position, frame.length)) {
        return fill(h, frame);
    }
    // Frames that no window takes are read by themselves, through the reader's own path.
    try {
        if (single_.size() < frame.length) single_.resize(frame.length);
    } catch (const std::bad_alloc&) {
        if (h->system_error == 0) h->system_error = ENOMEM;
        return nullptr;
    }
    return read_frame(h, frame, single_.data()) ? single_.data() : nullptr;
}

// Refills the window that served a frame longest ago, from the frame's page on.
const uint8_t* ReadAhead::fill(custommp4_handle* h, const FrameRef& frame) {
    if (failed_) {
        warn_read_error(frame);
        return nullptr;
    }
    Window& w = *std::min_element(windows_.begin(), windows_.end(),
                                  [](const Window& a, const Window& b) { return a.used < b.used; });
    w.start = frame.position / kAlignment * kAlignment;
    w.used = ++clock_;
    // Nothing past the file's end (as its size was at the open) is asked for.
    const int64_t wanted = std::min(kWindowSize, std::max<int64_t>(h->file_size - w.start, 0));
    w.length = 0;
    if (wanted > 0) {
        tv::platform::Part part = {w.data, static_cast<std::size_t>(wanted)};
        w.length = read_run(h, w.start, std::span<tv::platform::Part>(&part, 1));
        failed_ = w.length < wanted && h->system_error != 0;
    }
    if (inside(w.start, w.length, frame)) return w.data + (frame.position - w.start);
    warn_read_error(frame);
    return nullptr;
}

}  // namespace tv::mp4
