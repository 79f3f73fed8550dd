// Helpers of the reader tests: writing a model to a scratch file, opening it with the output
// captured, reading every frame, and making chosen system calls fail.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/sysio.h"
#include "recording/custommp4_internal.h"
#include "tools/ifvbuild/ifv_builder.h"

namespace rtest {

struct HandleCloser {
    void operator()(custommp4_handle* h) const { custommp4_close(h); }
};
using Handle = std::unique_ptr<custommp4_handle, HandleCloser>;

// printf's text of `fmt` with up to three whole numbers.
std::string printf_text(const char* fmt, long long a, long long b = 0, long long c = 0);

// `segments` segments; segment i holds video frames at i*1000 + 0, 40, 80 (the first a key
// frame, lengths 100 + 10i + j) and audio frames at i*1000 + 0, 60 of 320 bytes, each with
// its own bytes.
ifvbuild::Recording sample_recording(int segments);

// Writes `rec` to <scratch>/<name>.ifv and returns the path.
std::filesystem::path write(const ifvbuild::Recording& rec, const std::string& name);
std::filesystem::path write_bytes(const std::vector<uint8_t>& bytes, const std::string& name);

struct Opened {
    Handle handle;
    std::string out;  // what the open printed
    int error = 0;    // errno right after a failed open
};
Opened open(const std::filesystem::path& path, uint32_t offset = 0);
// The open of `path` fails, printing exactly `message`.
void expect_refused(const std::filesystem::path& path, const std::string& message,
                    uint32_t offset = 0);

// One result of custommp4_read_one_media_frame.
struct Frame {
    int32_t result = 0;
    uint32_t time_stamp = 0;
    uint8_t key = 0;
    uint8_t audio = 0;
    std::vector<uint8_t> bytes;  // the first `result` bytes of the buffer when result > 0

    bool operator==(const Frame&) const = default;
};
// Calls until a 0 result (included) or `limit` calls.
struct ReadAll {
    std::vector<Frame> frames;
    std::string out;
};
ReadAll read_all(custommp4_handle* h, int32_t buffer_length = CUSTOMMP4_FRAME_BUFFER_SIZE,
                 int limit = 100000);

// The frames a fault-free reader hands out for `rec`, in time order, built from the model.
std::vector<Frame> expected_frames(const ifvbuild::Recording& rec);
// Opens `path` and reads it to the end, both silently, getting exactly `rec`'s frames; the
// handle stays open.
Opened expect_read_cleanly(const std::filesystem::path& path, const ifvbuild::Recording& rec,
                           uint32_t offset = 0);

// Makes the n-th call (counted from 1 while the scope lives) of one system operation fail:
// open returns -1, a positional read reads nothing, the file's size is -1 (all with EIO but
// open's EMFILE), close closes but reports failure, may_allocate refuses. With `persistent`,
// every later call fails too.
enum class Op { Open, Read, Size, Close, Allocate };
class Faults {
  public:
    Faults();
    ~Faults();
    Faults(const Faults&) = delete;
    Faults& operator=(const Faults&) = delete;

    void fail(Op op, long nth, bool persistent = false);
    // Refuses the reader's buffer for small reads at the next open (its second allocation,
    // after the handle's), so that every read of the open is a system call of its own.
    void refuse_buffer() { fail(Op::Allocate, 2); }
    long calls(Op op) const;
    // Largest single request that may_allocate saw.
    std::size_t largest_allocation() const;
};

}  // namespace rtest
