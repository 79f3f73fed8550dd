// The AVI writer's state record and the routines its source files share. Callers of the
// library see AviFile as an opaque type; tests include this header to reach the internals.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "common/sysio.h"
#include "torvane/avi.h"

// A heap array that grows with realloc. Index arrays grow by a fixed number of entries; for
// large blocks realloc remaps pages instead of copying them, so a long index costs no
// quadratic copying and never needs the old and the new block at once.
template <class T>
class AviGrowableArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    T* data() const { return p_.get(); }
    size_t capacity() const { return capacity_; }
    // Keeps the contents. False (array unchanged) when the memory is refused.
    bool resize(size_t count);
    void reset() {
        p_.reset();
        capacity_ = 0;
    }

  private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> p_;
    size_t capacity_ = 0;
};

struct AviFreeMemory {
    void operator()(void* p) const { tv::platform::aligned_free(p); }
};

// One "idx1" entry, already in file byte order: tag, flags, chunk position, data length.
struct AviLegacyIndexEntry {
    uint8_t bytes[16];
};
static_assert(sizeof(AviLegacyIndexEntry) == 16);

constexpr uint32_t AVI_INDEX_STEP = 4096;    // entries added at each index growth
constexpr uint32_t AVI_STD_INDEX_HEAD = 24;  // data bytes of a standard index before its entries
constexpr uint32_t AVI_NOT_KEY_FRAME = 0x80000000u;
constexpr size_t AVI_BUFFER_ALIGNMENT = 4096;
// Largest write of buffered chunks. Whole 2 MiB buffers in one write let the system cache the
// file in blocks of 2 MiB, which on virtual machines whose idle memory the host takes back ran
// three to six times slower (every other run, or every run for a while); writes of 512 KiB
// from wherever the buffer starts in the file never did, and cost few calls.
constexpr size_t AVI_WRITE_PIECE = 512 * 1024;
// Disk space reserved at a time ahead of the buffered writes (what a killed conversion may
// leave reserved past the file's end; finishing gives it back).
constexpr int64_t AVI_RESERVE_STEP = 64 << 20;

// A thread that writes one buffer at a time to the file, in pieces of at most AVI_WRITE_PIECE
// from the descriptor's position, while its owner goes on. The owner touches neither the
// descriptor nor the buffer until wait() has returned.
class AviWriteBehind {
  public:
    struct Outcome {
        int64_t written = 0;  // bytes that reached the file, from the start of the buffer
        int error = 0;        // errno of the write that failed
    };
    AviWriteBehind() = default;
    AviWriteBehind(const AviWriteBehind&) = delete;
    AviWriteBehind& operator=(const AviWriteBehind&) = delete;
    ~AviWriteBehind();
    // Starts writing `length` bytes; false (nothing started) when no thread can be had.
    bool start(int fd, const uint8_t* data, size_t length);
    // Waits for the write started last.
    Outcome wait();

  private:
    void run();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    int fd_ = -1;
    const uint8_t* data_ = nullptr;
    size_t length_ = 0;
    bool busy_ = false;
    bool quit_ = false;
    Outcome outcome_;
    std::thread thread_;
};

// One stream's index of one RIFF segment, written as an "ix##" chunk.
struct AviStdIndex {
    char fourcc[4] = {};  // chunk name: "ix00" for video, "ix01".."ix08" for the tracks
    uint32_t capacity = 0;
    uint16_t longs_per_entry = 0;
    uint8_t index_sub_type = 0;
    uint8_t index_type = 0;
    uint32_t entry_count = 0;
    char chunk_id[4] = {};  // tag of the indexed chunks: "00db" or the track's "0#wb"
    int64_t base_offset = 0;
    // The chunk's data as written: AVI_STD_INDEX_HEAD bytes filled at flush time, then
    // 8 bytes per entry (offset relative to base_offset + 8, size). Freed once written.
    AviGrowableArray<uint8_t> data;
};

struct AviSuperIndexEntry {
    int64_t offset = 0;  // position of the standard index chunk's header; 0: none written
    uint32_t size = 0;   // its data length
    uint32_t duration = 0;
};

// A stream's index of its standard indexes, written as "indx" in its stream list.
struct AviSuperIndex {
    char fourcc[4] = {'i', 'n', 'd', 'x'};
    uint16_t longs_per_entry = 4;
    uint8_t index_sub_type = 0;
    uint8_t index_type = 0;
    uint32_t entry_count = 0;
    char chunk_id[4] = {};
    uint32_t reserved[3] = {};
    std::array<AviSuperIndexEntry, AVI_MAX_SEGMENTS> entries{};
    std::array<AviStdIndex, AVI_MAX_SEGMENTS> std_indexes{};  // slot s serves segment s
};

