// Failing system calls and allocations: each yields a null handle, 0 or -1 with a diagnostic,
// never a crash, a leak (the sanitizer build checks) or a frame with wrong bytes.
#include <gtest/gtest.h>

#include <cstring>

#include "recording/reader_test_util.h"
#include "support/test_support.h"

namespace {

using rtest::Faults;
using rtest::Frame;
using rtest::Op;

const std::string kEio = std::strerror(EIO);

// Failing call `first` + i of `op` makes the open fail, printing messages[i]; `unbuffered`
// refuses the reader's buffer, so that each step reads by itself.
void expect_steps(const std::filesystem::path& path, Op op, long first,
                  const std::vector<std::string>& messages, bool unbuffered) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const long call = first + static_cast<long>(i);
        SCOPED_TRACE("call " + std::to_string(call));
        Faults faults;
        if (unbuffered) faults.refuse_buffer();
        faults.fail(op, call);
        rtest::expect_refused(path, messages[i]);
    }
}

TEST(Faults, OpenFailures) {
    const auto path = rtest::write(rtest::sample_recording(1), "faults_open");
    {
        Faults faults;
        faults.fail(Op::Open, 1);
        rtest::expect_refused(path, "open file failed\n");
    }
    {
        // The size of the file cannot be learnt.
        Faults faults;
        faults.fail(Op::Size, 1);
        rtest::expect_refused(path, "open file failed\n");
    }
    {
        // The handle itself: null without a message.
        Faults faults;
        faults.fail(Op::Allocate, 1);
        rtest::expect_refused(path, "");
    }
}

TEST(Faults, EachReadOfTheOpenNamesItsStep) {
    const auto path = rtest::write(rtest::sample_recording(1), "faults_reads");
    const std::vector<std::string> messages = {
        "ReadFilePropertiesObject failed 1\n",
        "ReadVideoStreamPropertiesObject failed\n",
        "ReadAudioStreamPropertiesObject failed\n",
        "ReadAudioStreamPropertiesObject failed\n",  // the mdat object
        "ReadmdatSegmentObject1 (offset:200) failed 1\n",
        "read video index table failed:read\n",
        "read audio index table failed:read\n",
    };
    // Without the buffer every step reads by itself; with it, the first read serves them all.
    expect_steps(path, Op::Read, 1, messages, true);
    Faults faults;
    faults.fail(Op::Read, 1);
    EXPECT_EQ(rtest::open(path).out, messages[0]);
    EXPECT_EQ(faults.calls(Op::Read), 1);
}

TEST(Faults, TableAllocations) {
    const auto path = rtest::write(rtest::sample_recording(2), "faults_alloc");
    // Asked in this order: handle, read buffer, sect table, video table, audio table.
    const std::vector<std::string> messages = {
        "alloc memory for sect table failed\n",
        "alloc memory for video table failed\n",
        "alloc memory for audio table failed\n",
    };
    expect_steps(path, Op::Allocate, 3, messages, false);
}

TEST(Faults, SegmentWhoseIndexCannotBeLoadedIsPassedOver) {
    // The second segment holds more video entries than the first tables were sized for.
    auto rec = rtest::sample_recording(3);
    rec.segments[1].video_index_slots = 3500;
    for (uint32_t i = 0; i < 3497; ++i) {
        rec.segments[1].add_video(ifvbuild::pattern(8, 900 + i), 1100 + i);
    }
    const auto path = rtest::write(rec, "faults_realloc");
    auto later = rec;
    later.segments.erase(later.segments.begin() + 1);
    const auto expected = rtest::expected_frames(later);

    for (Op op : {Op::Allocate, Op::Read}) {
        Faults faults;
        faults.refuse_buffer();
        auto o = rtest::open(path);
        ASSERT_NE(o.handle, nullptr);
        // The next one after the first segment's five frames: entering segment 2.
        faults.fail(op, faults.calls(op) + (op == Op::Read ? 6 : 1));
        auto all = rtest::read_all(o.handle.get());
        ASSERT_EQ(all.frames.size(), expected.size() + 1);
        for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(all.frames[i], expected[i]);
        EXPECT_EQ(all.frames[5].result, -1);
        for (std::size_t i = 5; i < expected.size(); ++i) EXPECT_EQ(all.frames[i + 1], expected[i]);
        EXPECT_EQ(all.out,
                  std::string(op == Op::Allocate ? "read video index table failed:realloc\n"
                                                 : "read video index table failed:read\n") +
                      "custommp4_read_one_media_frame:ReadmdatIndexTable error\n");
    }
}

