// An independent reader of AVI files for tests and fuzz targets: walks every RIFF, LIST and
// chunk, and checks that sizes nest, that the file is tiled exactly by its RIFF segments, and
// that every "idx1", "indx" and standard index entry points at a real chunk of the right tag
// and size.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace tvtest {

struct AviChunk {
    uint64_t offset = 0;  // position of the chunk header
    std::string tag;
    uint32_t size = 0;
};

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
