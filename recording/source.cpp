// SourceMedia: a recording paired with the voice decoder that turns its audio frames into PCM.
#include "torvane/source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "common/bytes.h"
#include "recording/read_ahead_internal.h"
#include "torvane/custommp4.h"
#include "torvane/voice.h"
#include "voice/frame_pair.h"

struct SourceMedia {
    custommp4_handle* recording = nullptr;
    VoiceCodecState voice{};

    // What source_next_frame keeps between calls.
    tv::mp4::ReadAhead frames;
    std::vector<uint8_t> pcm;
    // The next voice frame of the segment, decoded together with the one handed out last.
    std::vector<uint8_t> pcm_ahead;
    struct {
        bool valid = false;
        uint32_t segment = 0;
        uint32_t entry = 0;  // in the segment's audio index
        uint32_t length = 0;
        int result = 0;
    } ahead;
    int end = 1;  // 0 or -1 once the frames have ended
};

namespace {

bool live(const SourceMedia* media) {
    return media != nullptr && media->recording != nullptr;
}

constexpr uint32_t kRawFormat = 0x57415247u;  // "GRAW", first character in the lowest byte

}  // namespace

extern "C" {

SourceMedia* source_open(const char* path, uint32_t offset) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* media = new (std::nothrow) SourceMedia{};
    if (media == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    TV_VOICE_DecReset(&media->voice, VOICE_MODE_ADPCM_FIRST);
    media->recording = custommp4_open(path, offset);
    if (media->recording == nullptr) {
        const int error = errno;
        delete media;
        errno = error;
        return nullptr;
    }
    return media;
}

void source_close(SourceMedia* media) {
    if (media == nullptr) return;
    if (media->recording != nullptr) custommp4_close(media->recording);
    delete media;
}

int source_has_audio(const SourceMedia* media) {
    return live(media) ? custommp4_has_audio(media->recording) : 0;
}
uint32_t source_start_time(const SourceMedia* media) {
    return live(media) ? custommp4_get_start_time(media->recording) : 0;
}
uint32_t source_end_time(const SourceMedia* media) {
    return live(media) ? custommp4_get_end_time(media->recording) : 0;
}
uint32_t source_start_stamp(const SourceMedia* media) {
    if (!live(media) || media->recording->sect_table.empty()) return 0;
    return media->recording->sect_table[0].start_time_stamp;
}
uint32_t source_duration(const SourceMedia* media) {
    return live(media) ? custommp4_get_duration(media->recording) : 0;
}
uint32_t source_video_frame_count(const SourceMedia* media) {
    return live(media) ? custommp4_get_video_frame_count(media->recording) : 0;
}
uint32_t source_audio_frame_count(const SourceMedia* media) {
    return live(media) ? custommp4_get_audio_frame_count(media->recording) : 0;
}
uint32_t source_width(const SourceMedia* media) {
    return live(media) ? custommp4_get_width(media->recording) : 0;
}
uint32_t source_height(const SourceMedia* media) {
    return live(media) ? custommp4_get_height(media->recording) : 0;
}
uint16_t source_audio_bits(const SourceMedia* media) {
    return live(media) ? custommp4_get_audio_bits(media->recording) : 0;
}
uint16_t source_pcm_bits(const SourceMedia* media) {
    if (!live(media)) return 0;
    return custommp4_get_audio_format(media->recording) == kRawFormat
               ? custommp4_get_audio_bits(media->recording)
               : uint16_t{16};
}
uint32_t source_audio_rate(const SourceMedia* media) {
    return live(media) ? custommp4_get_audio_rate(media->recording) : 0;
}

double source_stored_frame_rate(const SourceMedia* media) {
    return live(media) ? static_cast<double>(custommp4_get_stored_frame_rate(media->recording))
                       : 0.0;
}

int32_t source_read_frame(SourceMedia* media, uint8_t* buffer, uint32_t* time_stamp,
                          uint8_t* key_flag, uint8_t* is_audio) {
    if (!live(media) || buffer == nullptr || time_stamp == nullptr || key_flag == nullptr ||
        is_audio == nullptr) {
        return 0;
    }
    return custommp4_read_one_media_frame(media->recording, buffer, CUSTOMMP4_FRAME_BUFFER_SIZE,
                                          time_stamp, key_flag, is_audio);
}

uint32_t source_missing_segments(const SourceMedia* media) {
    if (!live(media)) return 0;
    return custommp4_get_announced_segment_count(media->recording) -
           custommp4_get_segment_count(media->recording);
}

uint32_t source_missing_time(const SourceMedia* media) {
    if (!live(media)) return 0;
    const custommp4_handle* h = media->recording;
    const uint32_t start = custommp4_get_start_time(h), end = custommp4_get_end_time(h);
    if (end <= start) return 0;
    const uint64_t span = uint64_t{end - start} * 1000;
    // The duration is a signed 32-bit count of milliseconds.
    const auto covered = static_cast<int32_t>(custommp4_get_duration(h));
    if (covered < 0 || static_cast<uint64_t>(covered) >= span) return 0;
    const uint64_t short_by = span - static_cast<uint64_t>(covered);
    if (short_by <= 2000 || short_by * 10 <= span) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(short_by, UINT32_MAX));
}

