// The 2048-byte header at the start of the file, in its provisional form (rewritten whenever a
// stream is described, so an unfinished file still names its streams) and its final form.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "avi/avi_internal.h"
#include "common/bytes.h"
#include "common/log.h"
#include "common/sysio.h"

namespace {

constexpr int64_t kJunkLimit = 2028;       // "JUNK" must end where "LIST" "movi" starts (2036)
constexpr uint32_t kFlagsIndexed = 0x110;  // has index, interleaved
constexpr uint32_t kFlagsNoIndex = 0x100;
constexpr uint32_t kScale = 1000000;
constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatMp3 = 0x55;

// Fills the header space. Writes past its end are dropped (the offset still advances), so an
// overlong header can be measured and refused before anything reaches the file.
class HeaderBuffer {
  public:
    size_t at() const { return at_; }
    const uint8_t* data() const { return bytes_.data(); }
    void fourcc(const char* code) { put(reinterpret_cast<const uint8_t*>(code), 4); }
    void u8(uint8_t v) { put(&v, 1); }
    void u16(uint32_t v) {
        uint8_t b[2];
        tv::store_le16(b, static_cast<uint16_t>(v));
        put(b, 2);
    }
    void u32(uint32_t v) {
        uint8_t b[4];
        tv::store_le32(b, v);
        put(b, 4);
    }
    void zeros(size_t n) { at_ += n; }
    void patch32(size_t offset, uint32_t v) {
        if (offset + 4 <= bytes_.size()) tv::store_le32(bytes_.data() + offset, v);
    }

