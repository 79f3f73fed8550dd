// Frames to libavformat packets. Video units are copied unchanged into the length-prefixed
// form MP4 and Matroska carry (mux/avc.h); PCM is copied into Matroska and encoded to AAC for
// MP4, which has no place for raw PCM that players agree on.
//
// Once the header is written, put() only copies the frame into a bounded queue (video
// length-prefixed in place where it can be), and a thread of the muxer's own hands the frames
// to libavformat and writes the file.
#include "mux/mux.h"

#include "mux/avc.h"
#include "mux/output_file.h"

#include "common/log.h"
#include "common/platform.h"
#include "common/sysio.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace tv::mux {

namespace {

constexpr AVRational kMilliseconds{1, 1000};
// Audio that comes before the first video key frame waits for the header, up to this much.
constexpr size_t kPendingAudioLimit = 8u << 20;
constexpr int64_t kAacBitRate = 32000;
constexpr int64_t kMaxCuesAtOnce = 86400;
// Frame bytes queued for the muxing thread at most (beside those it has taken): enough for the
// reading to go on while the thread writes out a Matroska cluster, few enough that the frames
// are still in the processor's cache when the thread takes them (8 MiB took more time). The
// thread takes what is queued once a quarter megabyte is there: waking it for every frame
// would cost more than it saves.
constexpr size_t kQueueLimit = 2u << 20;
constexpr size_t kQueueBatch = 256u << 10;
std::string iso8601_utc(int64_t seconds) {
    std::tm tm{};
    if (!platform::utc_time(seconds, tm)) return {};
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &tm) == 0) return {};
    return text;
}

// libav's warnings and errors join the library's diagnostics (its chatter is dropped). The
// callback is process-wide: libtorvane is the one user of libav in its programs.
void log_libav(void* context, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    thread_local int print_prefix = 1;
    char line[1024];
    av_log_format_line2(context, level, format, args, line, sizeof line, &print_prefix);
    size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
    if (n > 0) tv::logf("%s", line);
}

// The timed-text sample entry after its common fields: no display flags, centred at the
// bottom, transparent background, default box, white text of font 1 (18 px), font table.
const uint8_t kTx3gEntry[] = {
    0, 0, 0, 0,                                       // displayFlags
    1, 0xff,                                          // horizontal, vertical justification
    0, 0, 0, 0,                                       // background-color-rgba
    0, 0, 0, 0, 0, 0, 0, 0,                           // default-text-box
    0, 0, 0, 0, 0, 1, 0, 18, 0xff, 0xff, 0xff, 0xff,  // style: chars 0-0, font 1,
                                                      // plain, 18
    0, 0, 0, 17, 'f', 't', 'a', 'b', 0, 1, 0, 1, 4, 'S', 'a', 'n', 's',  // font 1: Sans
};

}  // namespace

struct Muxer::State {
    Container container = Container::Matroska;
    uint32_t sample_rate = 0;
    AVFormatContext* fc = nullptr;
    OutputFile file;
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    AVStream* clock = nullptr;
    int64_t start_time = 0;
    int64_t next_cue = 0;  // in seconds from the first frame
    AVCodecContext* aac = nullptr;
    AVFrame* aac_frame = nullptr;
    AVPacket* packet = nullptr;

    bool header_written = false;
    bool trailer_written = false;
    bool failed = false;
    int error = 0;
    std::string error_text;
    // Counted on both threads.
    std::atomic<uint64_t> written = 0;
    std::atomic<uint64_t> dropped = 0;

    // Frames put after the header, waiting for the muxing thread (which owns everything above
    // while it runs; the putting thread reads `failed` only once the thread has ended).
    struct Queued {
        uint32_t time_stamp = 0;
        bool is_audio = false;
        bool key = false;
        bool annexb = false;  // video that the thread still has to frame
        std::vector<uint8_t> bytes;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Queued> queue;
    std::vector<std::vector<uint8_t>> free_buffers;  // of frames done with, for reuse
    size_t free_bytes = 0;                           // their capacity
    size_t queued_bytes = 0;
    bool stopping = false;
    bool thread_failed = false;
    std::thread thread;