struct AviTrack {
    int32_t format_tag = 0;
    int32_t channels = 0;
    int32_t sample_rate = 0;
    int32_t bits_per_sample = 0;
    int32_t bitrate_kbps = 0;
    int64_t byte_count = 0;  // 64-bit: a long recording's audio may pass 2 GiB
    std::unique_ptr<AviSuperIndex> super_index;
};

struct AviFile {
    int fd = -1;
    int32_t width = 0;
    int32_t height = 0;
    double fps = 0.0;
    char compressor[5] = {};
    int32_t video_frame_count = 0;
    std::array<AviTrack, AVI_TRACK_LIMIT> tracks{};
    int64_t position = 0;
    int32_t legacy_count = 0;
    int32_t legacy_capacity = 0;
    AviGrowableArray<AviLegacyIndexEntry> legacy_index;
    std::unique_ptr<AviSuperIndex> video_super_index;
    int32_t segment_switches = 0;
    int32_t indexed_frame_count = 0;
    int32_t track_count = 0;
    int32_t current_track = 0;

    // Size of a RIFF segment (AVI_set_segment_size).
    int64_t segment_threshold = AVI_SEGMENT_THRESHOLD;
    // Where "idx1" was (to be) written at the first switch: the end of the first "movi" list.
    int64_t first_movi_end = 0;
    // False after a failed write could not put the descriptor back at `position`.
    bool offset_in_sync = true;
    // Segment s's "RIFF AVIX" header really is in the file; only those get their sizes set.
    std::array<bool, AVI_MAX_SEGMENTS> segment_header_written{};

    // Output buffer, off until AVI_set_write_buffer: whole data chunks, nothing else, that are
    // not in the file yet. They are the last chunks accepted, so `position` counts them and
    // the file itself (and the descriptor) ends write_buffer_used bytes before `position`.
    // It never spans a segment switch or a header rewrite. The chunks begin write_buffer_lead
    // bytes into the (page-aligned) memory, the file position of the first one modulo
    // AVI_BUFFER_ALIGNMENT: memory and file pages line up, which the system copies fastest.
    std::unique_ptr<uint8_t, AviFreeMemory> write_buffer;
    size_t write_buffer_size = 0;  // bytes of chunks it takes
    size_t write_buffer_lead = 0;
    size_t write_buffer_used = 0;
    // Data chunks accepted and not taken back, and those of them not in the file yet (in the
    // buffer or being written behind).
    int64_t data_chunks = 0;
    int64_t buffered_chunks = 0;

    // Writing behind (AVI_set_write_behind): a full buffer is handed to `behind` and swapped
    // with `spare_buffer`, and the chunks continue there. The handed-off chunks come right
    // before the buffered ones in the file, in the same segment; until the write is waited
    // for they count as buffered, and `position` counts them.
    bool write_behind = false;
    std::unique_ptr<uint8_t, AviFreeMemory> spare_buffer;
    struct {
        bool active = false;
        size_t lead = 0;
        size_t used = 0;
        int64_t chunks = 0;
        int64_t start = 0;  // file position of its first chunk
    } in_flight;
    // Disk space reserved up to here ahead of the buffered writes; off after a refusal.
    int64_t reserved_end = 0;
    bool reserve_off = false;
    // Last: its thread ends before the buffers it may be writing are freed.
    std::unique_ptr<AviWriteBehind> behind;
};

// Bytes allocated for a buffer of `size` bytes of chunks: room for the lead, whole pages.
inline size_t AVI_buffer_allocation(size_t size) {
    return (size + 2 * AVI_BUFFER_ALIGNMENT - 1) / AVI_BUFFER_ALIGNMENT * AVI_BUFFER_ALIGNMENT;
}

// Calling interface and shared routines (avi_writer.cpp).
int64_t AVI_write_all(int fd, const void* buffer, size_t length);
int64_t AVI_writev_all(int fd, tv::platform::Part* parts, int count);
void AVI_put_le32(uint8_t* destination, uint32_t value);
int32_t AVI_block_size(const AviFile* file, int track);
void AVI_set_error(int32_t code);
int AVI_close_output_file(AviFile* file);

