// The conversion job: one recording in, one AVI file out. It knows no window toolkit; it
// reports through a progress record that its watcher (the main window's timer or the command
// line) owns and polls.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "torvane/export.h"

struct SourceMedia;
struct SourceFrame;

namespace tv {

// How a job ended. Published once, after the AVI is finalised and the source closed.
enum class JobOutcome : int32_t {
    Running = 0,        // not ended yet
    Converted,          // every announced frame was written
    Partial,            // written, but frames were skipped or the recording ended early
    SourceNotOpened,    // the recording could not be opened
    OutputNotCreated,   // the AVI file could not be created
    WriteFailed,        // a write failed; the AVI was finalised as far as it goes
    NoFrames,           // the recording indexes no frame; nothing to convert
    Stopped,            // a stop was requested; the AVI holds what was written until then
    ReadFailed,         // reading the recording failed (I/O error, memory); the AVI was finalised
    OutputIsRecording,  // the output named is the recording itself (through any name); refused
    NotPutInPlace,      // converted, but the output could not take its name; kept as .part
    NotJoinable,        // recordings to join whose streams differ; nothing written
};

// Shared between the job (writer) and its watcher (reader). The watcher owns it and must keep
// it alive until the job has ended (m_jobEnded).
struct ConversionProgress {
    std::atomic<int32_t> m_totalFrames{0};  // frames announced: video + audio
    std::atomic<int32_t> m_doneFrames{0};   // frames handled so far; set to total at the end
    std::atomic<int32_t> m_jobStarted{0};   // written only under m_progressLock
    std::mutex m_progressLock;

    // Filled in when the job ends; m_jobEnded (release) is stored last.
    std::atomic<int32_t> m_outcome{static_cast<int32_t>(JobOutcome::Running)};
    std::atomic<int32_t> m_writtenFrames{0};  // chunks written
    std::atomic<int32_t> m_skippedFrames{0};  // frames the reader refused
    std::atomic<int32_t> m_missingFrames{0};  // announced but never delivered
    std::atomic<bool> m_jobEnded{false};

