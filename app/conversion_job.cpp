#include "app/conversion_job.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "app/frame_range.h"
#include "common/log.h"
#include "common/platform.h"
#include "common/sysio.h"
#include "mux/mux.h"
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
// Sample rates players take; the voice of these recorders is 8 kHz.
constexpr uint32_t kMaxAudioRate = 384000;
constexpr uint32_t kFallbackAudioRate = 8000;
// Chunks are gathered and written in blocks of this size, by a second thread while the next
// block fills.
constexpr int32_t kOutputBufferSize = 2 << 20;

bool usable_rate(double rate) {
    return std::isfinite(rate) && rate > 0.0 && rate <= 1000.0;
}

// Frames per second that the video frames over the indexed span give; NaN for a span of 0.
double derived_rate(uint32_t video_frames, uint32_t duration_ms) {
    if (duration_ms == 0) return std::numeric_limits<double>::quiet_NaN();
    // The duration is a signed 32-bit count of milliseconds.
    return static_cast<double>(video_frames) * 1000.0 /
           static_cast<double>(static_cast<int32_t>(duration_ms));
}

// Frames per second of the output: video frames over the indexed span. A span that gives no
// rate a player can show (0, negative, or a stamp out of place) leaves the rate the recorder
// stored as the best guess, else 25.
double frame_rate(uint32_t video_frames, uint32_t duration_ms, double stored_rate) {
    const double derived = derived_rate(video_frames, duration_ms);
    if (usable_rate(derived)) return derived;
    return usable_rate(stored_rate) ? stored_rate : kFallbackFrameRate;
}

void publish_start(ConversionProgress& progress, int32_t total) {
    progress.m_totalFrames.store(total);
    std::lock_guard<std::mutex> lock(progress.m_progressLock);
    progress.m_jobStarted.store(1);
}

JobReport publish_end(ConversionProgress& progress, const JobReport& report) {
    progress.m_writtenFrames.store(report.written_frames);
    progress.m_skippedFrames.store(report.skipped_frames);
    progress.m_missingFrames.store(report.missing_frames);
    progress.m_outcome.store(static_cast<int32_t>(report.outcome));
    progress.m_jobEnded.store(true, std::memory_order_release);
    return report;
}

// Creates the AVI; null when it could not be. A file that was created but did not get even its
// header is no AVI and held nothing of the user's any more (creation truncates): it is removed,
// but only a plain file: a device or a link named as the output is never removed.
AviFile* create_output(const std::string& path, JobReport& report) {
    errno = 0;
    AviFile* avi = AVI_create_output(path.c_str());
    if (avi != nullptr) return avi;
    report.avi_error = AVI_get_last_error();
    report.system_error = errno;
    std::error_code ec;
    if (report.avi_error == AVI_ERR_WRITE &&
        std::filesystem::symlink_status(platform::path_of(path), ec).type() ==
            std::filesystem::file_type::regular) {
        sysio::unlink(path.c_str());
    }
    return nullptr;
}

// Describes the streams of the output: 0, or -1 when the header could not be written. A
// recording without sound gets no audio stream: players expect none rather than an announced
// stream of zero channels.
int describe_streams(AviFile* avi, const SourceMedia* source, uint32_t frames, uint32_t span) {
    const double fps = frame_rate(frames, span, source_stored_frame_rate(source));
    if (span != 0 && !usable_rate(derived_rate(frames, span))) {
        logf("warning:%u video frames in %d ms give no usable frame rate, written as %g fps\n",
             frames, static_cast<int32_t>(span), fps);
    }
    errno = 0;
    if (AVI_describe_video(avi, static_cast<int32_t>(source_width(source) & 0xFFFF),
                           static_cast<int32_t>(source_height(source) & 0xFFFF), fps,
                           "H264") != 0) {
        return -1;
    }
    if (!source_has_audio(source)) return 0;
    uint32_t rate = source_audio_rate(source);
    if (rate == 0 || rate > kMaxAudioRate) {
        logf("warning:audio sample rate %u, written as %u Hz\n", rate, kFallbackAudioRate);
        rate = kFallbackAudioRate;
    }
    // The PCM as the source hands it out: voice frames decode to 16 bits whatever the
    // recording's header says.
    return AVI_describe_audio(avi, 1, static_cast<int32_t>(rate), source_pcm_bits(source), 1, 0);
}

