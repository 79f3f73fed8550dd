#include "recording/reader_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "support/test_support.h"

namespace rtest {

namespace fs = std::filesystem;

std::string printf_text(const char* fmt, long long a, long long b, long long c) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

ifvbuild::Recording sample_recording(int segments) {
    ifvbuild::Recording rec;
    uint32_t seed = 1;
    for (int i = 0; i < segments; ++i) {
        auto& seg = rec.segments.emplace_back();
        const uint32_t t = static_cast<uint32_t>(i) * 1000;
        for (uint32_t j = 0; j < 3; ++j) {
            seg.add_video(ifvbuild::pattern(100 + 10 * i + j, seed++), t + 40 * j, j == 0);
        }
        for (uint32_t j = 0; j < 2; ++j) seg.add_audio(ifvbuild::pattern(320, seed++), t + 60 * j);
    }
    return rec;
}

fs::path write(const ifvbuild::Recording& rec, const std::string& name) {
    const fs::path path = tvtest::scratch_dir(name) / (name + ".ifv");
    EXPECT_TRUE(ifvbuild::write_file(rec, path)) << path;
    return path;
}

fs::path write_bytes(const std::vector<uint8_t>& bytes, const std::string& name) {
    const fs::path path = tvtest::scratch_dir(name) / (name + ".ifv");
    tvtest::write_file(path, bytes);
    return path;
}

Opened open(const fs::path& path, uint32_t offset) {
    tvtest::StdoutCapture capture;
    Opened o;
    o.handle.reset(custommp4_open(path.string().c_str(), offset));
    o.error = o.handle ? 0 : errno;
    o.out = capture.finish();
    return o;
}

void expect_refused(const fs::path& path, const std::string& message, uint32_t offset) {
    const Opened o = open(path, offset);
    EXPECT_EQ(o.handle, nullptr);
    EXPECT_EQ(o.out, message);
}

ReadAll read_all(custommp4_handle* h, int32_t buffer_length, int limit) {
    ReadAll all;
    std::vector<uint8_t> buffer(static_cast<std::size_t>(std::max(buffer_length, 1)));
    tvtest::StdoutCapture capture;
    for (int i = 0; i < limit; ++i) {
        Frame f;
        f.result = custommp4_read_one_media_frame(h, buffer.data(), buffer_length, &f.time_stamp,
                                                  &f.key, &f.audio);
        if (f.result > 0) f.bytes.assign(buffer.begin(), buffer.begin() + f.result);
        all.frames.push_back(std::move(f));
        if (all.frames.back().result == 0) break;
    }
    all.out = capture.finish();
    return all;
}

std::vector<Frame> expected_frames(const ifvbuild::Recording& rec) {
    std::vector<Frame> out;
    for (const auto& seg : rec.segments) {
        std::size_t v = 0, a = 0;
        while (v < seg.video.size() || a < seg.audio.size()) {
            const bool video =
                v < seg.video.size() &&
                (a >= seg.audio.size() || seg.video[v].time_stamp <= seg.audio[a].time_stamp);
            Frame f;
            if (video) {
                const auto& e = seg.video[v++];
                f.time_stamp = e.time_stamp;
                f.key = static_cast<uint8_t>(e.key_flag);
                f.bytes.assign(seg.data.begin() + e.data_offset,
                               seg.data.begin() + e.data_offset + e.length);
            } else {
                const auto& e = seg.audio[a++];
                f.time_stamp = e.time_stamp;
                f.audio = 1;
                f.bytes.assign(seg.data.begin() + e.data_offset,
                               seg.data.begin() + e.data_offset + rec.audio.frame_length);
            }
            f.result = static_cast<int32_t>(f.bytes.size());
            out.push_back(std::move(f));
        }
    }
    Frame end;
    out.push_back(end);
    return out;
}

Opened expect_read_cleanly(const fs::path& path, const ifvbuild::Recording& rec, uint32_t offset) {
    Opened o = open(path, offset);
    EXPECT_EQ(o.out, "");
    if (!o.handle) {
        ADD_FAILURE() << path << " does not open";
        return o;
    }
    const ReadAll all = read_all(o.handle.get());
    EXPECT_EQ(all.out, "");
    EXPECT_EQ(all.frames, expected_frames(rec));
    return o;
}

namespace {

constexpr int kOps = 5;
std::array<long, kOps> g_calls{};
std::array<long, kOps> g_fail_at{};
std::array<bool, kOps> g_persistent{};
std::size_t g_largest = 0;

bool should_fail(Op op) {
    const int i = static_cast<int>(op);
    const long n = ++g_calls[i];
    return g_fail_at[i] != 0 && (n == g_fail_at[i] || (g_persistent[i] && n > g_fail_at[i]));
}

int fake_open(const char* path, int mode) {
    if (should_fail(Op::Open)) {
        errno = EMFILE;
        return -1;
    }
    return tv::sysio::real_ops().open(path, mode);
}
int64_t fake_preadv(int fd, const tv::sysio::Part* parts, int count, int64_t offset) {
    if (should_fail(Op::Read)) {
        errno = EIO;
        return -1;
    }
    return tv::sysio::real_ops().preadv(fd, parts, count, offset);
}
int64_t fake_file_size(int fd) {
    if (should_fail(Op::Size)) {
        errno = EIO;
        return -1;
    }
    return tv::sysio::real_ops().file_size(fd);
}
int fake_close(int fd) {
    const int result = tv::sysio::real_ops().close(fd);
    if (should_fail(Op::Close)) {
        errno = EIO;
        return -1;
    }
    return result;
}
bool fake_may_allocate(size_t bytes) {
    g_largest = std::max(g_largest, bytes);
    return !should_fail(Op::Allocate);
}

const tv::sysio::Ops kFake = [] {
    tv::sysio::Ops ops = tv::sysio::real_ops();
    ops.open = fake_open;
    ops.preadv = fake_preadv;
    ops.file_size = fake_file_size;
    ops.close = fake_close;
    ops.may_allocate = fake_may_allocate;
    return ops;
}();

}  // namespace

Faults::Faults() {
    g_calls = {};
    g_fail_at = {};
    g_persistent = {};
    g_largest = 0;
    tv::sysio::install(&kFake);
}

Faults::~Faults() {
    tv::sysio::install(nullptr);
}

void Faults::fail(Op op, long nth, bool persistent) {
    g_fail_at[static_cast<int>(op)] = nth;
    g_persistent[static_cast<int>(op)] = persistent;
}

long Faults::calls(Op op) const {
    return g_calls[static_cast<int>(op)];
}

std::size_t Faults::largest_allocation() const {
    return g_largest;
}

}  // namespace rtest
