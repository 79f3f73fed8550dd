#include "tools/ifvbuild/ifv_builder.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <fstream>
#include <limits>
#include <stdexcept>

#include "common/bytes.h"

namespace ifvbuild {
namespace {

uint32_t checked_u32(uint64_t v, const char* what) {
    if (v > std::numeric_limits<uint32_t>::max()) {
        throw std::invalid_argument(std::string("ifvbuild: ") + what + " does not fit 32 bits");
    }
    return static_cast<uint32_t>(v);
}

uint32_t video_slots(const Recording& rec, const Segment& seg) {
    const auto entries = checked_u32(seg.video.size(), "video entry count");
    if (seg.video_index_slots) {
        if (entries > *seg.video_index_slots) {
            throw std::invalid_argument("ifvbuild: more video entries than video index slots");
        }
        return *seg.video_index_slots;
    }
    return std::max(rec.file.video_flag ? kRecorderVideoSlots : 0u, entries);
}

uint32_t audio_slots(const Recording& rec, const Segment& seg) {
    const auto entries = checked_u32(seg.audio.size(), "audio entry count");
    if (seg.audio_index_slots) {
        if (entries > *seg.audio_index_slots) {
            throw std::invalid_argument("ifvbuild: more audio entries than audio index slots");
        }
        return *seg.audio_index_slots;
    }
    return std::max(rec.file.audio_flag ? kRecorderAudioSlots : 0u, entries);
}

void put_id(uint8_t* p, const ObjectId& id) {
    std::copy(id.begin(), id.end(), p);
}

// Up to `width` characters of `text`, NUL-padded.
void put_text(uint8_t* p, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        p[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
    }
}

std::vector<uint8_t> header_objects(const Recording& rec, const Layout& lay) {
    std::vector<uint8_t> out(kHeaderBytes, 0);
    uint8_t* f = out.data();
    put_id(f, rec.file.object_id);
    tv::store_le32(f + 16, rec.file.object_size);
    put_text(f + 20, rec.file.description, 32);
    tv::store_le32(f + 52, rec.file.start_time);
    tv::store_le32(f + 56, rec.file.end_time);
    tv::store_le32(f + 60, rec.file.recording_length.value_or(
                               checked_u32(lay.end - lay.base, "recording length")));
    f[64] = rec.file.video_flag;
    f[65] = rec.file.audio_flag;
    tv::store_le16(f + 66, rec.file.reserved);

    uint8_t* v = out.data() + 68;
    put_id(v, rec.video.object_id);
    tv::store_le32(v + 16, rec.video.object_size);
    tv::store_le32(v + 20, rec.video.time_scale);
    tv::store_le16(v + 24, rec.video.width);
    tv::store_le16(v + 26, rec.video.height);
    tv::store_le32(v + 28, std::bit_cast<uint32_t>(rec.video.frame_rate));
    tv::store_le32(v + 32, rec.video.unnamed_32);
    put_text(v + 36, rec.video.compressor, 4);
    tv::store_le32(v + 40, rec.video.unnamed_40);
    tv::store_le32(v + 44, rec.video.unnamed_44);
    tv::store_le16(v + 48, rec.video.unnamed_48);
    tv::store_le16(v + 50, rec.video.reserved_50);
    tv::store_le32(v + 52, rec.video.reserved_52);

    uint8_t* a = out.data() + 124;
    put_id(a, rec.audio.object_id);
    tv::store_le32(a + 16, rec.audio.object_size);
    tv::store_le32(a + 20, rec.audio.time_scale);
    tv::store_le16(a + 24, rec.audio.channels);
    tv::store_le16(a + 26, rec.audio.bits_per_sample);
    tv::store_le32(a + 28, rec.audio.sample_rate);
    put_text(a + 32, rec.audio.format, 4);
    tv::store_le32(a + 36, rec.audio.frame_length);
    tv::store_le32(a + 40, rec.audio.frame_duration);
    tv::store_le32(a + 44, rec.audio.reserved);

    uint8_t* m = out.data() + 172;
    put_id(m, rec.mdat.object_id);
    tv::store_le32(m + 16, rec.mdat.object_size);
    tv::store_le32(
        m + 20, rec.mdat.segment_count.value_or(checked_u32(rec.segments.size(), "segment count")));
    tv::store_le32(m + 24, rec.mdat.reserved);
    return out;
}

uint32_t data_offset_from_base(const Layout& lay, std::size_t segment, uint32_t data_offset) {
    return checked_u32(lay.segments.at(segment).data + data_offset - lay.base, "frame offset");
}

// Header and both index areas of one segment.
std::vector<uint8_t> segment_head(const Recording& rec, std::size_t index, const Layout& lay) {
    const Segment& seg = rec.segments[index];
    const SegmentLayout& sl = lay.segments[index];
    std::vector<uint8_t> out(sl.data - sl.position - seg.gap, 0);
    uint8_t* h = out.data();

    uint32_t lo = std::numeric_limits<uint32_t>::max();
    uint32_t hi = 0;
    for (const auto& e : seg.video)
        lo = std::min(lo, e.time_stamp), hi = std::max(hi, e.time_stamp);
    for (const auto& e : seg.audio)
        lo = std::min(lo, e.time_stamp), hi = std::max(hi, e.time_stamp);
    if (seg.video.empty() && seg.audio.empty()) lo = 0;

    put_id(h, seg.object_id);
    tv::store_le32(h + 16, seg.size.value_or(sl.size));
    tv::store_le32(h + 20, seg.start_time_stamp.value_or(lo));
    tv::store_le32(h + 24, seg.end_time_stamp.value_or(hi));
    tv::store_le32(h + 28, seg.video_frame_count.value_or(static_cast<uint32_t>(seg.video.size())));
    tv::store_le32(h + 32, seg.audio_frame_count.value_or(static_cast<uint32_t>(seg.audio.size())));
    tv::store_le32(h + 36, sl.video_slots);
    tv::store_le32(h + 40, sl.audio_slots);
    tv::store_le32(h + 44, seg.reserved);

    for (std::size_t i = 0; i < seg.video.size(); ++i) {
        const VideoEntry& e = seg.video[i];
        uint8_t* p = out.data() + (sl.video_index - sl.position) + i * kVideoEntryBytes;
        tv::store_le32(p + 0,
                       e.offset ? *e.offset : data_offset_from_base(lay, index, e.data_offset));
        tv::store_le32(p + 4, e.length);
        tv::store_le32(p + 8, e.unnamed_8);
        tv::store_le32(p + 12, e.unnamed_12);
        tv::store_le32(p + 16, e.time_stamp);
        tv::store_le32(p + 20, e.key_flag);
        tv::store_le32(p + 24, e.unnamed_24);
    }
    for (std::size_t i = 0; i < seg.audio.size(); ++i) {
        const AudioEntry& e = seg.audio[i];
        uint8_t* p = out.data() + (sl.audio_index - sl.position) + i * kAudioEntryBytes;
        tv::store_le32(p + 0,
                       e.offset ? *e.offset : data_offset_from_base(lay, index, e.data_offset));
        tv::store_le32(p + 4, e.length);
        tv::store_le32(p + 8, e.unnamed_8);
        tv::store_le32(p + 12, e.unnamed_12);
        tv::store_le32(p + 16, e.time_stamp);
        tv::store_le32(p + 20, e.unnamed_20);
    }
    return out;
}

}  // namespace

VideoEntry& Segment::add_video(std::span<const uint8_t> bytes, uint32_t time_stamp, bool key) {
    VideoEntry e;
    e.data_offset = checked_u32(data.size(), "segment data");
    e.length = checked_u32(bytes.size(), "frame length");
    e.time_stamp = time_stamp;
    e.key_flag = key ? 1 : 0;
    data.insert(data.end(), bytes.begin(), bytes.end());
    return video.emplace_back(e);
}

AudioEntry& Segment::add_audio(std::span<const uint8_t> bytes, uint32_t time_stamp) {
    AudioEntry e;
    e.data_offset = checked_u32(data.size(), "segment data");
    e.length = checked_u32(bytes.size(), "frame length");
    e.time_stamp = time_stamp;
    data.insert(data.end(), bytes.begin(), bytes.end());
    return audio.emplace_back(e);
}

void Segment::store_video_first() {
    std::vector<uint8_t> stored;
    stored.reserve(data.size());
    auto move = [&](auto& entry) {
        if (entry.offset) return;
        const auto from = data.begin() + entry.data_offset;
        entry.data_offset = checked_u32(stored.size(), "segment data");
        stored.insert(stored.end(), from, from + entry.length);
    };
    for (auto& e : video) move(e);
    for (auto& e : audio) move(e);
    data = std::move(stored);
}

Layout layout(const Recording& rec) {
    Layout lay;
    lay.base = rec.base;
    uint64_t pos = lay.base + kHeaderBytes;
    for (const Segment& seg : rec.segments) {
        SegmentLayout sl;
        sl.position = pos;
        sl.video_slots = video_slots(rec, seg);
        sl.audio_slots = audio_slots(rec, seg);
        sl.video_index = pos + kSegmentHeaderBytes;
        sl.audio_index = sl.video_index + uint64_t{sl.video_slots} * kVideoEntryBytes;
        sl.data = sl.audio_index + uint64_t{sl.audio_slots} * kAudioEntryBytes + seg.gap;
        sl.size = checked_u32(sl.data + seg.data.size() - pos, "segment size");
        pos += sl.size;
        lay.segments.push_back(sl);
    }
    lay.end = pos;
    lay.file_size = std::max<uint64_t>(pos + rec.trailing.size(), rec.leading.size());
    return lay;
}

uint32_t video_offset(const Recording& rec, std::size_t segment, std::size_t entry) {
    const VideoEntry& e = rec.segments.at(segment).video.at(entry);
    if (e.offset) return *e.offset;
    return data_offset_from_base(layout(rec), segment, e.data_offset);
}

uint32_t audio_offset(const Recording& rec, std::size_t segment, std::size_t entry) {
    const AudioEntry& e = rec.segments.at(segment).audio.at(entry);
    if (e.offset) return *e.offset;
    return data_offset_from_base(layout(rec), segment, e.data_offset);
}

void serialize(const Recording& rec, const Sink& sink) {
    const Layout lay = layout(rec);
    if (!rec.leading.empty()) sink(0, rec.leading);
    // Leading bytes that reach past the base are overwritten by the recording.
    const auto headers = header_objects(rec, lay);
    sink(lay.base, headers);
    for (std::size_t i = 0; i < rec.segments.size(); ++i) {
        const Segment& seg = rec.segments[i];
        const SegmentLayout& sl = lay.segments[i];
        sink(sl.position, segment_head(rec, i, lay));
        if (!seg.data.empty()) sink(sl.data, seg.data);
    }
    if (!rec.trailing.empty()) sink(lay.end, rec.trailing);
}

std::vector<uint8_t> to_bytes(const Recording& rec) {
    const Layout lay = layout(rec);
    if (lay.file_size > (uint64_t{1} << 31)) {
        throw std::invalid_argument(
            "ifvbuild: recording too large to hold in memory; use write_file");
    }
    std::vector<uint8_t> out(static_cast<std::size_t>(lay.file_size), 0);
    serialize(rec, [&](uint64_t pos, std::span<const uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(pos));
    });
    return out;
}

