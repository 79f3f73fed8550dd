// The AVI writer's calling interface: creating the file, describing the streams, handing over
// chunks and finishing (the close); plus the low-level write routines the other parts share.
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

int32_t AVI_get_last_error(void) {
    return AVI_last_error;
}

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
        int64_t r = tv::sysio::write(fd, bytes + done, length - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // a write that makes no progress would repeat forever
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t AVI_writev_all(int fd, tv::platform::Part* parts, int count) {
    int64_t done = 0;
    while (count > 0) {
        if (parts->size == 0) {
            ++parts;
            --count;
            continue;
        }
        int64_t r = tv::sysio::writev(fd, parts, count);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += r;
        auto left = static_cast<size_t>(r);
        while (count > 0 && left >= parts->size) {
            left -= parts->size;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->data = static_cast<uint8_t*>(parts->data) + left;
            parts->size -= left;
        }
    }
    return done;
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
    // The user's umask decides who may read and write it, as for any other program's file.
    int fd = tv::sysio::open(path, tv::platform::kReadWrite | tv::platform::kCreate);
    if (fd < 0) {
        AVI_set_error(AVI_ERR_OPEN);
        return nullptr;
    }
    // Emptied, so that an interrupted conversion never leaves new data followed by an old tail;
    // but only when there is something to empty: emptying a file makes ext4 write all of it
    // back when it is closed (its guard for files replaced by truncation), a second or more
    // per GiB. Devices cannot be emptied (EINVAL) and need not be.
    if (tv::sysio::lseek(fd, 0, SEEK_END) > 0 && tv::sysio::ftruncate(fd, 0) != 0 &&
        errno != EINVAL) {
        tv::sysio::close(fd);
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

int AVI_set_segment_size(AviFile* file, int64_t bytes) {
    if (!file) return -1;
    if (bytes == 0) bytes = AVI_SEGMENT_THRESHOLD;
    // The chunks in the file were placed by the size they came with.
    if (file->position > AVI_HEADER_SPACE || bytes < AVI_MIN_SEGMENT_SIZE ||
        bytes > AVI_SEGMENT_THRESHOLD) {
        AVI_set_error(AVI_ERR_NOT_PERM);
        return -1;
    }
    file->segment_threshold = bytes;
    return 0;
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

// The close: the last indexes, the final header, the file cut to its end and the "AVIX"
// segments' sizes.
int AVI_close_output_file(AviFile* file) {
    // Buffered chunks first; those that fail are taken back, and the file closes without them.
    int result = AVI_flush_buffer(file);
    AviSuperIndex* video = file->video_super_index.get();
    const bool odml = file->segment_switches > 0 && video;

    // The last segment's standard indexes.
    if (odml) {
        const uint32_t k = video->entry_count - 1;
        bool written = AVI_write_segment_index(file, *video, k, -1) == 0;
        for (size_t j = 0; j < file->tracks.size(); ++j) {
            AviSuperIndex* index = file->tracks[j].super_index.get();
            if (index)
                written &= AVI_write_segment_index(file, *index, k, static_cast<int>(j)) == 0;
        }
        if (!written) {
            AVI_set_error(AVI_ERR_WRITE_INDEX);
            result = -1;
        }
    }

    const int64_t movi_end = odml ? file->first_movi_end : file->position;
    bool indexed = true;
    if (!odml) {
        if (AVI_write_chunk(file, "idx1",
                            reinterpret_cast<const uint8_t*>(file->legacy_index.data()),
                            static_cast<uint32_t>(file->legacy_count) * 16u) != 0) {
            AVI_set_error(AVI_ERR_WRITE_INDEX);
            indexed = false;
            result = -1;
        }
    }
    const int64_t first_end = odml ? video->std_indexes[1].base_offset : file->position;
    if (!AVI_write_final_header(file, static_cast<uint32_t>(first_end - 8),
                                static_cast<uint32_t>(movi_end - 2044), indexed) ||
        tv::sysio::ftruncate(file->fd, file->position) != 0) {
        AVI_set_error(AVI_ERR_CLOSE);
        return -1;
    }

    if (odml) AVI_set_segment_sizes(file);
    return result;
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
