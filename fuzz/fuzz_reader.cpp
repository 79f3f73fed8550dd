// The recording reader: open at any base offset, then read every frame.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "torvane/custommp4.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t choice = static_cast<uint32_t>(data[0] | (data[1] << 8));
    std::span<const uint8_t> recording(data + 2, size - 2);
    // Mostly base 0 (where recordings start), otherwise anywhere up to just past the end.
    const uint32_t base = (choice & 0x8000) ? (choice & 0x7FFF) % (recording.size() + 2) : 0;
    tvfuzz::MemFile file(recording);
    if (!file.ok()) return 0;
    custommp4_handle* h = custommp4_open(file.path().c_str(), base);
    if (h == nullptr) return 0;
    // The queries answer from what the open checked; none may read out of bounds.
    volatile uint64_t sink =
        custommp4_has_audio(h) + custommp4_get_duration(h) + custommp4_get_width(h) +
        custommp4_get_height(h) + custommp4_get_audio_bits(h) + custommp4_get_audio_rate(h) +
        custommp4_get_audio_format(h) + custommp4_get_audio_frame_length(h) +
        custommp4_get_segment_count(h) + custommp4_get_start_time(h) + custommp4_get_end_time(h) +
        custommp4_get_recording_length(h) + custommp4_get_system_error(h);
    volatile float rate = custommp4_get_stored_frame_rate(h);
    (void)sink;
    (void)rate;
    static std::vector<uint8_t> buffer(CUSTOMMP4_FRAME_BUFFER_SIZE);
    // Small buffers exercise the size checks as well.
    const int32_t buffer_length = (choice & 0x4000) ? 64 : CUSTOMMP4_FRAME_BUFFER_SIZE;
    uint64_t frames = 0;
    const uint64_t announced =
        uint64_t{custommp4_get_video_frame_count(h)} + custommp4_get_audio_frame_count(h);
    for (;;) {
        uint32_t ts = 0;
        uint8_t key = 0, audio = 0;
        const int32_t n =
            custommp4_read_one_media_frame(h, buffer.data(), buffer_length, &ts, &key, &audio);
        if (n == 0) break;
        if (n > buffer_length) __builtin_trap();
        // Every call moves past one entry, so there are never more calls than entries.
        if (++frames > announced) __builtin_trap();
    }
    custommp4_close(h);
    return 0;
}