// Header (avi_header.cpp).
int AVI_write_provisional_header(AviFile* file);
// Builds the final header (ending the process when it does not fit its space) and writes it;
// `indexed` is false when "idx1" could not be written.
bool AVI_write_final_header(AviFile* file, uint32_t riff_size, uint32_t movi_size, bool indexed);

// Chunks and segments (avi_chunks.cpp).
int AVI_put_chunk(AviFile* file, const uint8_t* data, uint32_t length, bool is_audio,
                  int32_t key_flag);
// Writes one chunk at `position` straight to the file; the buffer must be empty.
int AVI_write_chunk(AviFile* file, const char* tag, const uint8_t* data, uint32_t length);
int AVI_segment_index_add(AviFile* file, const char* tag, uint32_t length, bool key_frame,
                          AviStdIndex** appended);
// At the close: each "AVIX" segment whose header is in the file gets its RIFF and LIST sizes.
void AVI_set_segment_sizes(AviFile* file);

// Indexes (avi_index.cpp).
int AVI_legacy_index_add(AviFile* file, const char* tag, uint32_t flags, int64_t chunk_position,
                         uint32_t length);
std::unique_ptr<AviSuperIndex> AVI_new_super_index(const char* chunk_id);
int AVI_start_std_index(AviStdIndex* slot, const char* name, const char* chunk_id);
int AVI_std_index_append(AviFile* file, AviStdIndex* index, int64_t chunk_position, uint32_t length,
                         bool key_frame);
int AVI_flush_std_index(AviFile* file, AviStdIndex* index, AviSuperIndexEntry* entry);
// Flushes a stream's slot with its super index entry and sets that entry's duration; `track`
// is -1 for the video stream. The slot's entries are released afterwards.
int AVI_write_segment_index(AviFile* file, AviSuperIndex& index, uint32_t slot, int track);
// The standard index of the current segment.
inline AviStdIndex& AVI_current_slot(AviSuperIndex& index) {
    return index.std_indexes[index.entry_count - 1];
}

// Output buffer (avi_buffer.cpp).
// End of what is in the file: `position` less the buffered chunks (and those being written
// behind).
inline int64_t AVI_file_end(const AviFile* file) {
    const size_t behind = file->in_flight.active ? file->in_flight.used : 0;
    return file->position - static_cast<int64_t>(file->write_buffer_used + behind);
}
// Where the next buffered chunk goes: an empty buffer starts at the lead that matches the file
// position.
inline uint8_t* AVI_buffer_tail(AviFile* file) {
    if (file->write_buffer_used == 0) {
        file->write_buffer_lead = static_cast<size_t>(file->position) % AVI_BUFFER_ALIGNMENT;
    }
    return file->write_buffer.get() + file->write_buffer_lead + file->write_buffer_used;
}
// Writes the buffered chunks. When that fails, the chunks that did not reach the file whole are
// taken back with their index entries and counts, `position` returns to the end of the last
// whole chunk (code AVI_ERR_WRITE, -1).
int AVI_flush_buffer(AviFile* file);
// Hands the buffered chunks to the writing-behind thread and gives the chunks that follow the
// spare buffer; writes them now (AVI_flush_buffer) when writing behind is off or cannot be
// had. Fails (and takes back, as AVI_wait_behind) when the previous write behind failed.
int AVI_flush_behind(AviFile* file);
// Waits for the chunks being written behind. When that write failed, the chunks that did not
// reach the file whole are taken back, and so is every buffered chunk (they came after them);
// `position` returns to the end of the last whole chunk (code AVI_ERR_WRITE, -1, errno of the
// failed write).
int AVI_wait_behind(AviFile* file);

// Entry i of a standard index held in memory: relative offset and size field.
inline uint32_t AVI_std_index_entry_offset(const AviStdIndex& index, uint32_t i) {
    const uint8_t* p = index.data.data() + AVI_STD_INDEX_HEAD + 8 * size_t{i};
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint32_t AVI_std_index_entry_size(const AviStdIndex& index, uint32_t i) {
    const uint8_t* p = index.data.data() + AVI_STD_INDEX_HEAD + 8 * size_t{i} + 4;
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

template <class T>
bool AviGrowableArray<T>::resize(size_t count) {
    if (count > SIZE_MAX / sizeof(T)) return false;
    size_t bytes = count * sizeof(T);
    if (!tv::sysio::may_allocate(bytes)) return false;
    void* grown = std::realloc(p_.get(), bytes == 0 ? 1 : bytes);
    if (!grown) return false;
    (void)p_.release();
    p_.reset(static_cast<T*>(grown));
    capacity_ = count;
    return true;
}
