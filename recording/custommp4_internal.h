// Inside of the custommp4 reader: the handle, the header objects as they are kept in memory,
// and the steps of the open, reachable from tests through the static core.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "common/platform.h"
#include "torvane/custommp4.h"

namespace tv::mp4 {

using ObjectId = std::array<uint8_t, 16>;

// Sizes of the four header objects and of the structures that follow them.
inline constexpr uint32_t kFilePropertiesSize = 68;
inline constexpr uint32_t kVideoPropertiesSize = 56;
inline constexpr uint32_t kAudioPropertiesSize = 48;
inline constexpr uint32_t kMdatSize = 28;
inline constexpr uint32_t kSegmentHeaderSize = 48;
inline constexpr uint32_t kVideoEntrySize = 28;
inline constexpr uint32_t kAudioEntrySize = 24;
// Where the first segment begins, counted from the base.
inline constexpr uint32_t kFirstSegmentOffset =
    kFilePropertiesSize + kVideoPropertiesSize + kAudioPropertiesSize + kMdatSize;
// Slots that the stream flags of the file properties stand for; the first index tables are
// allocated no larger than this.
inline constexpr uint32_t kVideoSlots = 3000;
inline constexpr uint32_t kAudioSlots = 4000;
// The reader's own buffer for small reads (header objects, segment headers, index tables,
// frames read one by one): large enough that they take few system calls, small enough that a
// jump elsewhere does not read much in vain. It is page-aligned, like the file positions it is
// filled from, so that the system copies aligned blocks. Larger reads bypass it.
inline constexpr std::size_t kReadBufferSize = 256 * 1024;
inline constexpr std::size_t kReadBufferAlignment = 4096;

extern const ObjectId kFilePropertiesId;
extern const ObjectId kVideoPropertiesId;
extern const ObjectId kAudioPropertiesId;
extern const ObjectId kMdatId;
extern const ObjectId kSegmentId;

struct FilePropertiesObject {
    ObjectId object_id{};
    uint32_t object_size = 0;
    std::array<uint8_t, 32> description{};
    uint32_t start_time = 0;  // seconds since 1970
    uint32_t end_time = 0;    // equal to start_time when the recorder did not set it
    uint32_t recording_length = 0;
    uint8_t video_flag = 0;
    uint8_t audio_flag = 0;
    uint16_t reserved = 0;
};

struct VideoStreamPropertiesObject {
    ObjectId object_id{};
    uint32_t object_size = 0;
    uint32_t time_scale = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    float frame_rate = 0;
    uint32_t unnamed_32 = 0;
    uint32_t compressor = 0;  // fourcc, first character in the lowest byte
    uint32_t unnamed_40 = 0;
    uint32_t unnamed_44 = 0;
    uint16_t unnamed_48 = 0;
    uint16_t reserved_50 = 0;
    uint32_t reserved_52 = 0;
};

struct AudioStreamPropertiesObject {
    ObjectId object_id{};
    uint32_t object_size = 0;
    uint32_t time_scale = 0;
    uint16_t channels = 0;
    uint16_t bits_per_sample = 0;
    uint32_t sample_rate = 0;
    uint32_t audio_format = 0;  // fourcc, first character in the lowest byte
    uint32_t frame_length = 0;  // every audio frame has this length
    uint32_t frame_duration = 0;
    uint32_t reserved = 0;
};

struct mdatObject {
    ObjectId object_id{};
    uint32_t object_size = 0;
    uint32_t segment_count = 0;  // after the open: the segments in the sect table
    uint32_t reserved = 0;
};

struct SectTableEntry {
    int64_t position = 0;  // file position of the segment header
    uint32_t start_time_stamp = 0;
    uint32_t end_time_stamp = 0;
    uint32_t video_frame_count = 0;
    uint32_t audio_frame_count = 0;
    uint32_t video_index_slots = 0;
    uint32_t audio_index_slots = 0;
};

// One index entry as the frame reader sees it: `position` is base + stored offset, a file
// position (it may exceed 32 bits).
struct VideoIndexEntry {
    int64_t position = 0;
    uint32_t length = 0;
    uint32_t time_stamp = 0;
    uint8_t key_flag = 0;
};
struct AudioIndexEntry {
    int64_t position = 0;
    uint32_t time_stamp = 0;
};

// A frame as the index gives it, before its bytes are read.
struct FrameRef {
    int64_t position = 0;
    uint32_t length = 0;
    uint32_t time_stamp = 0;
    uint8_t key_flag = 0;
    uint8_t is_audio = 0;
};

}  // namespace tv::mp4

struct custommp4_handle {
    custommp4_handle() = default;
    custommp4_handle(const custommp4_handle&) = delete;
    custommp4_handle& operator=(const custommp4_handle&) = delete;
    // Closes a file that custommp4_destroy did not close (only on paths that never opened one
    // fully); custommp4_destroy closes it itself to report the result.
    ~custommp4_handle();

