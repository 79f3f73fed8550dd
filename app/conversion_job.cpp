#include "app/conversion_job.h"

#include <sys/uio.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

#include "common/sysio.h"
#include "recording/source_internal.h"
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
// Frames read with one system call, at most; and the largest gap between two of them that is
// read and dropped rather than ending the batch.
constexpr std::size_t kBatchFrames = 256;
constexpr int64_t kMaxGap = 64 * 1024;

struct BatchFrame {
    enum Kind { InRun, Alone, Refused };
    mp4::FrameRef ref;
    Kind kind = InRun;
    uint8_t* data = nullptr;  // where the run puts the frame's bytes
    uint8_t* slot = nullptr;  // where its chunk's data goes in the writer's buffer
    int64_t run_end = 0;      // bytes of the run up to the frame's end
};

// Frames per second of the output: video frames over the indexed span. A span of 0 leaves
// nothing to divide by; the rate the recorder stored is the best guess then.
double frame_rate(uint32_t video_frames, uint32_t duration_ms, double stored_rate) {
    if (duration_ms != 0) {
        // The duration is a signed 32-bit count of milliseconds.
        return static_cast<double>(video_frames) * 1000.0 /
               static_cast<double>(static_cast<int32_t>(duration_ms));
    }
    if (std::isfinite(stored_rate) && stored_rate > 0.0 && stored_rate <= 1000.0)
        return stored_rate;
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
    const int32_t total =
        static_cast<int32_t>(std::min<uint64_t>(announced, std::numeric_limits<int32_t>::max()));
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

    // Chunks are gathered and written in large blocks, by a second thread while the next block
    // is read. Without the memory for it, the job writes chunk by chunk, which gives the same
    // file.
    if (AVI_set_write_buffer(avi, kOutputBufferSize) == 0) AVI_set_write_behind(avi, 1);

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

    // The buffers live for the whole job. Any frame the reader hands out fits the PCM buffer
    // once decoded, so long raw frames are converted whole.
    std::vector<uint8_t> voice(CUSTOMMP4_FRAME_BUFFER_SIZE);  // voice frames of a batch
    std::vector<uint8_t> alone(CUSTOMMP4_FRAME_BUFFER_SIZE);  // a frame read by itself
    std::vector<uint8_t> gap(kMaxGap);                        // bytes between frames, dropped
    std::vector<uint8_t> pcm(source_max_pcm_bytes(CUSTOMMP4_FRAME_BUFFER_SIZE));
    std::vector<BatchFrame> batch;
    std::vector<struct iovec> parts;
    batch.reserve(kBatchFrames);
    parts.reserve(2 * kBatchFrames);
    custommp4_handle* recording = source_recording(source.get());

    bool read_failed = false;
    bool stopped = false;
    bool ended = false;
    int32_t countdown = write_failed ? 0 : total;
    mp4::FrameRef carried;
    bool have_carried = false;
    int64_t predicted_pcm = -1;  // PCM bytes of the last voice frame decoded

    // A frame that could not be read: the recording ends there, or the system failed.
    auto read_ended = [&] {
        ended = true;
        if (source_system_error(source.get()) != 0) {
            read_failed = true;
            report.system_error = source_system_error(source.get());
        }
    };
    // The PCM of a voice frame decoded ahead, together with the one before it.
    std::vector<uint8_t> pcm_ahead(pcm.size());
    std::size_t ahead_at = SIZE_MAX;  // its entry in the batch
    uint32_t ahead_length = 0;
    int ahead_result = 0;
    int64_t got = 0;  // bytes of the batch's run that were read
    // Puts a frame whose bytes are at `data` (entry `at` of the batch); false when the output
    // failed.
    auto put_frame = [&](std::size_t at, uint8_t* data) {
        const mp4::FrameRef& ref = batch[at].ref;
        errno = 0;
        if (ref.is_audio == 0) {
            if (AVI_put_video_frame(avi, data, static_cast<int32_t>(ref.length), ref.key_flag) == 0)
                return true;
            note_write_failure();
            return false;
        }
        const uint8_t* out = pcm.data();
        uint32_t pcm_length = 0;
        int decoded = 0;
        if (at == ahead_at) {
            out = pcm_ahead.data();
            pcm_length = ahead_length;
            decoded = ahead_result;
            ahead_at = SIZE_MAX;
        } else {
            // The next voice frame of the batch, when it was read whole, is decoded with this
            // one: the two run side by side.
            std::size_t next = at + 1;
            while (next < batch.size() && batch[next].ref.is_audio == 0) ++next;
            const bool pair = batch[at].kind == BatchFrame::InRun && next < batch.size() &&
                              batch[next].kind == BatchFrame::InRun && batch[next].run_end <= got;
            if (pair) {
                uint8_t* const frames[2] = {data, batch[next].data};
                const uint32_t lengths[2] = {ref.length, batch[next].ref.length};
                uint8_t* const outputs[2] = {pcm.data(), pcm_ahead.data()};
                uint32_t output_lengths[2] = {0, 0};
                int results[2] = {0, 0};
                source_decode_audio_pair(source.get(), frames, lengths, outputs, output_lengths,
                                         results);
                pcm_length = output_lengths[0];
                decoded = results[0];
                ahead_at = next;
                ahead_length = output_lengths[1];
                ahead_result = results[1];
            } else {
                decoded =
                    source_decode_audio(source.get(), data, ref.length, pcm.data(), &pcm_length);
            }
        }
        if (decoded != 0) {
            // An undecodable voice frame keeps its place in the stream as an empty chunk.
            ++report.skipped_frames;
            pcm_length = 0;
        } else {
            predicted_pcm = pcm_length;
        }
        errno = 0;
        if (AVI_put_audio(avi, out, static_cast<int32_t>(pcm_length)) == 0) return true;
        note_write_failure();
        return false;
    };
    // The writer's free space, written out first when it is short of room for the largest
    // frame: null without a buffer, or after a failed write (which is noted).
    auto frame_space = [&](int32_t& room) -> uint8_t* {
        uint8_t* space = AVI_chunk_space(avi, &room);
        if (space != nullptr && room < kFrameRoom) {
            errno = 0;
            if (AVI_make_room(avi) != 0) {
                note_write_failure();
                return nullptr;
            }
            space = AVI_chunk_space(avi, &room);
        }
        return space != nullptr && room >= kFrameRoom ? space : nullptr;
    };
    // Where a frame read by itself goes: the writer's buffer, else `alone`. Null when the
    // output failed.
    auto space_for_one = [&]() -> uint8_t* {
        int32_t room = 0;
        uint8_t* space = frame_space(room);
        if (write_failed) return nullptr;
        return space != nullptr ? space : alone.data();
    };

    while (countdown > 0 && !ended && !write_failed) {
        if (progress.m_stopRequested.load(std::memory_order_relaxed)) {
            stopped = true;
            break;
        }
        // A batch: the next frames that lie one after the other in the recording (small gaps
        // allowed), laid out in the writer's free space as the chunks they become, so that one
        // system call reads them all into place and the puts copy nothing. Voice frames go to
        // `voice`; their PCM gets the room of the last one decoded (on a different length,
        // the later frames of the batch are read again, each by itself).
        int32_t room = 0;
        uint8_t* space = frame_space(room);
        if (write_failed) break;
        const bool buffered = space != nullptr;
        const int64_t free_bytes = buffered ? int64_t{room} + 9 : 0;

        batch.clear();
        parts.clear();
        int64_t run_start = 0;
        int64_t run_end = 0;  // file position after the last frame of the run
        int64_t planned = 0;  // bytes of the writer's free space laid out
        uint32_t voice_used = 0;
        int32_t gathered_end = 1;  // what the reader said when gathering stopped, if <= 0
        while (batch.size() < kBatchFrames && static_cast<int64_t>(batch.size()) < countdown) {
            mp4::FrameRef ref;
            int32_t found;
            if (have_carried) {
                ref = carried;
                found = static_cast<int32_t>(ref.length);
                have_carried = false;
            } else {
                found = mp4::next_frame(recording, CUSTOMMP4_FRAME_BUFFER_SIZE, ref);
            }
            if (found <= 0 && (found == 0 || source_system_error(source.get()) != 0)) {
                gathered_end = found;
                break;
            }
            if (found < 0) {
                batch.push_back(BatchFrame{ref, BatchFrame::Refused});
                continue;
            }
            const bool in_run = buffered && mp4::run_readable(recording, ref.position, ref.length);
            if (!in_run) {
                // Read by itself, as the only frame of its batch.
                if (!batch.empty()) {
                    carried = ref;
                    have_carried = true;
                } else {
                    batch.push_back(BatchFrame{ref, BatchFrame::Alone});
                }
                break;
            }
            const bool joins =
                parts.empty() || (ref.position >= run_end && ref.position - run_end <= kMaxGap);
            const int64_t chunk_bytes = ref.is_audio ? 8 + std::max<int64_t>(predicted_pcm, 0)
                                                     : 8 + int64_t{ref.length} + (ref.length & 1u);
            const bool fits = planned + chunk_bytes <= free_bytes &&
                              (ref.is_audio == 0 || voice_used + ref.length <= voice.size());
            if (!joins || !fits) {
                if (parts.empty() && !fits) {
                    batch.push_back(BatchFrame{ref, BatchFrame::Alone});
                } else {
                    carried = ref;
                    have_carried = true;
                }
                break;
            }
            if (parts.empty()) {
                run_start = ref.position;
            } else if (ref.position > run_end) {
                parts.push_back({gap.data(), static_cast<size_t>(ref.position - run_end)});
            }
            BatchFrame entry{ref, BatchFrame::InRun};
            entry.run_end = ref.position + ref.length - run_start;
            if (ref.is_audio) {
                entry.data = voice.data() + voice_used;
                voice_used += ref.length;
            } else {
                entry.data = space + planned;
            }
            entry.slot = space + planned;
            parts.push_back({entry.data, ref.length});
            planned += chunk_bytes;
            run_end = ref.position + ref.length;
            batch.push_back(entry);
            // Without a length to expect, nothing can be laid out behind a voice frame.
            if (ref.is_audio && predicted_pcm < 0) break;
        }

        got = parts.empty() ? 0 : mp4::read_run(recording, run_start, parts);
        bool moved = false;  // the writer's space is not where the batch was laid out
        ahead_at = SIZE_MAX;
        for (std::size_t at = 0; at < batch.size(); ++at) {
            const BatchFrame& entry = batch[at];
            if (entry.kind == BatchFrame::Refused) {
                // The reader has moved past a frame it refused; go on with the next one.
                ++report.skipped_frames;
            } else {
                uint8_t* data = entry.data;
                if (entry.kind == BatchFrame::InRun && entry.run_end > got) {
                    mp4::warn_read_error(entry.ref);
                    read_ended();
                    break;
                }
                if (entry.kind == BatchFrame::InRun && entry.ref.is_audio == 0) {
                    int32_t left = 0;
                    moved = moved || AVI_chunk_space(avi, &left) != entry.slot;
                }
                if (entry.kind == BatchFrame::Alone || (moved && entry.ref.is_audio == 0)) {
                    data = space_for_one();
                    if (data == nullptr) break;
                    if (!mp4::read_frame(recording, entry.ref, data)) {
                        read_ended();
                        break;
                    }
                }
                if (!put_frame(at, data)) break;
            }
            --countdown;
            progress.m_doneFrames.fetch_add(1, std::memory_order_relaxed);
        }
        // The reader's end, or its failure, comes after the frames gathered before it.
        if (gathered_end <= 0 && !ended && !write_failed) read_ended();
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
        case JobOutcome::Running:
            return "running";
        case JobOutcome::Converted:
            return "converted";
        case JobOutcome::Partial:
            return "converted, with frames missing";
        case JobOutcome::SourceNotOpened:
            return "recording not opened";
        case JobOutcome::OutputNotCreated:
            return "output not created";
        case JobOutcome::WriteFailed:
            return "write failed";
        case JobOutcome::NoFrames:
            return "no frames";
        case JobOutcome::Stopped:
            return "stopped";
        case JobOutcome::ReadFailed:
            return "read failed";
    }
    return "unknown";
}

}  // namespace tv