// Whether the output is written aside and renamed at the end: a new or plain file is; a
// device, a FIFO or a link named as the output is written straight, as it always was.
bool writes_aside(const std::string& output) {
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(platform::path_of(output), ec).type();
    return type == std::filesystem::file_type::not_found ||
           type == std::filesystem::file_type::regular;
}

bool same_file(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(platform::path_of(a), platform::path_of(b), ec);
}

// Holds the lock of the .part that the conversion writes.
struct PartLock {
    int fd = -1;
    ~PartLock() {
        if (fd >= 0) sysio::close(fd);
    }
};

// Gives the .part the output's name when the conversion ended with frames written; keeps a
// .part that holds frames otherwise, and removes an empty one.
void put_in_place(const std::string& part, const std::string& output, bool replace,
                  JobReport& report) {
    if (report.outcome == JobOutcome::Converted || report.outcome == JobOutcome::Partial) {
        errno = 0;
        if (sysio::rename(part.c_str(), output.c_str(), replace) == 0) return;
        report.outcome = JobOutcome::NotPutInPlace;
        report.system_error = errno;
    }
    if (report.written_frames > 0) {
        report.kept_part = part;
    } else {
        sysio::unlink(part.c_str());
    }
}

// What the job writes into: our AVI writer, or a Matroska or MP4 muxer (with the recorded
// time of every frame).
struct Output {
    AviFile* avi = nullptr;
    std::unique_ptr<mux::Muxer> muxer;
    // What went into the AVI, for a join's alignment of the voice.
    uint64_t video_frames = 0, audio_bytes = 0;
    // Chunks put, and the places among them of a join's silence: chunks reach the file in
    // order, so those before the file's count are the silence it holds.
    uint64_t chunks = 0;
    std::vector<uint64_t> silence_at;

    int put(const SourceFrame& frame) {
        errno = 0;
        if (muxer) {
            return muxer->put(mux::Frame{frame.data, frame.length, frame.time_stamp,
                                         frame.is_audio != 0, frame.key_flag != 0});
        }
        const auto length = static_cast<int32_t>(frame.length);
        ++chunks;
        if (frame.is_audio) {
            audio_bytes += frame.length;
            return AVI_put_audio(avi, frame.data, length);
        }
        ++video_frames;
        return AVI_put_video_frame(avi, frame.data, length, frame.key_flag);
    }

    // An AVI plays its audio as one run of samples beside pictures at one rate: before a
    // joined recording, silence fills the audio up to the pictures' time, so that its voice
    // starts with its own pictures (audio ahead of them cannot be taken back). 0, or -1 when
    // a write failed.
    int align_audio(double fps, uint32_t rate, uint16_t bits) {
        if (avi == nullptr || fps <= 0) return 0;
        const uint32_t sample_bytes = bits <= 8 ? 1 : 2;
        const auto want = static_cast<uint64_t>(
            std::llround(static_cast<double>(video_frames) / fps * rate) * sample_bytes);
        if (want <= audio_bytes) return 0;
        // Unsigned 8-bit PCM is silent at its middle.
        const std::vector<uint8_t> silence(std::min<uint64_t>(want - audio_bytes, 1 << 16),
                                           bits <= 8 ? 0x80 : 0);
        while (audio_bytes < want) {
            const auto n =
                static_cast<int32_t>(std::min<uint64_t>(want - audio_bytes, silence.size()));
            errno = 0;
            silence_at.push_back(chunks++);
            if (AVI_put_audio(avi, silence.data(), n) != 0) return -1;
            audio_bytes += static_cast<uint64_t>(n);
        }
        return 0;
    }

    // Of `in_file` chunks, those that are frames of the recordings.
    int32_t frames_among(int32_t in_file) const {
        const auto end = std::lower_bound(silence_at.begin(), silence_at.end(),
                                          static_cast<uint64_t>(std::max(in_file, 0)));
        return in_file - static_cast<int32_t>(end - silence_at.begin());
    }
};

enum class Ending { None, ReadFailed, WriteFailed, Stopped, NotCreated };

// The output's failure is the one to tell: the recording's would be lost with it.
void fail_write(Ending& ending, JobReport& report, const Output& output) {
    if (ending == Ending::WriteFailed) return;
    ending = Ending::WriteFailed;
    if (output.muxer) {
        report.system_error = output.muxer->error();
    } else {
        report.avi_error = AVI_get_last_error();
        report.system_error = errno;
    }
}

