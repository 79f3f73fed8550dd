// The file behind libavformat's I/O. It is written through the same door as the AVI writer's
// file, so the same rules hold (an old tail never survives, disk space reserved ahead,
// injected failures reach it). Writes happen on the thread that muxes: the muxer's own thread
// (mux.cpp) is what runs beside the reading.
#pragma once

#include <cstdint>
#include <string>

struct AVIOContext;

namespace tv::mux {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates or opens the file and its I/O context; 0, or the errno of the failure. With
    // `direct`, each block libavformat writes whole (a Matroska cluster, the cues) goes to the
    // system as it is instead of through the buffer: one copy less. MP4 writes every frame by
    // itself and keeps the buffer.
    int open(const std::string& path, bool direct);
    // libavformat's view of the file (null before open() and after close()).
    AVIOContext* context() const { return context_; }
    // Writes everything still buffered and closes the file: 0, or the first failure's errno.
    // Safe to call twice.
    int close();

  private:
    static int write_packet(void* opaque, uint8_t* data, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);
    int fail(int error);

    AVIOContext* context_ = nullptr;
    int fd_ = -1;
    int error_ = 0;
    int64_t position_ = 0;  // where the next write lands
    int64_t reserved_end_ = 0;
    bool reserve_off_ = false;
};

}  // namespace tv::mux
