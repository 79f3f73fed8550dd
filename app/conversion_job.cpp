#include "app/conversion_job.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

#include "common/sysio.h"
#include "torvane/avi.h"
#include "torvane/custommp4.h"
#include "torvane/source.h"

namespace tv {
namespace {

struct SourceCloser {
    void operator()(SourceMedia* media) const { source_close(media); }
};
using SourcePtr = std::unique_ptr<SourceMedia, SourceCloser>;

constexpr double kFallbackFrameRate = 25.0;
// Output buffer: frames go to the file in blocks of at least kOutputBufferSize - kFrameRoom.
constexpr int32_t kOutputBufferSize = 2 << 20;
constexpr int32_t kFrameRoom = CUSTOMMP4_FRAME_BUFFER_SIZE;

// Frames per second of the output: video frames over the indexed span. A span of 0 leaves
// nothing to divide by; the rate the recorder stored is the best guess then.
double frame_rate(uint32_t video_frames, uint32_t duration_ms, double stored_rate) {
    if (duration_ms != 0) {
        // The duration is a signed 32-bit count of milliseconds.
        return static_cast<double>(video_frames) * 1000.0 /
               static_cast<double>(static_cast<int32_t>(duration_ms));
    }
    if (std::isfinite(stored_rate) && stored_rate > 0.0 && stored_rate <= 1000.0) return stored_rate;
    return kFallbackFrameRate;
}

void publish_end(ConversionProgress& progress, const JobReport& report) {
    progress.m_writtenFrames.store(report.written_frames);
    progress.m_skippedFrames.store(report.skipped_frames);
    progress.m_missingFrames.store(report.missing_frames);
    progress.m_outcome.store(static_cast<int32_t>(report.outcome));
    progress.m_jobEnded.store(true, std::memory_order_release);
}

}  // namespace

double ConversionFrameRate(uint32_t video_frames, uint32_t duration_ms, double stored_rate) {
    return frame_rate(video_frames, duration_ms, stored_rate);
}

JobReport ConversionJob(const std::string& sourcePath, const std::string& outputPath,
                        ConversionProgress& progress) {
    JobReport report;
    progress.m_jobEnded.store(false);
    progress.m_outcome.store(static_cast<int32_t>(JobOutcome::Running));

    errno = 0;
    SourcePtr source(source_open(sourcePath.c_str(), 0));
    if (!source) {
        report.outcome = JobOutcome::SourceNotOpened;
        report.system_error = errno;
        publish_end(progress, report);
        return report;
    }

    const uint32_t width = source_width(source.get());
    const uint32_t height = source_height(source.get());
    const uint32_t video_frames = source_video_frame_count(source.get());
    const uint32_t audio_frames = source_audio_frame_count(source.get());
    const uint32_t duration = source_duration(source.get());
    const uint64_t announced = static_cast<uint64_t>(video_frames) + audio_frames;
    const int32_t total = static_cast<int32_t>(
        std::min<uint64_t>(announced, std::numeric_limits<int32_t>::max()));
    const double fps = frame_rate(video_frames, duration, source_stored_frame_rate(source.get()));
    report.total_frames = total;

    progress.m_totalFrames.store(total);
    {
        std::lock_guard<std::mutex> lock(progress.m_progressLock);
        progress.m_jobStarted.store(1);
    }

    errno = 0;
    AviFile* avi = AVI_create_output(outputPath.c_str());
    if (avi == nullptr) {
        report.outcome = JobOutcome::OutputNotCreated;
        report.avi_error = AVI_last_error;
        report.system_error = errno;
        // The file was created but not even its header written: it is no AVI, and nothing of
        // the user's was in it any more (creation truncates). Leave no such file behind; but
        // only a plain file: a device or a link named as the output is never removed.
        std::error_code ec;
        if (report.avi_error == AVI_ERR_WRITE &&
            std::filesystem::symlink_status(outputPath, ec).type() ==
                std::filesystem::file_type::regular) {
            sysio::unlink(outputPath.c_str());
        }
        source.reset();
        publish_end(progress, report);
        return report;
    }

    // Chunks are gathered and written in large blocks. Without the memory for it, the job
    // writes chunk by chunk, which gives the same file.
    AVI_set_write_buffer(avi, kOutputBufferSize);

    bool write_failed = false;
    auto note_write_failure = [&] {
        write_failed = true;
        report.avi_error = AVI_last_error;
        report.system_error = errno;
    };
    errno = 0;
    if (AVI_describe_video(avi, static_cast<int32_t>(width & 0xFFFF),
                           static_cast<int32_t>(height & 0xFFFF), fps, "H264") != 0) {
        note_write_failure();
    }
    // A recording without sound gets no audio stream: players expect none rather than an
    // announced stream of zero channels.
    if (!write_failed && source_has_audio(source.get()) &&
        AVI_describe_audio(avi, 1, static_cast<int32_t>(source_audio_rate(source.get())),
                           source_audio_bits(source.get()) & 0xFFFF, 1, 0) != 0) {
        note_write_failure();
    }

    // Both buffers live for the whole job. Any frame the reader hands out fits the PCM buffer
    // once decoded, so long raw frames are converted whole.
    std::vector<uint8_t> frame(CUSTOMMP4_FRAME_BUFFER_SIZE);
    std::vector<uint8_t> pcm(source_max_pcm_bytes(CUSTOMMP4_FRAME_BUFFER_SIZE));

    bool read_failed = false;
    bool stopped = false;
    int32_t countdown = write_failed ? 0 : total;
    while (countdown > 0) {
        if (progress.m_stopRequested.load(std::memory_order_relaxed)) {
            stopped = true;
            break;
        }
        // Frames are read straight into the writer's buffer when it has room for the largest
        // one, so that the put copies nothing; a buffer short of that room is written first.
        uint8_t* destination = frame.data();
        int32_t room = 0;
        uint8_t* space = AVI_chunk_space(avi, &room);
        if (space != nullptr && room < kFrameRoom) {
            errno = 0;
            if (AVI_flush(avi) != 0) {
                note_write_failure();
                break;
            }
            space = AVI_chunk_space(avi, &room);
        }
        if (space != nullptr && room >= kFrameRoom) destination = space;

        uint32_t time_stamp = 0;
        uint8_t key_flag = 0;
        uint8_t kind = 0;
        const int32_t n = source_read_frame(source.get(), destination, &time_stamp, &key_flag, &kind);
        if (n <= 0 && source_system_error(source.get()) != 0) {
            // Not the recording's end or a damaged entry: the system failed to read it.
            read_failed = true;
            report.system_error = source_system_error(source.get());
            break;
        }
        if (n == 0) break;
        if (n < 0) {
            // The reader has moved past a frame it refused; go on with the next one.
            ++report.skipped_frames;
        } else {
            int r;
            if (kind == 0) {
                errno = 0;
                r = AVI_put_video_frame(avi, destination, n, key_flag);
            } else {
                uint32_t pcm_length = 0;
                if (source_decode_audio(source.get(), destination, static_cast<uint32_t>(n),
                                        pcm.data(), &pcm_length) != 0) {
                    // An undecodable voice frame keeps its place in the stream as an empty chunk.
                    ++report.skipped_frames;
                    pcm_length = 0;
                }
                errno = 0;
                r = AVI_put_audio(avi, pcm.data(), static_cast<int32_t>(pcm_length));
            }
            if (r != 0) {
                note_write_failure();
                break;
            }
        }
        --countdown;
        progress.m_doneFrames.fetch_add(1, std::memory_order_relaxed);
    }
    if (!write_failed && !read_failed && !stopped) report.missing_frames = countdown;

    progress.m_doneFrames.store(progress.m_totalFrames.load());

    // The buffered chunks go to the file before counting: a chunk that was put may still be
    // lost, and the report only counts the frames that the file holds.
    errno = 0;
    if (AVI_flush(avi) != 0 && !write_failed) {
        note_write_failure();
        read_failed = false;
    }
    report.written_frames = static_cast<int32_t>(AVI_chunks_in_file(avi));

    errno = 0;
    if (AVI_finish(avi) != 0 && !write_failed) {
        note_write_failure();
        // The output's failure is the one to tell; the recording's would be lost with it.
        read_failed = false;
    }
    source.reset();

    if (write_failed) {
        report.outcome = JobOutcome::WriteFailed;
    } else if (read_failed) {
        report.outcome = JobOutcome::ReadFailed;
    } else if (stopped) {
        report.outcome = JobOutcome::Stopped;
    } else if (report.written_frames == 0) {
        report.outcome = JobOutcome::NoFrames;
    } else if (report.skipped_frames > 0 || report.missing_frames > 0) {
        report.outcome = JobOutcome::Partial;
    } else {
        report.outcome = JobOutcome::Converted;
    }
    publish_end(progress, report);
    return report;
}

const char* JobOutcomeText(JobOutcome outcome) {
    switch (outcome) {
        case JobOutcome::Running: return "running";
        case JobOutcome::Converted: return "converted";
        case JobOutcome::Partial: return "converted, with frames missing";
        case JobOutcome::SourceNotOpened: return "recording not opened";
        case JobOutcome::OutputNotCreated: return "output not created";
        case JobOutcome::WriteFailed: return "write failed";
        case JobOutcome::NoFrames: return "no frames";
        case JobOutcome::Stopped: return "stopped";
        case JobOutcome::ReadFailed: return "read failed";
    }
    return "unknown";
}

}  // namespace tv