// Matroska and MP4 take what the recording says of itself; the muxer finds the picture's
// parameters in the stream.
mux::Description mux_description(const SourceMedia* source, const std::string& source_path,
                                 const ConversionOptions& options, int64_t start_time) {
    mux::Description d;
    d.width = source_width(source);
    d.height = source_height(source);
    d.has_audio = source_has_audio(source) != 0;
    d.sample_rate = source_audio_rate(source);
    if (d.sample_rate == 0 || d.sample_rate > kMaxAudioRate) d.sample_rate = kFallbackAudioRate;
    d.start_time = start_time;
    d.title = platform::utf8_of(platform::path_of(source_path).filename());
    d.version = TORVANE_VERSION;
    d.clock_subtitles = options.clock_track;
    return d;
}

// Creates the file the job writes (locking a .part against other conversions) and describes
// its streams; false when it could not be created, with the cause in the report.
// What the output is made of: the first recording, the video frames and span that give the
// AVI's rate, and the wall-clock time of the first frame (Matroska and MP4).
struct Streams {
    const SourceMedia* source = nullptr;
    std::string path;
    uint32_t video_frames = 0, span_ms = 0;
    int64_t start_time = 0;
};

// Locks the .part that the conversion writes against other conversions; false with the cause in
// the report when it cannot be.
bool lock_part(PartLock& lock, const std::string& written, JobReport& report) {
    errno = 0;
    if ((lock.fd = sysio::lock_file(written.c_str())) >= 0) return true;
    report.system_error = errno;
    return false;
}

bool open_output(Output& output, OutputFormat format, const std::string& written, bool aside,
                 const Streams& streams, const ConversionOptions& options, Ending& ending,
                 JobReport& report) {
    const SourceMedia* source = streams.source;
    if (format == OutputFormat::Matroska || format == OutputFormat::Mp4) {
        output.muxer = std::make_unique<mux::Muxer>();
        const auto container =
            format == OutputFormat::Mp4 ? mux::Container::Mp4 : mux::Container::Matroska;
        if (output.muxer->open(
                written, container,
                mux_description(source, streams.path, options, streams.start_time)) == 0)
            return true;
        report.system_error = output.muxer->error();
        if (aside) sysio::unlink(written.c_str());
        return false;
    }
    output.avi = create_output(written, report);
    if (output.avi == nullptr) {
        if (aside) sysio::unlink(written.c_str());
        return false;
    }
    // Chunks are gathered in a buffer written behind; without the memory for it the writer
    // writes chunk by chunk, which gives the same file.
    if (AVI_set_write_buffer(output.avi, kOutputBufferSize) == 0)
        AVI_set_write_behind(output.avi, 1);
    if ((options.avi_segment_size != 0 &&
         AVI_set_segment_size(output.avi, options.avi_segment_size) != 0) ||
        describe_streams(output.avi, source, streams.video_frames, streams.span_ms) != 0) {
        fail_write(ending, report, output);
    }
    return true;
}

// Writes what is pending and closes the output: the frames that reached the file.
int32_t close_output(Output& output, Ending& ending, JobReport& report) {
    if (output.avi == nullptr && !output.muxer) return 0;  // never opened
    if (output.muxer) {
        if (output.muxer->finish() != 0) fail_write(ending, report, output);
        return static_cast<int32_t>(output.muxer->written_frames());
    }
    // Buffered chunks go to the file before counting: the report counts what the file holds.
    errno = 0;
    if (AVI_flush(output.avi) != 0) fail_write(ending, report, output);
    const auto written = static_cast<int32_t>(AVI_chunks_in_file(output.avi));
    errno = 0;
    if (AVI_finish(output.avi) != 0) fail_write(ending, report, output);
    return written;
}

// What the job needs to know of a recording beside its frames.
struct Facts {
    uint32_t width = 0, height = 0;
    bool has_audio = false;
    uint32_t rate = 0;
    uint16_t bits = 0;
    uint32_t start_stamp = 0;
    uint32_t missing_segments = 0, missing_ms = 0;
};

// One recording of the job, with what maps its stamps onto the output's timeline. A join opens
// one recording at a time: each is read up to its first key frame for its picture's parameters
// and closed; at its turn it is opened again, its diagnostics already told.
struct Recording {
    SourcePtr media;
    std::string path;
    SourceSummary summary;
    Facts facts;
    int64_t stamp_offset = 0;  // added to its stamps: a join's later recordings continue
    struct Frame {
        SourceFrame frame;
        std::vector<uint8_t> bytes;
    };
    std::vector<Frame> peeked;  // read before anything was written; written first
    size_t replayed = 0;
    uint32_t to_pass = 0;    // frames to pass over once opened again: those peeked
    std::string parameters;  // the key frame's H.264 sequence parameter sets; empty if none
    int open_error = 0;      // errno of opening it again

