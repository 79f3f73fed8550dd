// Matroska and MP4 output through libavformat. The frames keep the time they were recorded at:
// every packet's time stamp is the frame's own, measured from the first frame put, so gaps and
// pauses stay in the file (variable frame rate). libavformat stays behind this header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "torvane/export.h"

namespace tv::mux {

enum class Container { Matroska, Mp4 };

struct Description {
    uint32_t width = 0;
    uint32_t height = 0;
    bool has_audio = false;
    uint32_t sample_rate = 0;  // audio is 16-bit little-endian mono PCM
    int64_t start_time = 0;    // of the recording: seconds since 1970, UTC
    std::string title;
    std::string version;  // the encoder tag reads "Torvane <version>"
    // A subtitle stream with the wall-clock time ("YYYY-MM-DD HH:MM:SS UTC"), one cue a
    // second, the start time standing at the first frame put: SubRip in Matroska, timed
    // text in MP4.
    bool clock_subtitles = false;
};

struct Frame {
    const uint8_t* data = nullptr;  // video: H.264 Annex-B, copied unchanged; audio: PCM
    uint32_t length = 0;
    uint32_t time_stamp = 0;  // milliseconds, as recorded
    bool is_audio = false;
    bool key = false;
};

// One output file. open(), put() per frame in the recording's order, then finish(). Whatever
// happens, the destructor (or abort()) releases everything; a file that was not finished is
// left as written so far. No call throws; after a failure error() and error_text() say why
// and every later put() or finish() fails the same way.
// Whether this build writes Matroska and MP4 at all (it is built without FFmpeg's libraries
// where they are missing).
TORVANE_API bool available();

class Muxer {
  public:
    Muxer();
    ~Muxer();
    Muxer(const Muxer&) = delete;
    Muxer& operator=(const Muxer&) = delete;

    // Creates the file at path (replacing it). 0, or -1 with the cause kept.
    int open(const std::string& path, Container container, const Description& description);

    // 0 when the frame was written or deliberately left out; -1 on failure. The header is
    // written at the first video key frame whose parameter sets (SPS and PPS) have been seen:
    // video before it cannot be decoded and is left out, audio before it waits (up to a limit).
    // Time stamps that do not rise are bumped 1 ms above the stream's previous one, so each
    // stream's time stamps strictly increase whatever the recording holds.
    int put(const Frame& frame);

    // Writes what is pending and the trailer, and closes the file. 0, or -1 with the cause kept
    // (also when no video key frame ever came: then the file holds no header).
    int finish();

    // Closes and releases everything without writing more; safe to call at any time, twice.
    void abort();

    // errno-like cause of the failure (EIO when libavformat gave no system error); 0 if none.
    int error() const;
    // The cause in words, for "writing X failed: <reason>"; empty if none.
    const std::string& error_text() const;

    // Frames handed to the container (audio: PCM frames whose samples went to the encoder or
    // the file) and frames left out (video before the first key frame, audio beyond limits).
    uint64_t written_frames() const;
    uint64_t dropped_frames() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tv::mux
