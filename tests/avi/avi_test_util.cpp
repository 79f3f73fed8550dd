#include "avi_test_util.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/bytes.h"
#include "support/test_support.h"
#include "tools/mkifv/annexb.h"

namespace avitest {

using namespace tvtest;

AviPtr create_writer(const fs::path& path, int64_t threshold) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    if (avi) {
        EXPECT_EQ(AVI_set_segment_size(avi.get(), threshold), 0);
        AVI_describe_video(avi.get(), 64, 48, 25.0, "H264");
        AVI_describe_audio(avi.get(), 1, 8000, 16, 1, 0);
    }
    return avi;
}

uint8_t* Image::field(size_t off, size_t length) {
    bytes.at(off + length - 1);  // throws when the field does not fit
    return bytes.data() + off;
}
Image& Image::u32(size_t off, uint32_t v) {
    tv::store_le32(field(off, 4), v);
    return *this;
}
Image& Image::u16(size_t off, uint16_t v) {
    tv::store_le16(field(off, 2), v);
    return *this;
}
Image& Image::cc(size_t off, const char* code) {
    tv::store_fourcc(field(off, 4), code);
    return *this;
}

std::string diff(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected) {
    std::ostringstream out;
    if (actual.size() != expected.size()) {
        out << "size " << actual.size() << " instead of " << expected.size() << "; ";
    }
    int shown = 0;
    for (size_t i = 0; i < std::min(actual.size(), expected.size()) && shown < 12; ++i) {
        if (actual[i] != expected[i]) {
            out << "@" << i << ": " << int{actual[i]} << " instead of " << int{expected[i]} << "; ";
            ++shown;
        }
    }
    return out.str();
}

std::vector<AccessUnit> h264_access_units(const fs::path& dir) {
    if (!tvtest::have_program("ffmpeg")) return {};
    const fs::path out = dir / "clip.h264";
    if (tvtest::make_h264(out, "64x48", 1, "-g 25 -x264-params aud=1") != 0) return {};
    const auto stream = tvtest::read_file(out);
    std::vector<AccessUnit> units;
    for (const auto& unit : mkifv::split_access_units(stream))
        units.push_back({{unit.bytes.begin(), unit.bytes.end()}, unit.idr});
    return units;
}

std::vector<std::map<std::string, std::string>> probe_streams(const fs::path& file) {
    auto r = tvtest::run(tvtest::words(
        "ffprobe -v error -count_packets -show_entries "
        "stream=index,codec_name,codec_type,width,height,r_frame_rate,nb_frames,nb_read_packets,"
        "sample_rate,channels,bits_per_sample -of default",
        {file.string()}));
    std::vector<std::map<std::string, std::string>> streams;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "[STREAM]") {
            streams.emplace_back();
        } else if (!streams.empty()) {
            auto eq = line.find('=');
            if (eq != std::string::npos) streams.back()[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    if (!r.err.empty()) ADD_FAILURE() << "ffprobe: " << r.err;
    return streams;
}

void expect_probe(const fs::path& file, size_t frames, size_t audio_chunks) {
    auto streams = probe_streams(file);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0]["codec_type"], "video");
    EXPECT_EQ(streams[0]["codec_name"], "h264");
    EXPECT_EQ(streams[0]["width"], "64");
    EXPECT_EQ(streams[0]["height"], "48");
    EXPECT_EQ(streams[0]["r_frame_rate"], "25/1");
    EXPECT_EQ(streams[0]["nb_frames"], std::to_string(frames));
    EXPECT_EQ(streams[0]["nb_read_packets"], std::to_string(frames));
    EXPECT_EQ(streams[1]["codec_type"], "audio");
    EXPECT_EQ(streams[1]["codec_name"], "pcm_s16le");
    EXPECT_EQ(streams[1]["sample_rate"], "8000");
    EXPECT_EQ(streams[1]["channels"], "1");
    EXPECT_EQ(streams[1]["bits_per_sample"], "16");
    EXPECT_EQ(streams[1]["nb_read_packets"], std::to_string(audio_chunks));
}

std::string decode_errors(const fs::path& file) {
    auto r =
        tvtest::run({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "null", "-"});
    return r.out + r.err + (r.status == 0 ? "" : "exit status " + std::to_string(r.status));
}

}  // namespace avitest

