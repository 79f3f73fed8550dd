// ifvbuild: writes .ifv recordings byte by byte from a plain model.
//
// A Recording holds the four header objects and a list of segments; every field that the
// file stores can be set, and the fields that are normally derived (sizes, counts, offsets,
// time spans) are std::optional: left unset they are computed from the content, set they are
// written as given, whatever the content says. So a valid recording takes a few lines,
//
//     ifvbuild::Recording rec;
//     auto& seg = rec.segments.emplace_back();
//     seg.add_video(picture, 0, true);
//     seg.add_audio(samples, 0);
//     ifvbuild::write_file(rec, "a.ifv");
//
// and a damaged one one more (`seg.video_frame_count = 5000;`).
//
// Layout: optional leading bytes, then at the base the file properties (68 bytes), video
// properties (56), audio properties (48) and mdat object (28); then the segments, each a
// 48-byte header, its video index area (slots x 28), its audio index area (slots x 24), an
// optional gap of zero bytes and its frame data. Offsets in index entries count from the base.
// Segments are placed one after the other by their real size; an overridden size field does
// not move the next segment.
//
// Test and tool code: errors in the model itself (more entries than slots, a segment larger
// than 32 bits can describe) throw std::invalid_argument.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ifvbuild {

using ObjectId = std::array<uint8_t, 16>;