  private:
    void put(const uint8_t* p, size_t n) {
        if (at_ + n <= bytes_.size()) std::memcpy(bytes_.data() + at_, p, n);
        at_ += n;
    }
    std::array<uint8_t, AVI_HEADER_SPACE> bytes_{};
    size_t at_ = 0;
};

// Double to a 32-bit field: truncated, and defined for any input.
uint32_t to_u32(double v) {
    if (!(v >= 0.0)) return 0;
    if (v >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(v);
}

uint32_t bitrate_bytes(const AviTrack& t) {
    return static_cast<uint32_t>(int64_t{t.bitrate_kbps} * 1000 / 8);
}

// The "indx" chunk of a stream: only the standard indexes that reached the file are listed.
void put_super_index(HeaderBuffer& h, const AviSuperIndex& index, bool print) {
    uint32_t listed = 0;
    for (uint32_t s = 0; s < index.entry_count; ++s) listed += index.entries[s].size != 0;
    h.fourcc("indx");
    h.u32(24 + 16 * listed);
    h.u16(index.longs_per_entry);
    h.u8(index.index_sub_type);
    h.u8(index.index_type);
    h.u32(listed);
    h.fourcc(index.chunk_id);
    h.zeros(12);
    int number = 0;
    for (uint32_t s = 0; s < index.entry_count; ++s) {
        const AviSuperIndexEntry& e = index.entries[s];
        if (e.size == 0) continue;
        h.u32(static_cast<uint32_t>(e.offset));
        h.u32(static_cast<uint32_t>(static_cast<uint64_t>(e.offset) >> 32));
        h.u32(e.size);
        h.u32(e.duration);
        if (print) {
            tv::logf("VID NrEntries %d/%ld (%c%c%c%c) |0x%llX|%ld|%ld|\n", number,
                     static_cast<long>(listed), index.chunk_id[0], index.chunk_id[1],
                     index.chunk_id[2], index.chunk_id[3],
                     static_cast<unsigned long long>(e.offset), static_cast<long>(e.size),
                     static_cast<long>(e.duration));
        }
        ++number;
    }
}

struct HeaderValues {
    bool final = false;
    uint32_t riff_size = AVI_PROVISIONAL_SIZE;
    uint32_t movi_size = AVI_PROVISIONAL_SIZE;
    uint32_t flags = kFlagsIndexed;
};

// Builds either form; ends the process when the header does not fit its space.
void build_header(const AviFile& f, const HeaderValues& v, HeaderBuffer& h) {
    const bool odml = v.final && f.segment_switches > 0;
    uint32_t rate = 0;
    uint32_t frame_time = 0;
    if (f.fps >= 0.001) {
        rate = to_u32(f.fps * 1000000.0 + 0.5);
        frame_time = to_u32(1000000.0 / f.fps + 0.5);
    }
    const uint32_t frames = v.final ? static_cast<uint32_t>(f.video_frame_count) : 0;

    h.fourcc("RIFF");
    h.u32(v.riff_size);
    h.fourcc("AVI ");
    h.fourcc("LIST");
    const size_t hdrl_size_at = h.at();
    h.u32(0);
    h.fourcc("hdrl");

    h.fourcc("avih");
    h.u32(56);
    h.u32(frame_time);
    h.u32(0);  // maximum bytes per second
    h.u32(0);  // padding granularity
    h.u32(v.flags);
    h.u32(frames);
    h.u32(0);  // initial frames
    h.u32(static_cast<uint32_t>(f.track_count + 1));
    h.u32(0);  // suggested buffer size
    h.u32(static_cast<uint32_t>(f.width));
    h.u32(static_cast<uint32_t>(f.height));
    h.zeros(16);

    h.fourcc("LIST");
    const size_t video_size_at = h.at();
    h.u32(0);
    h.fourcc("strl");
    h.fourcc("strh");
    h.u32(56);
    h.fourcc("vids");
    h.fourcc(f.compressor);
    h.u32(0);  // flags
    h.u16(0);  // priority
    h.u16(0);  // language
    h.u32(0);  // initial frames
    h.u32(kScale);
    h.u32(rate);
    h.u32(0);  // start
    h.u32(frames);
    h.u32(0);  // suggested buffer size
    h.u32(v.final ? 0 : 0xFFFFFFFFu);
    h.u32(0);  // sample size
    h.zeros(8);
    h.fourcc("strf");
    h.u32(40);
    h.u32(40);
    h.u32(static_cast<uint32_t>(f.width));
    h.u32(static_cast<uint32_t>(f.height));
    h.u16(1);   // planes
    h.u16(24);  // bits per pixel
    h.fourcc(f.compressor);
    h.u32(static_cast<uint32_t>(f.width) * static_cast<uint32_t>(f.height) * 3u);
    h.zeros(16);
    if (odml) put_super_index(h, *f.video_super_index, true);
    h.patch32(video_size_at, static_cast<uint32_t>(h.at() - (video_size_at + 4)));

    for (int i = 0; i < f.track_count; ++i) {
        const AviTrack& t = f.tracks[static_cast<size_t>(i)];
        const int32_t block = AVI_block_size(&f, i);
        const uint32_t average = v.final && t.format_tag == kFormatPcm
                                     ? static_cast<uint32_t>(int64_t{t.sample_rate} * block)
                                     : bitrate_bytes(t);
        const bool mp3 = v.final && t.format_tag == kFormatMp3;
        h.fourcc("LIST");
        const size_t size_at = h.at();
        h.u32(0);
        h.fourcc("strl");
        h.fourcc("strh");
        h.u32(56);
        h.fourcc("auds");
        h.zeros(16);  // handler, flags, priority and language, initial frames
        h.u32(static_cast<uint32_t>(block));
        h.u32(average);
        h.u32(0);  // start
        h.u32(static_cast<uint32_t>(t.byte_count / block));
        h.u32(0);  // suggested buffer size
        h.u32(0xFFFFFFFFu);
        h.u32(static_cast<uint32_t>(block));
        h.zeros(8);
        h.fourcc("strf");
        h.u32(v.final ? (mp3 ? 30 : 18) : 16);
        h.u16(static_cast<uint32_t>(t.format_tag));
        h.u16(static_cast<uint32_t>(t.channels));
        h.u32(static_cast<uint32_t>(t.sample_rate));
        h.u32(average);
        h.u16(static_cast<uint32_t>(block));
        h.u16(static_cast<uint32_t>(t.bits_per_sample));
        if (v.final) h.u16(mp3 ? 12 : 0);
        if (mp3) {
            h.u16(1);  // identifier
            h.u32(2);  // flags
            h.u16(t.sample_rate >= 32000 ? 1152 : 576);
            h.u16(1);  // frames per block
            h.u16(0);  // codec delay
        }
        if (odml && t.super_index) put_super_index(h, *t.super_index, false);
        h.patch32(size_at, static_cast<uint32_t>(h.at() - (size_at + 4)));
    }

    if (odml) {
        h.fourcc("LIST");
        h.u32(16);
        h.fourcc("odml");
        h.fourcc("dmlh");
        h.u32(4);
        h.u32(static_cast<uint32_t>(f.indexed_frame_count));
    }
    h.patch32(hdrl_size_at, static_cast<uint32_t>(h.at() - 20));

    if (v.final) {
        h.fourcc("LIST");
        h.u32(14);
        h.fourcc("INFO");
        h.fourcc("ISFT");
        h.u32(1);
        h.zeros(2);  // empty text and its pad byte
    }
    const int64_t junk = kJunkLimit - static_cast<int64_t>(h.at());
    if (junk <= 0) {
        std::fputs("AVI_close_output_file: # of header bytes too small\n", stderr);
        std::exit(1);
    }
    h.fourcc("JUNK");
    h.u32(static_cast<uint32_t>(junk));
    h.zeros(static_cast<size_t>(junk));
    h.fourcc("LIST");
    h.u32(v.movi_size);
    h.fourcc("movi");
}

// Header space onto the file's start.
bool write_header(AviFile* file, const HeaderBuffer& h) {
    file->offset_in_sync = false;
    return tv::sysio::lseek(file->fd, 0, SEEK_SET) == 0 &&
           AVI_write_all(file->fd, h.data(), AVI_HEADER_SPACE) == AVI_HEADER_SPACE;
}

}  // namespace

int AVI_write_provisional_header(AviFile* file) {
    // The descriptor is the writing-behind thread's until its write is done.
    if (AVI_wait_behind(file) != 0) return -1;
    HeaderBuffer h;
    build_header(*file, HeaderValues{}, h);
    // Buffered chunks stay buffered: the header lies before them, and the descriptor goes back
    // to the end of what is in the file.
    const int64_t end = AVI_file_end(file);
    if (!write_header(file, h) || tv::sysio::lseek(file->fd, end, SEEK_SET) != end) {
        AVI_set_error(AVI_ERR_CLOSE);
        return -1;
    }
    file->offset_in_sync = true;
    return 0;
}

bool AVI_write_final_header(AviFile* file, uint32_t riff_size, uint32_t movi_size, bool indexed) {
    HeaderValues values;
    values.final = true;
    values.riff_size = riff_size;
    values.movi_size = movi_size;
    if (!indexed) values.flags = kFlagsNoIndex;
    HeaderBuffer h;
    build_header(*file, values, h);
    return write_header(file, h);
}