int source_system_error(const SourceMedia* media) {
    return live(media) ? custommp4_get_system_error(media->recording) : 0;
}

uint32_t source_max_pcm_bytes(uint32_t frame_length) {
    // Raw frames come out as long as they went in; a voice frame never yields more than the
    // largest decoder output.
    return std::max<uint32_t>(frame_length, VOICE_MAX_DECODED_SAMPLES * 2);
}

int source_decode_audio(SourceMedia* media, uint8_t* frame, uint32_t frame_length, uint8_t* output,
                        uint32_t* output_length) {
    if (media == nullptr || frame == nullptr || output == nullptr || output_length == nullptr) {
        return -1;
    }
    if (!live(media)) return -1;
    if (custommp4_get_audio_format(media->recording) == kRawFormat) {
        if (custommp4_get_audio_bits(media->recording) == 8) {
            // 8-bit PCM in AVI is unsigned: move every sample by half the range.
            for (uint32_t i = 0; i < frame_length; ++i) {
                output[i] = static_cast<uint8_t>(frame[i] + 128);
            }
        } else {
            std::memcpy(output, frame, frame_length);
        }
        *output_length = frame_length;
        return 0;
    }
    // A voice frame names its own length in its header. When it claims more than was read,
    // the missing bytes count as zero (the frame buffer beyond a frame holds no data).
    VoiceFrame padded;  // zeroed only when used: this runs for every voice frame
    VoiceFrame* voice_frame = reinterpret_cast<VoiceFrame*>(frame);
    const uint32_t claimed = frame_length >= 4 ? 4u + 2u * frame[2] : 4u;
    if (claimed > frame_length) {
        padded = VoiceFrame{};
        std::memcpy(&padded, frame, std::min<uint32_t>(frame_length, sizeof padded));
        voice_frame = &padded;
    }
    int16_t pcm[VOICE_MAX_DECODED_SAMPLES];
    int16_t samples = 0;
    if (TV_VOICE_DecodeFrame(&media->voice, voice_frame, pcm, &samples) != 0) return -1;
    // The writer takes little-endian PCM whatever the host order is.
    for (int16_t i = 0; i < samples; ++i) {
        tv::store_le16(output + 2 * i, static_cast<uint16_t>(pcm[i]));
    }
    *output_length = static_cast<uint32_t>(samples) * 2u;
    return 0;
}

}  // extern "C"

