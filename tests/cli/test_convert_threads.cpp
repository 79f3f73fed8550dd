// torvane-convert running several conversions at once (-j), and interrupted while they run. In
// the ThreadSanitizer build the program itself is instrumented: any race makes it fail.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/avi_check.h"
#include "support/test_support.h"
#include "tools/ifvbuild/ifv_builder.h"

namespace fs = std::filesystem;
using tvtest::run_command;
using tvtest::shell_quote;

namespace {

// "r<i><ext>", built step by step (gcc 12 warns wrongly about the one-line concatenation).
std::string name(int i, const char* ext) {
    std::string s = "r";
    s += std::to_string(i);
    s += ext;
    return s;
}

std::string convert_cmd() {
    return shell_quote((tvtest::bin_dir() / "torvane-convert").string());
}

// `frames` video frames with a raw sound frame after each, in segments of 100.
void recording(const fs::path& path, int frames, int seed) {
    ifvbuild::Recording rec;
    rec.audio.format = "GRAW";
    rec.audio.frame_length = 320;
    for (int s = 0; s * 100 < frames; ++s) {
        auto& seg = rec.segments.emplace_back();
        for (int i = s * 100; i < std::min(frames, (s + 1) * 100); ++i) {
            seg.add_video(ifvbuild::pattern(200 + i % 50, seed * 100000 + i), 40 * i, i % 25 == 0);
            seg.add_audio(ifvbuild::pattern(320, seed * 100000 + i + 7), 40 * i);
        }
        seg.start_time_stamp = 40 * s * 100;
        seg.end_time_stamp = 40 * std::min(frames, (s + 1) * 100);
    }
    ASSERT_TRUE(ifvbuild::write_file(rec, path));
}

std::string inputs(const fs::path& dir, int count, int frames) {
    std::string list;
    for (int i = 0; i < count; ++i) {
        const fs::path p = dir / name(i, ".ifv");
        recording(p, frames + 37 * i, i);
        list += ' ';
        list += shell_quote(p.string());
    }
    return list;
}

}  // namespace

TEST(ConvertThreads, SeveralConversionsAtOnce) {
    const auto dir = tvtest::scratch_dir("threads-batch");
    const std::string list = inputs(dir, 6, 400);
    const auto r =
        run_command(convert_cmd() + " -j 3 -o " + shell_quote((dir / "out").string()) + list);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("ThreadSanitizer"), std::string::npos) << r.err;
    for (int i = 0; i < 6; ++i) {
        const auto report = tvtest::check_avi_file((dir / "out" / name(i, ".avi")).string());
        EXPECT_TRUE(report.ok()) << tvtest::describe(report);
        EXPECT_EQ(report.avih_total_frames, static_cast<uint32_t>(400 + 37 * i));
        std::string converted = "converted, ";
        converted += std::to_string(2 * (400 + 37 * i));
        EXPECT_NE(r.err.find(converted + " frames"), std::string::npos);
    }
}

TEST(ConvertThreads, InterruptStopsEveryRunningConversion) {
    const auto dir = tvtest::scratch_dir("threads-interrupt");
    const std::string list = inputs(dir, 4, 20000);
    // In the background, so that it can be interrupted while the conversions run.
    const fs::path pid_file = dir / "pid";
    const fs::path err_file = dir / "err";
    ASSERT_EQ(run_command(convert_cmd() + " -j 3 -o " + shell_quote((dir / "out").string()) + list +
                          " 2>" + shell_quote(err_file.string()) + " >/dev/null & echo $! >" +
                          shell_quote(pid_file.string()))
                  .status,
              0);
    pid_t pid = 0;
    for (int i = 0; i < 100 && pid == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto text = tvtest::read_file(pid_file);
        if (!text.empty() && text.back() == '\n')
            pid = std::stoi(std::string(text.begin(), text.end()));
    }
    ASSERT_GT(pid, 0);
    // Once the first output (written aside) exists, the conversions are under way.
    for (int i = 0; i < 1000 && !fs::exists(dir / "out" / "r0.avi.part"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(kill(pid, SIGINT), 0);
    // Not our child (the shell's): wait for it to go away.
    for (int i = 0; i < 3000 && kill(pid, 0) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(kill(pid, 0), 0) << "still running after the interrupt";
    const auto err_bytes = tvtest::read_file(err_file);
    const std::string err(err_bytes.begin(), err_bytes.end());
    EXPECT_EQ(err.find("ThreadSanitizer"), std::string::npos) << err;
    // Each output holds what was converted until the stop, as a finished AVI (a stopped one
    // in its .part); what had not started is not started any more.
    int interrupted = 0;
    for (int i = 0; i < 4; ++i) {
        if (err.find(name(i, ".ifv: not converted: stopped")) != std::string::npos ||
            err.find(name(i, ".ifv: not converted: interrupted before it started")) !=
                std::string::npos) {
            ++interrupted;
        }
        fs::path out = dir / "out" / name(i, ".avi");
        if (!fs::exists(out)) out += ".part";
        if (!fs::exists(out)) continue;
        const auto report = tvtest::check_avi_file(out.string());
        EXPECT_TRUE(report.ok()) << tvtest::describe(report);
    }
    EXPECT_GE(interrupted, 1) << err;
}
