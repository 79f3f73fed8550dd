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
    h.fourcc("indx");              // fcc
    h.u32(24 + 16 * listed);       // cb
    h.u16(index.longs_per_entry);  // wLongsPerEntry
    h.u8(index.index_sub_type);    // bIndexSubType
    h.u8(index.index_type);        // bIndexType
    h.u32(listed);                 // nEntriesInUse
    h.fourcc(index.chunk_id);      // dwChunkId
    h.zeros(12);                   // dwReserved[3]
    int number = 0;
    for (uint32_t s = 0; s < index.entry_count; ++s) {
        const AviSuperIndexEntry& e = index.entries[s];
        if (e.size == 0) continue;
        h.u32(static_cast<uint32_t>(e.offset));                               // qwOffset, low
        h.u32(static_cast<uint32_t>(static_cast<uint64_t>(e.offset) >> 32));  // qwOffset, high
        h.u32(e.size);                                                        // dwSize
        h.u32(e.duration);                                                    // dwDuration
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
    h.u32(v.riff_size);  // fileSize
    h.fourcc("AVI ");    // fileType
    h.fourcc("LIST");
    const size_t hdrl_size_at = h.at();
    h.u32(0);  // listSize, set below
    h.fourcc("hdrl");

    // AVIMAINHEADER
    h.fourcc("avih");
    h.u32(56);                                        // cb
    h.u32(frame_time);                                // dwMicroSecPerFrame
    h.u32(0);                                         // dwMaxBytesPerSec
    h.u32(0);                                         // dwPaddingGranularity
    h.u32(v.flags);                                   // dwFlags
    h.u32(frames);                                    // dwTotalFrames
    h.u32(0);                                         // dwInitialFrames
    h.u32(static_cast<uint32_t>(f.track_count + 1));  // dwStreams
    h.u32(0);                                         // dwSuggestedBufferSize
    h.u32(static_cast<uint32_t>(f.width));            // dwWidth
    h.u32(static_cast<uint32_t>(f.height));           // dwHeight
    h.zeros(16);                                      // dwReserved[4]

    h.fourcc("LIST");
    const size_t video_size_at = h.at();
    h.u32(0);  // listSize, set below
    h.fourcc("strl");
    // AVISTREAMHEADER of the video
    h.fourcc("strh");
    h.u32(56);                         // cb
    h.fourcc("vids");                  // fccType
    h.fourcc(f.compressor);            // fccHandler
    h.u32(0);                          // dwFlags
    h.u16(0);                          // wPriority
    h.u16(0);                          // wLanguage
    h.u32(0);                          // dwInitialFrames
    h.u32(kScale);                     // dwScale
    h.u32(rate);                       // dwRate
    h.u32(0);                          // dwStart
    h.u32(frames);                     // dwLength
    h.u32(0);                          // dwSuggestedBufferSize
    h.u32(v.final ? 0 : 0xFFFFFFFFu);  // dwQuality
    h.u32(0);                          // dwSampleSize
    h.zeros(8);                        // rcFrame
    // BITMAPINFOHEADER
    const uint32_t image_size =
        static_cast<uint32_t>(f.width) * static_cast<uint32_t>(f.height) * 3u;
    h.fourcc("strf");
    h.u32(40);                               // ckSize
    h.u32(40);                               // biSize
    h.u32(static_cast<uint32_t>(f.width));   // biWidth
    h.u32(static_cast<uint32_t>(f.height));  // biHeight
    h.u16(1);                                // biPlanes
    h.u16(24);                               // biBitCount
    h.fourcc(f.compressor);                  // biCompression
    h.u32(image_size);                       // biSizeImage
    h.u32(0);                                // biXPelsPerMeter
    h.u32(0);                                // biYPelsPerMeter
    h.u32(0);                                // biClrUsed
    h.u32(0);                                // biClrImportant
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
        h.u32(0);  // listSize, set below
        h.fourcc("strl");
        // AVISTREAMHEADER of the track
        h.fourcc("strh");
        h.u32(56);                                           // cb
        h.fourcc("auds");                                    // fccType
        h.u32(0);                                            // fccHandler
        h.u32(0);                                            // dwFlags
        h.u16(0);                                            // wPriority
        h.u16(0);                                            // wLanguage
        h.u32(0);                                            // dwInitialFrames
        h.u32(static_cast<uint32_t>(block));                 // dwScale
        h.u32(average);                                      // dwRate
        h.u32(0);                                            // dwStart
        h.u32(static_cast<uint32_t>(t.byte_count / block));  // dwLength
        h.u32(0);                                            // dwSuggestedBufferSize
        h.u32(0xFFFFFFFFu);                                  // dwQuality
        h.u32(static_cast<uint32_t>(block));                 // dwSampleSize
        h.zeros(8);                                          // rcFrame
        // WAVEFORMATEX (MPEGLAYER3WAVEFORMAT for MP3)
        h.fourcc("strf");
        h.u32(v.final ? (mp3 ? 30 : 18) : 16);            // ckSize
        h.u16(static_cast<uint32_t>(t.format_tag));       // wFormatTag
        h.u16(static_cast<uint32_t>(t.channels));         // nChannels
        h.u32(static_cast<uint32_t>(t.sample_rate));      // nSamplesPerSec
        h.u32(average);                                   // nAvgBytesPerSec
        h.u16(static_cast<uint32_t>(block));              // nBlockAlign
        h.u16(static_cast<uint32_t>(t.bits_per_sample));  // wBitsPerSample
        if (v.final) h.u16(mp3 ? 12 : 0);                 // cbSize
        if (mp3) {
            h.u16(1);                                    // wID
            h.u32(2);                                    // fdwFlags
            h.u16(t.sample_rate >= 32000 ? 1152 : 576);  // nBlockSize
            h.u16(1);                                    // nFramesPerBlock
            h.u16(0);                                    // nCodecDelay
        }
        if (odml && t.super_index) put_super_index(h, *t.super_index, false);
        h.patch32(size_at, static_cast<uint32_t>(h.at() - (size_at + 4)));
    }

    if (odml) {
        h.fourcc("LIST");
        h.u32(16);  // listSize
        h.fourcc("odml");
        h.fourcc("dmlh");
        h.u32(4);                                             // ckSize
        h.u32(static_cast<uint32_t>(f.indexed_frame_count));  // dwTotalFrames
    }
    h.patch32(hdrl_size_at, static_cast<uint32_t>(h.at() - 20));

    if (v.final) {
        h.fourcc("LIST");
        h.u32(14);  // listSize
        h.fourcc("INFO");
        h.fourcc("ISFT");
        h.u32(1);    // ckSize
        h.zeros(2);  // empty text and its pad byte
    }
    const int64_t junk = kJunkLimit - static_cast<int64_t>(h.at());
    if (junk <= 0) {
        std::fputs("AVI_close_output_file: # of header bytes too small\n", stderr);
        std::exit(1);
    }
    h.fourcc("JUNK");
    h.u32(static_cast<uint32_t>(junk));  // ckSize
    h.zeros(static_cast<size_t>(junk));  // filler
    h.fourcc("LIST");
    h.u32(v.movi_size);  // listSize
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
