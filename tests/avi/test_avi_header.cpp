// The 2048-byte header, byte for byte, in its provisional and its final form.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "avi_test_util.h"
#include "support/test_support.h"

using namespace avitest;
using namespace tvtest;

namespace {

class AviHeader : public AviTest {
  protected:
    std::vector<uint8_t> header() { return read_range(path, 0, AVI_HEADER_SPACE); }
};

// What a header shares in both forms for a 640x480 "H264" stream at 25 frames per second.
Image video_part(uint32_t hdrl_size, uint32_t streams) {
    Image img(AVI_HEADER_SPACE);
    img.cc(0, "RIFF").cc(8, "AVI ").cc(12, "LIST").u32(16, hdrl_size).cc(20, "hdrl");
    img.cc(24, "avih").u32(28, 56).u32(32, 40000).u32(44, 0x110).u32(56, streams);
    img.u32(64, 640).u32(68, 480);
    img.cc(88, "LIST").u32(92, 116).cc(96, "strl").cc(100, "strh").u32(104, 56);
    img.cc(108, "vids").cc(112, "H264").u32(128, 1000000).u32(132, 25000000);
    img.cc(164, "strf").u32(168, 40).u32(172, 40).u32(176, 640).u32(180, 480);
    img.u16(184, 1).u16(186, 24).cc(188, "H264").u32(192, 640 * 480 * 3);
    return img;
}

// The audio stream list of a track, without its format.
void audio_strh(Image& img, size_t p, uint32_t list_size, uint32_t block, uint32_t rate,
                uint32_t length) {
    img.cc(p, "LIST").u32(p + 4, list_size).cc(p + 8, "strl").cc(p + 12, "strh").u32(p + 16, 56);
    img.cc(p + 20, "auds").u32(p + 40, block).u32(p + 44, rate).u32(p + 52, length);
    img.u32(p + 60, 0xFFFFFFFF).u32(p + 64, block);
}

void junk_and_movi(Image& img, size_t junk, uint32_t movi_size) {
    img.cc(junk, "JUNK").u32(junk + 4, static_cast<uint32_t>(2028 - junk));
    img.cc(2036, "LIST").u32(2040, movi_size).cc(2044, "movi");
}

TEST_F(AviHeader, ProvisionalFormAfterEachDescription) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    EXPECT_EQ(fs::file_size(path), 2048u);
    // Before any description the space already holds a header (one stream of nothing yet),
    // so a file cut off right after its creation still opens.
    const auto fresh = header();
    EXPECT_EQ(fourcc(fresh, 0), "RIFF");
    EXPECT_EQ(le32(fresh, 4), AVI_PROVISIONAL_SIZE);
    EXPECT_EQ(fourcc(fresh, 8), "AVI ");
    EXPECT_EQ(fourcc(fresh, 24), "avih");
    EXPECT_EQ(fourcc(fresh, 108), "vids");
    EXPECT_EQ(fourcc(fresh, 2036), "LIST");
    EXPECT_EQ(le32(fresh, 2040), AVI_PROVISIONAL_SIZE);
    EXPECT_EQ(fourcc(fresh, 2044), "movi");

    ASSERT_EQ(AVI_describe_video(avi.get(), 640, 480, 25.0, "H264"), 0);
    Image only_video = video_part(192, 1);
    only_video.u32(4, AVI_PROVISIONAL_SIZE).u32(148, 0xFFFFFFFF);
    junk_and_movi(only_video, 212, AVI_PROVISIONAL_SIZE);
    EXPECT_EQ(diff(header(), only_video.bytes), "");

    // The worked example: audio list at 212..311, "hdrl" size 292, "JUNK" at 312 with 1716.
    ASSERT_EQ(AVI_describe_audio(avi.get(), 1, 8000, 16, 1, 0), 0);
    Image img = video_part(292, 2);
    img.u32(4, AVI_PROVISIONAL_SIZE).u32(148, 0xFFFFFFFF);
    audio_strh(img, 212, 92, 2, 0, 0);
    img.cc(288, "strf").u32(292, 16).u16(296, 1).u16(298, 1).u32(300, 8000).u32(304, 0);
    img.u16(308, 2).u16(310, 16);
    junk_and_movi(img, 312, AVI_PROVISIONAL_SIZE);
    EXPECT_EQ(diff(header(), img.bytes), "");
    EXPECT_EQ(fs::file_size(path), 2048u);

