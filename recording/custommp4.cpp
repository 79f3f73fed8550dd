#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <span>

#include "common/bytes.h"
#include "common/log.h"
#include "common/sysio.h"
#include "recording/custommp4_internal.h"

namespace tv::mp4 {

const ObjectId kFilePropertiesId = {0x11, 0xD2, 0xD3, 0xAB, 0xBA, 0xA9, 0xCF, 0x11,
                                    0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const ObjectId kVideoPropertiesId = {0x41, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11,
                                     0xA3, 0xA4, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
const ObjectId kAudioPropertiesId = {0xE3, 0xCB, 0x1A, 0x4B, 0x0B, 0x10, 0xD0, 0x11,
                                     0xA3, 0x9B, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
const ObjectId kMdatId = {0x20, 0xDB, 0xFE, 0x4C, 0xF6, 0x75, 0xCF, 0x11,
                          0x9C, 0x0F, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
const ObjectId kSegmentId = {0x74, 0xD4, 0x06, 0x18, 0xDF, 0xCA, 0x09, 0x45,
                             0xA4, 0xBA, 0x9A, 0xAB, 0xCB, 0x96, 0xAA, 0xE8};

namespace {

// Enough sect table entries for ordinary recordings; more are added as segments are read, so
// a hostile segment count costs nothing until the file really holds those segments.
constexpr std::size_t kSectTableReserve = 256;

ObjectId load_id(std::span<const uint8_t> bytes) {
    ObjectId id{};
    std::copy_n(bytes.begin(), id.size(), id.begin());
    return id;
}

long long as_ll(int64_t v) {
    return static_cast<long long>(v);
}

void note_system_error(custommp4_handle* h, int error) {
    if (h->system_error == 0) h->system_error = error != 0 ? error : EIO;
}

// Makes room for `entries` entries of `entry_size` bytes in a table that only grows.
bool grow_table(custommp4_handle* h, std::vector<uint8_t>& table, uint32_t& capacity,
                uint32_t entries, uint32_t entry_size) {
    if (capacity >= entries) return true;
    const std::size_t bytes = static_cast<std::size_t>(entries) * entry_size;
    if (!sysio::may_allocate(bytes)) {
        note_system_error(h, ENOMEM);
        return false;
    }
    try {
        table.resize(bytes);
    } catch (const std::bad_alloc&) {
        note_system_error(h, ENOMEM);
        return false;
    }
    capacity = entries;
    return true;
}

// The valid entries of an index area lie inside the file and their bytes fit one read.
bool index_area_fits(const custommp4_handle& h, int64_t area, uint32_t count, uint32_t entry_size) {
    if (count == 0) return true;
    const uint64_t bytes = static_cast<uint64_t>(count) * entry_size;
    if (bytes > std::numeric_limits<uint32_t>::max()) return false;
    return area >= 0 && static_cast<uint64_t>(area) + bytes <= static_cast<uint64_t>(h.file_size);
}

void print_close_error(int result) {
    const int err = errno;
    tv::logf("custommp4_destroy:fclose error=%d,errno=%d,errstr=%s\n", result, err,
             std::strerror(err));
}

}  // namespace

int64_t max_read_position(uint32_t length) {
    return std::numeric_limits<int64_t>::max() - length;
}

VideoIndexEntry video_entry(const custommp4_handle& h, uint32_t i) {
    std::span<const uint8_t> e(h.video_index_table.data() + std::size_t{i} * kVideoEntrySize,
                               kVideoEntrySize);
    VideoIndexEntry v;
    v.position = static_cast<int64_t>(h.base) + load_le32(e, 0);
    v.length = load_le32(e, 4);
    v.time_stamp = load_le32(e, 16);
    v.key_flag = e[20];
    return v;
}

AudioIndexEntry audio_entry(const custommp4_handle& h, uint32_t i) {
    std::span<const uint8_t> e(h.audio_index_table.data() + std::size_t{i} * kAudioEntrySize,
                               kAudioEntrySize);
    AudioIndexEntry a;
    a.position = static_cast<int64_t>(h.base) + load_le32(e, 0);
    a.time_stamp = load_le32(e, 16);
    return a;
}

int ReadFilePropertiesObject(custommp4_handle* h) {
    std::array<uint8_t, kFilePropertiesSize> raw{};
    if (!custommp4_read_data(h, raw.data(), raw.size())) {
        tv::logf("ReadFilePropertiesObject failed 1\n");
        return 0;
    }
    std::span<const uint8_t> b(raw);
    FilePropertiesObject& o = h->file_properties;
    o.object_id = load_id(b);
    o.object_size = load_le32(b, 16);
    std::copy_n(raw.begin() + 20, o.description.size(), o.description.begin());
    o.start_time = load_le32(b, 52);
    o.end_time = load_le32(b, 56);
    o.recording_length = load_le32(b, 60);
    o.video_flag = raw[64];
    o.audio_flag = raw[65];
    o.reserved = load_le16(b, 66);
    if (o.object_id != kFilePropertiesId) {
        tv::logf("ReadFilePropertiesObject failed 2\n");
        return 0;
    }
    if (o.object_size != kFilePropertiesSize) {
        tv::logf("ReadFilePropertiesObject failed 3\n");
        return 0;
    }
    return 1;
}

int ReadVideoStreamPropertiesObject(custommp4_handle* h) {
    std::array<uint8_t, kVideoPropertiesSize> raw{};
    const bool read = custommp4_read_data(h, raw.data(), raw.size()) != 0;
    std::span<const uint8_t> b(raw);
    VideoStreamPropertiesObject& o = h->video_properties;
    o.object_id = load_id(b);
    o.object_size = load_le32(b, 16);
    o.time_scale = load_le32(b, 20);
    o.width = load_le16(b, 24);
    o.height = load_le16(b, 26);
    o.frame_rate = std::bit_cast<float>(load_le32(b, 28));
    o.unnamed_32 = load_le32(b, 32);
    o.compressor = load_le32(b, 36);
    o.unnamed_40 = load_le32(b, 40);
    o.unnamed_44 = load_le32(b, 44);
    o.unnamed_48 = load_le16(b, 48);
    o.reserved_50 = load_le16(b, 50);
    o.reserved_52 = load_le32(b, 52);
    if (!read || o.object_id != kVideoPropertiesId || o.object_size != kVideoPropertiesSize) {
        tv::logf("ReadVideoStreamPropertiesObject failed\n");
        return 0;
    }
    return 1;
}

int ReadAudioStreamPropertiesObject(custommp4_handle* h) {
    std::array<uint8_t, kAudioPropertiesSize> raw{};
    const bool read = custommp4_read_data(h, raw.data(), raw.size()) != 0;
    std::span<const uint8_t> b(raw);
    AudioStreamPropertiesObject& o = h->audio_properties;
    o.object_id = load_id(b);
    o.object_size = load_le32(b, 16);
    o.time_scale = load_le32(b, 20);
    o.channels = load_le16(b, 24);
    o.bits_per_sample = load_le16(b, 26);
    o.sample_rate = load_le32(b, 28);
    o.audio_format = load_le32(b, 32);
    o.frame_length = load_le32(b, 36);
    o.frame_duration = load_le32(b, 40);
    o.reserved = load_le32(b, 44);
    if (!read || o.object_id != kAudioPropertiesId || o.object_size != kAudioPropertiesSize) {
        tv::logf("ReadAudioStreamPropertiesObject failed\n");
        return 0;
    }
    return 1;
}

// A bad mdatObject is reported with the audio step's text: that is the established message,
// and logs or scripts may look for it.
int ReadmdatObject(custommp4_handle* h) {
    std::array<uint8_t, kMdatSize> raw{};
    const bool read = custommp4_read_data(h, raw.data(), raw.size()) != 0;
    std::span<const uint8_t> b(raw);
    mdatObject& o = h->mdat;
    o.object_id = load_id(b);
    o.object_size = load_le32(b, 16);
    o.segment_count = load_le32(b, 20);
    o.reserved = load_le32(b, 24);
    if (!read || o.object_id != kMdatId) {
        tv::logf("ReadAudioStreamPropertiesObject failed\n");
        return 0;
    }
    return 1;
}

int ReadmdatSegmentObject(custommp4_handle* h, uint32_t index) {
    SectTableEntry e;
    e.position = h->position;
    const long long number = static_cast<long long>(index) + 1;
    auto fail = [&](int cause) {
        tv::logf("ReadmdatSegmentObject%lld (offset:%lld) failed %d\n", number, as_ll(e.position),
                 cause);
        return 0;
    };

    std::array<uint8_t, kSegmentHeaderSize> raw{};
    if (!custommp4_read_data(h, raw.data(), raw.size())) return fail(1);
    std::span<const uint8_t> b(raw);
    if (load_id(b) != kSegmentId) return fail(2);
    const uint32_t size = load_le32(b, 16);
    if (size < kSegmentHeaderSize) return fail(3);
    e.start_time_stamp = load_le32(b, 20);
    e.end_time_stamp = load_le32(b, 24);
    e.video_frame_count = load_le32(b, 28);
    e.audio_frame_count = load_le32(b, 32);
    e.video_index_slots = load_le32(b, 36);
    e.audio_index_slots = load_le32(b, 40);

    // Counts that the segment cannot hold, or entries outside the file, mark it as damaged.
    // The totals stay below 2^31 so that callers may add them in a signed 32-bit value.
    const int64_t video_area = e.position + kSegmentHeaderSize;
    const int64_t audio_area =
        video_area + static_cast<int64_t>(e.video_index_slots) * kVideoEntrySize;
    const uint64_t totals = uint64_t{h->video_frame_total} + h->audio_frame_total +
                            e.video_frame_count + e.audio_frame_count;
    if (e.video_frame_count > e.video_index_slots || e.audio_frame_count > e.audio_index_slots ||
        !index_area_fits(*h, video_area, e.video_frame_count, kVideoEntrySize) ||
        !index_area_fits(*h, audio_area, e.audio_frame_count, kAudioEntrySize) ||
        totals > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return fail(4);
    }

    try {
        if (h->sect_table.size() <= index) h->sect_table.resize(std::size_t{index} + 1);
    } catch (const std::bad_alloc&) {
        note_system_error(h, ENOMEM);
        tv::logf("alloc memory for sect table failed\n");
        return 0;
    }
    h->sect_table[index] = e;
    h->position = e.position + size;
    h->video_frame_total += e.video_frame_count;
    h->audio_frame_total += e.audio_frame_count;
    return 1;
}

int ReadmdatIndexTable(custommp4_handle* h, uint32_t index) {
    // Entering the segment happens whatever follows: a segment whose index cannot be loaded
    // is passed over with nothing loaded, instead of leaving stale entries in reach.
    h->current_segment = index;
    h->video_cursor = 0;
    h->audio_cursor = 0;
    h->video_loaded = 0;
    h->audio_loaded = 0;
    if (index >= h->sect_table.size()) return 0;
    const SectTableEntry& e = h->sect_table[index];

    if (!grow_table(h, h->video_index_table, h->video_table_capacity, e.video_frame_count,
                    kVideoEntrySize)) {
        tv::logf("read video index table failed:realloc\n");
        return 0;
    }
    if (!grow_table(h, h->audio_index_table, h->audio_table_capacity, e.audio_frame_count,
                    kAudioEntrySize)) {
        tv::logf("read audio index table failed:realloc\n");
        return 0;
    }
    if (e.video_frame_count != 0) {
        h->position = e.position + kSegmentHeaderSize;
        if (!custommp4_read_data(h, h->video_index_table.data(),
                                 e.video_frame_count * kVideoEntrySize)) {
            tv::logf("read video index table failed:read\n");
            return 0;
        }
    }
    if (e.audio_frame_count != 0) {
        h->position = e.position + kSegmentHeaderSize +
                      static_cast<int64_t>(e.video_index_slots) * kVideoEntrySize;
        if (!custommp4_read_data(h, h->audio_index_table.data(),
                                 e.audio_frame_count * kAudioEntrySize)) {
            tv::logf("read audio index table failed:read\n");
            return 0;
        }
    }
    h->video_loaded = e.video_frame_count;
    h->audio_loaded = e.audio_frame_count;
    return 1;
}

namespace {

bool reserve_sect_table(custommp4_handle* h, std::size_t entries) {
    if (sysio::may_allocate(entries * sizeof(SectTableEntry))) {
        try {
            h->sect_table.reserve(entries);
            return true;
        } catch (const std::bad_alloc&) {
        }
    }
    note_system_error(h, ENOMEM);
    tv::logf("alloc memory for sect table failed\n");
    return false;
}

// A segment header that a search may resume at: its size covers its header and index tables
// and lies inside the file, and its counts fit its slots.
bool plausible_segment(const custommp4_handle& h, int64_t position, std::span<const uint8_t> b) {
    if (load_id(b) != kSegmentId) return false;
    const uint64_t size = load_le32(b, 16);
    const uint64_t video_slots = load_le32(b, 36);
    const uint64_t audio_slots = load_le32(b, 40);
    return size >=
               kSegmentHeaderSize + video_slots * kVideoEntrySize + audio_slots * kAudioEntrySize &&
           static_cast<uint64_t>(position) + size <= static_cast<uint64_t>(h.file_size) &&
           load_le32(b, 28) <= video_slots && load_le32(b, 32) <= audio_slots;
}

// Position of the first plausible segment header from `from` on; -1 for none (or when the
// file cannot be read, which the handle records).
int64_t find_segment(custommp4_handle* h, int64_t from) {
    constexpr int64_t kBlock = 64 * 1024;
    std::vector<uint8_t> block;
    try {
        block.resize(kBlock + kSegmentHeaderSize);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    for (int64_t at = from; at + kSegmentHeaderSize <= h->file_size; at += kBlock) {
        const auto n = static_cast<std::size_t>(
            std::min<int64_t>(static_cast<int64_t>(block.size()), h->file_size - at));
        h->position = at;
        if (!custommp4_read_data(h, block.data(), static_cast<uint32_t>(n))) return -1;
        for (std::size_t i = 0; i + kSegmentHeaderSize <= n; ++i) {
            const void* hit =
                std::memchr(block.data() + i, kSegmentId[0], n - kSegmentHeaderSize + 1 - i);
            if (hit == nullptr) break;
            i = static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - block.data());
            if (plausible_segment(*h, at + static_cast<int64_t>(i),
                                  std::span<const uint8_t>(block.data() + i, kSegmentHeaderSize)))
                return at + static_cast<int64_t>(i);
        }
    }
    return -1;
}

// Everything after the file is open and the position is at the base. False after the failing
// step's diagnostic; the caller destroys the handle.
bool read_recording(custommp4_handle* h) {
    if (!ReadFilePropertiesObject(h) || !ReadVideoStreamPropertiesObject(h) ||
        !ReadAudioStreamPropertiesObject(h) || !ReadmdatObject(h)) {
        return false;
    }
    const uint32_t announced = h->mdat.segment_count;
    if (announced == 0) return true;

    // Every segment needs at least its 48-byte header inside the file.
    const int64_t first = h->position;
    const int64_t room = h->file_size > first ? (h->file_size - first) / kSegmentHeaderSize : 0;
    const auto reserve = static_cast<std::size_t>(std::max<int64_t>(
        1, std::min<int64_t>({int64_t{announced}, room, int64_t{kSectTableReserve}})));
    if (!reserve_sect_table(h, reserve)) return false;

    uint32_t read = 0;
    while (read < announced) {
        if (h->sect_table.size() == h->sect_table.capacity()) {
            // Grows in steps, never past the segments that the file has room for.
            const std::size_t more = std::max<std::size_t>(
                h->sect_table.size() + 1, std::min<std::size_t>(h->sect_table.capacity() * 2,
                                                                static_cast<std::size_t>(room)));
            if (!reserve_sect_table(h, more)) return false;
        }
        const int64_t at = h->position;
        if (ReadmdatSegmentObject(h, read)) {
            ++read;
            continue;
        }
        // A failing disk or memory says nothing about where the recording goes on.
        if (h->system_error != 0) return false;
        // Damage ends the chain, not the recording: the segments after it are searched for.
        const int64_t resumed = find_segment(h, at + 1);
        if (h->system_error != 0) return false;
        if (resumed < 0) {
            if (read == 0) return false;
            break;
        }
        tv::logf("warning:segment %u damaged, resumed at position %llu\n", read + 1,
                 static_cast<unsigned long long>(resumed));
        h->position = resumed;
    }
    // The recording ends with the last good segment.
    h->announced_segments = announced;
    h->mdat.segment_count = read;
    h->sect_table.resize(read);

    const uint32_t video_capacity = std::min(h->video_frame_total, kVideoSlots);
    const uint32_t audio_capacity = std::min(h->audio_frame_total, kAudioSlots);
    if (!grow_table(h, h->video_index_table, h->video_table_capacity, video_capacity,
                    kVideoEntrySize)) {
        tv::logf("alloc memory for video table failed\n");
        return false;
    }
    if (!grow_table(h, h->audio_index_table, h->audio_table_capacity, audio_capacity,
                    kAudioEntrySize)) {
        tv::logf("alloc memory for audio table failed\n");
        return false;
    }
    if (!ReadmdatIndexTable(h, 0)) return false;

    FilePropertiesObject& fp = h->file_properties;
    if (fp.end_time == fp.start_time) {
        fp.end_time = fp.start_time + custommp4_get_duration(h) / 1000;
    }
    return true;
}

}  // namespace
}  // namespace tv::mp4

custommp4_handle::~custommp4_handle() {
    if (fd >= 0) tv::sysio::close(fd);
}

using namespace tv::mp4;

namespace {

// Releases a handle whose open failed; errno then tells the system's error, or 0 when the
// content was refused.
custommp4_handle* fail_open(custommp4_handle* h) {
    const int error = h->system_error;
    custommp4_destroy(h);
    errno = error;
    return nullptr;
}

}  // namespace

extern "C" {

custommp4_handle* custommp4_open(const char* path, uint32_t offset) {
    if (!tv::sysio::may_allocate(sizeof(custommp4_handle))) {
        errno = ENOMEM;
        return nullptr;
    }
    auto* h = new (std::nothrow) custommp4_handle;
    if (!h) {
        errno = ENOMEM;
        return nullptr;
    }

    // Looked at first: opening a FIFO would wait for a writer, and neither a FIFO nor a
    // directory or a terminal can be read at the offsets the index gives.
    h->fd = path && tv::sysio::check_seekable_file(path) == 0
                ? tv::sysio::open(path, tv::platform::kRead)
                : -1;
    if (h->fd < 0) {
        note_system_error(h, path ? errno : EINVAL);
        tv::logf("open file failed\n");
        return fail_open(h);
    }
    // The file's size bounds every index area that a segment may claim, and every read.
    const int64_t size = tv::sysio::file_size(h->fd);
    if (size < 0) {
        note_system_error(h, errno);
        tv::logf("open file failed\n");
        return fail_open(h);
    }
    h->file_size = size;
    // In whole pages, never more than the file holds; without it, every read goes to the system
    // by itself.
    const auto capacity = static_cast<std::size_t>(
        std::min<int64_t>(kReadBufferSize, size / kReadBufferAlignment * kReadBufferAlignment));
    if (capacity > 0 && tv::sysio::may_allocate(capacity)) {
        h->buffer.reset(
            static_cast<uint8_t*>(tv::platform::aligned_alloc(kReadBufferAlignment, capacity)));
        if (h->buffer) h->buffer_capacity = capacity;
    }
    h->base = offset;
    h->position = offset;

    if (!tv::mp4::read_recording(h)) return fail_open(h);
    return h;
}

int custommp4_destroy(custommp4_handle* h) {
    if (!h) return 1;
    if (h->fd >= 0) {
        const int fd = h->fd;
        h->fd = -1;
        const int result = tv::sysio::close(fd);
        if (result != 0) print_close_error(result);
    }
    delete h;
    return 1;
}

int custommp4_close(custommp4_handle* h) {
    return custommp4_destroy(h);
}

int custommp4_read_data(custommp4_handle* h, void* destination, uint32_t length) {
    if (!h || h->fd < 0 || (!destination && length != 0)) return 0;
    if (h->position < 0 || h->position > max_read_position(length)) {
        tv::logf("custommp4_read_data:file_pos=%lld\n", as_ll(h->position));
        return 0;
    }
    const int64_t at = h->position;
    h->position += length;
    return tv::mp4::read_bytes(h, at, static_cast<uint8_t*>(destination), length) ? 1 : 0;
}

int32_t custommp4_read_one_media_frame(custommp4_handle* h, uint8_t* buffer, int32_t buffer_length,
                                       uint32_t* time_stamp, uint8_t* key_flag, uint8_t* is_audio) {
    if (!h || !buffer) return -1;
    FrameRef frame;
    const int32_t found = next_frame(h, buffer_length, frame);
    if (found <= 0) return found;
    const int ok = read_frame(h, frame, buffer);
    if (is_audio) *is_audio = frame.is_audio;
    if (key_flag) *key_flag = frame.key_flag;
    if (time_stamp) *time_stamp = frame.time_stamp;
    return ok ? found : 0;
}

int custommp4_has_audio(const custommp4_handle* h) {
    return h && h->audio_frame_total != 0 ? 1 : 0;
}

uint32_t custommp4_get_duration(const custommp4_handle* h) {
    if (!h || h->mdat.segment_count == 0 || h->sect_table.size() < h->mdat.segment_count) return 0;
    return h->sect_table[h->mdat.segment_count - 1].end_time_stamp -
           h->sect_table[0].start_time_stamp;
}

uint32_t custommp4_get_video_frame_count(const custommp4_handle* h) {
    return h ? h->video_frame_total : 0;
}
uint32_t custommp4_get_audio_frame_count(const custommp4_handle* h) {
    return h ? h->audio_frame_total : 0;
}
uint16_t custommp4_get_width(const custommp4_handle* h) {
    return h ? h->video_properties.width : 0;
}
uint16_t custommp4_get_height(const custommp4_handle* h) {
    return h ? h->video_properties.height : 0;
}
uint16_t custommp4_get_audio_bits(const custommp4_handle* h) {
    return h ? h->audio_properties.bits_per_sample : 0;
}
uint32_t custommp4_get_audio_rate(const custommp4_handle* h) {
    return h ? h->audio_properties.sample_rate : 0;
}
uint32_t custommp4_get_audio_format(const custommp4_handle* h) {
    return h ? h->audio_properties.audio_format : 0;
}
uint32_t custommp4_get_audio_frame_length(const custommp4_handle* h) {
    return h ? h->audio_properties.frame_length : 0;
}
uint32_t custommp4_get_segment_count(const custommp4_handle* h) {
    return h ? h->mdat.segment_count : 0;
}
uint32_t custommp4_get_announced_segment_count(const custommp4_handle* h) {
    return h ? std::max(h->announced_segments, h->mdat.segment_count) : 0;
}
uint32_t custommp4_get_start_time(const custommp4_handle* h) {
    return h ? h->file_properties.start_time : 0;
}
uint32_t custommp4_get_end_time(const custommp4_handle* h) {
    return h ? h->file_properties.end_time : 0;
}
uint32_t custommp4_get_recording_length(const custommp4_handle* h) {
    return h ? h->file_properties.recording_length : 0;
}
float custommp4_get_stored_frame_rate(const custommp4_handle* h) {
    return h ? h->video_properties.frame_rate : 0.0f;
}
int custommp4_get_system_error(const custommp4_handle* h) {
    return h ? h->system_error : 0;
}

}  // extern "C"

namespace tv::mp4 {

int32_t next_frame(custommp4_handle* h, int32_t buffer_length, FrameRef& frame) {
    if (!h) return -1;
    for (;;) {
        if (h->current_segment >= h->mdat.segment_count) return 0;
        const bool video_left = h->video_cursor < h->video_loaded;
        const bool audio_left = h->audio_cursor < h->audio_loaded;
        if (!video_left && !audio_left) {
            // An empty segment is not the end: go on until a frame or the last segment.
            const uint32_t next = h->current_segment + 1;
            if (next >= h->mdat.segment_count) {
                h->current_segment = next;
                return 0;
            }
            if (!ReadmdatIndexTable(h, next)) {
                tv::logf("custommp4_read_one_media_frame:ReadmdatIndexTable error\n");
                return -1;
            }
            continue;
        }

        const int variant = video_left && audio_left ? 2 : 1;
        bool take_video = video_left;
        VideoIndexEntry v;
        AudioIndexEntry a;
        if (video_left) v = video_entry(*h, h->video_cursor);
        if (audio_left) a = audio_entry(*h, h->audio_cursor);
        if (video_left && audio_left) take_video = v.time_stamp <= a.time_stamp;

        // A refused entry is passed over, so the frames after it can still be read.
        if (take_video) {
            ++h->video_cursor;
            if (v.length == 0 || static_cast<int64_t>(v.length) > buffer_length) {
                tv::logf(
                    "warning:size error %d,frame offset:%lld,frame length:%lld,buffer length:%d\n",
                    variant, as_ll(v.position), static_cast<long long>(v.length), buffer_length);
                return -1;
            }
            frame = FrameRef{v.position, v.length, v.time_stamp, v.key_flag, 0};
            return static_cast<int32_t>(v.length);
        }

        ++h->audio_cursor;
        const uint32_t length = h->audio_properties.frame_length;
        if (length == 0 || static_cast<int64_t>(length) > buffer_length) {
            tv::logf(
                "warning:size error %d,sample offset:%lld,sample length:%lld,buffer length:%d\n",
                variant, as_ll(a.position), static_cast<long long>(length), buffer_length);
            return -1;
        }
        frame = FrameRef{a.position, length, a.time_stamp, 0, 1};
        return static_cast<int32_t>(length);
    }
}

int read_frame(custommp4_handle* h, const FrameRef& frame, uint8_t* buffer) {
    h->position = frame.position;
    if (custommp4_read_data(h, buffer, frame.length)) return 1;
    warn_read_error(frame);
    return 0;
}

void warn_read_error(const FrameRef& frame) {
    if (frame.is_audio) {
        tv::logf("warning:read error,sample offset:%lld,sample length:%lld\n",
                 as_ll(frame.position), static_cast<long long>(frame.length));
    } else {
        tv::logf("warning:read error,frame offset:%lld,frame length:%lld\n", as_ll(frame.position),
                 static_cast<long long>(frame.length));
    }
}

bool run_readable(const custommp4_handle* h, int64_t position, uint64_t length) {
    return h && h->fd >= 0 && position >= 0 && length <= std::numeric_limits<uint32_t>::max() &&
           position <= max_read_position(static_cast<uint32_t>(length));
}

int64_t read_run(custommp4_handle* h, int64_t position, std::span<tv::platform::Part> parts,
                 uint64_t needed) {
    uint64_t wanted = 0;
    for (const tv::platform::Part& part : parts) wanted += part.size;
    if (!run_readable(h, position, wanted)) return 0;
    needed = std::min(needed, wanted);
    int64_t done = 0;
    std::size_t first = 0;
    while (first < parts.size() && static_cast<uint64_t>(done) < needed) {
        errno = 0;
        // At most IOV_MAX parts a call; the caller keeps far fewer.
        const int count = static_cast<int>(std::min<std::size_t>(parts.size() - first, 1024));
        const int64_t r = tv::sysio::preadv(h->fd, &parts[first], count, position + done);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0) done += r;
        // A short read that names an error ends the run there (a failing disk is not asked
        // again); one that does not is continued, and at the file's end reads nothing.
        if (r <= 0 || errno != 0) {
            // Short of the size taken at open, the file's end does not explain it.
            if (static_cast<uint64_t>(done) < needed &&
                (r < 0 || errno != 0 || position + done < h->file_size)) {
                note_system_error(h, errno);
            }
            break;
        }
        auto left = static_cast<std::size_t>(r);
        while (first < parts.size() && left >= parts[first].size) {
            left -= parts[first].size;
            ++first;
        }
        if (left > 0) {
            parts[first].data = static_cast<uint8_t*>(parts[first].data) + left;
            parts[first].size -= left;
        }
    }
    return done;
}

bool read_bytes(custommp4_handle* h, int64_t at, uint8_t* destination, uint32_t length) {
    if (length == 0) return true;
    // The recording ends where the file ended at the open: nothing past it is asked for.
    const int64_t available = std::clamp<int64_t>(h->file_size - at, 0, length);
    if (available == 0) return false;
    const int64_t end = at + available;
    const int64_t page_offset = at % static_cast<int64_t>(kReadBufferAlignment);
    if (page_offset + available > static_cast<int64_t>(h->buffer_capacity)) {
        tv::platform::Part part = {destination, static_cast<std::size_t>(available)};
        const int64_t got = read_run(h, at, std::span<tv::platform::Part>(&part, 1));
        return got == length;
    }
    if (at < h->buffer_start || end > h->buffer_start + h->buffer_length) {
        // Refilled from the page of `at` with as much as the buffer takes; only the bytes asked
        // for must come, so a failure beyond them is met only if a later read needs its bytes.
        h->buffer_start = at - page_offset;
        const auto fill = static_cast<std::size_t>(std::min<int64_t>(
            static_cast<int64_t>(h->buffer_capacity), h->file_size - h->buffer_start));
        tv::platform::Part part = {h->buffer.get(), fill};
        h->buffer_length = read_run(h, h->buffer_start, std::span<tv::platform::Part>(&part, 1),
                                    static_cast<uint64_t>(end - h->buffer_start));
        if (end > h->buffer_start + h->buffer_length) return false;
    }
    std::memcpy(destination, h->buffer.get() + (at - h->buffer_start),
                static_cast<std::size_t>(available));
    return available == length;
}

}  // namespace tv::mp4