TEST(Faults, ReadErrorInTheSegmentChainFailsTheOpen) {
    // Damage there ends the recording early; a failing read says nothing about its end.
    const auto path = rtest::write(rtest::sample_recording(3), "faults_chain");
    Faults faults;
    faults.refuse_buffer();
    faults.fail(Op::Read, 6);  // the second segment's header
    auto o = rtest::open(path);
    EXPECT_EQ(o.handle, nullptr);
    EXPECT_EQ(o.error, EIO);
    EXPECT_EQ(o.out, "ReadmdatSegmentObject2 (offset:" +
                         std::to_string(
                             ifvbuild::layout(rtest::sample_recording(3)).segments[1].position) +
                         ") failed 1\n");
}

TEST(Faults, ShortReadInsideTheFileIsASystemError) {
    auto rec = rtest::sample_recording(1);
    Faults faults;
    faults.refuse_buffer();
    auto o = rtest::open(rtest::write(rec, "faults_short"));
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(custommp4_get_system_error(o.handle.get()), 0);
    faults.fail(Op::Read, faults.calls(Op::Read) + 2);
    auto all = rtest::read_all(o.handle.get(), CUSTOMMP4_FRAME_BUFFER_SIZE, 2);
    ASSERT_EQ(all.frames.size(), 2u);
    EXPECT_GT(all.frames[0].result, 0);
    EXPECT_EQ(all.frames[1].result, 0);
    EXPECT_EQ(custommp4_get_system_error(o.handle.get()), EIO);
}

TEST(Faults, ReadFailureLosesOnlyItsFrame) {
    auto rec = rtest::sample_recording(1);
    const auto lay = ifvbuild::layout(rec);
    Faults faults;
    faults.refuse_buffer();
    auto o = rtest::open(rtest::write(rec, "faults_frame"));
    ASSERT_NE(o.handle, nullptr);
    faults.fail(Op::Read, faults.calls(Op::Read) + 1);
    auto all = rtest::read_all(o.handle.get());
    const long long at = static_cast<long long>(lay.segments[0].data);
    EXPECT_EQ(all.out,
              "warning:read error,frame offset:" + std::to_string(at) + ",frame length:100\n");
    ASSERT_EQ(all.frames.size(), 1u);
    EXPECT_EQ(all.frames[0].result, 0);
    // The frame is lost, but the next call goes on with the next one.
    all = rtest::read_all(o.handle.get());
    const auto expected = rtest::expected_frames(rec);
    EXPECT_EQ(all.frames, std::vector<Frame>(expected.begin() + 1, expected.end()));
}

TEST(Faults, CloseFailureIsReported) {
    auto o = rtest::open(rtest::write(rtest::sample_recording(1), "faults_fclose"));
    ASSERT_NE(o.handle, nullptr);
    Faults faults;
    faults.fail(Op::Close, 1);
    tvtest::StdoutCapture capture;
    EXPECT_EQ(custommp4_close(o.handle.release()), 1);
    EXPECT_EQ(capture.finish(), "custommp4_destroy:fclose error=-1,errno=" + std::to_string(EIO) +
                                    ",errstr=" + kEio + "\n");
}

