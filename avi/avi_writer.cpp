// The AVI writer's calling interface: creating the file, describing the streams, handing over
// chunks and finishing; plus the low-level write routines the other parts share.
#include <fcntl.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "avi/avi_internal.h"
#include "common/bytes.h"
#include "common/sysio.h"

TORVANE_THREAD_LOCAL int32_t AVI_last_error = AVI_ERR_NONE;

const char* const AVI_error_messages[15] = {
    "aviwriter - No Error",
    "aviwriter - AVI file size limit reached",
    "aviwriter - Error opening AVI file",
    "aviwriter - Error reading from AVI file",
    "aviwriter - Error writing to AVI file",
    "aviwriter - Error writing index (file may still be useable)",
    "aviwriter - Error closing AVI file",
    "aviwriter - Operation (read/write) not permitted",
    "aviwriter - Out of memory (malloc failed)",
    "aviwriter - Not an AVI file",
    "aviwriter - AVI file has no header list (corrupted?)",
    "aviwriter - AVI file has no MOVI list (corrupted?)",
    "aviwriter - AVI file has no video data",
    "aviwriter - operation needs an index",
    "aviwriter - Unkown Error",
};

void AVI_set_error(int32_t code) {
    AVI_last_error = code;
}

void AVI_put_le32(uint8_t* destination, uint32_t value) {
    tv::store_le32(destination, value);
}

int32_t AVI_block_size(const AviFile* file, int track) {
    const AviTrack& t = file->tracks[static_cast<size_t>(track)];
    // 64-bit: absurd descriptions must not overflow; the result is a 32-bit field anyway.
    int64_t size = (int64_t{t.bits_per_sample} + 7) / 8 * int64_t{t.channels};
    return size == 0 ? 1 : static_cast<int32_t>(size);
}