bool write_file(const Recording& rec, const std::filesystem::path& path) {
    const Layout lay = layout(rec);
    bool ok = true;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        serialize(rec, [&](uint64_t pos, std::span<const uint8_t> bytes) {
            if (!ok) return;
            out.seekp(static_cast<std::streamoff>(pos));
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
            ok = static_cast<bool>(out);
        });
        out.close();
        ok = ok && !out.fail();
    }
    // Sets the size without writing the zeros in between: they stay holes.
    std::error_code ec;
    if (ok) std::filesystem::resize_file(path, lay.file_size, ec);
    return ok && !ec;
}

namespace {

// Whether the last segment can take one more entry of a kind with `slots` fixed slots
// (unset: the recorder's default when the flag is set, else no limit) and `bytes` more data.
bool has_room(const Segment& seg, std::size_t entries, std::optional<uint32_t> slots,
              uint32_t flag_default, std::size_t bytes, uint32_t max_segment_data) {
    const uint64_t limit = slots ? *slots : (flag_default ? flag_default : UINT64_MAX);
    return entries < limit && seg.data.size() + bytes <= max_segment_data;
}

Segment& segment_for(Recording& rec, bool video, std::size_t bytes, uint32_t max_segment_data) {
    if (!rec.segments.empty()) {
        Segment& last = rec.segments.back();
        const bool room =
            video
                ? has_room(last, last.video.size(), last.video_index_slots,
                           rec.file.video_flag ? kRecorderVideoSlots : 0, bytes, max_segment_data)
                : has_room(last, last.audio.size(), last.audio_index_slots,
                           rec.file.audio_flag ? kRecorderAudioSlots : 0, bytes, max_segment_data);
        // An empty segment takes any frame, however large.
        if (room || (last.video.empty() && last.audio.empty())) return last;
    }
    return rec.segments.emplace_back();
}

}  // namespace

VideoEntry& append_video(Recording& rec, std::span<const uint8_t> bytes, uint32_t time_stamp,
                         bool key, uint32_t max_segment_data) {
    return segment_for(rec, true, bytes.size(), max_segment_data).add_video(bytes, time_stamp, key);
}

AudioEntry& append_audio(Recording& rec, std::span<const uint8_t> bytes, uint32_t time_stamp,
                         uint32_t max_segment_data) {
    return segment_for(rec, false, bytes.size(), max_segment_data).add_audio(bytes, time_stamp);
}

std::vector<uint8_t> pattern(std::size_t length, uint32_t seed) {
    std::vector<uint8_t> out(length);
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    if (x == 0) x = 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

}  // namespace ifvbuild
