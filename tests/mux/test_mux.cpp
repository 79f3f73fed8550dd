// MKV and MP4 from the muxer, read back by ffprobe and ffmpeg: packet times are the recorded
// stamps (gaps, bursts and repeated stamps included), tags, clean decoding, and the failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <sstream>

#include "common/sysio.h"
#include "mux/avc.h"
#include "mux/mux.h"
#include "support/test_support.h"
#include "tools/mkifv/annexb.h"

namespace fs = std::filesystem;
using testing::HasSubstr;
using tv::mux::Container;
using tv::mux::Description;
using tv::mux::Frame;
using tv::mux::Muxer;

namespace {

constexpr uint32_t kOrigin = 1'000'000;
constexpr uint32_t kRate = 8000;

struct Clip {
    std::vector<uint8_t> stream;
    std::vector<mkifv::AccessUnit> units;
};

// Two seconds of 160x120 H.264, a key frame every 10 pictures; made once per process.
const Clip& clip() {
    static const Clip made = [] {
        Clip c;
        if (!tvtest::have_program("ffmpeg") || !tvtest::have_program("ffprobe")) return c;
        // A folder per test: ctest runs them in processes side by side, each making the clip.
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        fs::path out = tvtest::scratch_dir(std::string("mux_clip_") + (test ? test->name() : "")) /
                       "clip.h264";
        if (tvtest::make_h264(out, "160x120", 2, "-g 10 -x264-params aud=1") != 0) return c;
        c.stream = tvtest::read_file(out);
        c.units = mkifv::split_access_units(c.stream);
        return c;
    }();
    return made;
}

struct Put {
    Frame frame;
    std::vector<uint8_t> pcm;
};

// The frames of a recording in its order: a non-key picture before the first key frame,
// audio that starts before the video, 40 ms steps, a 10 s pause of both, a burst of 5 ms
// steps, repeated stamps and ones that go back.
std::vector<Put> recording() {
    const auto& units = clip().units;
    std::vector<uint32_t> video{kOrigin + 20};  // units[1]: not a key frame
    uint32_t t = kOrigin + 40;
    for (int i = 0; i < 20; ++i, t += 40) video.push_back(t);
    t += 10'000;
    for (int i = 0; i < 10; ++i, t += 5) video.push_back(t);
    video.push_back(t - 5);   // equal to the previous one
    video.push_back(t - 20);  // back in time
    for (int i = 0; i < 15; ++i, t += 40) video.push_back(t);

    std::vector<Put> puts;
    uint32_t a = kOrigin;
    size_t v = 0;
    auto put_audio = [&](uint32_t stamp) {
        Put p;
        for (int s = 0; s < 320; ++s) {  // 40 ms of a sawtooth
            auto x = static_cast<int16_t>((s * 97) % 4000 - 2000);
            p.pcm.push_back(static_cast<uint8_t>(x));
            p.pcm.push_back(static_cast<uint8_t>(static_cast<uint16_t>(x) >> 8));
        }
        p.frame = {nullptr, 640, stamp, true, false};
        puts.push_back(std::move(p));
    };
    for (; v < video.size(); ++v) {
        while (a < video[v] && v > 0 && a <= video[v - 1] + 40) put_audio(a), a += 40;
        if (v == 0)
            while (a < video[0]) put_audio(a), a += 40;
        if (a + 1000 < video[v]) a = video[v];  // audio pauses with the video
        size_t unit = v == 0 ? 1 : (v - 1) % units.size();
        const auto& bytes = units[unit].bytes;
        Put p;
        p.frame = {bytes.data(), static_cast<uint32_t>(bytes.size()), video[v], false,
                   units[unit].idr};
        puts.push_back(std::move(p));
    }
    // Audio that repeats a stamp, then one 200 ms back.
    size_t at = 12;
    while (!puts[at].frame.is_audio) ++at;
    Put again = puts[at];
    puts.insert(puts.begin() + static_cast<std::ptrdiff_t>(at) + 1, again);
    again.frame.time_stamp -= 200;
    puts.insert(puts.begin() + static_cast<std::ptrdiff_t>(at) + 2, again);
    for (Put& p : puts)
        if (p.frame.is_audio) p.frame.data = p.pcm.data();
    return puts;
}

// Each stream's times in ms as the muxer is to write them: from the first frame put, raised
// 1 ms above the stream's previous one when they do not rise; video before the key frame out.
std::map<int, std::vector<int64_t>> expected_ms(const std::vector<Put>& puts) {
    std::map<int, std::vector<int64_t>> ms;
    std::map<int, int64_t> last{{0, -1}, {1, -1}};
    bool key_seen = false;
    for (const Put& p : puts) {
        int stream = p.frame.is_audio ? 1 : 0;
        key_seen = key_seen || (!p.frame.is_audio && p.frame.key);
        if (!p.frame.is_audio && !key_seen) continue;
        int64_t t = static_cast<int64_t>(p.frame.time_stamp) - puts[0].frame.time_stamp;
        if (t <= last[stream]) t = last[stream] + 1;
        last[stream] = t;
        ms[stream].push_back(t);
    }
    return ms;
}

std::map<std::string, std::string> fields(const std::string& line) {
    std::map<std::string, std::string> f;
    std::istringstream in(line);
    std::string item;
    while (std::getline(in, item, '|')) {
        auto eq = item.find('=');
        if (eq != std::string::npos) f[item.substr(0, eq)] = item.substr(eq + 1);
    }
    return f;
}

// Every packet decoded, each at its own time: what ffmpeg says of the file.
tvtest::CommandResult decode(const fs::path& file) {
    return tvtest::run({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-fps_mode",
                        "passthrough", "-enc_time_base", "-1", "-f", "null", "-"});
}

// Packet times per stream in ms; a time that is no whole ms fails the test.
std::map<int, std::vector<int64_t>> probed_ms(const fs::path& file) {
    auto r =
        tvtest::run(tvtest::words("ffprobe -v error -show_entries stream=index,time_base "
                                  "-show_entries packet=stream_index,pts,flags -of compact",
                                  {file.string()}));
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<int, std::pair<int64_t, int64_t>> time_base;
    std::map<int, std::vector<int64_t>> ms;
    std::istringstream in(r.out);
    std::string line;
    std::vector<std::map<std::string, std::string>> packets;
    while (std::getline(in, line)) {
        auto f = fields(line);
        if (line.rfind("stream|", 0) == 0) {
            auto slash = f["time_base"].find('/');
            time_base[std::stoi(f["index"])] = {std::stoll(f["time_base"].substr(0, slash)),
                                                std::stoll(f["time_base"].substr(slash + 1))};
        } else if (line.rfind("packet|", 0) == 0) {
            packets.push_back(f);
        }
    }
    for (auto& p : packets) {
        int stream = std::stoi(p["stream_index"]);
        auto [num, den] = time_base[stream];
        int64_t scaled = std::stoll(p["pts"]) * 1000 * num;
        EXPECT_EQ(scaled % den, 0) << "stream " << stream << " pts " << p["pts"];
        ms[stream].push_back(scaled / den);
    }
    return ms;
}

Description description() {
    Description d;
    d.width = 160;
    d.height = 120;
    d.has_audio = true;
    d.sample_rate = kRate;
    d.start_time = 1'700'000'000;  // 2023-11-14 22:13:20 UTC
    d.title = "Camera 3 \xe5\x89\x8d\xe9\x97\xa8";
    d.version = "9.8.7";
    d.clock_subtitles = true;
    return d;
}

class MuxFile : public ::testing::Test {
  protected:
    void SetUp() override {
        if (clip().units.size() != 50) GTEST_SKIP() << "ffmpeg with libx264 makes the test video";
        ASSERT_TRUE(clip().units[0].idr);
    }
    fs::path dir = tvtest::test_dir();

