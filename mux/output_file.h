// The file behind libavformat's I/O. It is written through the same door as the AVI writer's
// file, so the same rules hold (an old tail never survives, disk space reserved ahead,
// injected failures reach it), and a thread of its own writes the last megabyte or more
// while the muxer makes the next.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AVIOContext;

namespace tv::mux {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates or opens the file and its I/O context; 0, or the errno of the failure.
    int open(const std::string& path);
    // libavformat's view of the file (null before open() and after close()).
    AVIOContext* context() const { return context_; }
    // Writes everything still buffered and closes the file: 0, or the first failure's errno.
    // Safe to call twice.
    int close();

  private:
    static int write_packet(void* opaque, uint8_t* data, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);
    int wait_idle();  // for the writer thread to finish its buffer: 0 or the first errno
    int hand_off();   // the spare buffer to the writer thread: 0 or the first errno
    void write_behind();
    int fail(int error);

    AVIOContext* context_ = nullptr;
    int fd_ = -1;
    std::vector<uint8_t> spare_;  // filled by the muxer's thread, then handed off

    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    std::vector<uint8_t> queued_;  // being written by the writer thread while busy_
    bool busy_ = false;
    bool stop_ = false;
    int error_ = 0;
    int64_t position_ = 0;  // where the writer thread's next write lands
    int64_t reserved_end_ = 0;
    bool reserve_off_ = false;
};

}  // namespace tv::mux