    bool reopen() {
        LogMute mute;
        errno = 0;
        media.reset(source_open(path.c_str(), 0));
        open_error = errno;
        return media != nullptr;
    }

    // The next frame, as source_next_frame gives it: a peeked one, else the recording's next.
    int next(SourceFrame& frame) {
        if (replayed < peeked.size()) {
            Frame& f = peeked[replayed++];
            frame = f.frame;
            frame.data = f.bytes.data();
            return 1;
        }
        if (!peeked.empty()) {
            std::vector<Frame>().swap(peeked);
            replayed = 0;
        }
        if (!media && !reopen()) return -1;
        if (to_pass > 0) {
            LogMute mute;
            for (; to_pass > 0; --to_pass) {
                const int got = source_next_frame(media.get(), &frame);
                if (got <= 0) {
                    to_pass = 0;
                    return got;
                }
            }
        }
        return source_next_frame(media.get(), &frame);
    }
};

// The sequence parameter sets (H.264 NAL units of type 7) of an Annex-B picture, as bytes.
std::string sequence_parameters(const uint8_t* data, uint32_t length) {
    std::string found;
    uint32_t i = 0;
    auto start_code = [&](uint32_t at) {
        return at + 3 <= length && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
    };
    while (i < length && !start_code(i)) ++i;
    while (i < length) {
        const uint32_t begin = i + 3;
        uint32_t end = begin;
        while (end < length && !start_code(end)) ++end;
        uint32_t last = end;
        while (last > begin && data[last - 1] == 0) --last;  // a 4-byte start code's zero
        if (begin < last && (data[begin] & 0x1F) == 7)
            found.append(reinterpret_cast<const char*>(data + begin), last - begin);
        i = end;
    }
    return found;
}

// Reads a recording to its first whole video key frame and takes its parameters; frames read
// are kept for writing, within `budget` bytes for all the recordings. One without a key frame
// within it is not compared.
void peek_parameters(Recording& r, uint64_t& budget) {
    for (;;) {
        SourceFrame frame;
        if (source_next_frame(r.media.get(), &frame) <= 0) return;  // it says so again later
        ++r.to_pass;
        if (frame.length > budget) {
            // Kept as far as they go; the rest is read again at its turn.
            r.to_pass = static_cast<uint32_t>(r.peeked.size());
            return;
        }
        auto& f = r.peeked.emplace_back();
        f.frame = frame;
        f.bytes.assign(frame.data, frame.data + frame.length);
        budget -= frame.length;
        if (!frame.is_audio && frame.key_flag && frame.status == SOURCE_FRAME_WHOLE) {
            r.parameters = sequence_parameters(frame.data, frame.length);
            return;
        }
    }
}

Facts facts_of(const SourceMedia* m) {
    return {source_width(m),
            source_height(m),
            source_has_audio(m) != 0,
            source_audio_rate(m),
            source_pcm_bits(m),
            source_start_stamp(m),
            source_missing_segments(m),
            source_missing_time(m)};
}