int64_t AVI_write_all(int fd, const void* buffer, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t r = tv::sysio::write(fd, bytes + done, length - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // a write that makes no progress would repeat forever
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t AVI_writev_all(int fd, struct iovec* parts, int count) {
    int64_t done = 0;
    while (count > 0) {
        if (parts->iov_len == 0) {
            ++parts;
            --count;
            continue;
        }
        ssize_t r = tv::sysio::writev(fd, parts, count);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += r;
        auto left = static_cast<size_t>(r);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return done;
}

int AVI_write_chunk(AviFile* file, const char* tag, const uint8_t* data, uint32_t length) {
    if (!file->offset_in_sync) {
        if (tv::sysio::lseek(file->fd, file->position, SEEK_SET) != file->position) {
            AVI_set_error(AVI_ERR_WRITE);
            return -1;
        }
        file->offset_in_sync = true;
    }
    std::array<uint8_t, 8> header;
    tv::store_fourcc(header.data(), tag);
    AVI_put_le32(header.data() + 4, length);
    static const uint8_t pad = 0;
    // One system call for header, data and pad.
    std::array<iovec, 3> parts = {{
        {header.data(), header.size()},
        {const_cast<uint8_t*>(data), length},
        {const_cast<uint8_t*>(&pad), length & 1u},
    }};
    const int64_t total = 8 + int64_t{length} + (length & 1u);
    if (AVI_writev_all(file->fd, parts.data(), static_cast<int>(parts.size())) == total) {
        file->position += total;
        return 0;
    }
    // Put the descriptor back so that the next chunk overwrites the broken one.
    if (tv::sysio::lseek(file->fd, file->position, SEEK_SET) != file->position) {
        file->offset_in_sync = false;
    }
    AVI_set_error(AVI_ERR_WRITE);
    return -1;
}

AviFile* AVI_create_output(const char* path) {
    std::unique_ptr<AviFile> file;
    if (tv::sysio::may_allocate(sizeof(AviFile))) file.reset(new (std::nothrow) AviFile());
    if (!file) {
        AVI_set_error(AVI_ERR_NO_MEM);
        return nullptr;
    }
    if (!path) {
        AVI_set_error(AVI_ERR_OPEN);
        return nullptr;
    }
    // Truncated: an interrupted conversion must not leave new data followed by an old tail.
    int fd = tv::sysio::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0604);
    if (fd < 0) {
        AVI_set_error(AVI_ERR_OPEN);
        return nullptr;
    }
    file->fd = fd;
    file->position = AVI_HEADER_SPACE;
    file->track_count = 0;
    file->current_track = 0;
    // The header space starts as a valid header already (no streams described yet): a
    // conversion killed before its first description still leaves a file that players open.
    if (AVI_write_provisional_header(file.get()) != 0) {
        tv::sysio::close(fd);
        AVI_set_error(AVI_ERR_WRITE);
        return nullptr;
    }
    return file.release();
}

int AVI_describe_video(AviFile* file, int32_t width, int32_t height, double fps,
                       const char* compressor) {
    if (!file) return -1;
    file->width = width;
    file->height = height;
    file->fps = fps;
    std::memset(file->compressor, 0, sizeof file->compressor);
    // "RGB..." means uncompressed: compressor code zero. A short text is not read past its end.
    if (compressor && std::strncmp(compressor, "RGB", 3) != 0) {
        for (int i = 0; i < 4 && compressor[i] != '\0'; ++i) file->compressor[i] = compressor[i];
    }
    return AVI_write_provisional_header(file);
}

int AVI_describe_audio(AviFile* file, int32_t channels, int32_t sample_rate,
                       int32_t bits_per_sample, int32_t format_tag, int32_t bitrate_kbps) {
    if (!file) return -1;
    file->current_track = file->track_count;
    file->track_count += 1;
    if (file->track_count > AVI_TRACK_LIMIT) {
        std::fprintf(stderr, "error - only %d audio tracks supported\n", AVI_TRACK_LIMIT);
        std::exit(1);
    }
    AviTrack& track = file->tracks[static_cast<size_t>(file->current_track)];
    track.channels = channels;
    track.sample_rate = sample_rate;
    track.bits_per_sample = bits_per_sample;
    track.format_tag = format_tag;
    track.bitrate_kbps = bitrate_kbps;
    return AVI_write_provisional_header(file);
}

namespace {

// A negative length, or bytes promised from nowhere, cannot be written.
bool chunk_is_valid(const uint8_t* data, int32_t length) {
    return length >= 0 && (data != nullptr || length == 0);
}

}  // namespace

int AVI_put_video_frame(AviFile* file, const uint8_t* data, int32_t length, int32_t key_flag) {
    if (!file) return -1;
    if (!chunk_is_valid(data, length)) {
        AVI_set_error(AVI_ERR_WRITE);
        return -1;
    }
    if (AVI_put_chunk(file, data, static_cast<uint32_t>(length), false, key_flag) != 0) return -1;
    file->video_frame_count += 1;
    return 0;
}

int AVI_put_audio(AviFile* file, const uint8_t* data, int32_t length) {
    if (!file) return -1;
    if (!chunk_is_valid(data, length)) {
        AVI_set_error(AVI_ERR_WRITE);
        return -1;
    }
    if (AVI_put_chunk(file, data, static_cast<uint32_t>(length), true, 0) != 0) return -1;
    file->tracks[static_cast<size_t>(file->current_track)].byte_count += length;
    return 0;
}

int AVI_finish(AviFile* file) {
    if (!file) return -1;
    std::unique_ptr<AviFile> owned(file);
    int result = AVI_close_output_file(file);
    // A failing close can be the first sign of lost data (delayed write errors).
    if (tv::sysio::close(file->fd) != 0 && result == 0) {
        AVI_set_error(AVI_ERR_CLOSE);
        result = -1;
    }
    return result;
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
    if (tv::sysio::may_allocate(bytes)) memory = std::aligned_alloc(AVI_BUFFER_ALIGNMENT, bytes);
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
