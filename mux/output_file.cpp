#include "mux/output_file.h"

#include "common/sysio.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace tv::mux {

namespace {
// The muxer's writes gather in a buffer of this size before they go to the writer thread.
constexpr int kWriteBuffer = 1 << 20;
// Disk space is reserved this far ahead of the writes, as the AVI writer does: ext4 then
// writes into space set aside instead of reserving it block by block.
constexpr int64_t kReserveStep = 64 << 20;
}  // namespace

OutputFile::~OutputFile() {
    close();
}

int OutputFile::open(const std::string& path) {
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
    try {
        thread_ = std::thread(&OutputFile::write_behind, this);
    } catch (const std::system_error& e) {
        return e.code().value() ? e.code().value() : EAGAIN;
    }
    return 0;
}

int OutputFile::close() {
    if (context_) {
        avio_flush(context_);
        av_freep(&context_->buffer);
        avio_context_free(&context_);
    }
    int error = hand_off();
    if (!error) error = wait_idle();
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    if (fd_ >= 0) {
        if (sysio::close(fd_) != 0) error = fail(errno);  // the first failure's errno
        fd_ = -1;
    }
    return error;
}

int OutputFile::fail(int error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = error ? error : EIO;
    return error_;
}

int OutputFile::wait_idle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    return error_;
}

int OutputFile::hand_off() {
    if (spare_.empty()) return wait_idle();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    if (error_) return error_;
    queued_.swap(spare_);
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
    spare_.clear();
    return 0;
}

// Writes gather in the spare buffer, which goes to the writer thread when a megabyte is there
// (or before a seek and at the end), so that the system gets a few large writes.
int OutputFile::write_packet(void* opaque, uint8_t* data, int size) {
    auto* f = static_cast<OutputFile*>(opaque);
    f->spare_.insert(f->spare_.end(), data, data + size);
    if (f->spare_.size() >= static_cast<size_t>(kWriteBuffer))
        if (int error = f->hand_off(); error) return AVERROR(error);
    return size;
}

int64_t OutputFile::seek(void* opaque, int64_t offset, int whence) {
    auto* f = static_cast<OutputFile*>(opaque);
    if (int error = f->hand_off(); error) return AVERROR(error);
    if (int error = f->wait_idle(); error) return AVERROR(error);
    if (whence & AVSEEK_SIZE) {
        int64_t here = sysio::lseek(f->fd_, 0, SEEK_CUR);
        int64_t size = sysio::lseek(f->fd_, 0, SEEK_END);
        if (here < 0 || size < 0 || sysio::lseek(f->fd_, here, SEEK_SET) != here)
            return AVERROR(f->fail(errno));
        return size;
    }
    int64_t at = sysio::lseek(f->fd_, offset, whence & ~AVSEEK_FORCE);
    if (at < 0) return AVERROR(f->fail(errno));
    std::lock_guard lock(f->mutex_);
    f->position_ = at;
    return at;
}

void OutputFile::write_behind() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return busy_ || stop_; });
        if (!busy_) return;
        const bool failed = error_ != 0;
        lock.unlock();
        int error = 0;
        int64_t written = 0;
        if (!failed) {  // after a failure the rest is dropped: the file is lost anyway
            const auto size = static_cast<int64_t>(queued_.size());
            if (!reserve_off_ && position_ + size > reserved_end_) {
                const int64_t from = std::max(reserved_end_, position_);
                const int64_t to = position_ + size + kReserveStep;
                if (sysio::reserve(fd_, from, to - from) == 0)
                    reserved_end_ = to;
                else
                    reserve_off_ = true;
            }
            while (written < size) {
                int64_t r = sysio::write(fd_, queued_.data() + written,
                                         static_cast<size_t>(size - written));
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) {
                    error = r < 0 ? errno : ENOSPC;
                    break;
                }
                written += r;
            }
        }
        lock.lock();
        position_ += written;
        if (error && !error_) error_ = error;
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace tv::mux
