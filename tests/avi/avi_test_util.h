// Helpers of the AVI writer tests: driving the writer and checking the files it makes against
// what it was handed (read with support/avi_check.h), injecting failures into the system I/O
// layer, and making real H.264 access units for the outside checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "avi/avi_internal.h"
#include "common/sysio.h"
#include "support/avi_check.h"
#include "support/test_support.h"

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

// An expected byte image: everything zero but what the test sets.
struct Image {
    explicit Image(size_t size) : bytes(size, 0) {}
    Image& u32(size_t off, uint32_t v);
    Image& u16(size_t off, uint16_t v);
    Image& cc(size_t off, const char* code);
    std::vector<uint8_t> bytes;

  private:
    uint8_t* field(size_t off, size_t length);
};
// Empty when equal, else the offsets and values of the first differences.
std::string diff(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected);

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

// The writer's indexes and counts hold one video chunk and one audio chunk of `audio_bytes`.
void expect_one_pair_indexed(const AviFile* avi, int64_t audio_bytes);

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

// A test's own folder and the file its writer makes there.
class AviTest : public ::testing::Test {
  protected:
    fs::path dir = tvtest::test_dir();
    fs::path path = dir / "out.avi";

    AviPtr create(int64_t threshold = AVI_SEGMENT_THRESHOLD) {
        return create_writer(path, threshold);
    }
    // Finishes the file, which must then hold exactly the recorded chunks.
    void finish_and_check(AviPtr& avi, const Recorder& rec) {
        ASSERT_EQ(AVI_finish(avi.release()), 0);
        check_structure(path, rec.chunks);
    }
};

}  // namespace avitest