    // Every stream's time is measured from the first frame put, of either kind.
    bool have_origin = false;
    uint32_t origin = 0;
    int64_t last_video_ms = -1;
    int64_t last_audio_ms = -1;
    int64_t last_video_interval = 0;

    // Parameter sets seen before the header (NAL units without start codes).
    std::vector<std::vector<uint8_t>> sps;
    std::vector<std::vector<uint8_t>> pps;
    // Video goes in length-prefixed, converted here (libavformat's own conversion scans the
    // frames byte by byte and copies them twice); Annex-B as it came if the parameter sets
    // cannot be described, and libavformat converts.
    bool length_prefixed = false;
    std::vector<uint8_t> converted;
    std::string encoder;

    struct PendingAudio {
        uint32_t time_stamp;
        std::vector<uint8_t> pcm;
    };
    std::deque<PendingAudio> pending_audio;
    size_t pending_bytes = 0;

    // Samples waiting for a whole AAC frame; fifo_pts is the first one's time in samples.
    std::vector<float> fifo;
    int64_t fifo_pts = 0;
    bool fifo_started = false;

    ~State() { release(); }

    void start_thread() {
        try {
            thread = std::thread(&State::mux_frames, this);
        } catch (const std::system_error&) {
            // Without a thread, put() goes on muxing on its caller's: the same file.
        }
    }

    // Lets the thread mux what is queued and end; afterwards all is on the caller's thread.
    void stop_thread() {
        if (!thread.joinable()) return;
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        thread.join();
    }