    // Writes the recording; returns the frames put.
    std::vector<Put> write(const fs::path& path, Container container, uint64_t dropped) {
        auto puts = recording();
        Muxer m;
        EXPECT_EQ(m.open(path.string(), container, description()), 0) << m.error_text();
        for (const Put& p : puts) EXPECT_EQ(m.put(p.frame), 0) << m.error_text();
        EXPECT_EQ(m.finish(), 0) << m.error_text();
        EXPECT_EQ(m.dropped_frames(), dropped);
        EXPECT_EQ(m.written_frames(), puts.size() - dropped);
        return puts;
    }

    // One clock cue a second from the first frame put to the last.
    static void expect_clock(const fs::path& path, const std::vector<Put>& puts,
                             const std::vector<int64_t>& cue_ms) {
        int64_t last = 0;
        for (const Put& p : puts) last = std::max<int64_t>(last, p.frame.time_stamp);
        last -= puts[0].frame.time_stamp;
        std::vector<int64_t> expected;
        for (int64_t t = 0; t <= last; t += 1000) expected.push_back(t);
        // MP4's muxer may end a cue with an empty one at the next cue's time.
        std::vector<int64_t> cues = cue_ms;
        cues.erase(std::unique(cues.begin(), cues.end()), cues.end());
        EXPECT_EQ(cues, expected);
        auto r = tvtest::run({"ffmpeg", "-nostdin", "-v", "error", "-i", path.string(), "-map",
                              "0:s", "-f", "srt", "-"});
        for (const char* text : {"00:00:00,000 --> 00:00:01,000", "2023-11-14 22:13:20 UTC",
                                 "00:00:11,000 --> 00:00:12,000", "2023-11-14 22:13:31 UTC"})
            EXPECT_THAT(r.out, HasSubstr(text)) << r.err;
    }

