// The output buffer: data chunks gathered and written in large pieces, the second thread that
// writes a full buffer while the next one fills, disk space reserved ahead of the writes, and
// taking back the chunks of a write that failed.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <system_error>

#include "avi/avi_internal.h"
#include "common/bytes.h"
#include "common/sysio.h"

// Writing behind: reading the recording into one buffer and writing the other out overlap,
// which on two cores is most of a conversion's time.
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

namespace {

// Forgets a buffered chunk that did not reach the file: its index entries (the last ones of
// its stream, since it came after every chunk that stays) and what it added to the counts.
void take_back_chunk(AviFile* file, const uint8_t* chunk, uint32_t length) {
    if (chunk[2] == 'w') {
        AviTrack& track = file->tracks[static_cast<size_t>(chunk[1] - '1')];
        AVI_current_slot(*track.super_index).entry_count -= 1;
        track.byte_count -= length;
    } else {
        AVI_current_slot(*file->video_super_index).entry_count -= 1;
        file->indexed_frame_count -= 1;
        file->video_frame_count -= 1;
    }
    // The buffer never spans a switch: its chunks all have "idx1" entries, or none has.
    if (file->segment_switches == 0) file->legacy_count -= 1;
    file->data_chunks -= 1;
}

// Takes back the chunks of a block that are not whole within its first `written` bytes (the
// block holds whole data chunks back to back); returns the bytes of those that are.
size_t take_back_unwritten(AviFile* file, const uint8_t* block, size_t length, int64_t written) {
    size_t at = 0;
    size_t kept = 0;
    while (at < length) {
        const uint32_t chunk_length = tv::load_le32(block + at + 4);
        const size_t end = at + 8 + chunk_length + (chunk_length & 1u);
        if (end <= static_cast<size_t>(written)) {
            kept = end;
        } else {
            take_back_chunk(file, block + at, chunk_length);
        }
        at = end;
    }
    return kept;
}

// Disk space is reserved in steps ahead of the buffered writes: the system then writes into
// space set aside already instead of reserving it block by block, which took ext4 about a
// sixth of its writing time. A refusal (a system or file without it, a full disk) ends it;
// the writes go on as before. Finishing gives back what the file does not use.
void reserve_ahead(AviFile* file, int64_t end) {
    if (file->reserve_off || end <= file->reserved_end) return;
    const int saved_errno = errno;
    const int64_t from = std::max(file->reserved_end, AVI_file_end(file));
    const int64_t to = end + AVI_RESERVE_STEP;
    if (tv::sysio::reserve(file->fd, from, to - from) == 0) {
        file->reserved_end = to;
    } else {
        file->reserve_off = true;
    }
    errno = saved_errno;
}

// After a failed write: the file continues at `position`, where the descriptor goes back.
int fail_write(AviFile* file, int error) {
    if (tv::sysio::lseek(file->fd, file->position, SEEK_SET) != file->position) {
        file->offset_in_sync = false;
    }
    errno = error;
    AVI_set_error(AVI_ERR_WRITE);
    return -1;
}

}  // namespace

int AVI_wait_behind(AviFile* file) {
    auto& sent = file->in_flight;
    if (!sent.active) return 0;
    const AviWriteBehind::Outcome outcome = file->behind->wait();
    sent.active = false;
    file->buffered_chunks -= sent.chunks;
    if (outcome.written == static_cast<int64_t>(sent.used)) return 0;

    // The buffered chunks were to follow the ones that failed: none of them stays.
    take_back_unwritten(file, file->write_buffer.get() + file->write_buffer_lead,
                        file->write_buffer_used, 0);
    file->write_buffer_used = 0;
    file->buffered_chunks = 0;
    const size_t kept =
        take_back_unwritten(file, file->spare_buffer.get() + sent.lead, sent.used, outcome.written);
    file->position = sent.start + static_cast<int64_t>(kept);
    return fail_write(file, outcome.error);
}