    void mux_frames() {
        std::deque<Queued> batch;
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return queued_bytes >= kQueueBatch || stopping; });
            if (queue.empty()) return;  // stopping, all muxed
            batch.swap(queue);
            queued_bytes = 0;
            lock.unlock();
            changed.notify_all();  // room for the putting thread
            int r = 0;
            for (const Queued& f : batch) {
                r = f.is_audio ? put_audio(f.time_stamp, f.bytes.data(), f.bytes.size())
                               : put_queued_video(f);
                if (r < 0) break;  // what is left is lost with the file
            }
            lock.lock();
            for (Queued& f : batch) recycle(f.bytes);
            batch.clear();
            if (r < 0) {
                thread_failed = true;
                for (Queued& f : queue) recycle(f.bytes);
                queue.clear();
                queued_bytes = 0;
                changed.notify_all();
                return;
            }
        }
    }

    // Keeps a frame's buffer for another, as long as those kept hold no more than the queue and
    // a batch (each grows to the largest frame it held: kept all, they took 12 MiB more at
    // 1 GiB). With the lock.
    void recycle(std::vector<uint8_t>& bytes) {
        if (free_bytes + bytes.capacity() > 2 * kQueueLimit) return;
        free_bytes += bytes.capacity();
        free_buffers.push_back(std::move(bytes));
    }

    // Queues a frame for the thread: 0, or -1 when the thread failed.
    int enqueue(const Frame& f) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return queued_bytes < kQueueLimit || thread_failed; });
        if (thread_failed) {
            lock.unlock();
            stop_thread();
            return -1;
        }
        Queued q{f.time_stamp, f.is_audio, f.key, false, {}};
        if (!free_buffers.empty()) {
            q.bytes = std::move(free_buffers.back());
            free_buffers.pop_back();
            free_bytes -= q.bytes.capacity();
        }
        lock.unlock();
        q.bytes.assign(f.data, f.data + f.length);
        // Framed here while the frame is in this processor's cache; where that takes a copy
        // (some start codes of three bytes) the thread frames it.
        q.annexb = !f.is_audio && length_prefixed && !avc::to_length_prefixed_in_place(q.bytes);
        lock.lock();
        const bool batch_full =
            queued_bytes < kQueueBatch && queued_bytes + q.bytes.size() >= kQueueBatch;
        queued_bytes += q.bytes.size();
        queue.push_back(std::move(q));
        lock.unlock();
        if (batch_full) changed.notify_all();
        return 0;
    }

    void release() {
        stop_thread();
        if (aac) {
            // What the encoder still holds is dropped, quietly.
            if (avcodec_send_frame(aac, nullptr) == 0)
                while (avcodec_receive_packet(aac, packet) == 0) av_packet_unref(packet);
        }
        if (fc) {
            // A Matroska file stopped early keeps the cluster being built: it plays to there.
            if (header_written && !trailer_written && !failed && container == Container::Matroska)
                av_write_frame(fc, nullptr);
            close_output();
            avformat_free_context(fc);
            fc = nullptr;
        }
        video = audio = clock = nullptr;
        avcodec_free_context(&aac);
        av_frame_free(&aac_frame);
        av_packet_free(&packet);
        pending_audio.clear();
        pending_bytes = 0;
    }

    // Writes what is buffered and closes the file: 0, or the first failure's errno.
    int close_output() {
        if (fc) fc->pb = nullptr;
        return file.close();
    }

    int fail(int cause, std::string text) {
        if (!failed) {
            failed = true;
            error = cause;
            error_text = std::move(text);
        }
        return -1;
    }

    // AVERROR(e) is -e for system errors, which speak for themselves; libav's own codes
    // have no errno and say little without naming the step.
    int fail_av(int averror, const char* what) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(averror, text, sizeof text);
        if (averror < 0 && -averror < 4096) return fail(-averror, text);
        return fail(EIO, std::string(what) + ": " + text);
    }

    int64_t stamp(uint32_t time_stamp, int64_t* last) {
        int64_t ms = static_cast<int64_t>(time_stamp) - static_cast<int64_t>(origin);
        if (ms <= *last) ms = *last + 1;
        *last = ms;
        return ms;
    }

    int open_audio(const Description& d) {
        AVCodecParameters* par = audio->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        if (container == Container::Matroska) {
            par->codec_id = AV_CODEC_ID_PCM_S16LE;
            par->sample_rate = static_cast<int>(d.sample_rate);
            av_channel_layout_default(&par->ch_layout, 1);
            par->bits_per_coded_sample = 16;
            par->block_align = 2;
            par->bit_rate = static_cast<int64_t>(d.sample_rate) * 16;
            audio->time_base = kMilliseconds;
            return 0;
        }
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) return fail(ENOSYS, "no AAC encoder");
        aac = avcodec_alloc_context3(codec);
        aac_frame = av_frame_alloc();
        if (!aac || !aac_frame) return fail(ENOMEM, strerror(ENOMEM));
        aac->sample_fmt = AV_SAMPLE_FMT_FLTP;
        aac->sample_rate = static_cast<int>(d.sample_rate);
        av_channel_layout_default(&aac->ch_layout, 1);
        aac->bit_rate = kAacBitRate;
        aac->time_base = AVRational{1, aac->sample_rate};
        aac->thread_count = 1;
        if (fc->oformat->flags & AVFMT_GLOBALHEADER) aac->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        // The fast coder takes a fifth of the default's time and 32 kbit/s is plenty for
        // 8 kHz voice either way.
        AVDictionary* options = nullptr;
        av_dict_set(&options, "aac_coder", "fast", 0);
        int opened = avcodec_open2(aac, codec, &options);
        av_dict_free(&options);
        if (opened < 0) return fail_av(opened, "AAC encoder");
        if (int r = avcodec_parameters_from_context(par, aac); r < 0) return fail_av(r, "AAC");
        audio->time_base = aac->time_base;
        return 0;
    }

    int write_header() {
        std::vector<std::span<const uint8_t>> sps_units(sps.begin(), sps.end());
        std::vector<std::span<const uint8_t>> pps_units(pps.begin(), pps.end());
        std::vector<uint8_t> extradata = avc::decoder_configuration(sps_units, pps_units);
        length_prefixed = !extradata.empty();
        if (!length_prefixed) {
            static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
            for (const auto* sets : {&sps, &pps})
                for (const auto& set : *sets) {
                    extradata.insert(extradata.end(), std::begin(kStartCode), std::end(kStartCode));
                    extradata.insert(extradata.end(), set.begin(), set.end());
                }
        }
        AVCodecParameters* par = video->codecpar;
        par->extradata =
            static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) return fail(ENOMEM, strerror(ENOMEM));
        std::memcpy(par->extradata, extradata.data(), extradata.size());
        par->extradata_size = static_cast<int>(extradata.size());
        // MP4 is written plain, the index (moov) last: an MP4 that is not finished cannot be
        // played. Matroska writes its cues last but plays without them.
        // Matroska's per-cluster CRC-32 elements are optional and cost half the conversion
        // time (libavutil computes them a byte at a time); --hash covers the whole file.
        AVDictionary* options = nullptr;
        if (container == Container::Matroska) av_dict_set(&options, "write_crc32", "0", 0);
        int r = avformat_init_output(fc, &options);
        av_dict_free(&options);
        if (r < 0) return fail_av(r, "header");
        // Setting up the muxer names libavformat as the encoder; the file names us.
        av_dict_set(&fc->metadata, "encoder", encoder.c_str(), 0);
        av_dict_set(&fc->metadata, "encoding_tool", encoder.c_str(), 0);  // Matroska's WritingApp
        if (int r = avformat_write_header(fc, nullptr); r < 0) return fail_av(r, "header");
        header_written = true;
        while (!pending_audio.empty()) {
            PendingAudio a = std::move(pending_audio.front());
            pending_audio.pop_front();
            if (put_audio(a.time_stamp, a.pcm.data(), a.pcm.size()) < 0) return -1;
        }
        pending_bytes = 0;
        return 0;
    }

    int write_packet(const char* what) {
        if (int r = av_write_frame(fc, packet); r < 0) {
            av_packet_unref(packet);
            return fail_av(r, what);
        }
        av_packet_unref(packet);
        return 0;
    }

    // The cues of every second that began by `time_stamp`, each a second long.
    int put_cues(uint32_t time_stamp) {
        if (!clock) return 0;
        int64_t ms = static_cast<int64_t>(time_stamp) - static_cast<int64_t>(origin);
        // A pause of more than a day (or a stamp far off) gets cues for its last day only.
        next_cue = std::max(next_cue, ms / 1000 - kMaxCuesAtOnce);
        for (; next_cue * 1000 <= ms; ++next_cue) {
            std::tm tm{};
            char text[64];
            size_t n = 0;
            if (platform::utc_time(start_time + next_cue, tm))
                n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
            std::vector<uint8_t> cue;
            if (container == Container::Mp4) {  // timed text: a 16-bit length first
                cue.push_back(static_cast<uint8_t>(n >> 8));
                cue.push_back(static_cast<uint8_t>(n));
            }
            cue.insert(cue.end(), text, text + n);
            packet->data = cue.data();
            packet->size = static_cast<int>(cue.size());
            packet->stream_index = clock->index;
            packet->pts = packet->dts =
                av_rescale_q(next_cue * 1000, kMilliseconds, clock->time_base);
            packet->duration = av_rescale_q(1000, kMilliseconds, clock->time_base);
            packet->flags = AV_PKT_FLAG_KEY;
            if (write_packet("clock") < 0) return -1;
        }
        return 0;
    }

    int put_video(const Frame& f) {
        if (!header_written) {
            std::vector<std::vector<uint8_t>> frame_sps;
            std::vector<std::vector<uint8_t>> frame_pps;
            for (const avc::Nal& nal : avc::units({f.data, f.length})) {
                if (nal.type == 7) frame_sps.emplace_back(nal.bytes.begin(), nal.bytes.end());
                if (nal.type == 8) frame_pps.emplace_back(nal.bytes.begin(), nal.bytes.end());
            }
            if (!frame_sps.empty()) sps = std::move(frame_sps);
            if (!frame_pps.empty()) pps = std::move(frame_pps);
            if (!f.key || sps.empty() || pps.empty()) {
                ++dropped;  // undecodable without a key frame before it
                return 0;
            }
            if (write_header() < 0) return -1;
        }
        if (length_prefixed) {
            avc::to_length_prefixed({f.data, f.length}, converted);
            return write_video(f.time_stamp, f.key, converted);
        }
        return write_video(f.time_stamp, f.key, {f.data, f.length});
    }

    int put_queued_video(const Queued& f) {
        if (!f.annexb) return write_video(f.time_stamp, f.key, f.bytes);
        avc::to_length_prefixed(f.bytes, converted);
        return write_video(f.time_stamp, f.key, converted);
    }

    // A video frame after the header, in the form libavformat takes.
    int write_video(uint32_t time_stamp, bool key, std::span<const uint8_t> bytes) {
        if (bytes.size() > static_cast<size_t>(INT32_MAX))
            return fail(EFBIG, "video frame too large");
        int64_t previous = last_video_ms;
        if (put_cues(time_stamp) < 0) return -1;
        int64_t ms = stamp(time_stamp, &last_video_ms);
        if (previous >= 0 && ms - previous <= 1000) last_video_interval = ms - previous;
        packet->data = const_cast<uint8_t*>(bytes.data());
        packet->size = static_cast<int>(bytes.size());
        packet->stream_index = video->index;
        packet->pts = packet->dts = av_rescale_q(ms, kMilliseconds, video->time_base);
        // The next frame's time is not known yet; the last interval stands in for it (not a
        // pause: it would count in the duration).
        packet->duration = av_rescale_q(last_video_interval, kMilliseconds, video->time_base);
        packet->flags = key ? AV_PKT_FLAG_KEY : 0;
        if (write_packet("video") < 0) return -1;
        ++written;
        return 0;
    }

    int put_audio(uint32_t time_stamp, const uint8_t* pcm, size_t length) {
        if (put_cues(time_stamp) < 0) return -1;
        if (aac) return put_aac(time_stamp, pcm, length);
        int64_t ms = stamp(time_stamp, &last_audio_ms);
        packet->data = const_cast<uint8_t*>(pcm);
        packet->size = static_cast<int>(length);
        packet->stream_index = audio->index;
        packet->pts = packet->dts = av_rescale_q(ms, kMilliseconds, audio->time_base);
        packet->duration = av_rescale_q(length / 2, AVRational{1, static_cast<int>(sample_rate)},
                                        audio->time_base);
        packet->flags = AV_PKT_FLAG_KEY;
        if (write_packet("audio") < 0) return -1;
        ++written;
        return 0;
    }

    int drain_aac() {
        for (;;) {
            int r = avcodec_receive_packet(aac, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
            if (r < 0) return fail_av(r, "AAC encoder");
            packet->stream_index = audio->index;
            av_packet_rescale_ts(packet, aac->time_base, audio->time_base);
            if (write_packet("audio") < 0) return -1;
        }
    }

    // Encodes `count` samples from the front of the fifo (zero-padded to `frame_samples`).
    int encode_aac(size_t count, int frame_samples) {
        aac_frame->nb_samples = frame_samples;
        aac_frame->format = AV_SAMPLE_FMT_FLTP;
        aac_frame->sample_rate = aac->sample_rate;
        if (!aac_frame->buf[0]) {
            if (int r = av_channel_layout_copy(&aac_frame->ch_layout, &aac->ch_layout); r < 0)
                return fail_av(r, "AAC");
            if (int r = av_frame_get_buffer(aac_frame, 0); r < 0) return fail_av(r, "AAC");
        } else if (int r = av_frame_make_writable(aac_frame); r < 0) {
            return fail_av(r, "AAC");
        }
        auto* out = reinterpret_cast<float*>(aac_frame->data[0]);
        std::copy_n(fifo.begin(), count, out);
        std::fill(out + count, out + frame_samples, 0.0f);
        fifo.erase(fifo.begin(), fifo.begin() + static_cast<std::ptrdiff_t>(count));
        aac_frame->pts = fifo_pts;
        fifo_pts += frame_samples;
        if (int r = avcodec_send_frame(aac, aac_frame); r < 0) return fail_av(r, "AAC encoder");
        return drain_aac();
    }

    // The PCM's place in time comes from its recorded stamp; within a run of audio that keeps
    // pace with its stamps (give or take a tenth of a second) the samples follow each other.
    // A gap ends the run with a padded frame; audio that falls behind its stamps loses the
    // samples that overlap what was already encoded.
    int put_aac(uint32_t time_stamp, const uint8_t* pcm, size_t length) {
        const int64_t at = av_rescale(static_cast<int64_t>(time_stamp) - origin, sample_rate, 1000);
        const int64_t tolerance = sample_rate / 10;
        const int frame_size = aac->frame_size;
        size_t samples = length / 2;
        size_t skip = 0;
        int64_t cursor = fifo_pts + static_cast<int64_t>(fifo.size());
        if (!fifo_started) {
            fifo_started = true;
            fifo_pts = std::max<int64_t>(at, 0);
        } else if (at > cursor + tolerance) {
            if (!fifo.empty() && encode_aac(fifo.size(), frame_size) < 0) return -1;
            fifo_pts = std::max(at, fifo_pts);
        } else if (at + tolerance < cursor) {
            skip = static_cast<size_t>(std::min<int64_t>(cursor - at, samples));
        }
        if (skip == samples) {
            ++dropped;
            return 0;
        }
        for (size_t i = skip; i < samples; ++i) {
            auto v = static_cast<int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
            fifo.push_back(static_cast<float>(v) / 32768.0f);
        }
        ++written;
        while (fifo.size() >= static_cast<size_t>(frame_size))
            if (encode_aac(static_cast<size_t>(frame_size), frame_size) < 0) return -1;
        return 0;
    }

    int flush_aac() {
        // The encoder takes a short last frame.
        if (!fifo.empty() && encode_aac(fifo.size(), static_cast<int>(fifo.size())) < 0) return -1;
        if (int r = avcodec_send_frame(aac, nullptr); r < 0) return fail_av(r, "AAC encoder");
        return drain_aac();
    }
};