    static void expect_tags_and_clean_decoding(const fs::path& path) {
        auto r = tvtest::run(
            tvtest::words("ffprobe -v error -show_entries format_tags=creation_time,title,encoder "
                          "-of default=nw=1",
                          {path.string()}));
        EXPECT_THAT(r.out, HasSubstr("TAG:creation_time=2023-11-14T22:13:20.000000Z"));
        EXPECT_THAT(r.out, HasSubstr("TAG:title=Camera 3 \xe5\x89\x8d\xe9\x97\xa8"));
        std::string lower = r.out;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_THAT(lower, HasSubstr("tag:encoder=torvane 9.8.7")) << r.out;
        auto d = decode(path);
        EXPECT_EQ(d.status, 0);
        EXPECT_EQ(d.out + d.err, "");
        if (!tvtest::have_program("gst-discoverer-1.0")) return;
        // GStreamer's demuxers and decoders take every stream too.
        auto g = tvtest::run({"gst-discoverer-1.0", path.string()});
        EXPECT_EQ(g.status, 0) << g.out << g.err;
        EXPECT_EQ(g.out.find("Missing plugins"), std::string::npos) << g.out;
        for (const char* stream : {"video #1: H.264", "audio #2", "subtitles #3"})
            EXPECT_THAT(g.out, HasSubstr(stream));
    }
};

TEST_F(MuxFile, MatroskaKeepsRecordedTimes) {
    fs::path path = dir / "out.mkv";
    auto puts = write(path, Container::Matroska, 1);  // the picture before the key frame
    auto expected = expected_ms(puts);
    auto probed = probed_ms(path);
    EXPECT_EQ(probed[0], expected[0]);
    EXPECT_EQ(probed[1], expected[1]);
    EXPECT_EQ(expected[0].front(), 40);  // from the first frame put, the audio's
    auto codecs = tvtest::run(tvtest::words(
        "ffprobe -v error -show_entries stream=codec_name,width,sample_rate -of csv=p=0",
        {path.string()}));
    EXPECT_EQ(codecs.out, "h264,160\npcm_s16le,8000\nsubrip,N/A\n");
    expect_clock(path, puts, probed[2]);
    expect_tags_and_clean_decoding(path);
}

TEST_F(MuxFile, Mp4KeepsRecordedTimes) {
    fs::path path = dir / "out.mp4";
    // Also the audio 200 ms back: its samples overlap what was encoded.
    auto puts = write(path, Container::Mp4, 2);
    auto expected = expected_ms(puts);
    auto probed = probed_ms(path);
    EXPECT_EQ(probed[0], expected[0]);
    // AAC frames of 128 ms: they start with the audio, and none falls in the pause.
    ASSERT_FALSE(probed[1].empty());
    EXPECT_LE(std::abs(probed[1].front()), 128);
    int64_t pause_begin = expected[0][20] + 200, pause_end = expected[0][21] - 200;
    for (int64_t t : probed[1]) EXPECT_FALSE(t > pause_begin && t < pause_end) << t;
    auto codecs = tvtest::run(tvtest::words(
        "ffprobe -v error -show_entries stream=codec_name,width,sample_rate,channels -of csv=p=0",
        {path.string()}));
    EXPECT_EQ(codecs.out, "h264,160\naac,8000,1\nmov_text,N/A\n");
    expect_clock(path, puts, probed[2]);
    expect_tags_and_clean_decoding(path);
}

TEST_F(MuxFile, AbandonedAndFailedWrites) {
    auto puts = recording();
    {  // stopped halfway: the Matroska file plays what it got
        fs::path path = dir / "cut.mkv";
        Muxer m;
        ASSERT_EQ(m.open(path.string(), Container::Matroska, description()), 0);
        for (size_t i = 0; i < puts.size() / 2; ++i) ASSERT_EQ(m.put(puts[i].frame), 0);
        m.abort();
        auto r = decode(path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        size_t video = 0;
        for (size_t i = 0; i < puts.size() / 2; ++i) video += !puts[i].frame.is_audio;
        EXPECT_EQ(probed_ms(path)[0].size(), video - 1);
    }
    {  // an MP4 abandoned with audio in the encoder
        Muxer m;
        ASSERT_EQ(m.open((dir / "cut.mp4").string(), Container::Mp4, description()), 0);
        for (size_t i = 0; i < puts.size() / 2; ++i) ASSERT_EQ(m.put(puts[i].frame), 0);
    }
    for (Container c : {Container::Matroska, Container::Mp4}) {  // the disk is full
        Muxer m;
        ASSERT_EQ(m.open("/dev/full", c, description()), 0);
        int r = 0;
        for (int pass = 0; pass < 20 && r == 0; ++pass)
            for (size_t i = 0; i < puts.size() && r == 0; ++i) r = m.put(puts[i].frame);
        if (r == 0) r = m.finish();
        EXPECT_EQ(r, -1);
        EXPECT_EQ(m.error(), ENOSPC) << m.error_text();
        EXPECT_EQ(m.finish(), -1);
    }
    // Each write, and the close after them, failing in turn: never reported as written.
    static int calls_left;
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.write = [](int fd, const void* data, size_t n) -> int64_t {
        if (calls_left-- != 0) return tv::sysio::real_ops().write(fd, data, n);
        errno = EIO;
        return -1;
    };
    ops.close = [](int fd) {
        int r = tv::sysio::real_ops().close(fd);
        if (calls_left-- != 0) return r;
        errno = EIO;
        return -1;
    };
    for (int n = 0;; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n));
        calls_left = n;
        tv::sysio::install(&ops);
        Muxer m;
        int r = m.open((dir / "failing.mkv").string(), Container::Matroska, description());
        for (size_t i = 0; i < puts.size() && r == 0; ++i) r = m.put(puts[i].frame);
        if (r == 0) r = m.finish();
        tv::sysio::install(nullptr);
        if (calls_left >= 0) {
            EXPECT_EQ(r, 0);
            EXPECT_GE(n, 2);  // the file took several writes and a close
            break;
        }
        EXPECT_EQ(r, -1);
        EXPECT_EQ(m.error(), EIO) << m.error_text();
    }
}