    // Every read is a positional one on this descriptor: there is no shared file position.
    int fd = -1;
    uint32_t base = 0;
    int64_t position = 0;   // logical file position of the next custommp4_read_data
    int64_t file_size = 0;  // taken once at open; bounds every index area
    tv::mp4::FilePropertiesObject file_properties;
    tv::mp4::VideoStreamPropertiesObject video_properties;
    tv::mp4::AudioStreamPropertiesObject audio_properties;
    tv::mp4::mdatObject mdat;
    uint32_t announced_segments = 0;  // the mdat object's count, before damage was found
    std::vector<tv::mp4::SectTableEntry> sect_table;
    // Index entries of the current segment in their file layout (28 and 24 bytes an entry);
    // read with video_entry()/audio_entry(), which add the base.
    std::vector<uint8_t> video_index_table;
    std::vector<uint8_t> audio_index_table;
    uint32_t video_table_capacity = 0;  // entries
    uint32_t audio_table_capacity = 0;
    uint32_t video_frame_total = 0;
    uint32_t audio_frame_total = 0;
    uint32_t current_segment = 0;
    uint32_t video_cursor = 0;
    uint32_t audio_cursor = 0;
    // Entries of the current segment that the tables hold: its frame counts once loaded, 0
    // when its index could not be read (the segment is then passed over).
    uint32_t video_loaded = 0;
    uint32_t audio_loaded = 0;
    // The small reads' buffer (buffer_capacity bytes, none without memory for it) holds the
    // file's bytes [buffer_start, buffer_start + buffer_length).
    struct FreeBuffer {
        void operator()(uint8_t* p) const { tv::platform::aligned_free(p); }
    };
    std::unique_ptr<uint8_t[], FreeBuffer> buffer;
    std::size_t buffer_capacity = 0;
    int64_t buffer_start = 0;
    int64_t buffer_length = 0;
    // errno of the first failure of the system (a read error, memory refused); 0 while
    // every failure came from the recording's content.
    int system_error = 0;
};

namespace tv::mp4 {

// Steps of the open; each returns 1 on success and 0 after printing its diagnostic.
int ReadFilePropertiesObject(custommp4_handle* handle);
int ReadVideoStreamPropertiesObject(custommp4_handle* handle);
int ReadAudioStreamPropertiesObject(custommp4_handle* handle);
int ReadmdatObject(custommp4_handle* handle);
// Reads the header of segment `index` at the handle's position into the sect table (entry
// `index` is appended) and moves the position to the next segment.
int ReadmdatSegmentObject(custommp4_handle* handle, uint32_t index);
// Loads the index tables of segment `index` and makes it the current segment.
int ReadmdatIndexTable(custommp4_handle* handle, uint32_t index);

// Entry `i` of the loaded tables (i < video_loaded / audio_loaded).
VideoIndexEntry video_entry(const custommp4_handle& handle, uint32_t i);
AudioIndexEntry audio_entry(const custommp4_handle& handle, uint32_t i);

// Highest logical position custommp4_read_data accepts for a block of `length` bytes: the
// block must end at a position that a 64-bit file offset can hold.
int64_t max_read_position(uint32_t length);

// The next frame in reading order as custommp4_read_one_media_frame finds it (same results,
// diagnostics and cursor moves), without reading its bytes.
int32_t next_frame(custommp4_handle* handle, int32_t buffer_length, FrameRef& frame);
// Reads a frame that next_frame gave: 1, or 0 after the read-error warning.
int read_frame(custommp4_handle* handle, const FrameRef& frame, uint8_t* buffer);
// The warning of a frame that could not be read whole.
void warn_read_error(const FrameRef& frame);
// Whether read_run can read `length` bytes at `position` (read_frame says why not).
bool run_readable(const custommp4_handle* handle, int64_t position, uint64_t length);
// Reads the file from `position` on into `parts` in turn, many frames in one system call: the
// bytes read. Reading stops once `needed` bytes came (the rest of the parts is a bonus). Fewer
// than needed at the file's end, or when the system fails, which the handle records
// (custommp4_get_system_error). `parts` is used up.
int64_t read_run(custommp4_handle* handle, int64_t position, std::span<tv::platform::Part> parts,
                 uint64_t needed = std::numeric_limits<uint64_t>::max());
// The file's `length` bytes at `at`, through the handle's buffer when they are few: true when
// all came. A shortfall before the file's end (as its size was at the open) is recorded as the
// system's failure; past it, it is the recording's end.
bool read_bytes(custommp4_handle* handle, int64_t at, uint8_t* destination, uint32_t length);

}  // namespace tv::mp4
