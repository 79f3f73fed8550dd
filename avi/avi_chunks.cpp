// Data chunks in the file's order and the RIFF segments they fill: a chunk's way into the
// buffer or straight to the file with its index entries, the switch to a new "AVIX" segment
// when the current one is full, and the segments' sizes at the close.
#include <array>
#include <cstdio>
#include <cstring>

#include "avi/avi_internal.h"
#include "common/bytes.h"
#include "common/sysio.h"

namespace {

constexpr uint32_t kLegacyKeyFlag = 0x10;

// Track numbers in tags run from 1 to 8 (AVI_TRACK_LIMIT): one digit.
char track_digit(int track) {
    return static_cast<char>('1' + track);
}

// "0#wb", the tag of the chunks of track index `track` (counted from 0).
void track_tag(int track, char (&out)[5]) {
    const char tag[5] = {'0', track_digit(track), 'w', 'b', '\0'};
    std::memcpy(out, tag, sizeof tag);
}

// "ix0#", the chunk name of a track's standard indexes.
void track_index_name(int track, char (&out)[5]) {
    const char name[5] = {'i', 'x', '0', track_digit(track), '\0'};
    std::memcpy(out, name, sizeof name);
}

// Whether the chunk would carry the current segment, with the indexes that still have to be
// written into it, past the segment's end.
bool switch_due(const AviFile* file, uint32_t length) {
    AviSuperIndex& video = *file->video_super_index;
    const uint32_t n = video.entry_count;
    int64_t estimate = 8 * int64_t{AVI_current_slot(video).entry_count} + 32;
    if (n == 1) estimate += 16 * int64_t{file->legacy_count} + 2056;
    for (const AviTrack& track : file->tracks) {
        if (track.super_index) {
            estimate += 8 * int64_t{AVI_current_slot(*track.super_index).entry_count} + 32;
        }
    }
    const int64_t chunk = int64_t{length} + (length & 1u) + 8;
    return file->position + estimate + chunk > int64_t{n} * file->segment_threshold;
}

// Ends segment n - 1 and opens segment n.
int switch_segment(AviFile* file) {
    AviSuperIndex& video = *file->video_super_index;
    const uint32_t n = video.entry_count;
    if (n >= AVI_MAX_SEGMENTS) {
        std::fputs("Internal error in aviwriter - redefine AVI_MAX_SEGMENTS", stderr);
        return -1;
    }
    // The switch writes out of the chunk stream's order: buffered chunks go first.
    if (AVI_flush_buffer(file) != 0) return -1;
    // Every new slot is reserved before anything changes: running out of memory here leaves
    // the file as it was, and the chunk can be tried again.
    if (AVI_start_std_index(&video.std_indexes[n], "ix00", "00db") != 0) return -1;
    for (size_t j = 0; j < file->tracks.size(); ++j) {
        AviSuperIndex* index = file->tracks[j].super_index.get();
        if (!index) continue;
        char name[5];
        char tag[5];
        track_index_name(static_cast<int>(j), name);
        track_tag(static_cast<int>(j), tag);
        if (AVI_start_std_index(&index->std_indexes[n], name, tag) != 0) {
            video.std_indexes[n].data.reset();
            for (size_t i = 0; i < j; ++i) {
                if (file->tracks[i].super_index)
                    file->tracks[i].super_index->std_indexes[n].data.reset();
            }
            return -1;
        }
    }
    video.entry_count = n + 1;
    for (AviTrack& track : file->tracks) {
        if (track.super_index) track.super_index->entry_count = n + 1;
    }

    // Segment n - 1 ends with its standard indexes, the first one also with "idx1". A failed
    // write here does not fail the chunk; the failed index is just not listed.
    AVI_write_segment_index(file, video, n - 1, -1);
    for (size_t j = 0; j < file->tracks.size(); ++j) {
        AviSuperIndex* index = file->tracks[j].super_index.get();
        if (index) AVI_write_segment_index(file, *index, n - 1, static_cast<int>(j));
    }
    if (n == 1) {
        file->first_movi_end = file->position;
        AVI_write_chunk(file, "idx1", reinterpret_cast<const uint8_t*>(file->legacy_index.data()),
                        static_cast<uint32_t>(file->legacy_count) * 16u);
        // Only the first segment has a legacy index; its memory is not needed any more.
        file->legacy_index.reset();
        file->legacy_capacity = 0;
    }
    // "RIFF" and fileSize are the chunk's header.
    static const uint8_t kSegmentHead[16] = {
        'A', 'V', 'I', 'X',  // fileType
        'L', 'I', 'S', 'T',  // "LIST"
        0,   0,   0,   0,    // listSize
        'm', 'o', 'v', 'i',  // listType
    };
    const bool written = AVI_write_chunk(file, "RIFF", kSegmentHead, sizeof kSegmentHead) == 0;
    // Sizes are set at close. Without its header the segment's chunks still sit at the
    // positions its indexes give; only the size correction must not write into other data.
    const int64_t base = file->position - 24;
    video.std_indexes[n].base_offset = base;
    for (AviTrack& track : file->tracks) {
        if (track.super_index) track.super_index->std_indexes[n].base_offset = base;
    }
    file->segment_header_written[n] = written;
    file->segment_switches += 1;
    return 0;
}

}  // namespace