// The framing of video for the containers, against libavformat's own conversion of a
// 720p High-profile stream (its CodecPrivate, kept from before the muxer did it itself).
TEST(Mux, LengthPrefixedVideoAndItsConfiguration) {
    const std::vector<uint8_t> sps = {0x67, 0x64, 0x00, 0x1f, 0xac, 0xb4, 0x02, 0x80,
                                      0x2d, 0xd8, 0x08, 0x80, 0x00, 0x00, 0x03, 0x00,
                                      0x80, 0x00, 0x00, 0x19, 0x07, 0x8c, 0x19, 0x50};
    const std::vector<uint8_t> pps = {0x68, 0xef, 0x3c, 0xb0};
    std::vector<uint8_t> want = {0x01, 0x64, 0x00, 0x1f, 0xff, 0xe1, 0x00, 0x18};
    want.reserve(64);  // else GCC 12 warns of the inserts below (array-bounds, wrongly)
    want.insert(want.end(), sps.begin(), sps.end());
    want.insert(want.end(), {0x01, 0x00, 0x04});
    want.insert(want.end(), pps.begin(), pps.end());
    want.insert(want.end(), {0xfd, 0xf8, 0xf8, 0x00});
    EXPECT_EQ(tv::mux::avc::decoder_configuration({sps}, {pps}), want);
    EXPECT_TRUE(tv::mux::avc::decoder_configuration({}, {pps}).empty());

    // Four- and three-byte start codes, trailing zeros, a 00 00 03 inside a unit, bytes before
    // the first start code: every unit's bytes, each after its length.
    const std::vector<uint8_t> annexb = {0xAA, 0xBB, 0, 0, 0, 1, 0x67, 1, 2, 0, 0,    1, 0x68,
                                         3,    0,    0, 3, 1, 0, 0,    0, 0, 1, 0x65, 9, 0};
    std::vector<uint8_t> out;
    tv::mux::avc::to_length_prefixed(annexb, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0,    2, 0xAA, 0xBB, 0, 0, 0, 3, 0x67, 1, 2,    0, 0,
                                         0, 6, 0x68, 3, 0,    0,    3, 1, 0, 0, 0,    2, 0x65, 9}));
    const std::vector<uint8_t> bare = {0x41, 0x9a, 0x01};
    tv::mux::avc::to_length_prefixed(bare, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0, 3, 0x41, 0x9a, 0x01}));

    // A start code at every place within the scan's 16-byte steps and at the very end, after
    // a "00 00" that starts none.
    for (uint8_t k = 0; k < 40; ++k) {
        SCOPED_TRACE("filler " + std::to_string(k));
        std::vector<uint8_t> in(k + 14, 0x55);  // 00 00 01 41 55.. 00 00 02 00 00 01 65
        const size_t end = in.size();
        in[0] = in[1] = 0, in[2] = 1, in[3] = 0x41;
        in[end - 7] = in[end - 6] = 0, in[end - 5] = 2;
        in[end - 4] = in[end - 3] = 0, in[end - 2] = 1, in[end - 1] = 0x65;
        tv::mux::avc::to_length_prefixed(in, out);
        std::vector<uint8_t> want(in.size() + 2);  // both start codes become 4-byte lengths
        want[3] = static_cast<uint8_t>(k + 7);
        std::copy(in.begin() + 3, in.end() - 4, want.begin() + 4);
        want[want.size() - 2] = 1, want.back() = 0x65;
        EXPECT_EQ(out, want);

        // In place where both start codes have four bytes; a three-byte one after them leaves
        // every byte as it was, although the units before it fit.
        std::vector<uint8_t> four = in;
        four.insert(four.end() - 4, 0);
        four.insert(four.begin(), 0);
        std::vector<uint8_t> buffer = four;
        EXPECT_TRUE(tv::mux::avc::to_length_prefixed_in_place(buffer));
        EXPECT_EQ(buffer, want);
        for (uint8_t b : {0, 0, 1, 0x66}) four.push_back(b);
        buffer = four;
        EXPECT_FALSE(tv::mux::avc::to_length_prefixed_in_place(buffer));
        EXPECT_EQ(buffer, four);
    }
}