inline constexpr ObjectId kFilePropertiesId = {0x11, 0xD2, 0xD3, 0xAB, 0xBA, 0xA9, 0xCF, 0x11,
                                               0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
inline constexpr ObjectId kVideoPropertiesId = {0x41, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11,
                                                0xA3, 0xA4, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
inline constexpr ObjectId kAudioPropertiesId = {0xE3, 0xCB, 0x1A, 0x4B, 0x0B, 0x10, 0xD0, 0x11,
                                                0xA3, 0x9B, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
inline constexpr ObjectId kMdatId = {0x20, 0xDB, 0xFE, 0x4C, 0xF6, 0x75, 0xCF, 0x11,
                                     0x9C, 0x0F, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
inline constexpr ObjectId kSegmentId = {0x74, 0xD4, 0x06, 0x18, 0xDF, 0xCA, 0x09, 0x45,
                                        0xA4, 0xBA, 0x9A, 0xAB, 0xCB, 0x96, 0xAA, 0xE8};

inline constexpr uint32_t kHeaderBytes = 200;  // the four header objects
inline constexpr uint32_t kSegmentHeaderBytes = 48;
inline constexpr uint32_t kVideoEntryBytes = 28;
inline constexpr uint32_t kAudioEntryBytes = 24;
// Slots per segment that the recorder reserves when the stream flag is set.
inline constexpr uint32_t kRecorderVideoSlots = 3000;
inline constexpr uint32_t kRecorderAudioSlots = 4000;

struct FileProperties {
    ObjectId object_id = kFilePropertiesId;
    uint32_t object_size = 68;
    std::string description = "This is DVR record file ver 2";  // cut or NUL-padded to 32
    uint32_t start_time = 1600000000;                           // seconds since 1970
    uint32_t end_time = 1600000000;            // equal to start_time means "not set"
    std::optional<uint32_t> recording_length;  // unset: base to the end of the last segment
    uint8_t video_flag = 1;                    // default video slots 3000 when nonzero
    uint8_t audio_flag = 1;                    // default audio slots 4000 when nonzero
    uint16_t reserved = 0;
};

struct VideoProperties {
    ObjectId object_id = kVideoPropertiesId;
    uint32_t object_size = 56;
    uint32_t time_scale = 1000;
    uint16_t width = 352;
    uint16_t height = 288;
    float frame_rate = 25.0f;
    uint32_t unnamed_32 = 0;
    std::string compressor = "H264";  // fourcc: first four characters, NUL-padded
    uint32_t unnamed_40 = 0;
    uint32_t unnamed_44 = 0;
    uint16_t unnamed_48 = 0;
    uint16_t reserved_50 = 0;
    uint32_t reserved_52 = 0;
};

struct AudioProperties {
    ObjectId object_id = kAudioPropertiesId;
    uint32_t object_size = 48;
    uint32_t time_scale = 8000;
    uint16_t channels = 1;
    uint16_t bits_per_sample = 16;
    uint32_t sample_rate = 8000;
    std::string format = "GRAW";  // fourcc: "GRAW" raw PCM, anything else voice frames
    uint32_t frame_length = 320;  // bytes of every audio frame
    uint32_t frame_duration = 160;
    uint32_t reserved = 0;
};

struct MdatObject {
    ObjectId object_id = kMdatId;
    uint32_t object_size = 28;
    std::optional<uint32_t> segment_count;  // unset: the number of segments in the model
    uint32_t reserved = 0;
};

struct VideoEntry {
    std::optional<uint32_t> offset;  // from the base; unset: where data[data_offset] lands
    uint32_t data_offset = 0;        // the frame's first byte within Segment::data
    uint32_t length = 0;
    uint32_t time_stamp = 0;
    uint32_t key_flag = 0;  // the reader looks at the first byte only
    uint32_t unnamed_8 = 0;
    uint32_t unnamed_12 = 0;
    uint32_t unnamed_24 = 0;
};

struct AudioEntry {
    std::optional<uint32_t> offset;  // from the base; unset: where data[data_offset] lands
    uint32_t data_offset = 0;
    uint32_t length = 0;  // stored, but readers take the audio properties' frame length
    uint32_t time_stamp = 0;
    uint32_t unnamed_8 = 0;
    uint32_t unnamed_12 = 0;
    uint32_t unnamed_20 = 0;
};

struct Segment {
    ObjectId object_id = kSegmentId;
    std::optional<uint32_t> size;               // unset: the segment's real size
    std::optional<uint32_t> start_time_stamp;   // unset: lowest frame time stamp (0 if none)
    std::optional<uint32_t> end_time_stamp;     // unset: highest frame time stamp (0 if none)
    std::optional<uint32_t> video_frame_count;  // unset: video.size()
    std::optional<uint32_t> audio_frame_count;  // unset: audio.size()
    // Unset: 3000 / 4000 when the file properties' flag is set, else 0; at least the entries.
    std::optional<uint32_t> video_index_slots;
    std::optional<uint32_t> audio_index_slots;
    uint32_t reserved = 0;
    std::vector<VideoEntry> video;
    std::vector<AudioEntry> audio;
    uint64_t gap = 0;           // zero bytes before the frame data (holes in a sparse file)
    std::vector<uint8_t> data;  // frame data

    // Append the bytes to `data` and an entry pointing at them.
    VideoEntry& add_video(std::span<const uint8_t> bytes, uint32_t time_stamp, bool key = false);
    AudioEntry& add_audio(std::span<const uint8_t> bytes, uint32_t time_stamp);
    // Stores the frames again, every video frame first and then every audio frame, each stream
    // in its own order: a layout the format allows. Entries with a set offset are left as
    // they are.
    void store_video_first();
};

struct Recording {
    uint32_t base = 0;             // file position of the recording
    std::vector<uint8_t> leading;  // bytes at file position 0; zeros fill up to the base
    FileProperties file;
    VideoProperties video;
    AudioProperties audio;
    MdatObject mdat;
    std::vector<Segment> segments;
    std::vector<uint8_t> trailing;  // bytes after the last segment
};

// Where everything lands in the file (absolute file positions).
struct SegmentLayout {
    uint64_t position = 0;     // the segment header
    uint64_t video_index = 0;  // position + 48
    uint64_t audio_index = 0;  // after the video slots
    uint64_t data = 0;         // after the audio slots and the gap
    uint32_t size = 0;         // real size (what an unset size field holds)
    uint32_t video_slots = 0;
    uint32_t audio_slots = 0;
};
struct Layout {
    uint64_t base = 0;
    std::vector<SegmentLayout> segments;
    uint64_t end = 0;        // end of the last segment (base + 200 without segments)
    uint64_t file_size = 0;  // end + trailing bytes (at least the leading bytes)
};

Layout layout(const Recording& rec);

// The offset from the base that an entry stores (its own offset, or its data's position).
uint32_t video_offset(const Recording& rec, std::size_t segment, std::size_t entry);
uint32_t audio_offset(const Recording& rec, std::size_t segment, std::size_t entry);

// Hands the file's bytes to `sink` piece by piece, in increasing positions (leading bytes that
// reach past the base come first and are overwritten by the recording); positions that no piece
// covers are zero.
using Sink = std::function<void(uint64_t position, std::span<const uint8_t> bytes)>;
void serialize(const Recording& rec, const Sink& sink);

// The whole file in memory (up to 2 GiB; larger recordings go through write_file).
std::vector<uint8_t> to_bytes(const Recording& rec);
// Writes the file, leaving holes where no piece lies (a sparse file where the file system
// allows). False, with errno set, when the file cannot be written.
bool write_file(const Recording& rec, const std::filesystem::path& path);

// Appends a frame to the last segment, starting a new segment when there is none, when the
// last one's slots of that kind are full, or when its data would pass `max_segment_data`.
VideoEntry& append_video(Recording& rec, std::span<const uint8_t> bytes, uint32_t time_stamp,
                         bool key, uint32_t max_segment_data = 0x4000000);
AudioEntry& append_audio(Recording& rec, std::span<const uint8_t> bytes, uint32_t time_stamp,
                         uint32_t max_segment_data = 0x4000000);

// `length` bytes that differ from frame to frame (by `seed`), to tell frames apart.
std::vector<uint8_t> pattern(std::size_t length, uint32_t seed);

}  // namespace ifvbuild