    // The descriptor is back at the end of the header space: the first chunk lands at 2048.
    ASSERT_EQ(AVI_put_video_frame(avi.get(), reinterpret_cast<const uint8_t*>("abcd"), 4, 1), 0);
    EXPECT_EQ(fourcc(read_range(path, 2048, 4), 0), "00db");
}

TEST_F(AviHeader, ProvisionalTrackRateComesFromTheBitrate) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    ASSERT_EQ(AVI_describe_video(avi.get(), 640, 480, 25.0, "H264"), 0);
    ASSERT_EQ(AVI_describe_audio(avi.get(), 2, 44100, 16, 0x55, 128), 0);
    auto h = header();
    EXPECT_EQ(le32(h, 252), 4u);      // scale: block size
    EXPECT_EQ(le32(h, 256), 16000u);  // 128 kbit/s
    EXPECT_EQ(le32(h, 292), 16u);     // no extra fields before the file is finished
    EXPECT_EQ(le32(h, 304), 16000u);
}

TEST_F(AviHeader, FinalFormOfThePlainWorkedExample) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    ASSERT_EQ(AVI_describe_video(avi.get(), 640, 480, 25.0, "H264"), 0);
    ASSERT_EQ(AVI_describe_audio(avi.get(), 1, 8000, 16, 1, 0), 0);
    std::vector<uint8_t> frame(1000, 0x11), pcm(320, 0x22);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(AVI_put_video_frame(avi.get(), frame.data(), 1000, i == 0), 0);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(AVI_put_audio(avi.get(), pcm.data(), 320), 0);
    ASSERT_EQ(AVI_finish(avi.release()), 0);

    // 3 video chunks of 1008 bytes and 100 audio chunks of 328 bytes, then "idx1".
    const uint32_t idx1_at = 2048 + 3 * 1008 + 100 * 328;
    const uint32_t file_size = idx1_at + 8 + 103 * 16;
    EXPECT_EQ(fs::file_size(path), file_size);

    Image img = video_part(294, 2);
    img.u32(4, file_size - 8).u32(48, 3).u32(140, 3);
    // 32,000 bytes of 16-bit one-channel PCM at 8000 Hz: scale 2, rate 16000, length 16000.
    audio_strh(img, 212, 94, 2, 16000, 16000);
    img.cc(288, "strf").u32(292, 18).u16(296, 1).u16(298, 1).u32(300, 8000).u32(304, 16000);
    img.u16(308, 2).u16(310, 16);
    img.cc(314, "LIST").u32(318, 14).cc(322, "INFO").cc(326, "ISFT").u32(330, 1);
    junk_and_movi(img, 336, idx1_at - 2044);
    EXPECT_EQ(diff(header(), img.bytes), "");
    EXPECT_EQ(fourcc(read_range(path, idx1_at, 4), 0), "idx1");
}

TEST_F(AviHeader, FileWithoutChunks) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    AVI_describe_video(avi.get(), 640, 480, 25.0, "H264");
    AVI_describe_audio(avi.get(), 1, 8000, 16, 1, 0);
    ASSERT_EQ(AVI_finish(avi.release()), 0);
    auto bytes = tvtest::read_file(path);
    ASSERT_EQ(bytes.size(), 2056u);
    EXPECT_EQ(le32(bytes, 4), 2048u);  // file length - 8
    EXPECT_EQ(le32(bytes, 2040), 4u);  // "movi" and nothing else
    EXPECT_EQ(fourcc(bytes, 2048), "idx1");
    EXPECT_EQ(le32(bytes, 2052), 0u);
    EXPECT_EQ(le32(bytes, 44), 0x110u);
    EXPECT_EQ(le32(bytes, 48), 0u);
    EXPECT_EQ(le32(bytes, 264), 0u);
}