TEST(Mux, Failures) {
    fs::path dir = tvtest::scratch_dir("MuxFailures");
    {  // a folder that does not exist
        Muxer m;
        EXPECT_EQ(m.open((dir / "none" / "out.mkv").string(), Container::Matroska, description()),
                  -1);
        EXPECT_EQ(m.error(), ENOENT);
        EXPECT_NE(m.error_text().find("No such file"), std::string::npos) << m.error_text();
        EXPECT_EQ(m.put(Frame{}), -1);
        EXPECT_EQ(m.finish(), -1);
    }
    {  // no video key frame with its parameter sets: nothing to write a header for
        Muxer m;
        ASSERT_EQ(m.open((dir / "out.mp4").string(), Container::Mp4, description()), 0);
        const uint8_t slice[] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
        uint8_t pcm[640] = {};
        EXPECT_EQ(m.put(Frame{pcm, sizeof pcm, 0, true, false}), 0);
        EXPECT_EQ(m.put(Frame{slice, sizeof slice, 40, false, true}), 0);
        EXPECT_EQ(m.finish(), -1);
        EXPECT_EQ(m.error(), ENODATA);
        EXPECT_EQ(m.written_frames(), 0u);
        EXPECT_EQ(m.dropped_frames(), 2u);
    }
    {  // abandoned before any frame: released, twice over
        Muxer m;
        ASSERT_EQ(m.open((dir / "cut.mkv").string(), Container::Matroska, description()), 0);
        m.abort();
        m.abort();
        EXPECT_EQ(m.error(), 0);
    }
}

}  // namespace