namespace avitest {

int Recorder::video(const uint8_t* data, int32_t length, bool key) {
    return record(AVI_put_video_frame(file_, data, length, key ? 1 : 0), false, length, key);
}

int Recorder::audio(const uint8_t* data, int32_t length) {
    return record(AVI_put_audio(file_, data, length), true, length, true);
}

int Recorder::record(int result, bool audio, int32_t length, bool key) {
    if (result != 0) return result;
    Written w;
    w.tag =
        audio ? std::string{'0', static_cast<char>('1' + file_->current_track), 'w', 'b'} : "00db";
    w.length = static_cast<uint32_t>(length);
    w.pos = file_->position - 8 - length - (length & 1);
    w.key = key;
    w.segment = file_->segment_switches;
    chunks.push_back(w);
    return result;
}

void expect_one_pair_indexed(const AviFile* avi, int64_t audio_bytes) {
    EXPECT_EQ(avi->legacy_count, 2);
    EXPECT_EQ(avi->video_super_index->std_indexes[0].entry_count, 1u);
    EXPECT_EQ(avi->tracks[0].super_index->std_indexes[0].entry_count, 1u);
    EXPECT_EQ(avi->video_frame_count, 1);
    EXPECT_EQ(avi->indexed_frame_count, 1);
    EXPECT_EQ(avi->tracks[0].byte_count, audio_bytes);
}

namespace {

bool is_data_tag(const std::string& tag) {
    return tag.size() == 4 && (tag.substr(2) == "db" || tag.substr(2) == "wb");
}

struct StreamFormat {
    uint16_t block_align = 0;
};

// Checks a stream's "indx" and the standard index chunks it points at. Returns the first
// segment it lists: the stream's index starts in the segment where its first chunk was
// handed over, which is one before its first chunk when that chunk caused a switch.
int check_super_index(std::span<const uint8_t> file, const AviChunk& indx, const std::string& tag,
                      const std::vector<Written>& model, const std::vector<int64_t>& bases,
                      const StreamFormat* audio) {
    SCOPED_TRACE("super index of " + tag);
    const SuperIndex s = read_super_index(file, indx.offset);
    EXPECT_EQ(s.longs_per_entry, 4);
    EXPECT_EQ(s.sub_type, 0);
    EXPECT_EQ(s.type, 0);
    EXPECT_EQ(s.chunk_id, tag);
    EXPECT_EQ(s.size, 24 + 16 * s.entries.size());
    EXPECT_EQ(s.count, s.entries.size());
    int first_chunk = static_cast<int>(bases.size());
    for (const Written& w : model)
        if (w.tag == tag) first_chunk = std::min(first_chunk, w.segment);
    const int first = static_cast<int>(bases.size()) - static_cast<int>(s.entries.size());
    EXPECT_TRUE(first == first_chunk || first == first_chunk - 1) << first << " " << first_chunk;
    if (tag == "00db") {
        EXPECT_EQ(first, 0);
    }
    if (first < 0) return 0;
    const std::string name = "ix" + tag.substr(0, 2);
    for (size_t i = 0; i < s.entries.size(); ++i) {
        const size_t segment = static_cast<size_t>(first) + i;
        SCOPED_TRACE("segment " + std::to_string(segment));
        const SuperEntry& e = s.entries[i];
        const AviChunk c = chunk_at(file, e.offset);
        EXPECT_EQ(c.tag, name);
        EXPECT_EQ(c.size, e.size);
        const StdIndex ix = read_std_index(file, c);
        EXPECT_EQ(ix.longs_per_entry, 2);
        EXPECT_EQ(ix.sub_type, 0);
        EXPECT_EQ(ix.type, 1);
        EXPECT_EQ(ix.chunk_id, tag);
        EXPECT_EQ(ix.base, static_cast<uint64_t>(bases[segment]));
        std::vector<std::pair<uint32_t, uint32_t>> expected;
        for (const Written& w : model) {
            if (w.tag != tag || w.segment != static_cast<int>(segment)) continue;
            expected.emplace_back(static_cast<uint32_t>(w.pos - bases[segment] + 8),
                                  w.length | (w.key ? 0u : 0x80000000u));
        }
        EXPECT_EQ(ix.entries, expected.size());
        EXPECT_EQ(ix.items, expected);
        // Video: frames; audio: the blocks of its chunks' bytes.
        uint64_t duration = expected.size();
        if (audio) {
            duration = 0;
            for (const auto& item : expected) duration += item.second;
            duration /= audio->block_align;
        }
        EXPECT_EQ(e.duration, static_cast<uint32_t>(duration));
    }
    return first;
}

}  // namespace

void check_structure(const fs::path& path, const std::vector<Written>& model, bool with_idx1) {
    const MappedFile mapped(path);
    const std::span<const uint8_t> file = mapped.bytes();
    const uint64_t file_size = file.size();
    const std::vector<AviChunk> top = walk(file, 0, file_size);
    ASSERT_FALSE(top.empty());
    ASSERT_EQ(top.back().end(), file_size) << "RIFF sizes do not reach the end of the file";
    std::vector<int64_t> bases;
    for (size_t i = 0; i < top.size(); ++i) {
        EXPECT_EQ(top[i].tag, "RIFF");
        EXPECT_EQ(top[i].type, i == 0 ? "AVI " : "AVIX");
        bases.push_back(i == 0 ? 0 : static_cast<int64_t>(top[i].offset));
    }
    const bool odml = top.size() > 1;

    // The header: stream lists, their super indexes, "odml".
    const std::span<const uint8_t> h = file.first(std::min<size_t>(file.size(), AVI_HEADER_SPACE));
    EXPECT_EQ(le32(h, 4), static_cast<uint32_t>(top[0].size));
    const AviChunk hdrl = chunk_at(file, 12);
    ASSERT_EQ(hdrl.type, "hdrl");
    const std::vector<AviChunk> lists = walk(file, 24, hdrl.end());
    ASSERT_GE(lists.size(), 2u);
    EXPECT_EQ(lists[0].tag, "avih");
    size_t video_frames = 0;
    for (const Written& w : model) video_frames += w.tag == "00db";
    EXPECT_EQ(le32(h, 48), video_frames);
    const uint32_t streams = le32(h, 56);
    ASSERT_EQ(lists.size(), 1 + streams + (odml ? 1 : 0));
    std::map<std::string, int> index_from;  // tag -> first segment with a standard index
    for (uint32_t k = 0; k < streams; ++k) {
        const AviChunk& strl = lists[1 + k];
        EXPECT_EQ(strl.type, "strl");
        const std::vector<AviChunk> parts = walk(file, strl.offset + 12, strl.end());
        ASSERT_GE(parts.size(), 2u);
        const std::string tag =
            k == 0 ? "00db" : std::string{'0', static_cast<char>('0' + k), 'w', 'b'};
        bool has_chunks = false;
        for (const Written& w : model) has_chunks |= w.tag == tag;
        const bool has_index = odml && has_chunks;
        ASSERT_EQ(parts.size(), has_index ? 3u : 2u) << "stream " << k;
        if (!has_index) continue;
        StreamFormat format;
        const size_t f = static_cast<size_t>(parts[1].data());
        format.block_align = le16(h, f + 12);  // nBlockAlign
        index_from[tag] =
            check_super_index(file, parts[2], tag, model, bases, k == 0 ? nullptr : &format);
    }
    if (odml) {
        const AviChunk& list = lists.back();
        EXPECT_EQ(list.type, "odml");
        EXPECT_EQ(list.size, 16u);
        EXPECT_EQ(fourcc(h, list.offset + 12), "dmlh");
        EXPECT_EQ(le32(h, list.offset + 16), 4u);
        EXPECT_EQ(le32(h, list.offset + 20), video_frames);
    }

    // Each segment: its "movi" list holds the data chunks, then the standard indexes.
    for (size_t s = 0; s < top.size(); ++s) {
        SCOPED_TRACE("segment " + std::to_string(s));
        const std::vector<AviChunk> inner = walk(file, top[s].offset + 12, top[s].end());
        AviChunk movi;
        if (s == 0) {
            ASSERT_GE(inner.size(), 4u);
            EXPECT_EQ(inner[0].type, "hdrl");
            EXPECT_EQ(inner[1].type, "INFO");
            EXPECT_EQ(inner[2].tag, "JUNK");
            movi = inner[3];
            EXPECT_EQ(movi.offset, 2036u);
            ASSERT_EQ(inner.size(), with_idx1 ? 5u : 4u);
            if (with_idx1) {
                const AviChunk& idx1 = inner[4];
                EXPECT_EQ(idx1.tag, "idx1");
                EXPECT_EQ(idx1.offset, movi.end());
                const auto b = file.subspan(
                    idx1.data(), std::min<uint64_t>(idx1.size, file.size() - idx1.data()));
                std::vector<const Written*> first;
                for (const Written& w : model)
                    if (w.segment == 0) first.push_back(&w);
                ASSERT_EQ(idx1.size, 16 * first.size());
                for (size_t i = 0; i < first.size(); ++i) {
                    EXPECT_EQ(fourcc(b, 16 * i), first[i]->tag) << i;
                    EXPECT_EQ(le32(b, 16 * i + 4), first[i]->key ? 0x10u : 0u) << i;
                    EXPECT_EQ(le32(b, 16 * i + 8), static_cast<uint32_t>(first[i]->pos)) << i;
                    EXPECT_EQ(le32(b, 16 * i + 12), first[i]->length) << i;
                }
            }
        } else {
            ASSERT_EQ(inner.size(), 1u);
            movi = inner[0];
            EXPECT_EQ(movi.size, top[s].size - 12);
        }
        EXPECT_EQ(movi.tag, "LIST");
        EXPECT_EQ(movi.type, "movi");
        std::vector<Written> expected;
        for (const Written& w : model)
            if (w.segment == static_cast<int>(s)) expected.push_back(w);
        size_t data_count = 0;
        std::vector<std::string> index_names;
        for (const AviChunk& c : walk(file, movi.offset + 12, movi.end())) {
            if (is_data_tag(c.tag)) {
                EXPECT_TRUE(index_names.empty()) << "data chunk after the indexes at " << c.offset;
                ASSERT_LT(data_count, expected.size()) << "unexpected chunk at " << c.offset;
                const Written& w = expected[data_count++];
                EXPECT_EQ(c.tag, w.tag);
                EXPECT_EQ(static_cast<int64_t>(c.offset), w.pos);
                EXPECT_EQ(c.size, w.length);
            } else {
                index_names.push_back(c.tag);
            }
        }
        EXPECT_EQ(data_count, expected.size());
        // Video first, then the tracks in order (the map is sorted by tag).
        std::vector<std::string> expected_names;
        for (const auto& [tag, from] : index_from)
            if (from <= static_cast<int>(s)) expected_names.push_back("ix" + tag.substr(0, 2));
        EXPECT_EQ(index_names, expected_names);
    }
}

void check_first_switch(const fs::path& path, const std::vector<Written>& model) {
    size_t seg0 = 0;
    size_t seg0_video = 0;
    int64_t last_end = 0;
    const Written* trigger = nullptr;
    for (const Written& w : model) {
        if (w.segment == 1 && !trigger) trigger = &w;
        if (w.segment != 0) continue;
        ++seg0;
        seg0_video += w.tag == "00db";
        last_end = w.pos + 8 + w.length + (w.length & 1);
    }
    ASSERT_TRUE(trigger);
    const MappedFile mapped(path);
    const std::span<const uint8_t> file = mapped.bytes();
    const AviChunk ix00 = chunk_at(file, static_cast<uint64_t>(last_end));
    EXPECT_EQ(ix00.tag, "ix00");
    EXPECT_EQ(ix00.size, 24 + 8 * seg0_video);
    const AviChunk ix01 = chunk_at(file, ix00.end());
    EXPECT_EQ(ix01.tag, "ix01");
    EXPECT_EQ(ix01.size, 24 + 8 * (seg0 - seg0_video));
    const AviChunk idx1 = chunk_at(file, ix01.end());
    EXPECT_EQ(idx1.tag, "idx1");
    EXPECT_EQ(idx1.size, 16 * seg0);
    const uint64_t avix = idx1.end();
    const AviChunk riff = chunk_at(file, avix);
    EXPECT_EQ(riff.tag, "RIFF");
    EXPECT_EQ(riff.type, "AVIX");
    EXPECT_EQ(riff.end(), file.size());
    const AviChunk movi = chunk_at(file, avix + 12);
    EXPECT_EQ(movi.tag, "LIST");
    EXPECT_EQ(movi.type, "movi");
    EXPECT_EQ(movi.size, riff.size - 12);
    EXPECT_EQ(trigger->pos, static_cast<int64_t>(avix + 24));
    EXPECT_EQ(chunk_at(file, avix + 24).tag, trigger->tag);

    const std::span<const uint8_t> h = file.first(std::min<size_t>(file.size(), AVI_HEADER_SPACE));
    EXPECT_EQ(le32(h, 4), avix - 8);               // the first segment's size, not the file's
    EXPECT_EQ(le32(h, 2040), idx1.offset - 2044);  // "movi" includes the standard indexes
    // The video list ends with an "indx" of two entries.
    EXPECT_EQ(le32(h, 92), 148u + 2 * 16);
    const SuperIndex video = read_super_index(h, 212);
    EXPECT_EQ(video.chunk_id, "00db");
    ASSERT_EQ(video.entries.size(), 2u);
    EXPECT_EQ(video.entries[0].offset, ix00.offset);
    EXPECT_EQ(video.entries[0].size, ix00.size);
    EXPECT_EQ(video.entries[0].duration, seg0_video);
    const SuperIndex audio = read_super_index(h, 96 + le32(h, 92) + 102);  // after the PCM format
    EXPECT_EQ(audio.chunk_id, "01wb");
    ASSERT_EQ(audio.entries.size(), 2u);
    EXPECT_EQ(audio.entries[0].offset, ix01.offset);
}

}  // namespace avitest