// Moves the recordings' frames to the output until they end or fail, the output fails, a stop
// is asked for, every announced frame has been handled, or a span's end is passed. The output
// is opened by `open` before the first frame is put.
void move_frames(std::vector<Recording>& recordings, Output& output,
                 const std::function<bool(const SourceFrame&)>& open,
                 const std::function<int()>& between, ConversionProgress& progress, Ending& ending,
                 JobReport& report, const ConversionOptions& options) {
    int32_t left = report.total_frames;
    std::optional<FrameRange> range;
    if (options.from || options.to) {
        const Recording& first = recordings.front();
        auto stamp_of = [&](const std::optional<RecordingTime>& t, int64_t otherwise) {
            if (!t) return otherwise;
            const int64_t base = first.facts.start_stamp;
            return t->wall_clock ? base + (t->value - int64_t{first.summary.start_time}) * 1000
                                 : base + t->value;
        };
        range.emplace(stamp_of(options.from, INT64_MIN), stamp_of(options.to, INT64_MAX));
    }
    bool opened = false;
    SourceMedia* media = nullptr;
    auto put = [&](const SourceFrame& frame) {
        if (ending != Ending::None) return;
        if (!opened) {
            opened = true;
            if (!open(frame)) {
                ending = Ending::NotCreated;
                return;
            }
        }
        if (options.on_frame) options.on_frame(media, frame);
        // A refused entry is passed over; an undecodable voice frame keeps its place, empty.
        if (frame.status != SOURCE_FRAME_WHOLE) ++report.skipped_frames;
        if (frame.status != SOURCE_FRAME_REFUSED && output.put(frame) != 0)
            fail_write(ending, report, output);
    };
    bool recording_ended = false;
    for (size_t r = 0; r < recordings.size() && ending == Ending::None; ++r) {
        Recording& recording = recordings[r];
        if (r > 0 && opened && ending == Ending::None && between() != 0)
            fail_write(ending, report, output);
        while (ending == Ending::None && left > 0) {
            if (progress.m_stopRequested.load(std::memory_order_relaxed)) {
                ending = Ending::Stopped;
                return;
            }
            SourceFrame frame;
            const int got = recording.next(frame);
            media = recording.media.get();
            if (got <= 0) {
                if (got < 0) {
                    ending = Ending::ReadFailed;
                    report.system_error = media ? source_system_error(media) : recording.open_error;
                }
                recording_ended = true;
                break;
            }
            frame.time_stamp =
                static_cast<uint32_t>(int64_t{frame.time_stamp} + recording.stamp_offset);
            --left;
            progress.m_doneFrames.fetch_add(1, std::memory_order_relaxed);
            if (!range) {
                put(frame);
            } else if (!range->take(frame, put)) {
                break;
            }
        }
        // Its read-ahead is not needed any more: one recording's memory at a time. The first
        // describes the output, which a span opens at its first frame.
        if (r > 0) recording.media.reset();
        if (range && range->ended()) break;
    }
    if (range) {
        // The span's frames are the conversion's; frames outside it were never announced.
        report.total_frames = static_cast<int32_t>(
            std::min<uint64_t>(range->taken(), std::numeric_limits<int32_t>::max()));
        if (!range->ended() && recording_ended && ending == Ending::None) {
            report.missing_frames = left;
            report.total_frames += left;
        }
        return;
    }
    if (ending == Ending::None) report.missing_frames = left;
}

JobOutcome outcome_of(Ending ending, const JobReport& report) {
    switch (ending) {
        case Ending::WriteFailed:
            return JobOutcome::WriteFailed;
        case Ending::ReadFailed:
            return JobOutcome::ReadFailed;
        case Ending::Stopped:
            return JobOutcome::Stopped;
        case Ending::NotCreated:
            return JobOutcome::OutputNotCreated;
        default:
            break;
    }
    if (report.written_frames == 0) return JobOutcome::NoFrames;
    if (report.skipped_frames > 0 || report.missing_frames > 0 || report.missing_segments > 0 ||
        report.missing_ms > 0) {
        return JobOutcome::Partial;
    }
    return JobOutcome::Converted;
}

// Each container: its short name (also its extension) and how messages call a file of it.
struct FormatName {
    OutputFormat format;
    std::string_view name;
    const char* file;
};
constexpr FormatName kFormatNames[] = {{OutputFormat::Avi, "avi", "the AVI"},
                                       {OutputFormat::Matroska, "mkv", "the Matroska file"},
                                       {OutputFormat::Mp4, "mp4", "the MP4 file"}};

const FormatName& format_name(OutputFormat format) {
    for (const auto& known : kFormatNames)
        if (known.format == format) return known;
    return kFormatNames[0];
}

}  // namespace

const char* OutputFormatName(OutputFormat format) {
    return format_name(format).name.data();
}

OutputFormat OutputFormatNamed(std::string_view name) {
    for (const auto& known : kFormatNames) {
        if (name.size() == known.name.size() &&
            std::equal(name.begin(), name.end(), known.name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            }))
            return known.format;
    }
    return OutputFormat::ByExtension;
}

OutputFormat OutputFormatFor(const std::string& output, OutputFormat chosen) {
    if (chosen != OutputFormat::ByExtension) return chosen;
    const std::string extension = platform::utf8_of(platform::path_of(output).extension());
    const OutputFormat named =
        extension.empty() ? OutputFormat::ByExtension : OutputFormatNamed(extension.substr(1));
    return named == OutputFormat::ByExtension ? OutputFormat::Avi : named;
}

int PutInPlace(const std::string& part, const std::string& path, bool replace) {
    return sysio::rename(part.c_str(), path.c_str(), replace);
}