struct RateCase {
    double fps;
    uint32_t frame_time;
    uint32_t rate;
};

class AviFrameRate : public AviHeader, public ::testing::WithParamInterface<RateCase> {};

TEST_P(AviFrameRate, FrameTimeAndRate) {
    const RateCase c = GetParam();
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    AVI_describe_video(avi.get(), 64, 48, c.fps, "H264");
    ASSERT_EQ(AVI_finish(avi.release()), 0);
    auto h = header();
    EXPECT_EQ(le32(h, 32), c.frame_time);
    EXPECT_EQ(le32(h, 128), 1000000u);
    EXPECT_EQ(le32(h, 132), c.rate);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, AviFrameRate,
    ::testing::Values(RateCase{25.0, 40000, 25000000}, RateCase{0.0, 0, 0}, RateCase{0.0009, 0, 0},
                      RateCase{-25.0, 0, 0}, RateCase{29.97, 33367, 29970000},
                      RateCase{2000.0 / 30.0, 15000, 66666667},
                      RateCase{std::numeric_limits<double>::quiet_NaN(), 0, 0},
                      // 1 frame over 0 ms: no division trap, the rate field saturates.
                      RateCase{std::numeric_limits<double>::infinity(), 0, 0xFFFFFFFF}));

TEST_F(AviHeader, AllZeroTrackIsARealEmptyStream) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    AVI_describe_video(avi.get(), 640, 480, 25.0, "H264");
    ASSERT_EQ(AVI_describe_audio(avi.get(), 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(AVI_block_size(avi.get(), 0), 1);
    ASSERT_EQ(AVI_finish(avi.release()), 0);
    auto h = header();
    EXPECT_EQ(le32(h, 56), 2u);  // counted as a stream
    EXPECT_EQ(le32(h, 216), 94u);
    EXPECT_EQ(le32(h, 252), 1u);  // scale
    EXPECT_EQ(le32(h, 256), 0u);  // rate
    EXPECT_EQ(le32(h, 264), 0u);  // length
    EXPECT_EQ(le32(h, 276), 1u);  // sample size
    EXPECT_EQ(le32(h, 292), 18u);
    // Of the 18 format bytes only block align is nonzero.
    std::vector<uint8_t> format(h.begin() + 296, h.begin() + 314);
    std::vector<uint8_t> expected(18, 0);
    expected[12] = 1;
    EXPECT_EQ(format, expected);
}

TEST_F(AviHeader, CompressorCode) {
    struct Case {
        const char* text;
        std::string code;
    };
    for (const Case& c : {Case{"H264", "H264"}, Case{"RGB", std::string(4, '\0')},
                          Case{"RGB24", std::string(4, '\0')}, Case{"XVID1", "XVID"},
                          Case{"H2", std::string("H2\0\0", 4)}}) {
        AviPtr avi(AVI_create_output(path.string().c_str()));
        ASSERT_TRUE(avi);
        AVI_describe_video(avi.get(), 64, 48, 25.0, c.text);
        EXPECT_EQ(std::string(avi->compressor, 4), c.code) << c.text;
        EXPECT_EQ(avi->compressor[4], '\0');
        avi.reset();
        auto h = header();
        EXPECT_EQ(fourcc(h, 112), c.code) << c.text;
        EXPECT_EQ(fourcc(h, 188), c.code) << c.text;
    }
}

TEST_F(AviHeader, Mp3TrackFormat) {
    for (int32_t rate : {44100, 22050}) {
        AviPtr avi(AVI_create_output(path.string().c_str()));
        ASSERT_TRUE(avi);
        AVI_describe_video(avi.get(), 64, 48, 25.0, "H264");
        AVI_describe_audio(avi.get(), 2, rate, 16, 0x55, 128);
        avi.reset();
        auto h = header();
        EXPECT_EQ(le32(h, 216), 106u);    // list size 94 + 12
        EXPECT_EQ(le32(h, 256), 16000u);  // rate from the bitrate, not from the samples
        EXPECT_EQ(le32(h, 292), 30u);
        EXPECT_EQ(le16(h, 296), 0x55u);
        EXPECT_EQ(le32(h, 304), 16000u);
        EXPECT_EQ(le16(h, 312), 12u);  // extra size
        EXPECT_EQ(le16(h, 314), 1u);   // identifier
        EXPECT_EQ(le32(h, 316), 2u);   // flags
        EXPECT_EQ(le16(h, 320), rate >= 32000 ? 1152u : 576u);
        EXPECT_EQ(le16(h, 322), 1u);
        EXPECT_EQ(le16(h, 324), 0u);
        EXPECT_EQ(fourcc(h, 326), "LIST");
        EXPECT_EQ(fourcc(h, 334), "INFO");
    }
}

TEST_F(AviHeader, EightTracksAndEveryChunkToTheLastDescribed) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    AVI_describe_video(avi.get(), 64, 48, 25.0, "H264");
    for (int i = 1; i <= 8; ++i) ASSERT_EQ(AVI_describe_audio(avi.get(), 1, 8000 * i, 16, 1, 0), 0);
    EXPECT_EQ(avi->current_track, 7);
    uint8_t pcm[4] = {1, 2, 3, 4};
    ASSERT_EQ(AVI_put_audio(avi.get(), pcm, 4), 0);
    ASSERT_EQ(AVI_put_audio(avi.get(), pcm, 4), 0);
    ASSERT_EQ(AVI_finish(avi.release()), 0);

    auto h = header();
    EXPECT_EQ(le32(h, 56), 9u);
    size_t p = 212;
    for (int i = 1; i <= 8; ++i, p += 102) {
        EXPECT_EQ(fourcc(h, p + 20), "auds");
        EXPECT_EQ(le32(h, p + 88), 8000u * i);
        EXPECT_EQ(le32(h, p + 52), i == 8 ? 4u : 0u) << i;  // length in samples
    }
    EXPECT_EQ(fourcc(h, p + 22), "JUNK");
    EXPECT_EQ(fourcc(read_range(path, 2048, 4), 0), "08wb");
    EXPECT_EQ(fourcc(read_range(path, 2060, 4), 0), "08wb");
}