int AVI_write_chunk(AviFile* file, const char* tag, const uint8_t* data, uint32_t length) {
    if (!file->offset_in_sync) {
        if (tv::sysio::lseek(file->fd, file->position, SEEK_SET) != file->position) {
            AVI_set_error(AVI_ERR_WRITE);
            return -1;
        }
        file->offset_in_sync = true;
    }
    std::array<uint8_t, 8> header;
    tv::store_fourcc(header.data(), tag);     // ckID
    AVI_put_le32(header.data() + 4, length);  // ckSize
    static const uint8_t pad = 0;
    // One system call for header, data and pad.
    std::array<tv::platform::Part, 3> parts = {{
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

int AVI_segment_index_add(AviFile* file, const char* tag, uint32_t length, bool key_frame,
                          AviStdIndex** appended) {
    if (appended) *appended = nullptr;
    const bool video = std::memchr(tag, 'w', 4) == nullptr;
    AviSuperIndex* index = nullptr;
    if (video) {
        if (!file->video_super_index) {
            auto made = AVI_new_super_index("00db");
            if (!made) return -1;
            made->entry_count = 1;
            if (AVI_start_std_index(&made->std_indexes[0], "ix00", "00db") != 0) return -1;
            file->video_super_index = std::move(made);
        }
        index = file->video_super_index.get();
    } else {
        AviTrack& track = file->tracks[static_cast<size_t>(file->current_track)];
        if (!track.super_index) {
            auto made = AVI_new_super_index(tag);
            if (!made) return -1;
            // A track that starts after a switch joins the current segment: its slots of the
            // earlier segments stay empty and are never written.
            uint32_t segments = 1;
            if (const AviSuperIndex* v = file->video_super_index.get()) {
                segments = v->entry_count;
                for (uint32_t s = 0; s < segments; ++s) {
                    made->std_indexes[s].base_offset = v->std_indexes[s].base_offset;
                }
            }
            made->entry_count = segments;
            char name[5];
            track_index_name(file->current_track, name);
            if (AVI_start_std_index(&made->std_indexes[segments - 1], name, tag) != 0) return -1;
            track.super_index = std::move(made);
        }
        index = track.super_index.get();
    }

    // Audio before the first video chunk never switches.
    if (file->video_super_index && switch_due(file, length)) {
        if (switch_segment(file) != 0) return -1;
    }

    AviStdIndex& slot = AVI_current_slot(*index);
    if (AVI_std_index_append(file, &slot, file->position, length, key_frame) != 0) return -1;
    if (video) file->indexed_frame_count += 1;
    if (appended) *appended = &slot;
    return 0;
}

int AVI_put_chunk(AviFile* file, const uint8_t* data, uint32_t length, bool is_audio,
                  int32_t key_flag) {
    const size_t total = 8 + size_t{length} + (length & 1u);
    // A chunk that does not fit behind the buffered ones writes them first (or behind). When
    // that fails, this chunk fails before any index knows of it.
    if (file->write_buffer_used > 0 && total > file->write_buffer_size - file->write_buffer_used) {
        if (AVI_flush_behind(file) != 0) return -1;
    }
    // One that goes straight to the file waits for the chunks before it.
    if (total > file->write_buffer_size - file->write_buffer_used && AVI_wait_behind(file) != 0) {
        return -1;
    }
    char tag[5] = "00db";
    uint32_t flags = key_flag != 0 ? kLegacyKeyFlag : 0;
    if (is_audio) {
        track_tag(file->current_track, tag);
        flags = kLegacyKeyFlag;
    }
    AviStdIndex* appended = nullptr;
    bool legacy_added = false;
    int result = AVI_segment_index_add(file, tag, length, flags != 0, &appended);
    // A chunk that itself caused the first switch lies in the second segment: no "idx1" entry.
    if (result == 0 && file->segment_switches == 0) {
        result = AVI_legacy_index_add(file, tag, flags, file->position, length);
        legacy_added = result == 0;
    }
    if (result == 0) {
        if (total <= file->write_buffer_size - file->write_buffer_used) {
            uint8_t* at = AVI_buffer_tail(file);
            // Data built in the buffer's free space is in place already. When a switch moved
            // the buffer's end, it may overlap its new place, header included: data first.
            if (length > 0 && data != at + 8) std::memmove(at + 8, data, length);
            tv::store_fourcc(at, tag);     // ckID
            AVI_put_le32(at + 4, length);  // ckSize
            if (length & 1u) at[8 + length] = 0;
            file->write_buffer_used += total;
            file->position += static_cast<int64_t>(total);
            file->data_chunks += 1;
            file->buffered_chunks += 1;
            return 0;
        }
        // Unbuffered, or larger than the buffer (which is empty by now): straight to the file.
        if (AVI_write_chunk(file, tag, data, length) == 0) {
            file->data_chunks += 1;
            return 0;
        }
    }
    // The chunk is not in the file, so no index may point at it: the next chunk takes its place.
    if (appended) {
        appended->entry_count -= 1;
        if (!is_audio) file->indexed_frame_count -= 1;
    }
    if (legacy_added) file->legacy_count -= 1;
    return -1;
}

void AVI_set_segment_sizes(AviFile* file) {
    const AviSuperIndex* video = file->video_super_index.get();
    // Each "AVIX" segment reaches to the next one's "RIFF", the last one to the file's end.
    for (int32_t i = 1; i <= file->segment_switches; ++i) {
        if (!file->segment_header_written[static_cast<size_t>(i)]) continue;
        const int64_t begin = video->std_indexes[static_cast<size_t>(i)].base_offset;
        const int64_t end = i < file->segment_switches
                                ? video->std_indexes[static_cast<size_t>(i) + 1].base_offset
                                : file->position;
        uint8_t size[4];
        AVI_put_le32(size, static_cast<uint32_t>(end - begin - 8));  // RIFF fileSize
        tv::sysio::lseek(file->fd, begin + 4, SEEK_SET);
        AVI_write_all(file->fd, size, 4);
        AVI_put_le32(size, static_cast<uint32_t>(end - begin - 20));  // "movi" listSize
        tv::sysio::lseek(file->fd, 8, SEEK_CUR);
        AVI_write_all(file->fd, size, 4);
    }
}
