#include "mux/output_file.h"

#include "common/sysio.h"

#include <algorithm>
#include <cerrno>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace tv::mux {

namespace {
// The muxer's writes gather in a buffer of this size before they go to the system.
constexpr int kWriteBuffer = 1 << 20;
// Disk space is reserved this far ahead of the writes, as the AVI writer does: ext4 then
// writes into space set aside instead of reserving it block by block.
constexpr int64_t kReserveStep = 64 << 20;
}  // namespace

OutputFile::~OutputFile() {
    close();
}

int OutputFile::open(const std::string& path, bool direct) {
    // 0666: the user's umask decides who may read and write it, as for the AVI.
    fd_ = sysio::open(path.c_str(), platform::kReadWrite | platform::kCreate);
    if (fd_ < 0) return errno;
    // Emptied only when there is something to empty: emptying a file makes ext4 write all of
    // it back when it is closed. Devices cannot be emptied (EINVAL) and need not be.
    if (sysio::lseek(fd_, 0, SEEK_END) > 0 && sysio::ftruncate(fd_, 0) != 0 && errno != EINVAL)
        return errno;
    if (sysio::lseek(fd_, 0, SEEK_SET) != 0) return errno;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kWriteBuffer));
    if (buffer)
        context_ = avio_alloc_context(buffer, kWriteBuffer, 1, this, nullptr, write_packet, seek);
    if (!context_) {
        av_free(buffer);
        return ENOMEM;
    }
    context_->direct = direct ? 1 : 0;
    return 0;
}

int OutputFile::close() {
    if (context_) {
        avio_flush(context_);
        av_freep(&context_->buffer);
        avio_context_free(&context_);
    }
    int error = error_;
    if (fd_ >= 0) {
        if (sysio::close(fd_) != 0) error = fail(errno);  // the first failure's errno
        fd_ = -1;
    }
    return error;
}

int OutputFile::fail(int error) {
    if (!error_) error_ = error ? error : EIO;
    return error_;
}

// libavformat's buffer as it fills (or before a seek and at the end), or a block written
// directly.
int OutputFile::write_packet(void* opaque, uint8_t* data, int size) {
    auto* f = static_cast<OutputFile*>(opaque);
    if (f->error_) return AVERROR(f->error_);  // the file is lost: nothing more is written
    if (!f->reserve_off_ && f->position_ + size > f->reserved_end_) {
        const int64_t from = std::max(f->reserved_end_, f->position_);
        const int64_t to = f->position_ + size + kReserveStep;
        if (sysio::reserve(f->fd_, from, to - from) == 0)
            f->reserved_end_ = to;
        else
            f->reserve_off_ = true;
    }
    for (int written = 0; written < size;) {
        int64_t r = sysio::write(f->fd_, data + written, static_cast<size_t>(size - written));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return AVERROR(f->fail(r < 0 ? errno : ENOSPC));
        written += static_cast<int>(r);
        f->position_ += r;
    }
    return size;
}

int64_t OutputFile::seek(void* opaque, int64_t offset, int whence) {
    auto* f = static_cast<OutputFile*>(opaque);
    if (f->error_) return AVERROR(f->error_);
    if (whence & AVSEEK_SIZE) {
        int64_t here = sysio::lseek(f->fd_, 0, SEEK_CUR);
        int64_t size = sysio::lseek(f->fd_, 0, SEEK_END);
        if (here < 0 || size < 0 || sysio::lseek(f->fd_, here, SEEK_SET) != here)
            return AVERROR(f->fail(errno));
        return size;
    }
    int64_t at = sysio::lseek(f->fd_, offset, whence & ~AVSEEK_FORCE);
    if (at < 0) return AVERROR(f->fail(errno));
    f->position_ = at;
    return at;
}

}  // namespace tv::mux