using AviHeaderDeathTest = AviHeader;

TEST_F(AviHeaderDeathTest, NinthTrackEndsTheProcess) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(AVI_describe_audio(avi.get(), 1, 8000, 16, 1, 0), 0);
    EXPECT_EXIT(AVI_describe_audio(avi.get(), 1, 8000, 16, 1, 0), ::testing::ExitedWithCode(1),
                "^error - only 8 audio tracks supported\n$");
}

TEST_F(AviHeaderDeathTest, HeaderThatDoesNotFitEndsTheProcess) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    ASSERT_EQ(AVI_set_segment_size(avi.get(), 16 * 1024), 0);
    AVI_describe_video(avi.get(), 64, 48, 25.0, "H264");
    std::vector<uint8_t> data(1000, 7);
    // Eight tracks, each with chunks, over several segments: nine "indx" chunks of growing size.
    for (int t = 0; t < 8; ++t) {
        AVI_describe_audio(avi.get(), 1, 8000, 16, 1, 0);
        ASSERT_EQ(AVI_put_audio(avi.get(), data.data(), 100), 0);
    }
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(AVI_put_video_frame(avi.get(), data.data(), 1000, 1), 0);
    ASSERT_GE(avi->segment_switches, 5);
    AviFile* raw = avi.release();
    EXPECT_EXIT(AVI_finish(raw), ::testing::ExitedWithCode(1),
                "^AVI_close_output_file: # of header bytes too small\n$");
    // Here, with fewer streams listed, the header fits again and the record can be released.
    raw->track_count = 1;
    EXPECT_EQ(AVI_finish(raw), 0);
}

}  // namespace