double ConversionFrameRate(uint32_t video_frames, uint32_t duration_ms, double stored_rate) {
    return frame_rate(video_frames, duration_ms, stored_rate);
}

namespace {

// How a recording to join differs from the first, in words; empty when it matches.
std::string difference(const Facts& first, const Facts& other) {
    auto picture = [](const Facts& f) {
        return std::to_string(f.width) + "x" + std::to_string(f.height);
    };
    auto sound = [](const Facts& f) {
        if (!f.has_audio) return std::string("no audio");
        return std::to_string(f.rate) + " Hz " + std::to_string(f.bits) + "-bit audio";
    };
    if (picture(first) != picture(other))
        return "a picture of " + picture(other) + ", not " + picture(first);
    if (sound(first) != sound(other)) return sound(other) + ", not " + sound(first);
    return {};
}

JobReport run_job(const std::vector<std::string>& paths, const std::string& outputPath,
                  ConversionProgress& progress, const ConversionOptions& options) {
    JobReport report;
    progress.m_jobEnded.store(false);
    progress.m_outcome.store(static_cast<int32_t>(JobOutcome::Running));

    std::vector<Recording> recordings;
    const bool join = paths.size() > 1;
    uint64_t peek_budget = 64u << 20;
    for (const auto& path : paths) {
        errno = 0;
        SourcePtr media(source_open(path.c_str(), 0));
        if (!media) {
            report.outcome = JobOutcome::SourceNotOpened;
            report.system_error = errno;
            if (join) report.culprit = path;
            return publish_end(progress, report);
        }
        Recording& r = recordings.emplace_back();
        const SourceMedia* m = media.get();
        r.path = path;
        r.summary = {path,
                     source_start_time(m),
                     source_end_time(m),
                     source_duration(m),
                     source_video_frame_count(m),
                     source_audio_frame_count(m)};
        r.facts = facts_of(m);
        r.media = std::move(media);
        if (join) {
            peek_parameters(r, peek_budget);
            r.media.reset();
        }
    }
    if (recordings.empty()) {
        report.outcome = JobOutcome::NoFrames;
        return publish_end(progress, report);
    }
    // A join takes the recordings in the order they were recorded.
    std::stable_sort(recordings.begin(), recordings.end(), [](const auto& a, const auto& b) {
        return a.summary.start_time < b.summary.start_time;
    });
    const Recording& head = recordings.front();
    uint64_t announced = 0, span_ms = 0, video_frames = 0;
    for (auto& r : recordings) {
        report.sources.push_back(r.summary);
        // Its stamps continue the first's by the time between their starts.
        r.stamp_offset = (int64_t{r.summary.start_time} - int64_t{head.summary.start_time}) * 1000 +
                         int64_t{head.facts.start_stamp} - int64_t{r.facts.start_stamp};
        announced += uint64_t{r.summary.video_frames} + r.summary.audio_frames;
        video_frames += r.summary.video_frames;
        span_ms += r.summary.duration_ms;
        report.missing_segments += r.facts.missing_segments;
        report.missing_ms += r.facts.missing_ms;
    }
    for (const auto& r : recordings) {
        report.mismatch = difference(head.facts, r.facts);
        const std::string& expected = recordings.front().parameters;
        if (report.mismatch.empty() && !expected.empty() && !r.parameters.empty() &&
            r.parameters != expected)
            report.mismatch = "other H.264 parameters (sequence parameter set)";
        if (!report.mismatch.empty()) {
            report.culprit = r.path;
            report.outcome = JobOutcome::NotJoinable;
            return publish_end(progress, report);
        }
    }
    // A plain or new output is written aside and takes its name at the end.
    const bool aside = writes_aside(outputPath);
    const std::string written = aside ? outputPath + ".part" : outputPath;
    for (const auto& r : recordings) {
        if (same_file(r.path, outputPath) || same_file(r.path, written)) {
            report.outcome = JobOutcome::OutputIsRecording;
            return publish_end(progress, report);
        }
    }
    // The first describes the output.
    if (!recordings.front().media && !recordings.front().reopen()) {
        report.outcome = JobOutcome::SourceNotOpened;
        report.system_error = recordings.front().open_error;
        report.culprit = recordings.front().path;
        return publish_end(progress, report);
    }
    const SourceMedia* first = recordings.front().media.get();
    Streams streams{
        first, head.path, static_cast<uint32_t>(std::min<uint64_t>(video_frames, UINT32_MAX)),
        static_cast<uint32_t>(std::min<uint64_t>(span_ms, INT32_MAX)), head.summary.start_time};
    report.total_frames =
        static_cast<int32_t>(std::min<uint64_t>(announced, std::numeric_limits<int32_t>::max()));
    publish_start(progress, report.total_frames);

    PartLock lock;
    Output output;
    Ending ending = Ending::None;
    const OutputFormat format = OutputFormatFor(outputPath, options.format);
    report.format = format;
    auto open = [&](const SourceFrame* frame) {
        if (frame != nullptr) {
            // A span starts where its first frame was recorded.
            const int64_t ms = int64_t{frame->time_stamp} - int64_t{head.facts.start_stamp};
            streams.start_time += (ms >= 0 ? ms : ms - 999) / 1000;
        }
        return open_output(output, format, written, aside, streams, options, ending, report);
    };
    if (aside && !lock_part(lock, written, report)) {
        report.outcome = JobOutcome::OutputNotCreated;
        return publish_end(progress, report);
    }
    // A span's output waits for its first frame; a whole recording's is made at once.
    const bool span = options.from || options.to;
    if (!span && !open(nullptr)) {
        report.outcome = JobOutcome::OutputNotCreated;
        return publish_end(progress, report);
    }
    const double fps =
        frame_rate(streams.video_frames, streams.span_ms, source_stored_frame_rate(first));
    if (format == OutputFormat::Avi) report.frame_rate = fps;
    uint32_t rate = source_audio_rate(first);
    if (rate == 0 || rate > kMaxAudioRate) rate = kFallbackAudioRate;
    const uint16_t bits = source_pcm_bits(first);
    const bool align = join && source_has_audio(first);
    move_frames(
        recordings, output, [&](const SourceFrame& f) { return !span || open(&f); },
        [&] { return align ? output.align_audio(fps, rate, bits) : 0; }, progress, ending, report,
        options);
    progress.m_doneFrames.store(progress.m_totalFrames.load());
    // The frames of the recordings that reached the file, without a join's silence.
    report.written_frames = output.frames_among(close_output(output, ending, report));
    const uint32_t end_time = report.sources.back().end_time;
    recordings.clear();

    report.outcome = outcome_of(ending, report);
    if (aside) put_in_place(written, outputPath, options.replace_existing, report);
    const bool in_place =
        report.outcome == JobOutcome::Converted || report.outcome == JobOutcome::Partial;
    if (aside && in_place && options.preserve_time) sysio::set_times(outputPath.c_str(), end_time);
    return publish_end(progress, report);
}

}  // namespace