// Every single failure of every operation, once and from then on: whatever comes out is a
// subsequence of the right frames, and any difference from a clean run is explained by a
// diagnostic.
struct Outcome {
    bool opened = false;
    int open_error = 0;    // errno of a failed open
    int system_error = 0;  // the handle's record of a failure of the system
    std::vector<Frame> frames;
    std::string out;
};

Outcome run(const std::filesystem::path& path) {
    Outcome r;
    auto o = rtest::open(path);
    r.opened = o.handle != nullptr;
    r.open_error = o.error;
    r.out = o.out;
    if (r.opened) {
        std::vector<uint8_t> buffer(CUSTOMMP4_FRAME_BUFFER_SIZE);
        tvtest::StdoutCapture capture;
        // Past a 0 too: a lost frame is not the end.
        for (int i = 0; i < 40; ++i) {
            Frame f;
            f.result = custommp4_read_one_media_frame(o.handle.get(), buffer.data(),
                                                      CUSTOMMP4_FRAME_BUFFER_SIZE, &f.time_stamp,
                                                      &f.key, &f.audio);
            if (f.result > 0) f.bytes.assign(buffer.begin(), buffer.begin() + f.result);
            if (f.result != 0 || i == 0 || r.frames.back().result != 0) r.frames.push_back(f);
        }
        r.out += capture.finish();
        r.system_error = custommp4_get_system_error(o.handle.get());
    }
    o.handle.reset();
    return r;
}

bool is_subsequence(const std::vector<Frame>& got, const std::vector<Frame>& all) {
    std::size_t j = 0;
    for (const auto& f : got) {
        if (f.result <= 0) continue;
        while (j < all.size() && !(all[j] == f)) ++j;
        if (j == all.size()) return false;
        ++j;
    }
    return true;
}

TEST(Faults, EveryFailureIsContained) {
    auto rec = rtest::sample_recording(3);
    rec.segments.insert(rec.segments.begin() + 1, ifvbuild::Segment{});  // an empty one
    const auto path = rtest::write(rec, "faults_sweep");
    const auto expected = rtest::expected_frames(rec);

    // Reads are swept with the buffer for small reads and without it, where every header,
    // index table and frame is a positional read of its own.
    struct Sweep {
        Op op;
        bool buffered;
    };
    for (const Sweep sweep : {Sweep{Op::Read, true}, Sweep{Op::Read, false}, Sweep{Op::Size, true},
                              Sweep{Op::Allocate, true}}) {
        const Op op = sweep.op;
        Outcome clean;
        long calls = 0;
        {
            Faults faults;
            if (!sweep.buffered) faults.refuse_buffer();
            clean = run(path);
            calls = faults.calls(op);
        }
        ASSERT_TRUE(clean.opened);
        ASSERT_EQ(clean.out, "");
        ASSERT_EQ(clean.frames, expected);
        ASSERT_GT(calls, sweep.buffered ? 0 : 10);
        for (long n = 1; n <= calls; ++n) {
            for (bool persistent : {false, true}) {
                Faults faults;
                if (!sweep.buffered) faults.refuse_buffer();
                faults.fail(op, n, persistent);
                const Outcome r = run(path);
                SCOPED_TRACE(::testing::Message() << "op " << static_cast<int>(op) << " call " << n
                                                  << (persistent ? " and later" : "")
                                                  << (sweep.buffered ? "" : " unbuffered"));
                EXPECT_TRUE(is_subsequence(r.frames, expected));
                const bool same = r.opened && r.frames == clean.frames;
                // Only refusing the handle's own allocation is silent.
                const bool silent_null = op == Op::Allocate && n == 1 && !r.opened;
                if (!same && !silent_null) {
                    EXPECT_NE(r.out, "");
                }
                // A caller can always tell the system's failure from a damaged recording.
                if (!r.opened) {
                    EXPECT_EQ(r.open_error, op == Op::Allocate ? ENOMEM : EIO);
                } else if (!same) {
                    EXPECT_EQ(r.system_error, op == Op::Allocate ? ENOMEM : EIO);
                }
            }
        }
    }
}

}  // namespace
