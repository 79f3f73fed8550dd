// Reading frames through a few large windows of the recording: each window is filled with one
// read and then serves every frame inside it, so that any layout of the frames in the file
// (interleaved, or each stream's frames in a region of its own) reads sequentially.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "recording/custommp4_internal.h"

namespace tv::mp4 {

class ReadAhead {
  public:
    // Bytes of one window: a read of this size costs about what reading the bytes costs.
    static constexpr int64_t kWindowSize = 1 << 20;
    static constexpr std::size_t kWindows = 2;

    // The frame's bytes, valid until the next call; null when they could not be read (after the
    // reader's warning; a failure of the system is recorded in the handle). Without memory for
    // the windows, frames are read one by one, which gives the same bytes.
    const uint8_t* view(custommp4_handle* h, const FrameRef& frame);
    // Whether the frame's bytes are in a window now (view() would not read).
    bool holds(const FrameRef& frame) const;

  private:
    struct Window {
        uint8_t* data = nullptr;
        int64_t start = 0;
        int64_t length = 0;  // bytes read
        uint64_t used = 0;   // when it last served a frame
    };
    struct Free {
        void operator()(uint8_t* p) const { tv::platform::aligned_free(p); }
    };
    bool start();
    const uint8_t* fill(custommp4_handle* h, const FrameRef& frame);

    bool tried_ = false;
    bool failed_ = false;  // a window's read failed: the disk is not asked again
    uint64_t clock_ = 0;
    std::unique_ptr<uint8_t, Free> memory_;
    std::array<Window, kWindows> windows_{};
    std::vector<uint8_t> single_;  // a frame read by itself
};

}  // namespace tv::mp4
