// Helpers of the AVI writer tests: reading the files the writer makes, injecting failures into
// the system I/O layer, and making real H.264 access units for the outside checks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "avi/avi_internal.h"
#include "common/sysio.h"

namespace avitest {

namespace fs = std::filesystem;

// Finishes a writer that a failed assertion left behind.
struct Finisher {
    void operator()(AviFile* file) const { AVI_finish(file); }
};
using AviPtr = std::unique_ptr<AviFile, Finisher>;

// A writer for `path` with a 64x48 "H264" stream at 25 frames per second and one 16-bit
// one-channel PCM track at 8000 Hz, in segments of `threshold` bytes.
AviPtr create_writer(const fs::path& path, int64_t threshold = AVI_SEGMENT_THRESHOLD);

// Little-endian reads from a byte vector, bounds-checked by gtest-friendly at().
uint32_t le32(const std::vector<uint8_t>& b, size_t off);
uint16_t le16(const std::vector<uint8_t>& b, size_t off);
uint64_t le64(const std::vector<uint8_t>& b, size_t off);
std::string fourcc(const std::vector<uint8_t>& b, size_t off);

// An expected byte image: everything zero but what the test sets.
struct Image {
    explicit Image(size_t size) : bytes(size, 0) {}
    Image& u32(size_t off, uint32_t v);
    Image& u16(size_t off, uint16_t v);
    Image& cc(size_t off, const char* code);
    std::vector<uint8_t> bytes;
};
// Empty when equal, else the offsets and values of the first differences.
std::string diff(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected);

// Reads part of a file without loading all of it (the large files are gigabytes).
std::vector<uint8_t> read_range(const fs::path& path, int64_t offset, size_t length);

// One chunk of a file: its header position, tag, size and, for RIFF and LIST, its type.
struct Chunk {
    int64_t pos = 0;
    std::string tag;
    uint32_t size = 0;
    std::string type;
    int64_t data() const { return pos + 8; }
    int64_t end() const { return pos + 8 + size + (size & 1u); }
};
// The chunks from `begin` up to `end` at one nesting level.
std::vector<Chunk> walk(const fs::path& path, int64_t begin, int64_t end);
Chunk chunk_at(const fs::path& path, int64_t pos);

// Standard index chunk contents.
struct StdIndex {
    uint16_t longs_per_entry = 0;
    uint8_t sub_type = 0;
    uint8_t type = 0;
    uint32_t entries = 0;
    std::string chunk_id;
    uint64_t base = 0;
    std::vector<std::pair<uint32_t, uint32_t>> items;  // relative offset, size field
};
StdIndex read_std_index(const fs::path& path, const Chunk& chunk);

// Super index ("indx") entries as the header lists them.
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
    std::string chunk_id;
    std::vector<SuperEntry> entries;
};
SuperIndex read_super_index(const std::vector<uint8_t>& header, size_t pos);

// What a test handed to the writer and the writer accepted: where each chunk went.
struct Written {
    std::string tag;
    int64_t pos = 0;
    uint32_t length = 0;
    bool key = false;
    int segment = 0;
};

// Calls the put operations and records every accepted chunk.
class Recorder {
  public:
    explicit Recorder(AviFile* file) : file_(file) {}
    int video(const uint8_t* data, int32_t length, bool key);
    int audio(const uint8_t* data, int32_t length);
    std::vector<Written> chunks;

  private:
    int record(int result, bool audio, int32_t length, bool key);
    AviFile* file_;
};

// Walks a finished file from its top and checks everything against the recorded chunks:
// the RIFF segments and their sizes, the "movi" lists and the data chunks in each, the
// standard index chunks at each segment's end, "idx1", the stream headers, the super indexes
// with their durations and "odml"/"dmlh". `with_idx1` is false for a file whose "idx1" failed.
void check_structure(const fs::path& path, const std::vector<Written>& model,
                     bool with_idx1 = true);

// For a file with exactly one switch, read as written: after the last chunk of segment 0 come
// "ix00", "ix01", "idx1", then "RIFF" size "AVIX" "LIST" size "movi" and the chunk that caused
// the switch; the header's first RIFF size, first "movi" size and both "indx" chunks agree.
void check_first_switch(const fs::path& path, const std::vector<Written>& model);

// Installs a table of system functions for the lifetime of the object.
class InstalledOps {
  public:
    explicit InstalledOps(const tv::sysio::Ops& table) : table_(table) {
        tv::sysio::install(&table_);
    }
    ~InstalledOps() { tv::sysio::install(nullptr); }
    InstalledOps(const InstalledOps&) = delete;
    InstalledOps& operator=(const InstalledOps&) = delete;

  private:
    tv::sysio::Ops table_;
};

// Captures standard error (file descriptor 2).
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string finish();

  private:
    int saved_ = -1;
    std::string file_;
    bool done_ = false;
    std::string text_;
};

bool have_program(const std::string& name);

// A second of 64x48 H.264 at 25 frames per second, one access unit per frame, no B-frames, the
// first an IDR picture with its parameter sets. Empty when ffmpeg cannot make it.
struct AccessUnit {
    std::vector<uint8_t> bytes;
    bool key = false;
};
std::vector<AccessUnit> h264_access_units(const fs::path& dir);

// ffprobe: key=value pairs of every stream (index 0 video, 1 audio), packets counted.
std::vector<std::map<std::string, std::string>> probe_streams(const fs::path& file);
// ffprobe sees the streams of create_writer with these packet counts and frame count.
void expect_probe(const fs::path& file, size_t frames, size_t audio_chunks);
// Output (stdout and stderr) of ffmpeg decoding the whole file at log level "error".
std::string decode_errors(const fs::path& file);

}  // namespace avitest
