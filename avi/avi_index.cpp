// Chunks and their indexes: the legacy "idx1" index of the first RIFF segment, the OpenDML
// standard and super indexes of every segment, and the switch to a new "AVIX" segment.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

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

AviStdIndex& current_slot(AviSuperIndex& index) {
    return index.std_indexes[index.entry_count - 1];
}

// Whether the chunk would carry the current segment, with the indexes that still have to be
// written into it, past the segment's end.
bool switch_due(const AviFile* file, uint32_t length) {
    AviSuperIndex& video = *file->video_super_index;
    const uint32_t n = video.entry_count;
    int64_t estimate = 8 * int64_t{current_slot(video).entry_count} + 32;
    if (n == 1) estimate += 16 * int64_t{file->legacy_count} + 2056;
    for (const AviTrack& track : file->tracks) {
        if (track.super_index) {
            estimate += 8 * int64_t{current_slot(*track.super_index).entry_count} + 32;
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
    static const uint8_t kSegmentHead[16] = {'A', 'V', 'I', 'X', 'L', 'I', 'S', 'T',
                                             0,   0,   0,   0,   'm', 'o', 'v', 'i'};
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
            tv::store_fourcc(at, tag);
            AVI_put_le32(at + 4, length);
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

namespace {

// Forgets a buffered chunk that did not reach the file: its index entries (the last ones of
// its stream, since it came after every chunk that stays) and what it added to the counts.
void take_back_chunk(AviFile* file, const uint8_t* chunk, uint32_t length) {
    if (chunk[2] == 'w') {
        AviTrack& track = file->tracks[static_cast<size_t>(chunk[1] - '1')];
        current_slot(*track.super_index).entry_count -= 1;
        track.byte_count -= length;
    } else {
        current_slot(*file->video_super_index).entry_count -= 1;
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
            void* memory = std::aligned_alloc(AVI_BUFFER_ALIGNMENT, bytes);
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

int AVI_legacy_index_add(AviFile* file, const char* tag, uint32_t flags, int64_t chunk_position,
                         uint32_t length) {
    if (file->legacy_count >= file->legacy_capacity) {
        const int64_t grown = int64_t{file->legacy_count} + AVI_INDEX_STEP;
        if (grown > INT32_MAX || !file->legacy_index.resize(static_cast<size_t>(grown))) {
            AVI_set_error(AVI_ERR_NO_MEM);
            return -1;
        }
        file->legacy_capacity = static_cast<int32_t>(grown);
    }
    uint8_t* entry = file->legacy_index.data()[file->legacy_count].bytes;
    tv::store_fourcc(entry, tag);
    AVI_put_le32(entry + 4, flags);
    AVI_put_le32(entry + 8, static_cast<uint32_t>(chunk_position));
    AVI_put_le32(entry + 12, length);
    file->legacy_count += 1;
    return 0;
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

    AviStdIndex& slot = current_slot(*index);
    if (AVI_std_index_append(file, &slot, file->position, length, key_frame) != 0) return -1;
    if (video) file->indexed_frame_count += 1;
    if (appended) *appended = &slot;
    return 0;
}

std::unique_ptr<AviSuperIndex> AVI_new_super_index(const char* chunk_id) {
    std::unique_ptr<AviSuperIndex> index;
    if (tv::sysio::may_allocate(sizeof(AviSuperIndex)))
        index.reset(new (std::nothrow) AviSuperIndex());
    if (!index) {
        AVI_set_error(AVI_ERR_NO_MEM);
        return nullptr;
    }
    std::memcpy(index->chunk_id, chunk_id, 4);
    for (size_t s = 0; s < index->std_indexes.size(); ++s) {
        index->std_indexes[s].base_offset = static_cast<int64_t>(s) * AVI_SEGMENT_THRESHOLD;
    }
    return index;
}

int AVI_start_std_index(AviStdIndex* slot, const char* name, const char* chunk_id) {
    slot->data.reset();
    if (!slot->data.resize(AVI_STD_INDEX_HEAD + 8 * size_t{AVI_INDEX_STEP})) {
        AVI_set_error(AVI_ERR_NO_MEM);
        return -1;
    }
    std::memcpy(slot->fourcc, name, 4);
    slot->capacity = AVI_INDEX_STEP;
    slot->longs_per_entry = 2;
    slot->index_sub_type = 0;
    slot->index_type = 1;
    slot->entry_count = 0;
    std::memcpy(slot->chunk_id, chunk_id, 4);
    return 0;
}

int AVI_std_index_append(AviFile* /*file*/, AviStdIndex* index, int64_t chunk_position,
                         uint32_t length, bool key_frame) {
    if (index->entry_count >= index->capacity) {
        const uint64_t grown = uint64_t{index->entry_count} + AVI_INDEX_STEP;
        if (grown > (UINT32_MAX - AVI_STD_INDEX_HEAD) / 8 ||
            !index->data.resize(AVI_STD_INDEX_HEAD + 8 * static_cast<size_t>(grown))) {
            AVI_set_error(AVI_ERR_NO_MEM);
            return -1;
        }
        index->capacity = static_cast<uint32_t>(grown);
    }
    uint8_t* entry = index->data.data() + AVI_STD_INDEX_HEAD + 8 * size_t{index->entry_count};
    // Offsets point at the chunk's data, relative to the segment's "RIFF".
    AVI_put_le32(entry, static_cast<uint32_t>(chunk_position - index->base_offset + 8));
    // The top bit marks a frame that is not a key frame, so players seek to key frames.
    AVI_put_le32(entry + 4, length | (key_frame ? 0u : AVI_NOT_KEY_FRAME));
    index->entry_count += 1;
    return 0;
}

int AVI_flush_std_index(AviFile* file, AviStdIndex* index, AviSuperIndexEntry* entry) {
    uint8_t head[AVI_STD_INDEX_HEAD] = {};
    // A slot that was never started holds no entries.
    const uint32_t entries = index->data.data() ? index->entry_count : 0;
    const uint32_t length = AVI_STD_INDEX_HEAD + 8 * entries;
    tv::store_le16(head, 2);
    head[2] = 0;
    head[3] = 1;
    AVI_put_le32(head + 4, entries);
    std::memcpy(head + 8, index->chunk_id, 4);
    tv::store_le64(head + 12, static_cast<uint64_t>(index->base_offset));
    if (entry) {
        entry->offset = file->position;
        entry->size = length;
    }
    int result;
    if (index->data.data()) {
        std::memcpy(index->data.data(), head, sizeof head);
        result = AVI_write_chunk(file, index->fourcc, index->data.data(), length);
    } else {
        result = AVI_write_chunk(file, index->fourcc, head, length);
    }
    // An index that did not reach the file must not be listed in the super index.
    if (result != 0 && entry) *entry = AviSuperIndexEntry{};
    return result;
}

int AVI_write_segment_index(AviFile* file, AviSuperIndex& index, uint32_t slot, int track) {
    AviStdIndex& std_index = index.std_indexes[slot];
    AviSuperIndexEntry& entry = index.entries[slot];
    const int result = AVI_flush_std_index(file, &std_index, &entry);
    if (result == 0) {
        // An index without entries lasts 0, not a wrapped "-1".
        __int128 duration = std_index.entry_count > 0 ? std_index.entry_count - 1 : 0;
        if (track >= 0) {
            const AviTrack& t = file->tracks[static_cast<size_t>(track)];
            // PCM scales the count by the track's bit rate / 800; 128 bits keep absurd
            // descriptions from overflowing.
            if (t.format_tag == 1) {
                duration *= __int128{t.channels} * t.bits_per_sample * t.sample_rate / 800;
            }
        }
        entry.duration = static_cast<uint32_t>(static_cast<unsigned __int128>(duration));
    }
    // The entries are in the file now (or lost with the failed write): free them, so that
    // memory is bounded by one segment's chunks, however long the file.
    std_index.data.reset();
    std_index.capacity = 0;
    return result;
}