JobReport ConversionJob(const std::string& sourcePath, const std::string& outputPath,
                        ConversionProgress& progress, const ConversionOptions& options) {
    return run_job({sourcePath}, outputPath, progress, options);
}

JobReport JoinJob(const std::vector<std::string>& sourcePaths, const std::string& outputPath,
                  ConversionProgress& progress, const ConversionOptions& options) {
    return run_job(sourcePaths, outputPath, progress, options);
}

namespace {

constexpr OutcomeRow kOutcomes[] = {
    {JobOutcome::Running, "running", 1, "running", "", OutcomeLevel::Error, "MessageFailed",
     "The conversion failed."},
    {JobOutcome::Converted, "converted", 0, "converted, {written} frames", "",
     OutcomeLevel::Information, "MessageAVIsucceed", "The AVI file has been created."},
    {JobOutcome::Partial, "converted, with frames missing", 3,
     "converted {written} of {total} frames ({skipped} skipped, {missing} missing at the end of "
     "the recording){lost}",
     "", OutcomeLevel::Warning, "MessageAVIPartial",
     "The AVI file has been created, but {skipped} of {total} frames could not be converted and "
     "are missing from it."},
    {JobOutcome::SourceNotOpened, "recording not opened", 1,
     "the recording could not be opened{cause}", " (damaged, or not an .ifv recording)",
     OutcomeLevel::Error, "MessageSourceFailed",
     "The recording could not be opened. It may be damaged or not an ifv recording."},
    {JobOutcome::OutputNotCreated, "output not created", 1,
     "the output {output} could not be created{cause}", "", OutcomeLevel::Error,
     "MessageOutputFailed",
     "The AVI file could not be created. Check the folder and the free space."},
    {JobOutcome::WriteFailed, "write failed", 1,
     "writing {output} failed{cause}; {container} {kept} holds the {written} frames written before",
     nullptr, OutcomeLevel::Error, "MessageWriteFailed",
     "Writing the AVI file failed after {written} frames. The file holds only the part written "
     "before the failure."},
    {JobOutcome::NoFrames, "no frames", 1, "the recording holds no frames", "", OutcomeLevel::Error,
     "MessageNoFrames", "The recording holds no frames; there is nothing to convert."},
    {JobOutcome::Stopped, "stopped", 1,
     "stopped; {container} {kept} holds the {written} frames written before", "",
     OutcomeLevel::Warning, "MessageStopped",
     "The conversion was stopped. The AVI file holds the {written} frames written until then."},
    {JobOutcome::ReadFailed, "read failed", 1,
     "reading {input} failed{cause}; {container} {kept} holds the {written} frames read before", "",
     OutcomeLevel::Error, "MessageReadFailed",
     "Reading the recording failed after {written} frames. The AVI file holds only the part "
     "converted before the failure."},
    {JobOutcome::OutputIsRecording, "output is the recording", 1,
     "the output would replace the recording itself", "", OutcomeLevel::Error,
     "MessageOutputIsSource",
     "The AVI file chosen is the recording itself. Choose another name for the AVI file."},
    {JobOutcome::NotPutInPlace, "not put in place", 1,
     "the output {output} could not be put in place{cause}; {container} {kept} holds the {written} "
     "frames",
     "", OutcomeLevel::Error, "MessageNotPutInPlace",
     "The AVI file could not be given its name (another file took it meanwhile, or the folder "
     "refused). The {written} frames converted are in the file named below."},
    {JobOutcome::NotJoinable, "recordings do not match", 1,
     "{culprit} does not match the first recording, {first}: it has {mismatch}", "",
     OutcomeLevel::Error, "MessageFailed",
     "The recordings do not match (picture size or audio); they cannot be joined."},
};
constexpr OutcomeRow kUnknownOutcome = {
    JobOutcome::Running,     "unknown", 1, "unknown", "", OutcomeLevel::Error, "MessageFailed",
    "The conversion failed."};

}  // namespace

