// torvane-convert running several conversions at once (-j), and interrupted while they run. In
// the ThreadSanitizer build the program itself is instrumented: any race makes it fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <thread>

#include "support/avi_check.h"
#include "support/test_support.h"
#include "tools/ifvbuild/ifv_builder.h"

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

// "r<i><ext>", built step by step (gcc 12 warns wrongly about the one-line concatenation).
std::string name(int i, const char* ext) {
    std::string s = "r";
    s += std::to_string(i);
    s += ext;
    return s;
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

std::vector<std::string> inputs(const fs::path& dir, int count, int frames) {
    std::vector<std::string> list;
    for (int i = 0; i < count; ++i) {
        const fs::path p = dir / name(i, ".ifv");
        recording(p, frames + 37 * i, i);
        list.push_back(p.string());
    }
    return list;
}

#ifndef _WIN32

// Starts torvane-convert with `args` and its standard error into `err`; the stop signals as by
// default (a script's background job would have Ctrl-C ignored).
pid_t start_convert(std::vector<std::string> args, const fs::path& err) {
    args.insert(args.begin(), tvtest::program("torvane-convert"));
    tvtest::SpawnSetup setup;
    setup.err_file = err.string();
    setup.default_signals = {SIGINT, SIGTERM, SIGHUP};
    return tvtest::spawn(args, setup);
}

// The wait status of `pid`, or -1 when it is still running after a minute (it is killed then).
int wait_for(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 6000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Waits up to ten seconds for `file`; once the first output (written aside) exists, the
// conversions are under way.
void wait_for_file(const fs::path& file) {
    for (int i = 0; i < 1000 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
#endif

}  // namespace

TEST(ConvertThreads, SeveralConversionsAtOnce) {
    const auto dir = tvtest::scratch_dir("threads-batch");
    std::vector<std::string> args = {"-j", "3", "-o", (dir / "out").string()};
    for (auto& input : inputs(dir, 6, 400)) args.push_back(input);
    const auto r = tvtest::run_program("torvane-convert", args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("ThreadSanitizer"), std::string::npos) << r.err;
    for (int i = 0; i < 6; ++i) {
        const auto report = tvtest::check_avi_file((dir / "out" / name(i, ".avi")).string());
        EXPECT_TRUE(report.ok()) << tvtest::describe(report);
        EXPECT_EQ(report.avih_total_frames, static_cast<uint32_t>(400 + 37 * i));
        std::string converted = "converted, ";
        converted += std::to_string(2 * (400 + 37 * i));
        EXPECT_THAT(r.err, HasSubstr(converted + " frames"));
    }
}

// Signals: Linux's (Ctrl-C under Wine is checked by scripts/test-windows.sh).
#ifndef _WIN32
TEST(ConvertThreadsLinux, InterruptStopsEveryRunningConversion) {
    const auto dir = tvtest::scratch_dir("threads-interrupt");
    inputs(dir, 4, 20000);
    const fs::path err_file = dir / "err";
    std::vector<std::string> all = {"-j", "3", "-o", (dir / "out").string()};
    for (int i = 0; i < 4; ++i) all.push_back((dir / name(i, ".ifv")).string());
    int status = -1;
    // On a busy machine the whole batch may end before the signal comes: then again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        fs::remove_all(dir / "out");
        const pid_t pid = start_convert(all, err_file);
        ASSERT_GT(pid, 0);
        wait_for_file(dir / "out" / "r0.avi.part");
        ASSERT_EQ(kill(pid, SIGINT), 0);
        status = wait_for(pid);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) break;
    }
    ASSERT_NE(status, -1) << "still running after the interrupt";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const std::string err = tvtest::read_text(err_file);
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

    // A second stop signal ends it at once. Held stopped, it gets both before it runs on:
    // signals of different kinds are not merged into one.
    fs::remove_all(dir / "out");
    const pid_t again = start_convert(all, err_file);
    ASSERT_GT(again, 0);
    wait_for_file(dir / "out" / "r0.avi.part");
    ASSERT_EQ(kill(again, SIGSTOP), 0);
    ASSERT_EQ(waitpid(again, nullptr, WUNTRACED), again);
    ASSERT_EQ(kill(again, SIGINT), 0);
    ASSERT_EQ(kill(again, SIGTERM), 0);
    ASSERT_EQ(kill(again, SIGCONT), 0);
    const int second = wait_for(again);
    EXPECT_TRUE(WIFSIGNALED(second)) << "exit status " << WEXITSTATUS(second);
}
#endif
