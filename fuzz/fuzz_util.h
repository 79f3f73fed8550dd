// Shared by the fuzz targets: the input as a file the library can open by path.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace tvfuzz {

// An anonymous in-memory file holding the bytes, reachable through /proc/self/fd.
class MemFile {
  public:
    explicit MemFile(std::span<const uint8_t> bytes) {
        fd_ = memfd_create("torvane-fuzz", 0);
        if (fd_ < 0) return;
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace tvfuzz