const OutcomeRow& OutcomeRowOf(JobOutcome outcome) {
    for (const OutcomeRow& row : kOutcomes)
        if (row.outcome == outcome) return row;
    return kUnknownOutcome;
}

const char* JobOutcomeText(JobOutcome outcome) {
    return OutcomeRowOf(outcome).text;
}

std::string OutcomeReason(const JobReport& report, const std::string& input,
                          const std::string& output) {
    const OutcomeRow& row = OutcomeRowOf(report.outcome);
    std::string cause;
    if (report.system_error != 0) {
        cause = std::string(": ") + std::strerror(report.system_error);
    } else if (row.unexplained != nullptr) {
        cause = row.unexplained;
    } else if (report.avi_error > AVI_ERR_NONE && report.avi_error <= AVI_ERR_UNKNOWN) {
        cause = std::string(" (") + AVI_error_messages[report.avi_error] + ")";
    }
    std::string lost;
    if (report.missing_segments > 0)
        lost +=
            "; " + std::to_string(report.missing_segments) + " of the recording's segments missing";
    if (report.missing_ms > 0) {
        lost += "; the frames cover " + std::to_string((report.missing_ms + 500) / 1000) +
                " s less than the recording's start and end times";
    }
    const std::pair<std::string_view, std::string> fields[] = {
        {"{input}", input},
        {"{output}", output},
        {"{kept}", report.kept_part.empty() ? output : report.kept_part},
        {"{container}", format_name(report.format).file},
        {"{written}", std::to_string(report.written_frames)},
        {"{total}", std::to_string(report.total_frames)},
        {"{skipped}", std::to_string(report.skipped_frames)},
        {"{missing}", std::to_string(report.missing_frames)},
        {"{lost}", lost},
        {"{culprit}", report.culprit},
        {"{first}", report.sources.empty() ? std::string() : report.sources.front().path},
        {"{mismatch}", report.mismatch},
        {"{cause}", cause}};
    std::string out;
    for (std::string_view text = row.reason; !text.empty();) {
        const auto field = std::find_if(std::begin(fields), std::end(fields),
                                        [&](const auto& f) { return text.starts_with(f.first); });
        if (field != std::end(fields)) {
            out += field->second;
            text.remove_prefix(field->first.size());
        } else {
            out += text.front();
            text.remove_prefix(1);
        }
    }
    return out;
}

}  // namespace tv
