#include "common/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

struct Lines {
    std::mutex lock;
    std::vector<std::string> seen;
};

extern "C" void collect(void* user, const char* line) {
    auto* lines = static_cast<Lines*>(user);
    std::lock_guard<std::mutex> hold(lines->lock);
    lines->seen.emplace_back(line);
}

}  // namespace

TEST(Log, SinkGetsWholeLinesFromEveryThreadAndNullRestoresStdout) {
    Lines lines;
    torvane_set_log(collect, &lines);
    const std::string tail(600, 'x');  // longer than the first formatting buffer
    std::vector<std::string> expected{"no newline 7"};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 50; ++i)
            expected.push_back("thread " + std::to_string(t) + " line " + std::to_string(i) + tail);
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) tv::logf("thread %d line %d%s\n", t, i, tail.c_str());
        });
    }
    for (auto& th : threads) th.join();
    tv::logf("no newline %d", 7);
    std::sort(lines.seen.begin(), lines.seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines.seen, expected);

    torvane_set_log(torvane_log_discard, nullptr);
    tvtest::StdoutCapture discarded;
    tv::logf("dropped\n");
    EXPECT_EQ(discarded.finish(), "");

    torvane_set_log(nullptr, &lines);
    tvtest::StdoutCapture out;
    tv::logf("open file failed\n");
    EXPECT_EQ(out.finish(), "open file failed\n");
    EXPECT_EQ(lines.seen.size(), expected.size());
}
