// The second thread that writes a full output buffer while the next one fills: reading the
// recording into one buffer and writing the other out overlap, which on two cores is most of
// a conversion's time.
#include <algorithm>
#include <cerrno>
#include <system_error>

#include "avi/avi_internal.h"

AviWriteBehind::~AviWriteBehind() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool AviWriteBehind::start(int fd, const uint8_t* data, size_t length) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return false;  // no thread: the caller writes the buffer itself
        }
    }
    fd_ = fd;
    data_ = data;
    length_ = length;
    outcome_ = {};
    busy_ = true;
    lock.unlock();
    wake_.notify_all();
    return true;
}

AviWriteBehind::Outcome AviWriteBehind::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return !busy_; });
    return outcome_;
}

void AviWriteBehind::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return busy_ || quit_; });
        if (!busy_) return;
        const int fd = fd_;
        const uint8_t* data = data_;
        const size_t length = length_;
        lock.unlock();
        // The same pieces as a write by the caller's own thread.
        Outcome outcome;
        while (outcome.written < static_cast<int64_t>(length)) {
            const auto at = static_cast<size_t>(outcome.written);
            const size_t piece = std::min(length - at, AVI_WRITE_PIECE);
            errno = 0;
            const int64_t done = AVI_write_all(fd, data + at, piece);
            outcome.written += done;
            if (done != static_cast<int64_t>(piece)) {
                outcome.error = errno;
                break;
            }
        }
        lock.lock();
        outcome_ = outcome;
        busy_ = false;
        done_.notify_all();
    }
}