    // Set by the watcher: the job stops after the current frame and finalises the AVI.
    std::atomic<bool> m_stopRequested{false};
};

// What the job found of a recording it opened.
struct SourceSummary {
    std::string path;
    uint32_t start_time = 0, end_time = 0;        // the header's, seconds since 1970
    uint32_t duration_ms = 0;                     // of its indexed span
    uint32_t video_frames = 0, audio_frames = 0;  // announced by its index
};

// The container the output is written in.
enum class OutputFormat { ByExtension, Avi, Matroska, Mp4 };

// The detailed result that ConversionJob also returns to a synchronous caller.
struct JobReport {
    JobOutcome outcome = JobOutcome::Running;
    OutputFormat format = OutputFormat::Avi;  // the container written (never ByExtension)
    // An AVI's pictures per second (frame n plays at n / frame_rate); 0 for the others.
    double frame_rate = 0;
    int32_t total_frames = 0;
    int32_t written_frames = 0;
    int32_t skipped_frames = 0;
    int32_t missing_frames = 0;
    // Parts of the recording not found: segments it announces, time its frames fall short by.
    uint32_t missing_segments = 0;
    uint32_t missing_ms = 0;
    int32_t avi_error = 0;     // AVI_get_last_error() when the output failed
    int32_t system_error = 0;  // errno of the failure (recording or output), when there was one
    // The ".part" file that holds the frames when they could not be put in place under the
    // output's name (a failed or stopped conversion, or a name taken meanwhile); else empty.
    std::string kept_part;
    // The recordings opened, in the order their frames were taken.
    std::vector<SourceSummary> sources;
    // A join that stopped at a recording: the one not opened or not matching the first, and
    // how it differs.
    std::string culprit;
    std::string mismatch;
};

// Gives `part`, a finished file written aside, the name `path`, as the job gives its output
// its own: never over an existing file unless `replace`. 0, or -1 with errno.
TORVANE_API int PutInPlace(const std::string& part, const std::string& path, bool replace);

// The container for `output`: `chosen`, or for ByExtension the output's extension (".mkv",
// ".mp4" in any case; anything else is AVI).
TORVANE_API OutputFormat OutputFormatFor(const std::string& output, OutputFormat chosen);

// Each container's short name, which is also its file extension without the dot: "avi", "mkv",
// "mp4" (ByExtension gives "avi", what an unknown extension gets).
TORVANE_API const char* OutputFormatName(OutputFormat format);
// The container of such a name, in any case; ByExtension for any other text.
TORVANE_API OutputFormat OutputFormatNamed(std::string_view name);

// A moment of a recording.
struct RecordingTime {
    bool wall_clock = false;  // value: seconds since 1970, UTC; else milliseconds from the start
    int64_t value = 0;
};

// Choices of a conversion beyond its paths.
struct ConversionOptions {
    // Only the span between these (either may be missing): from the video key frame at or
    // before `from`, so that the first picture decodes, to the last frame at or before `to`;
    // the audio from that key frame's time on.
    std::optional<RecordingTime> from, to;
    OutputFormat format = OutputFormat::ByExtension;
    // Matroska and MP4: a subtitle track with the recorded wall-clock time, one cue a second.
    bool clock_track = true;
    // Size of the AVI's RIFF segments (AVI_set_segment_size); 0 for the format's own. Small
    // sizes give OpenDML files from small recordings, for tests.
    int64_t avi_segment_size = 0;
    // Whether the finished output may replace an existing file of its name.
    bool replace_existing = false;
    // Whether the output put in place takes the recording's end time as its modification
    // time, as `cp -p` would give a copy.
    bool preserve_time = true;
    // Sees every frame the recording hands out, before it is written, on the job's thread:
    // what a caller needs of the frames' times, without reading the recording again.
    std::function<void(const SourceMedia*, const SourceFrame&)> on_frame;
};

// Runs one conversion on the calling thread. Paths are passed byte for byte to the reader and
// the writer (on Linux, the bytes the user chose), without any length limit. A plain (or new)
// output is written aside as OUTPUT.part, locked against other conversions, and renamed to
// OUTPUT when the conversion ends with frames written (converted or partial), never over an
// existing file unless options.replace_existing. A failed or stopped conversion keeps a .part
// that holds frames (report.kept_part) and removes an empty one; OUTPUT is then left as it was.
TORVANE_API JobReport ConversionJob(const std::string& sourcePath, const std::string& outputPath,
                                    ConversionProgress& progress,
                                    const ConversionOptions& options = {});

// Writes several recordings into one output, in the order of their start times, as one
// conversion does one: the first recording describes the streams, and every other must have
// the same picture size and audio (else NotJoinable, naming it). An AVI plays the frames one
// after the other at their common rate; Matroska and MP4 keep the recorded times, the later
// recordings' stamps continuing from the first's by their start times.
TORVANE_API JobReport JoinJob(const std::vector<std::string>& sourcePaths,
                              const std::string& outputPath, ConversionProgress& progress,
                              const ConversionOptions& options = {});

// Frame rate of the output: video frames x 1000 / duration in milliseconds; for a duration of
// 0, the stored rate when it is finite and within (0, 1000], else 25.
TORVANE_API double ConversionFrameRate(uint32_t videoFrames, uint32_t durationMs,
                                       double storedRate);

// Short English description of an outcome, for logs and the command line.
TORVANE_API const char* JobOutcomeText(JobOutcome outcome);

enum class OutcomeLevel { Information, Warning, Error };

// Everything the programs tell about one outcome, in one row.
struct OutcomeRow {
    JobOutcome outcome;
    const char* text;  // short English, for logs
    int exit_status;   // torvane-convert's: 0 converted, 3 partial, 1 not converted
    // The command line's words, with {input}, {output}, {kept} (the file that holds the frames:
    // the kept .part, else the output), {written}, {total}, {skipped} (refused frames),
    // {missing}, {lost} (the segments and time not found, if any), {culprit}, {first} and
    // {mismatch} (of a join) and {cause}: ": "
    // and the system's words for its error, else `unexplained`, or with that null the AVI
    // writer's message in parentheses.
    const char* reason;
    const char* unexplained;
    // The window's message box: its level, the language key of its text and the built-in
    // English, with {total}, {written} and {skipped} (frames missing from the output).
    OutcomeLevel level;
    const char* message_key;
    const char* message;
};

// The row of an outcome; Running and values outside the enumeration get a failure's row.
TORVANE_API const OutcomeRow& OutcomeRowOf(JobOutcome outcome);

// The command line's words for how the job of `report` ended (the row's reason, filled in).
TORVANE_API std::string OutcomeReason(const JobReport& report, const std::string& input,
                                      const std::string& output);

}  // namespace tv