bool available() {
    return true;
}

Muxer::Muxer() = default;
Muxer::~Muxer() = default;

int Muxer::open(const std::string& path, Container container, const Description& d) {
    static std::once_flag log_once;
    std::call_once(log_once, [] { av_log_set_callback(log_libav); });
    state_ = std::make_unique<State>();
    State& s = *state_;
    s.container = container;
    s.sample_rate = d.sample_rate;
    if (d.has_audio && (d.sample_rate == 0 || d.sample_rate > 384000))
        return s.fail(EINVAL, "unsupported audio sample rate");
    const char* format = container == Container::Matroska ? "matroska" : "mp4";
    if (int r = avformat_alloc_output_context2(&s.fc, nullptr, format, path.c_str()); r < 0)
        return s.fail_av(r, "output");
    s.packet = av_packet_alloc();
    s.video = avformat_new_stream(s.fc, nullptr);
    if (d.has_audio) s.audio = avformat_new_stream(s.fc, nullptr);
    if (!s.packet || !s.video || (d.has_audio && !s.audio)) return s.fail(ENOMEM, strerror(ENOMEM));

    AVCodecParameters* par = s.video->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->width = static_cast<int>(d.width);
    par->height = static_cast<int>(d.height);
    s.video->time_base = kMilliseconds;
    if (d.has_audio && s.open_audio(d) < 0) return -1;
    if (d.clock_subtitles) {
        s.start_time = d.start_time;
        s.clock = avformat_new_stream(s.fc, nullptr);
        if (!s.clock) return s.fail(ENOMEM, strerror(ENOMEM));
        AVCodecParameters* sub = s.clock->codecpar;
        sub->codec_type = AVMEDIA_TYPE_SUBTITLE;
        s.clock->time_base = kMilliseconds;
        if (container == Container::Matroska) {
            sub->codec_id = AV_CODEC_ID_SUBRIP;
        } else {
            sub->codec_id = AV_CODEC_ID_MOV_TEXT;
            sub->extradata =
                static_cast<uint8_t*>(av_mallocz(sizeof kTx3gEntry + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!sub->extradata) return s.fail(ENOMEM, strerror(ENOMEM));
            std::memcpy(sub->extradata, kTx3gEntry, sizeof kTx3gEntry);
            sub->extradata_size = static_cast<int>(sizeof kTx3gEntry);
        }
    }

    std::string created = iso8601_utc(d.start_time);
    s.encoder = d.version.empty() ? "Torvane" : "Torvane " + d.version;
    if (!created.empty()) av_dict_set(&s.fc->metadata, "creation_time", created.c_str(), 0);
    if (!d.title.empty()) av_dict_set(&s.fc->metadata, "title", d.title.c_str(), 0);

    if (int e = s.file.open(path, container == Container::Matroska); e != 0)
        return s.fail(e, strerror(e));
    s.fc->pb = s.file.context();
    return 0;
}

int Muxer::put(const Frame& frame) {
    if (!state_) return -1;
    State& s = *state_;
    const bool queueing = s.thread.joinable();
    if (!queueing) {
        if (s.failed) return -1;
        if (!s.fc) return s.fail(EINVAL, "not open");
    }
    if (!s.have_origin) {
        s.have_origin = true;
        s.origin = frame.time_stamp;
    }
    if (!frame.data || frame.length == 0 || frame.length > static_cast<uint32_t>(INT32_MAX) ||
        (frame.is_audio && !s.audio)) {
        ++s.dropped;
        return 0;
    }
    if (queueing) return s.enqueue(frame);
    if (!frame.is_audio) {
        const bool had_header = s.header_written;
        if (s.put_video(frame) < 0) return -1;
        if (!had_header && s.header_written) s.start_thread();
        return 0;
    }
    if (s.header_written) return s.put_audio(frame.time_stamp, frame.data, frame.length);
    if (s.pending_bytes + frame.length > kPendingAudioLimit) {
        ++s.dropped;
        return 0;
    }
    s.pending_audio.push_back({frame.time_stamp, {frame.data, frame.data + frame.length}});
    s.pending_bytes += frame.length;
    return 0;
}

int Muxer::finish() {
    if (!state_) return -1;
    State& s = *state_;
    s.stop_thread();
    if (s.failed) return -1;
    if (!s.fc) return s.fail(EINVAL, "not open");
    if (!s.header_written) {
        s.dropped += s.pending_audio.size();
        s.release();
        return s.fail(ENODATA, "no video key frame with its parameter sets");
    }
    if (s.aac && s.flush_aac() < 0) return -1;
    s.trailer_written = true;
    if (int r = av_write_trailer(s.fc); r < 0) return s.fail_av(r, "trailer");
    if (int e = s.close_output(); e != 0) return s.fail(e, strerror(e));
    s.release();
    return 0;
}

void Muxer::abort() {
    if (state_) state_->release();
}

int Muxer::error() const {
    return state_ ? state_->error : 0;
}

const std::string& Muxer::error_text() const {
    static const std::string none;
    return state_ ? state_->error_text : none;
}

uint64_t Muxer::written_frames() const {
    return state_ ? state_->written.load() : 0;
}
uint64_t Muxer::dropped_frames() const {
    return state_ ? state_->dropped.load() : 0;
}

}  // namespace tv::mux
