// The tests' one reader of AVI files, shared by tests and fuzz targets and independent of the
// writer: the chunks of a file and its index chunks, field by field, and a consistency check
// that walks every RIFF, LIST and chunk, checks that sizes nest, that the file is tiled exactly
// by its RIFF segments, and that every "idx1", "indx" and standard index entry points at a real
// chunk of the right tag and size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace tvtest {

// Little-endian fields and four-character codes of a byte buffer. A field past the end throws
// std::out_of_range, which fails the test rather than reading stray memory.
uint16_t le16(std::span<const uint8_t> bytes, size_t offset);
uint32_t le32(std::span<const uint8_t> bytes, size_t offset);
uint64_t le64(std::span<const uint8_t> bytes, size_t offset);
std::string fourcc(std::span<const uint8_t> bytes, size_t offset);

// Part of a file, read without loading the rest (the large files are gigabytes); shorter at
// the end of the file, empty when it cannot be read.
std::vector<uint8_t> read_range(const std::filesystem::path& path, int64_t offset, size_t length);

// A whole file mapped for reading; empty when it cannot be (or is empty).
class MappedFile {
  public:
    explicit MappedFile(const std::filesystem::path& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<const uint8_t> bytes() const { return bytes_; }

  private:
    std::span<const uint8_t> bytes_;
    std::vector<uint8_t> copy_;  // where the file is read rather than mapped
};

// One chunk: its header position, tag, size and, for RIFF and LIST, its form.
struct AviChunk {
    uint64_t offset = 0;
    std::string tag;
    uint32_t size = 0;
    std::string type;
    uint64_t data() const { return offset + 8; }
    uint64_t end() const { return offset + 8 + size + (size & 1u); }
};
// The chunk at `offset`; an empty tag when its header is not all in the file.
AviChunk chunk_at(std::span<const uint8_t> file, uint64_t offset);
AviChunk chunk_at(const std::filesystem::path& path, uint64_t offset);
// The chunks from `begin` up to `end` at one nesting level.
std::vector<AviChunk> walk(std::span<const uint8_t> file, uint64_t begin, uint64_t end);
std::vector<AviChunk> walk(const std::filesystem::path& path, uint64_t begin, uint64_t end);

// A standard index chunk ("ix##"): its header and the entries that its size holds.
struct StdIndex {
    uint16_t longs_per_entry = 0;
    uint8_t sub_type = 0;
    uint8_t type = 0;
    uint32_t entries = 0;  // as counted in the header
    std::string chunk_id;
    uint64_t base = 0;
    std::vector<std::pair<uint32_t, uint32_t>> items;  // relative offset, size field
};
StdIndex read_std_index(std::span<const uint8_t> file, const AviChunk& chunk);
StdIndex read_std_index(const std::filesystem::path& path, const AviChunk& chunk);

// A super index chunk ("indx") at `offset`: its header and the entries that its size holds;
// empty when no "indx" starts there.
struct SuperEntry {
    uint64_t offset;
    uint32_t size;
    uint32_t duration;
};
struct SuperIndex {
    uint32_t size = 0;
    uint16_t longs_per_entry = 0;
    uint8_t sub_type = 0;
    uint8_t type = 0;
    uint32_t count = 0;  // entries in use, as counted in the header
    std::string chunk_id;
    std::vector<SuperEntry> entries;
};
SuperIndex read_super_index(std::span<const uint8_t> file, uint64_t offset);

struct AviStreamInfo {
    std::string type;     // "vids" or "auds"
    std::string handler;  // the compressor code of a video stream
    uint32_t scale = 0, rate = 0, length = 0, sample_size = 0;
    uint16_t format_tag = 0, channels = 0, block_align = 0, bits_per_sample = 0;
    uint32_t sample_rate = 0, avg_bytes_per_sec = 0;
    uint32_t super_index_entries = 0;  // entries of its "indx" chunk; 0 without one
    std::string super_index_chunk_id;
};

struct AviReport {
    std::vector<std::string> problems;  // empty when the file is consistent
    uint32_t riff_segments = 0;
    uint32_t avih_total_frames = 0;
    uint32_t avih_streams = 0;
    uint32_t avih_flags = 0;
    uint32_t width = 0, height = 0;
    uint32_t dmlh_total_frames = 0;
    bool has_idx1 = false;
    uint32_t idx1_entries = 0;
    uint32_t first_movi_size = 0;
    std::vector<AviStreamInfo> streams;
    std::vector<AviChunk> data_chunks;            // "##db"/"##wb" chunks in file order
    std::vector<AviChunk> std_index_chunks;       // "ix##" chunks in file order
    std::map<std::string, uint32_t> chunk_count;  // data chunks per tag
    bool ok() const { return problems.empty(); }
};

AviReport check_avi(std::span<const uint8_t> file);
AviReport check_avi_file(const std::string& path);

// All problems in one text, for assertion messages.
std::string describe(const AviReport& report);

}  // namespace tvtest
