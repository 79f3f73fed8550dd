// The indexes: the legacy "idx1" index of the first RIFF segment, and the OpenDML standard
// indexes ("ix##") of every segment with their entries in the streams' super indexes.
#include <cstring>
#include <new>

#include "avi/avi_internal.h"
#include "common/bytes.h"
#include "common/sysio.h"

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
    tv::store_fourcc(entry, tag);                                    // ckid
    AVI_put_le32(entry + 4, flags);                                  // dwFlags
    AVI_put_le32(entry + 8, static_cast<uint32_t>(chunk_position));  // dwChunkOffset
    AVI_put_le32(entry + 12, length);                                // dwChunkLength
    file->legacy_count += 1;
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
    const auto offset = static_cast<uint32_t>(chunk_position - index->base_offset + 8);
    AVI_put_le32(entry, offset);  // dwOffset
    // The top bit marks a frame that is not a key frame, so players seek to key frames.
    AVI_put_le32(entry + 4, length | (key_frame ? 0u : AVI_NOT_KEY_FRAME));  // dwSize
    index->entry_count += 1;
    return 0;
}

int AVI_flush_std_index(AviFile* file, AviStdIndex* index, AviSuperIndexEntry* entry) {
    uint8_t head[AVI_STD_INDEX_HEAD] = {};
    // A slot that was never started holds no entries.
    const uint32_t entries = index->data.data() ? index->entry_count : 0;
    const uint32_t length = AVI_STD_INDEX_HEAD + 8 * entries;
    tv::store_le16(head, 2);                                               // wLongsPerEntry
    head[2] = 0;                                                           // bIndexSubType
    head[3] = 1;                                                           // bIndexType
    AVI_put_le32(head + 4, entries);                                       // nEntriesInUse
    std::memcpy(head + 8, index->chunk_id, 4);                             // dwChunkId
    tv::store_le64(head + 12, static_cast<uint64_t>(index->base_offset));  // qwBaseOffset
    // head + 20: dwReserved3, zero
    if (entry) {
        entry->offset = file->position;
        entry->size = length;
    }
    int result;
    if (index->data.data()) {
        std::memcpy(index->data.data(), head, sizeof head);
        result = AVI_write_chunk(file, index->fourcc, index->data.data(), length);  // fcc, cb
    } else {
        result = AVI_write_chunk(file, index->fourcc, head, length);  // fcc, cb
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
        // The index's span in the stream's own units, so that the entries add up to the
        // stream's length: frames for video, samples (blocks) for audio.
        const uint32_t entries = std_index.data.data() ? std_index.entry_count : 0;
        if (track < 0) {
            entry.duration = entries;
        } else {
            uint64_t bytes = 0;
            for (uint32_t i = 0; i < entries; ++i)
                bytes += AVI_std_index_entry_size(std_index, i) & ~AVI_NOT_KEY_FRAME;
            // The header's block align; an absurd description counts bytes.
            const int32_t block = AVI_block_size(file, track);
            entry.duration =
                static_cast<uint32_t>(bytes / static_cast<uint64_t>(block > 0 ? block : 1));
        }
    }
    // The entries are in the file now (or lost with the failed write): free them, so that
    // memory is bounded by one segment's chunks, however long the file.
    std_index.data.reset();
    std_index.capacity = 0;
    return result;
}
