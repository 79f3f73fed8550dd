// torvane-convert and torvane-mkifv as a user runs them, checked with ffprobe and ffmpeg.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cmath>
#include <ctime>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/avi_check.h"
#include "support/test_support.h"
#include "tools/ifvbuild/ifv_builder.h"
#include "torvane/custommp4.h"
#include "torvane/voice.h"

namespace fs = std::filesystem;
using testing::HasSubstr;
using tvtest::run;
using tvtest::words;

// ffmpeg and ffprobe make the inputs and check the outputs of some tests: Linux programs, not
// at hand under Wine.
#ifdef _WIN32
#define SKIP_WITHOUT_FFMPEG() GTEST_SKIP() << "needs ffmpeg, which only the Linux build runs"
#else
#define SKIP_WITHOUT_FFMPEG() (void)0
#endif

namespace {

tvtest::CommandResult convert(std::vector<std::string> args, const tvtest::SpawnSetup& setup = {}) {
    return tvtest::run_program("torvane-convert", std::move(args), setup);
}
tvtest::CommandResult mkifv(std::vector<std::string> args) {
    return tvtest::run_program("torvane-mkifv", std::move(args));
}

// A small recording of `frames` video frames and no audio.
void small_recording(const fs::path& path, int frames = 5, bool refused_frame = false) {
    ifvbuild::Recording rec;
    rec.file.audio_flag = 0;
    auto& seg = rec.segments.emplace_back();
    for (int i = 0; i < frames; ++i) seg.add_video(ifvbuild::pattern(64, i), 40 * i, i == 0);
    if (refused_frame) seg.video[1].length = 0;
    seg.start_time_stamp = 0;
    seg.end_time_stamp = 40 * frames;
    ASSERT_TRUE(ifvbuild::write_file(rec, path));
}

// One ffprobe entry ("flags", "size", "pts_time") for each packet of a stream ("v", "a").
std::vector<std::string> packets(const fs::path& file, const char* stream, const char* entry) {
    auto r = run({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                  std::string("packet=") + entry, "-of", "csv=p=0", file.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) out.push_back(line);
    return out;
}

// The pictures' packet times in milliseconds, in time order.
std::vector<long long> sorted_picture_ms(const fs::path& file) {
    std::vector<long long> ms;
    for (const auto& t : packets(file, "v", "pts_time"))
        ms.push_back(std::llround(std::stod(t) * 1000));
    std::sort(ms.begin(), ms.end());
    return ms;
}

// Checks a --report file against its schema in docs/.
tvtest::CommandResult check_report(const fs::path& report) {
    return run({"python3", "-c",
                "import json, jsonschema, sys; "
                "jsonschema.Draft202012Validator(json.load(open(sys.argv[1]))).validate("
                "json.load(open(sys.argv[2])))",
                (tvtest::source_dir() / "docs" / "report.schema.json").string(), report.string()});
}

}  // namespace

TEST(ConvertCli, UsageErrorsAndHelp) {
    EXPECT_EQ(convert({}).status, 2);
    EXPECT_EQ(convert({"--no-such-option", "x.ifv"}).status, 2);
    EXPECT_EQ(convert({"-j", "0", "x.ifv"}).status, 2);
    EXPECT_EQ(convert({"--json", "x.ifv"}).status, 2);
    EXPECT_EQ(convert({"a.ifv", "b.txt", "c.ifv"}).status, 2);
    EXPECT_EQ(convert({"-n", "-y", "a.ifv"}).status, 2);
    // An AVI is written at many places and a recording read so: no pipes.
    for (const char* args : {"- x.avi", "a.ifv -", "-o - a.ifv"}) {
        const auto dash = convert(words(args));
        EXPECT_EQ(dash.status, 2) << args;
        EXPECT_THAT(dash.err, HasSubstr("'-' cannot stand for standard input or output"));
    }
    const auto version = convert({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.out, HasSubstr("TV_VOICE_VERSION=TV3000_VOICELIB_V1.0.0.0"));

    // Both programs: the version from the build on the first line, and help that help2man
    // turns into a man page.
    for (const std::string name : {"torvane-convert", "torvane-mkifv"}) {
        const auto v = tvtest::run_program(name, {"--version"});
        EXPECT_EQ(v.status, 0);
        EXPECT_EQ(v.out.substr(0, v.out.find('\n')), name + " " TORVANE_VERSION);
        const auto help = tvtest::run_program(name, {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << help.out;
        EXPECT_THAT(help.out, HasSubstr("\nOptions:\n  -"));
        EXPECT_THAT(help.out, HasSubstr("\nExit status:\n  0  "));
        EXPECT_THAT(help.out, HasSubstr("usage error\n"));
    }
    EXPECT_NE(convert({"--help"}).out.find("130  interrupted (Ctrl-C"), std::string::npos);
}

TEST(ConvertCli, ExitStatusTellsHowEachConversionEnded) {
    const auto dir = tvtest::scratch_dir("cli-status");
    small_recording(dir / "good.ifv");
    small_recording(dir / "skips.ifv", 5, true);
    ASSERT_TRUE(ifvbuild::write_file(ifvbuild::Recording{}, dir / "empty.ifv"));
    const std::string d = dir.string();

    auto good = convert({d + "/good.ifv"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_TRUE(fs::exists(dir / "good.avi"));  // default output: the extension becomes .avi
    EXPECT_THAT(good.err, HasSubstr("converted, 5 frames"));
    // Standard error is no terminal here: no progress bar.
    EXPECT_EQ(good.err.find('\r'), std::string::npos);

    auto skips = convert({"-q", d + "/skips.ifv", d + "/skips-out.avi"});
    EXPECT_EQ(skips.status, 3) << skips.err;
    EXPECT_THAT(skips.err, HasSubstr("1 skipped"));
    EXPECT_TRUE(tvtest::check_avi_file((dir / "skips-out.avi").string()).ok());

    auto empty = convert({d + "/empty.ifv"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_THAT(empty.err, HasSubstr("holds no frames"));

    auto missing = convert({d + "/missing.ifv"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_THAT(missing.err,
                HasSubstr("missing.ifv: not converted: the recording could not be opened"));
    EXPECT_THAT(missing.err, HasSubstr("open file failed\n"));  // the reader's own
    EXPECT_EQ(missing.out, "");

    // -q leaves a damaged recording's one-line reason alone on standard error.
    tvtest::write_file(dir / "damaged.ifv", std::vector<uint8_t>(200, 0x5A));
    auto damaged = convert({"-q", d + "/damaged.ifv"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.out, "");
    EXPECT_EQ(damaged.err, "torvane-convert: " + dir.string() +
                               "/damaged.ifv: not converted: the recording could not be opened "
                               "(damaged, or not an .ifv recording)\n");

    auto unwritable = convert({d + "/good.ifv", d + "/no/such/dir/x.avi"});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_THAT(unwritable.err, HasSubstr("could not be created: No such file or directory"));

    // One failure among several makes the run a failure; the others are still converted.
    fs::remove(dir / "good.avi");
    auto mixed = convert({"-q", "-o", d + "/outs", d + "/good.ifv", d + "/missing.ifv"});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_TRUE(fs::exists(dir / "outs" / "good.avi"));
}

TEST(ConvertCli, ExistingOutputIsOnlyReplacedWhenAsked) {
    const auto dir = tvtest::scratch_dir("cli-overwrite");
    small_recording(dir / "a.ifv");
    tvtest::write_file(dir / "a.avi", {'k', 'e', 'e', 'p'});
    const std::string d = dir.string();

    auto refused = convert({d + "/a.ifv"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err, HasSubstr("exists (use -y to replace it)"));
    EXPECT_EQ(tvtest::read_file(dir / "a.avi"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));

    auto replaced = convert({"-y", d + "/a.ifv"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_TRUE(tvtest::check_avi_file((dir / "a.avi").string()).ok());

    // An existing folder as OUTPUT receives the output under the recording's name.
    fs::create_directory(dir / "into");
    auto into = convert({d + "/a.ifv", d + "/into"});
    EXPECT_EQ(into.status, 0) << into.err;
    EXPECT_TRUE(tvtest::check_avi_file((dir / "into" / "a.avi").string()).ok());

    // Never into the recording itself, even with -y.
    auto self = convert({"-y", d + "/a.ifv", d + "/a.ifv"});
    EXPECT_EQ(self.status, 1);
    EXPECT_GT(fs::file_size(dir / "a.ifv"), 1000u);
}

TEST(ConvertCli, SeveralInputsInParallelIntoOneFolder) {
    const auto dir = tvtest::scratch_dir("cli-batch");
    // Spaces, and a separator that ends an argument (on Windows a backslash before the closing
    // quote of the command line): each argument arrives as it was given.
    std::vector<std::string> args = {"-j", "3", "-o",
                                     (dir / "out put" / "").make_preferred().string()};
    for (int i = 0; i < 5; ++i) {
        const auto p = dir / std::string("r ").append(std::to_string(i)).append(".ifv");
        small_recording(p, 3 + i);
        args.push_back(p.string());
    }
    auto r = convert(args);
    EXPECT_EQ(r.status, 0) << r.err;
    for (int i = 0; i < 5; ++i) {
        const auto report = tvtest::check_avi_file(
            (dir / "out put" / std::string("r ").append(std::to_string(i)).append(".avi"))
                .string());
        EXPECT_TRUE(report.ok()) << tvtest::describe(report);
        EXPECT_EQ(report.avih_total_frames, static_cast<uint32_t>(3 + i));
    }
}

TEST(ConvertCli, FoldersAreSearchedForRecordings) {
    const auto dir = tvtest::scratch_dir("cli-folders");
    fs::create_directories(dir / "in" / "day2" / "empty");
    small_recording(dir / "in" / "CAM01.IFV", 3);
    small_recording(dir / "in" / "day2" / "cam02.ifv", 4);
    tvtest::write_file(dir / "in" / "notes.txt", {'x'});
    tvtest::write_file(dir / "in" / "day2" / "cam02.idx", {'x'});
#ifndef _WIN32
    fs::create_directory_symlink(dir / "in", dir / "in" / "day2" / "loop");  // not followed
#endif
    const std::string d = dir.string();

    // With -o the tree below the folder is rebuilt; other files are named once, at the end.
    auto r = convert({"-j", "1", "-o", d + "/out", d + "/in/"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto one = tvtest::check_avi_file((dir / "out" / "CAM01.avi").string());
    const auto two = tvtest::check_avi_file((dir / "out" / "day2" / "cam02.avi").string());
    EXPECT_EQ(one.avih_total_frames, 3u) << tvtest::describe(one);
    EXPECT_EQ(two.avih_total_frames, 4u) << tvtest::describe(two);
    // Found files are named as the folder given, in the system's separator throughout.
    const fs::path in = fs::path(d + "/in/").make_preferred();
    EXPECT_THAT(
        r.err, HasSubstr("torvane-convert: 2 files that are not recordings (.ifv) were skipped: " +
                         (in / "day2" / "cam02.idx").string() + ", " + (in / "notes.txt").string() +
                         "\n"));
    EXPECT_LT(r.err.find("CAM01.IFV ->"), r.err.find("cam02.ifv ->"));  // in sorted order
    EXPECT_THAT(r.err, HasSubstr("torvane-convert: 2 converted, 0 partial, 0 skipped, 0 failed\n"));

    // Without -o each output goes beside its recording.
    auto beside = convert({"-q", d + "/in"});
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_EQ(beside.err, "");
    EXPECT_TRUE(fs::exists(dir / "in" / "CAM01.avi"));
    EXPECT_TRUE(fs::exists(dir / "in" / "day2" / "cam02.avi"));

    // -n resumes a batch: done outputs stay and count as done; they are not listed as skipped
    // files either.
    fs::remove(dir / "out" / "day2" / "cam02.avi");
    const auto first = tvtest::read_file(dir / "out" / "CAM01.avi");
    auto resumed = convert({"-n", "-o", d + "/out", d + "/in"});
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_THAT(
        resumed.err,
        HasSubstr("CAM01.IFV -> " + (fs::path(d + "/out") / "CAM01.avi").make_preferred().string() +
                  ": skipped, the output exists\n"));
    EXPECT_THAT(resumed.err,
                HasSubstr("torvane-convert: 1 converted, 0 partial, 1 skipped, 0 failed\n"));
    EXPECT_EQ(tvtest::read_file(dir / "out" / "CAM01.avi"), first);
    EXPECT_TRUE(fs::exists(dir / "out" / "day2" / "cam02.avi"));
    auto again = convert({"-n", d + "/in"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.err.find(".avi,"), std::string::npos) << again.err;

    auto empty = convert({d + "/in/day2/empty"});
    EXPECT_EQ(empty.status, 1);

    auto info = convert({"--info", "--json", d + "/in"});
    EXPECT_EQ(info.status, 0) << info.err;
    const auto described = nlohmann::json::parse(info.out);
    ASSERT_EQ(described.size(), 2u);
    EXPECT_EQ(described[1]["path"],
              (fs::path(d + "/in") / "day2" / "cam02.ifv").make_preferred().string());
}

// --from/--to cut a span that starts at a key frame, with its audio; --join makes one output of
// consecutive recordings from torvane-mkifv, in time order, or names the one that differs.
TEST(ConvertCli, TimeRangesAndJoins) {
    SKIP_WITHOUT_FFMPEG();
    const auto dir = tvtest::scratch_dir("cli-ranges");
    const std::string d = dir.string();
    // A key frame every second, 4 s of video and voice per recording.
    ASSERT_EQ(tvtest::make_h264(dir / "src.h264", "64x48", 4, "-g 25"), 0);
    ASSERT_EQ(tvtest::make_tone(dir / "src.wav", 4), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(mkifv({"--video", d + "/src.h264", "--audio", d + "/src.wav", "--start-time",
                         std::to_string(1700000000 + 4 * i), d + "/r" + std::to_string(i) + ".ifv"})
                      .status,
                  0);
    }
    auto decodes = [&](const std::string& file) {
        return run({"ffmpeg", "-v", "error", "-i", d + "/" + file, "-f", "null", "-"}).err;
    };

    // 1.5 s to 2.5 s: from the key frame at 1.0 s, 38 pictures to 2.48 s, each format; the
    // wall-clock form of the same start gives the same file.
    for (const char* name : {"span.avi", "span.mkv"}) {
        SCOPED_TRACE(name);
        auto r = convert({"-q", "--from", "1.5", "--to", "2.5", d + "/r0.ifv", d + "/" + name});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto flags = packets(dir / name, "v", "flags");
        ASSERT_EQ(flags.size(), 38u);
        EXPECT_EQ(flags[0].substr(0, 1), "K");
        EXPECT_EQ(decodes(name), "");
        // The voice covers the pictures' time, from the key frame on.
        const double voice = static_cast<double>(packets(dir / name, "a", "size").size());
        if (std::string(name) == "span.avi") {
            EXPECT_NEAR(voice * 321 / 8000, 38 * 0.04, 0.1) << voice;
        }
    }
    const auto times = packets(dir / "span.mkv", "v", "pts_time");
    EXPECT_EQ(times.back(), "1.480000");
    auto clock = run(words("ffprobe -v error -show_entries format_tags=creation_time -of csv=p=0",
                           {d + "/span.mkv"}));
    EXPECT_THAT(clock.out, HasSubstr("2023-11-14T22:13:21"));
    auto wall = convert({"-q", "--from", "2023-11-14 22:13:21.5", d + "/r0.ifv", d + "/wall.avi"});
    EXPECT_EQ(wall.status, 2);  // whole seconds only
    wall = convert(
        {"-q", "--from", "2023-11-14 22:13:21", "--to", "2.5", d + "/r0.ifv", d + "/wall.avi"});
    ASSERT_EQ(wall.status, 0) << wall.err;
    auto by_offset =
        convert({"-q", "--from", "1", "--to", "2.5", d + "/r0.ifv", d + "/offset.avi"});
    ASSERT_EQ(by_offset.status, 0) << by_offset.err;
    EXPECT_EQ(tvtest::read_file(dir / "wall.avi"), tvtest::read_file(dir / "offset.avi"));
    EXPECT_EQ(convert({"--from", "3", "--to", "2", d + "/r0.ifv"}).status, 2);
    auto past = convert({"--from", "60", d + "/r0.ifv", d + "/past.avi"});
    EXPECT_EQ(past.status, 1);
    EXPECT_THAT(past.err, HasSubstr("holds no frames between --from and --to"));
    EXPECT_FALSE(fs::exists(dir / "past.avi"));
    EXPECT_FALSE(fs::exists(dir / "past.avi.part"));

    // Given out of order, joined in time order: every frame, one timeline.
    for (const char* name : {"joined.avi", "joined.mkv"}) {
        SCOPED_TRACE(name);
        auto r = convert({"-q", "--report", d + "/" + name + ".json", "--join", d + "/" + name,
                          d + "/r2.ifv", d + "/r0.ifv", d + "/r1.ifv"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(packets(dir / name, "v", "flags").size(), 300u);
        const auto voice = packets(dir / name, "a", "size");
        if (std::string(name) == "joined.mkv") {
            EXPECT_EQ(voice.size(), 3 * 99u);  // placed by their stamps
        } else {
            // 99 voice frames of 321 samples fall 221 samples short of 4 s of pictures: silence
            // before the next recording keeps its voice with its pictures.
            ASSERT_EQ(voice.size(), 3 * 99u + 2);
            EXPECT_EQ(voice[99], "442");
            EXPECT_EQ(voice[199], "442");
        }
        EXPECT_EQ(decodes(name), "");
        const auto report = tvtest::read_file(dir / (std::string(name) + ".json"));
        const auto recordings = nlohmann::json::parse(report)["conversions"][0]["recordings"];
        ASSERT_EQ(recordings.size(), 3u);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(recordings[i]["path"], (dir / ("r" + std::to_string(i) + ".ifv")).string());
    }
    const auto ms = sorted_picture_ms(dir / "joined.mkv");
    for (size_t i = 0; i < ms.size(); ++i) ASSERT_EQ(ms[i], 40 * static_cast<long long>(i)) << i;

    // A span across a join: from the first recording's key frame at 3 s into the second's.
    auto across = convert({"-q", "--from", "3.5", "--to", "5", "--report", d + "/across.json",
                           "--join", d + "/across.mkv", d + "/r1.ifv", d + "/r0.ifv"});
    ASSERT_EQ(across.status, 0) << across.err;
    const auto conversion =
        nlohmann::json::parse(tvtest::read_file(dir / "across.json"))["conversions"][0];
    EXPECT_EQ(conversion["span"], nlohmann::json({{"from", "3.5"}, {"to", "5"}}));
    EXPECT_EQ(check_report(dir / "across.json").status, 0);
    const auto across_flags = packets(dir / "across.mkv", "v", "flags");
    ASSERT_EQ(across_flags.size(), 51u);
    EXPECT_EQ(across_flags[0].substr(0, 1), "K");
    EXPECT_EQ(decodes("across.mkv"), "");

    // A join of 4 s at 25 fps and 10 s at 10 fps plays at 200 / 14 s in the AVI: its clock
    // cues and drift follow that rate, not the first recording's.
    ASSERT_EQ(mkifv({"--video", d + "/src.h264", "--audio", d + "/src.wav", "--fps", "10",
                     "--start-time", "1700000004", d + "/slow.ifv"})
                  .status,
              0);
    auto mixed =
        convert({"--clock-srt", "--join", d + "/mixed.avi", d + "/slow.ifv", d + "/r0.ifv"});
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_EQ(mixed.err.find("timeline ends"), std::string::npos) << mixed.err;
    const std::string cues = tvtest::read_text(dir / "mixed.srt");
    // The last recorded second, 22:13:33, begins at frame 190: 13.3 s into the AVI.
    EXPECT_THAT(cues, HasSubstr("00:00:13,300 --> "));
    EXPECT_NE(cues.rfind("2023-11-14 22:13:33 UTC"), std::string::npos) << cues;

    // One that differs is named, and nothing is written.
    ASSERT_EQ(mkifv({"--video", d + "/src.h264", "--size", "32x32", "--start-time", "1700000012",
                     d + "/small.ifv"})
                  .status,
              0);
    auto bad = convert({"--join", d + "/bad.avi", d + "/r0.ifv", d + "/small.ifv", d + "/r1.ifv"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.err, HasSubstr("small.ifv: not converted: " + dir.string() +
                                   "/small.ifv does not match the first recording, " +
                                   dir.string() + "/r0.ifv: it has a picture of 32x32, not 64x48"));
    EXPECT_FALSE(fs::exists(dir / "bad.avi"));
    EXPECT_FALSE(fs::exists(dir / "bad.avi.part"));
    // The same size from another encoder's settings: its pictures need other parameters.
    ASSERT_EQ(tvtest::make_h264(dir / "base.h264", "64x48", 1, "-profile:v baseline"), 0);
    ASSERT_EQ(mkifv({"--video", d + "/base.h264", "--audio", d + "/src.wav", "--start-time",
                     "1700000012", d + "/base.ifv"})
                  .status,
              0);
    auto other = convert({"--join", d + "/bad.mkv", d + "/r0.ifv", d + "/base.ifv"});
    EXPECT_EQ(other.status, 1);
    EXPECT_THAT(other.err, HasSubstr("it has other H.264 parameters"));
    EXPECT_FALSE(fs::exists(dir / "bad.mkv.part"));

    // A join reads the start of each recording twice, but tells what it finds there once.
    for (const char* name : {"d1.ifv", "d2.ifv"}) {
        ifvbuild::Recording rec;
        rec.file.audio_flag = 0;
        auto& seg = rec.segments.emplace_back();
        for (int i = 0; i < 5; ++i) seg.add_video(ifvbuild::pattern(64, i), 40 * i, i == 1);
        seg.video[0].length = 0;  // refused, before the first key frame
        ASSERT_TRUE(ifvbuild::write_file(rec, dir / name));
    }
    auto damaged = convert({"--join", d + "/d.avi", d + "/d1.ifv", d + "/d2.ifv"});
    EXPECT_EQ(damaged.status, 3) << damaged.err;
    EXPECT_THAT(damaged.err, HasSubstr("converted 8 of 10 frames (2 skipped"));
    const auto lines = std::count(damaged.err.begin(), damaged.err.end(), '\n');
    EXPECT_EQ(lines, 3) << damaged.err;  // a refusal for each, and the summary
}

TEST(ConvertCli, ProgressForProgramsAndNarrowTerminals) {
    const auto dir = tvtest::scratch_dir("cli-progress");
    small_recording(dir / "a.ifv", 300);
    small_recording(dir / "b.ifv", 20);
    const std::string d = dir.string();
    const auto total = fs::file_size(dir / "a.ifv") + fs::file_size(dir / "b.ifv");

    // JSON lines on standard output, also when it is no terminal; the total is known from the
    // first line on.
    auto json = convert({"--progress=json", "-o", d + "/json", d + "/a.ifv", d + "/b.ifv"});
    EXPECT_EQ(json.status, 0) << json.err;
    std::istringstream lines(json.out);
    std::vector<nlohmann::json> reports;
    for (std::string line; std::getline(lines, line);)
        reports.push_back(nlohmann::json::parse(line));
    ASSERT_GE(reports.size(), 2u) << json.out;
    for (const auto& r : reports) EXPECT_EQ(r["total_bytes"], total) << r;
    EXPECT_EQ(reports.back()["done_bytes"], total);
    EXPECT_EQ(reports.back()["done_files"], 2);
    EXPECT_EQ(reports.back()["total_files"], 2);
    EXPECT_EQ(reports.back()["eta_s"], 0);
    EXPECT_TRUE(reports.back().contains("rate_bytes_per_s"));
    EXPECT_TRUE(reports.back().contains("elapsed_s"));
    EXPECT_EQ(convert({"--progress=yes", d + "/a.ifv"}).status, 2);

#ifndef _WIN32
    // On a terminal 40 columns wide the bar never wraps.
    using tvtest::shell_quote;
    auto narrow = run({"script", "-qec",
                       "stty cols 40; " + shell_quote(tvtest::program("torvane-convert")) + " -o " +
                           shell_quote(d + "/narrow") + " " + shell_quote(d + "/a.ifv") + " " +
                           shell_quote(d + "/b.ifv"),
                       "/dev/null"});
    EXPECT_EQ(narrow.status, 0) << narrow.out;
    int bars = 0;
    for (size_t start = 0, end; start < narrow.out.size(); start = end + 1) {
        end = std::min(narrow.out.find('\r', start), narrow.out.find('\n', start));
        if (end == std::string::npos) end = narrow.out.size();
        std::string piece = narrow.out.substr(start, end - start);
        if (piece.find("ETA") == std::string::npos) continue;
        ++bars;
        piece = piece.substr(0, piece.find('\033'));
        EXPECT_LT(piece.size(), 40u) << piece;
    }
    EXPECT_GE(bars, 1) << narrow.out;
#endif
}

TEST(ConvertCli, InfoDescribesTheRecording) {
    const auto dir = tvtest::scratch_dir("cli-info");
    ifvbuild::Recording rec;
    rec.video.width = 640;
    rec.video.height = 480;
    rec.file.start_time = 1700000000;
    rec.file.end_time = 1700000000;  // not set: derived from the span
    rec.audio.format = "TV35";
    rec.audio.frame_length = 168;
    auto& seg = rec.segments.emplace_back();
    // Frame 10 repeats the stamp of frame 9; frame 20 comes back 60 ms before frame 19's.
    for (int i = 0; i < 75; ++i) {
        const int stamp = i == 10 ? 360 : i == 20 ? 700 : 40 * i;
        seg.add_video(ifvbuild::pattern(10, i), stamp, false);
    }
    seg.add_audio(std::vector<uint8_t>(168), 120);
    seg.start_time_stamp = 0;
    seg.end_time_stamp = 3000;
    ASSERT_TRUE(ifvbuild::write_file(rec, dir / "a.ifv"));

    auto r =
        convert({"--info", "--json", (dir / "a.ifv").string(), (dir / "nothing.ifv").string()});
    EXPECT_EQ(r.status, 1);                       // the second could not be opened
    const auto j = nlohmann::json::parse(r.out);  // diagnostics stay out of the JSON
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["segments"], 1);
    EXPECT_EQ(j[0]["duration_ms"], 3000);
    EXPECT_EQ(j[0]["start_time"], "2023-11-14T22:13:20Z");
    EXPECT_EQ(j[0]["end_time"], "2023-11-14T22:13:23Z");
    EXPECT_EQ(j[0]["video"]["width"], 640);
    EXPECT_EQ(j[0]["video"]["frames"], 75);
    EXPECT_EQ(j[0]["video"]["frame_rate"], 25.0);
    EXPECT_EQ(j[0]["audio"]["format"], "TV35");
    EXPECT_EQ(j[0]["audio"]["codec"], "ima-adpcm-voice");
    EXPECT_EQ(j[0]["audio"]["frames"], 1);
    EXPECT_EQ(j[0]["size"], fs::file_size(dir / "a.ifv"));
    const auto& timing = j[0]["timing"];
    EXPECT_EQ(timing["first_ms"], 0);
    EXPECT_EQ(timing["last_ms"], 2960);
    EXPECT_EQ(timing["last_time"], "2023-11-14 22:13:22");
    EXPECT_EQ(timing["interval_ms"], 40);
    EXPECT_EQ(timing["equal_stamps"], 1);
    EXPECT_EQ(timing["out_of_order"], 1);
    EXPECT_EQ(timing["audio_offset_ms"], 120);
    EXPECT_EQ(timing["gap_count"], 0);
    EXPECT_EQ(timing["burst_count"], 0);
    EXPECT_LT(timing["avi_drift_s"].get<double>(), 0.001);
    EXPECT_EQ(j[1]["error"], "recording not opened");
    EXPECT_THAT(r.err, HasSubstr("open file failed"));

    auto text = convert({"--info", (dir / "a.ifv").string()});
    EXPECT_EQ(text.status, 0);
    EXPECT_THAT(text.out, HasSubstr("640x480, 75 frames, 25.000 fps"));
    EXPECT_THAT(text.out, HasSubstr("40 ms; 1 out of order, 1 with equal stamps"));
}

// A recording with dropped frames, a ten-minute pause and a burst, from torvane-mkifv: --info
// finds them, the summary names the drift, and the clock subtitles and the modification time
// come without changing a byte of the AVI.
TEST(ConvertCli, RecordedTimeBesideTheConstantRateTimeline) {
    SKIP_WITHOUT_FFMPEG();
    const auto dir = tvtest::scratch_dir("cli-timing");
    const std::string d = dir.string();
    ASSERT_EQ(tvtest::make_h264(dir / "src.h264", "64x48", 2, "-g 25"), 0);
    std::vector<uint32_t> stamps;
    uint32_t t = 0;
    for (int i = 0; i < 100; ++i, t += (i % 10 == 0 ? 80 : 40)) stamps.push_back(t);  // drops
    t += 600000;
    for (int i = 0; i < 10; ++i, t += 2) stamps.push_back(t);  // the burst after the pause
    for (int i = 0; i < 100; ++i, t += 40) stamps.push_back(t + 40);
    std::string stamp_lines;
    for (uint32_t s : stamps) stamp_lines += std::to_string(s) + "\n";
    tvtest::write_text(dir / "stamps.txt", stamp_lines);
    auto mk = mkifv({"--video", d + "/src.h264", "--timestamps", d + "/stamps.txt", "--start-time",
                     "1700000000", d + "/rec.ifv"});
    ASSERT_EQ(mk.status, 0) << mk.err;

    auto info = convert({"--info", "--json", d + "/rec.ifv"});
    ASSERT_EQ(info.status, 0) << info.err;
    const auto timing = nlohmann::json::parse(info.out)[0]["timing"];
    EXPECT_EQ(timing["interval_ms"], 40);
    ASSERT_EQ(timing["gap_count"], 1);
    EXPECT_EQ(timing["gaps"][0]["at_ms"], stamps[99]);
    EXPECT_EQ(timing["gaps"][0]["length_ms"], stamps[100] - stamps[99]);
    EXPECT_EQ(timing["gaps"][0]["at"], "2023-11-14 22:13:24");
    ASSERT_EQ(timing["burst_count"], 1);
    EXPECT_EQ(timing["bursts"][0]["at_ms"], stamps[100]);
    EXPECT_EQ(timing["bursts"][0]["frames"], 10);
    const double drift = timing["avi_drift_s"].get<double>();
    EXPECT_GT(drift, 1.0);
    EXPECT_GT(timing["avi_largest_offset_s"].get<double>(), 250.0);

    auto with = convert({"--clock-srt", d + "/rec.ifv", d + "/a.avi"});
    ASSERT_EQ(with.status, 0) << with.err;
    char note[96];
    std::snprintf(note, sizeof note, "converted, 210 frames; the AVI's timeline ends %.1f s",
                  drift);
    EXPECT_THAT(with.err, HasSubstr(note));
    auto without = convert({"-q", "--no-preserve-time", d + "/rec.ifv", d + "/b.avi"});
    ASSERT_EQ(without.status, 0) << without.err;
    EXPECT_EQ(tvtest::read_file(dir / "a.avi"), tvtest::read_file(dir / "b.avi"));
    EXPECT_FALSE(fs::exists(dir / "b.srt"));
    // Subtitles of someone else's are not replaced without -y.
    tvtest::write_file(dir / "c.srt", {'m', 'i', 'n', 'e', '\n'});
    auto taken = convert({"--clock-srt", d + "/rec.ifv", d + "/c.avi"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_THAT(taken.err, HasSubstr("c.srt exists (use -y to replace it)"));
    EXPECT_EQ(tvtest::read_file(dir / "c.srt"), std::vector<uint8_t>({'m', 'i', 'n', 'e', '\n'}));

    // The header's end time, as cp -p would give it; without it, the time of writing.
    struct stat st {};
    const uint32_t end_time = 1700000000 + static_cast<uint32_t>(stamps.back() + 40) / 1000;
    ASSERT_EQ(::stat((d + "/a.avi").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, end_time);
    ASSERT_EQ(::stat((d + "/a.srt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, end_time);
    ASSERT_EQ(::stat((d + "/b.avi").c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, time(nullptr) - 3600);

    // A cue for each recorded second that holds frames, at the AVI time of its first frame.
    const double fps = stamps.size() * 1000.0 / (stamps.back() + 40);
    std::string want;
    int cue = 0;
    uint32_t second = UINT32_MAX;
    auto avi_time = [&](size_t i) {
        const auto ms = static_cast<long long>(std::llround(i * 1000.0 / fps));
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld,%03lld", ms / 3600000, ms / 60000 % 60,
                      ms / 1000 % 60, ms % 1000);
        return std::string(buf);
    };
    std::vector<size_t> starts;
    for (size_t i = 0; i < stamps.size(); ++i) {
        if (stamps[i] / 1000 == second) continue;
        starts.push_back(i);
        second = stamps[i] / 1000;
    }
    for (size_t c = 0; c < starts.size(); ++c) {
        const time_t wall = 1700000000 + stamps[starts[c]] / 1000;
        char clock[32];
        std::strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S", std::gmtime(&wall));
        want += std::to_string(++cue) + "\n" + avi_time(starts[c]) + " --> " +
                avi_time(c + 1 < starts.size() ? starts[c + 1] : stamps.size()) + "\n" + clock +
                " UTC\n\n";
    }
    EXPECT_EQ(tvtest::read_text(dir / "a.srt"), want);
    EXPECT_EQ(cue, 10);  // seconds 0 to 4 before the pause, 5 after it

    auto pictures = [](const std::string& file) {
        return tvtest::framemd5_sums(
            run(words("ffmpeg -v error -i",
                      {file, "-map", "0:v", "-fps_mode", "passthrough", "-f", "framemd5", "-"}))
                .out);
    };
    ASSERT_EQ(pictures(d + "/a.avi").size(), stamps.size());
    // Matroska and MP4 keep each frame's recorded time: packet times are the stamps from the
    // first, in milliseconds, exactly; the start time is the file's creation time.
    for (const char* name : {"c.mkv", "c.mp4"}) {
        SCOPED_TRACE(name);
        const std::string out = d + "/" + name;
        auto r = convert({"-q", d + "/rec.ifv", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto ms = sorted_picture_ms(out);
        ASSERT_EQ(ms.size(), stamps.size());
        for (size_t i = 0; i < stamps.size(); ++i) EXPECT_EQ(ms[i], stamps[i] - stamps[0]) << i;
        auto tags = run(
            words("ffprobe -v error -show_entries format_tags=creation_time -of csv=p=0", {out}));
        EXPECT_THAT(tags.out, HasSubstr("2023-11-14T22:13:20"));
        // Decoded as recorded: no frame rate imposed on the 2 ms burst, and every picture as
        // the AVI's, whose frames are the recorded ones unchanged.
        EXPECT_EQ(run(words("ffmpeg -v error -i", {out, "-map", "0:v", "-fps_mode", "passthrough",
                                                   "-enc_time_base", "-1", "-f", "null", "-"}))
                      .err,
                  "");
        EXPECT_EQ(pictures(out), pictures(d + "/a.avi"));
    }
}

// The whole road: H.264 and audio from ffmpeg, a recording from torvane-mkifv, an AVI from
// torvane-convert, checked against the originals with ffprobe and ffmpeg.
TEST(ConvertCli, EndToEndAgainstTheOriginalStreams) {
    SKIP_WITHOUT_FFMPEG();
    const auto dir = tvtest::scratch_dir("cli-e2e");
    const std::string d = dir.string();
    ASSERT_EQ(tvtest::make_h264(dir / "src.h264", "176x144", 3, "-g 30"), 0);
    ASSERT_EQ(tvtest::make_tone(dir / "src.wav", 3), 0);
    auto mk = mkifv({"--video", d + "/src.h264", "--audio", d + "/src.wav", "--frames-per-segment",
                     "30", d + "/rec.ifv"});
    ASSERT_EQ(mk.status, 0) << mk.err;
    auto conv = convert({"-q", d + "/rec.ifv", d + "/out.avi"});
    ASSERT_EQ(conv.status, 0) << conv.err;

    auto probe =
        run(words("ffprobe -v error -count_packets -show_streams -of json", {d + "/out.avi"}));
    ASSERT_EQ(probe.status, 0) << probe.err;
    const auto streams = nlohmann::json::parse(probe.out)["streams"];
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0]["codec_name"], "h264");
    EXPECT_EQ(streams[0]["width"], 176);
    EXPECT_EQ(streams[0]["height"], 144);
    EXPECT_EQ(streams[0]["nb_read_packets"], "75");
    EXPECT_EQ(streams[0]["r_frame_rate"], "25/1");
    EXPECT_EQ(streams[1]["codec_name"], "pcm_s16le");
    EXPECT_EQ(streams[1]["sample_rate"], "8000");
    EXPECT_EQ(streams[1]["channels"], 1);

    // Every picture decodes exactly as from the original stream.
    auto original = run(words("ffmpeg -v error -i", {d + "/src.h264", "-f", "framemd5", "-"}));
    auto converted =
        run(words("ffmpeg -v error -i", {d + "/out.avi", "-map", "0:v", "-f", "framemd5", "-"}));
    ASSERT_EQ(original.status, 0);
    ASSERT_EQ(converted.status, 0);
    const auto want = tvtest::framemd5_sums(original.out);
    EXPECT_EQ(want.size(), 75u);
    EXPECT_EQ(tvtest::framemd5_sums(converted.out), want);

    // The audio is exactly the library's decoding of the recording's voice frames.
    ASSERT_EQ(run(words("ffmpeg -v error -y -i",
                        {d + "/out.avi", "-map", "0:a", "-f", "s16le", d + "/audio.raw"}))
                  .status,
              0);
    const auto audio = tvtest::read_file(dir / "audio.raw");
    std::vector<uint8_t> expected;
    custommp4_handle* h = custommp4_open((d + "/rec.ifv").c_str(), 0);
    ASSERT_NE(h, nullptr);
    VoiceCodecState dec;
    TV_VOICE_DecReset(&dec, VOICE_MODE_ADPCM_FIRST);
    std::vector<uint8_t> buf(CUSTOMMP4_FRAME_BUFFER_SIZE);
    uint32_t ts;
    uint8_t key, is_audio;
    int32_t n;
    while ((n = custommp4_read_one_media_frame(h, buf.data(), static_cast<int32_t>(buf.size()), &ts,
                                               &key, &is_audio)) > 0) {
        if (!is_audio) continue;
        int16_t pcm[VOICE_MAX_DECODED_SAMPLES];
        int16_t count = 0;
        ASSERT_EQ(
            TV_VOICE_DecodeFrame(&dec, reinterpret_cast<VoiceFrame*>(buf.data()), pcm, &count), 0);
        for (int i = 0; i < count; ++i) {
            expected.push_back(static_cast<uint8_t>(pcm[i]));
            expected.push_back(static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) >> 8));
        }
    }
    custommp4_close(h);
    EXPECT_GT(expected.size(), 40000u);
    EXPECT_EQ(audio, expected);

    auto decode = run(words("ffmpeg -v error -i", {d + "/out.avi", "-f", "null", "-"}));
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.err, "");
}

// What only Linux has: devices, FIFOs, signals, file-size limits, terminals, names that are not
// UTF-8 and the shell tools that check checksums and the report.
#ifndef _WIN32

namespace {

// Runs torvane-convert with its standard output and error going into a pipe whose reader has
// gone, as `| head -1` leaves it once head has its line. Returns the wait status.
int run_into_closed_pipe(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    ::close(fds[0]);
    args.insert(args.begin(), tvtest::program("torvane-convert"));
    tvtest::SpawnSetup setup;
    setup.out_fd = fds[1];
    // Whatever runs the tests may ignore SIGPIPE; the program must cope with its default.
    setup.default_signals = {SIGPIPE};
    const pid_t pid = tvtest::spawn(args, setup);
    ::close(fds[1]);
    int status = -1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

}  // namespace

TEST(ConvertCliLinux, DeviceAsOutputIsNeverRemoved) {
    // A full disk at the very first write: the output is no AVI. A file of the conversion's
    // own would be removed; a device named as the output must stay.
    const auto dir = tvtest::scratch_dir("cli-device");
    small_recording(dir / "a.ifv");
    auto r = convert({"-y", (dir / "a.ifv").string(), "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("could not be created: No space left on device"));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST(ConvertCliLinux, SpecialFilesAsRecordingAreRefusedAtOnce) {
    // Under a time limit: opening a FIFO waits for a writer that never comes (and a stop
    // signal cannot end that wait).
    const auto dir = tvtest::scratch_dir("cli-special");
    ASSERT_EQ(mkfifo((dir / "fifo.ifv").c_str(), 0600), 0);
    fs::create_directory(dir / "dir.ifv");
    const std::string d = dir.string();
    const auto timed = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"timeout", "-k", "5", "20", tvtest::program("torvane-convert")});
        return run(args);
    };

    auto fifo = timed({d + "/fifo.ifv"});
    EXPECT_EQ(fifo.status, 1);
    EXPECT_THAT(fifo.err,
                HasSubstr("fifo.ifv: not converted: the recording is not a regular file (a FIFO)"));
    auto device = timed({"/dev/null", d + "/null.avi"});
    EXPECT_EQ(device.status, 1);
    EXPECT_THAT(device.err,
                HasSubstr("/dev/null: not converted: the recording is not a regular file (a "
                          "character device)"));
    // A folder is searched for recordings; one without any is a failure.
    auto directory = timed({d + "/dir.ifv"});
    EXPECT_EQ(directory.status, 1);
    EXPECT_THAT(directory.err,
                HasSubstr("dir.ifv: not converted: the folder holds no recording (.ifv)"));
    // The reader itself refuses them, for every caller: --info goes straight to it.
    auto info = timed({"--info", d + "/fifo.ifv"});
    EXPECT_EQ(info.status, 1);
    EXPECT_THAT(info.out, HasSubstr("error:      recording not opened"));
    EXPECT_FALSE(fs::exists(dir / "fifo.avi.part"));
    EXPECT_FALSE(fs::exists(dir / "dir.avi.part"));
}

TEST(ConvertCliLinux, ClosedPipeAndFileSizeLimitAreNoDeaths) {
    const auto dir = tvtest::scratch_dir("cli-limits");
    // The refused frame makes the reader warn while the conversion runs: a message written
    // into a pipe that nobody reads any more must not end the conversion.
    small_recording(dir / "a.ifv", 2000, true);
    const int piped =
        run_into_closed_pipe({"-o", (dir / "piped").string(), (dir / "a.ifv").string()});
    ASSERT_TRUE(WIFEXITED(piped)) << "ended by signal " << WTERMSIG(piped);
    EXPECT_EQ(WEXITSTATUS(piped), 3);
    const auto report = tvtest::check_avi_file((dir / "piped" / "a.avi").string());
    EXPECT_TRUE(report.ok()) << tvtest::describe(report);
    EXPECT_EQ(report.avih_total_frames, 1999u);

    // A file-size limit fails the write that passes it, with its reason; the frames written
    // before stay in the .part.
    using tvtest::shell_quote;
    auto limited =
        tvtest::run_command("ulimit -f 64; " + shell_quote(tvtest::program("torvane-convert")) +
                            " -q " + shell_quote((dir / "a.ifv").string()));
    EXPECT_EQ(limited.status, 1) << limited.err;
    EXPECT_THAT(limited.err, HasSubstr("a.avi failed: File too large; the AVI " +
                                       (dir / "a.avi").string() + ".part holds the "));
    EXPECT_FALSE(fs::exists(dir / "a.avi"));
    EXPECT_TRUE(fs::exists(dir / "a.avi.part"));
}

TEST(ConvertCliLinux, ControlCharactersInNamesAreEscaped) {
    // Sent raw, the name would recolour the terminal and break the line; UTF-8 stays as it is.
    const auto dir = tvtest::scratch_dir("cli-names");
    const fs::path in = dir / "a\x1b[31m\nb\u00e9.ifv";
    small_recording(in);
    const std::string shown = dir.string() + "/a\\x1b[31m\\nb\u00e9";

    auto r = convert({in.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "torvane-convert: " + shown + ".ifv -> " + shown + ".avi: converted, 5 frames\n");
    auto refused = convert({in.string()});
    EXPECT_THAT(refused.err, HasSubstr("the output " + shown + ".avi exists"));

    auto info = convert({"--info", in.string()});
    EXPECT_EQ(info.out.rfind(shown + ".ifv\n", 0), 0u) << info.out;
    auto json = convert({"--info", "--json", in.string()});
    EXPECT_EQ(nlohmann::json::parse(json.out)[0]["path"], in.string());
}

// --hash and --report: checksums that sha256sum checks from the output's folder, a report that
// its schema in docs/ accepts and that records failures too, and neither replaces a file.
TEST(ConvertCliLinux, EvidenceChecksumsAndReport) {
    const auto dir = tvtest::scratch_dir("cli-evidence");
    small_recording(dir / "a.ifv");
    small_recording(dir / "b\xff.ifv", 5, true);  // not UTF-8, and partial
    tvtest::SpawnSetup in_dir, in_out;
    in_dir.cwd = dir;
    in_out.cwd = dir / "out";
    auto r = convert(words("--hash --report run.json -o out a.ifv b\xff.ifv none.ifv"), in_dir);
    EXPECT_EQ(r.status, 1) << r.err;  // none.ifv
    for (const std::string sums : {"a.avi.sha256", "b\xff.avi.sha256"}) {
        auto check = run({"sha256sum", "-c", sums}, in_out);
        EXPECT_EQ(check.status, 0) << check.out << check.err;
        EXPECT_EQ(std::count(check.out.begin(), check.out.end(), '\n'), 2) << check.out;
    }
    const std::string a_sums = tvtest::read_text(dir / "out" / "a.avi.sha256");
    ASSERT_EQ(a_sums.size(), 64 + 11 + 64 + 8u) << a_sums;
    EXPECT_EQ(a_sums.substr(64, 11), "  ../a.ifv\n") << a_sums;
    EXPECT_EQ(a_sums.substr(64 + 11 + 64), "  a.avi\n") << a_sums;

    auto valid = check_report(dir / "run.json");
    EXPECT_EQ(valid.status, 0) << valid.err;
    const auto report_bytes = tvtest::read_file(dir / "run.json");
    const auto report = nlohmann::ordered_json::parse(report_bytes);
    EXPECT_EQ(report.begin().key(), "schema_version");
    EXPECT_EQ(report["exit_status"], 1);
    ASSERT_EQ(report["conversions"].size(), 3u);
    const auto& a = report["conversions"][0];
    EXPECT_EQ(a["outcome"], "converted");
    EXPECT_EQ(a["recordings"][0]["sha256"], a_sums.substr(0, 64));
    EXPECT_EQ(a["recordings"][0]["video_frames"], 5);
    EXPECT_EQ(a["output"]["size"], fs::file_size(dir / "out" / "a.avi"));
    EXPECT_EQ(a["output"]["format"], "avi");
    EXPECT_EQ(run({"sha256sum", (dir / "out" / "a.avi").string()}).out.substr(0, 64),
              a["output"]["sha256"]);
    const auto& b = report["conversions"][1];
    EXPECT_EQ(b["exit_status"], 3);
    EXPECT_EQ(b["frames"]["skipped"], 1);
    EXPECT_FALSE(b["warnings"].empty());  // the reader's word on the refused frame
    EXPECT_EQ(b["recordings"][0]["path_bytes"], "62ff2e696676");  // "b\xff.ifv"
    EXPECT_EQ(report["conversions"][2]["outcome"], "recording not opened");
    EXPECT_EQ(report["conversions"][2]["output"], nullptr);

    // Nothing is replaced without -y: not the report, not a checksum file left alone.
    fs::remove(dir / "out" / "a.avi");
    auto again = convert(words("--hash --report again.json -o out a.ifv b\xff.ifv"), in_dir);
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(again.err, HasSubstr("the checksum file out/a.avi.sha256 exists"));
    // A reason that quotes a name that is not UTF-8 is still written.
    const auto refusals = nlohmann::json::parse(tvtest::read_file(dir / "again.json"));
    EXPECT_NE(refusals["conversions"][1]["reason"].get<std::string>().find("exists"),
              std::string::npos);
    EXPECT_EQ(convert(words("--report run.json a.ifv"), in_dir).status, 2);
    EXPECT_EQ(tvtest::read_file(dir / "run.json"), report_bytes);
    auto replaced = convert(words("-y --hash --report run.json -o out a.ifv"), in_dir);
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(run(words("sha256sum -c a.avi.sha256"), in_out).status, 0);

    // --info's JSON carries its schema version first, and names kept byte for byte.
    auto info = convert({"--info", "--json", "b\xff.ifv"}, in_dir);
    const auto described = nlohmann::ordered_json::parse(info.out);
    EXPECT_EQ(described[0].begin().key(), "schema_version");
    EXPECT_EQ(described[0]["path_bytes"], "62ff2e696676");
}

#endif