int AVI_flush_buffer(AviFile* file) {
    if (AVI_wait_behind(file) != 0) return -1;
    const size_t pending = file->write_buffer_used;
    if (pending == 0) return 0;
    const uint8_t* buffer = file->write_buffer.get() + file->write_buffer_lead;
    const int64_t start = AVI_file_end(file);
    reserve_ahead(file, start + static_cast<int64_t>(pending));
    int64_t written = 0;
    if (file->offset_in_sync || tv::sysio::lseek(file->fd, start, SEEK_SET) == start) {
        file->offset_in_sync = true;
        while (written < static_cast<int64_t>(pending)) {
            const auto at = static_cast<size_t>(written);
            const size_t piece = std::min(pending - at, AVI_WRITE_PIECE);
            const int64_t done = AVI_write_all(file->fd, buffer + at, piece);
            written += done;
            if (done != static_cast<int64_t>(piece)) break;
        }
    }
    file->write_buffer_used = 0;
    file->buffered_chunks = 0;
    if (written == static_cast<int64_t>(pending)) return 0;

    const int saved_errno = errno;
    const size_t kept = take_back_unwritten(file, buffer, pending, written);
    file->position = start + static_cast<int64_t>(kept);
    // The next chunk overwrites the broken rest.
    return fail_write(file, saved_errno);
}

int AVI_flush_behind(AviFile* file) {
    if (!file->write_behind || file->write_buffer_used == 0 || !file->offset_in_sync) {
        return AVI_flush_buffer(file);
    }
    if (AVI_wait_behind(file) != 0) return -1;
    // Without the memory or the thread, the chunks are written now: the same file either way.
    if (!file->spare_buffer) {
        const size_t bytes = AVI_buffer_allocation(file->write_buffer_size);
        if (tv::sysio::may_allocate(bytes)) {
            void* memory = tv::platform::aligned_alloc(AVI_BUFFER_ALIGNMENT, bytes);
            file->spare_buffer.reset(static_cast<uint8_t*>(memory));
        }
        if (!file->spare_buffer) return AVI_flush_buffer(file);
    }
    if (!file->behind) {
        if (tv::sysio::may_allocate(sizeof(AviWriteBehind))) {
            file->behind.reset(new (std::nothrow) AviWriteBehind());
        }
        if (!file->behind) return AVI_flush_buffer(file);
    }
    const int64_t start = AVI_file_end(file);
    reserve_ahead(file, start + static_cast<int64_t>(file->write_buffer_used));
    if (!file->behind->start(file->fd, file->write_buffer.get() + file->write_buffer_lead,
                             file->write_buffer_used)) {
        return AVI_flush_buffer(file);
    }
    auto& sent = file->in_flight;
    sent.active = true;
    sent.lead = file->write_buffer_lead;
    sent.used = file->write_buffer_used;
    sent.chunks = file->buffered_chunks;
    sent.start = start;
    std::swap(file->write_buffer, file->spare_buffer);
    file->write_buffer_used = 0;
    return 0;
}

int AVI_set_write_buffer(AviFile* file, int32_t size) {
    if (!file) return -1;
    if (size < 0) {
        AVI_set_error(AVI_ERR_NOT_PERM);
        return -1;
    }
    if (AVI_flush_buffer(file) != 0) return -1;
    // A spare of the old size is no use.
    file->spare_buffer.reset();
    if (size == 0) {
        file->write_buffer.reset();
        file->write_buffer_size = 0;
        return 0;
    }
    const size_t bytes = AVI_buffer_allocation(static_cast<size_t>(size));
    void* memory = nullptr;
    if (tv::sysio::may_allocate(bytes))
        memory = tv::platform::aligned_alloc(AVI_BUFFER_ALIGNMENT, bytes);
    if (!memory) {
        // The old buffer (empty now) stays in use.
        AVI_set_error(AVI_ERR_NO_MEM);
        return -1;
    }
    file->write_buffer.reset(static_cast<uint8_t*>(memory));
    file->write_buffer_size = static_cast<size_t>(size);
    return 0;
}

int AVI_flush(AviFile* file) {
    if (!file) return -1;
    return AVI_flush_buffer(file);
}

int AVI_set_write_behind(AviFile* file, int on) {
    if (!file) return -1;
    if (on != 0) {
        file->write_behind = true;
        return 0;
    }
    file->write_behind = false;
    const int result = AVI_wait_behind(file);
    file->spare_buffer.reset();
    return result;
}

int AVI_make_room(AviFile* file) {
    if (!file) return -1;
    return AVI_flush_behind(file);
}

int64_t AVI_chunks_in_file(const AviFile* file) {
    if (!file) return -1;
    return file->data_chunks - file->buffered_chunks;
}

uint8_t* AVI_chunk_space(AviFile* file, int32_t* room) {
    if (room) *room = 0;
    if (!file) return nullptr;
    // Chunk header before the data, pad byte after it.
    const size_t free = file->write_buffer_size - file->write_buffer_used;
    if (free < 8 + 1 + 1) return nullptr;
    if (room) *room = static_cast<int32_t>(std::min<size_t>(free - 9, INT32_MAX));
    return AVI_buffer_tail(file) + 8;
}