namespace {

void decode_audio_pair(SourceMedia* media, uint8_t* const frames[2],
                       const uint32_t frame_lengths[2], uint8_t* const outputs[2],
                       uint32_t output_lengths[2], int results[2]) {
    // Frames that name more bytes than were read are decoded padded, one by one.
    auto whole = [&](int i) {
        return frames[i] != nullptr && outputs[i] != nullptr && frame_lengths[i] >= 4 &&
               4u + 2u * frames[i][2] <= frame_lengths[i];
    };
    if (!live(media) || output_lengths == nullptr ||
        custommp4_get_audio_format(media->recording) == kRawFormat || !whole(0) || !whole(1)) {
        for (int i = 0; i < 2; ++i)
            results[i] = source_decode_audio(media, frames[i], frame_lengths[i], outputs[i],
                                             output_lengths ? &output_lengths[i] : nullptr);
        return;
    }
    int16_t pcm[2][VOICE_MAX_DECODED_SAMPLES];
    int16_t* const pcm_out[2] = {pcm[0], pcm[1]};
    VoiceFrame* const voice_frames[2] = {reinterpret_cast<VoiceFrame*>(frames[0]),
                                         reinterpret_cast<VoiceFrame*>(frames[1])};
    int16_t counts[2] = {0, 0};
    int32_t decoded[2] = {0, 0};
    tv::voice::decode_frame_pair(&media->voice, voice_frames, pcm_out, counts, decoded);
    for (int i = 0; i < 2; ++i) {
        results[i] = decoded[i] == 0 ? 0 : -1;
        for (int16_t k = 0; k < counts[i]; ++k)
            tv::store_le16(outputs[i] + 2 * k, static_cast<uint16_t>(pcm[i][k]));
        if (decoded[i] == 0) output_lengths[i] = static_cast<uint32_t>(counts[i]) * 2u;
    }
}

// Makes `buffer` hold `bytes`; memory refused is the system's failure when `h` is given.
bool grow(custommp4_handle* h, std::vector<uint8_t>& buffer, std::size_t bytes) {
    if (buffer.size() >= bytes) return true;
    try {
        buffer.resize(bytes);
        return true;
    } catch (const std::bad_alloc&) {
        if (h != nullptr && h->system_error == 0) h->system_error = ENOMEM;
        return false;
    }
}

// Decodes the voice frame that `frame` refers to (the audio entry before the segment's cursor)
// into media->pcm; with the next voice frame of the segment too when its bytes are at hand.
int decode_voice(SourceMedia* media, const tv::mp4::FrameRef& frame, const uint8_t* bytes,
                 uint32_t* length) {
    custommp4_handle* h = media->recording;
    const uint32_t entry = h->audio_cursor - 1;
    auto& ahead = media->ahead;
    if (ahead.valid && ahead.segment == h->current_segment && ahead.entry == entry) {
        ahead.valid = false;
        std::swap(media->pcm, media->pcm_ahead);
        *length = ahead.length;
        return ahead.result;
    }
    ahead.valid = false;
    // The decoder only reads its frames.
    auto* data = const_cast<uint8_t*>(bytes);
    if (h->audio_cursor < h->audio_loaded) {
        const tv::mp4::AudioIndexEntry next = tv::mp4::audio_entry(*h, h->audio_cursor);
        const tv::mp4::FrameRef following{next.position, frame.length, next.time_stamp, 0, 1};
        if (media->frames.holds(following) && grow(nullptr, media->pcm_ahead, media->pcm.size())) {
            uint8_t* const frames[2] = {data,
                                        const_cast<uint8_t*>(media->frames.view(h, following))};
            const uint32_t lengths[2] = {frame.length, frame.length};
            uint8_t* const outputs[2] = {media->pcm.data(), media->pcm_ahead.data()};
            uint32_t output_lengths[2] = {0, 0};
            int results[2] = {0, 0};
            decode_audio_pair(media, frames, lengths, outputs, output_lengths, results);
            ahead = {true, h->current_segment, entry + 1, output_lengths[1], results[1]};
            *length = output_lengths[0];
            return results[0];
        }
    }
    return source_decode_audio(media, data, frame.length, media->pcm.data(), length);
}

int end_frames(SourceMedia* media) {
    media->end = custommp4_get_system_error(media->recording) != 0 ? -1 : 0;
    return media->end;
}

}  // namespace

extern "C" int source_next_frame(SourceMedia* media, SourceFrame* frame) {
    if (!live(media) || frame == nullptr) return -1;
    if (media->end <= 0) return media->end;
    custommp4_handle* h = media->recording;
    *frame = SourceFrame{};
    tv::mp4::FrameRef ref;
    const int32_t found = tv::mp4::next_frame(h, CUSTOMMP4_MAX_FRAME_SIZE, ref);
    if (found == 0 || (found < 0 && h->system_error != 0)) return end_frames(media);
    // An entry that points past the file's end loses that frame only: the file may be cut
    // short, or the entry damaged, and the frames after it may still be there.
    if (found < 0 || ref.position + int64_t{ref.length} > h->file_size) {
        if (found > 0) tv::mp4::warn_read_error(ref);
        frame->status = SOURCE_FRAME_REFUSED;
        return 1;
    }
    // Memory follows the largest frame read, not the largest allowed.
    if (ref.is_audio && !grow(h, media->pcm, source_max_pcm_bytes(ref.length)))
        return end_frames(media);
    const uint8_t* bytes = media->frames.view(h, ref);
    if (bytes == nullptr) return end_frames(media);
    frame->time_stamp = ref.time_stamp;
    frame->is_audio = ref.is_audio;
    frame->key_flag = ref.key_flag;
    if (ref.is_audio == 0) {
        frame->data = bytes;
        frame->length = ref.length;
        return 1;
    }
    const int decoded = decode_voice(media, ref, bytes, &frame->length);
    frame->data = media->pcm.data();  // after the decoding, which may swap the buffers
    if (decoded != 0) {
        frame->status = SOURCE_FRAME_UNDECODABLE;
        frame->length = 0;
    }
    return 1;
}
