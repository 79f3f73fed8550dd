// The output buffer, written by the caller's thread or behind it: the same file as without it,
// whatever the chunks; a failed write of the buffer takes back exactly the chunks that are not
// whole in the file, and those put after them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>

#include "avi_test_util.h"
#include "support/test_support.h"

using namespace avitest;
using namespace tvtest;

namespace {

// Payload byte j of the chunk made by operation i: every chunk differs from its neighbours.
uint8_t payload_byte(size_t op, size_t j) {
    return static_cast<uint8_t>(op * 131 + j * 7 + (j >> 8));
}

struct Op {
    enum Kind { Video, Audio, Describe, Flush, Resize } kind = Video;
    int32_t length = 0;  // chunks; the buffer size for Resize
    bool key = false;
    int track = 0;
};

// A few hundred operations: video chunks of many sizes (empty, odd, larger than small
// buffers), audio chunks on up to three tracks (empty ones too), tracks described in the
// middle, and flushes and buffer changes in between.
std::vector<Op> make_script(unsigned seed, size_t count) {
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::vector<Op> ops;
    int tracks = 1;
    for (size_t i = 0; i < count; ++i) {
        Op op;
        const int roll = pick(100);
        if (i == count / 3 || i == 2 * count / 3) {
            op.kind = Op::Describe;
            ++tracks;
        } else if (roll < 46) {
            op.kind = Op::Video;
            const int size = pick(100);
            op.length = size < 4 ? 0 : size < 8 ? 5000 + pick(40000) : 1 + pick(3000);
            op.key = pick(10) == 0;
        } else if (roll < 95) {
            op.kind = Op::Audio;
            op.track = pick(tracks);
            const int size = pick(10);
            op.length = size == 0 ? 0 : size < 4 ? 1 + 2 * pick(400) : 320;
        } else if (roll < 98) {
            op.kind = Op::Flush;
        } else {
            op.kind = Op::Resize;
            const int32_t sizes[] = {0, 300, 5000, 65536};
            op.length = sizes[pick(4)];
        }
        ops.push_back(op);
    }
    return ops;
}

struct RunOptions {
    int32_t buffer = 0;        // 0: no buffer
    bool in_place = false;     // chunk data built in AVI_chunk_space when it fits
    bool extra_calls = false;  // carry out Flush and Resize
    bool behind = false;       // write behind; every other Flush is AVI_make_room
    int fail_flush_write = 0;  // this write of the buffer (counted from 1) fails...
    size_t cut = 0;            // ...after writing cut % its length bytes
    std::vector<bool> only;    // when not empty: the operations to carry out
};

// Injection: the writes of the buffer are counted; one of them lands partly and the next one
// fails, as when the disk fills up in the middle of a block. Writes from another thread than
// the test's are writes behind, of a buffer. The counters need no lock: the writer never writes
// from two threads at once, and hands over through its own lock.
const AviFile* g_file = nullptr;
std::thread::id g_test_thread;
int g_buffer_writes = 0;
int g_fail_at = 0;
size_t g_cut = 0;
bool g_fail_next = false;
int64_t g_whole_until = -1;  // file offset up to which the failed block reached the file

bool is_buffer(const void* p) {
    if (!g_file || !g_file->write_buffer) return false;
    const auto* b = static_cast<const uint8_t*>(p);
    const uint8_t* memory = g_file->write_buffer.get();
    return b >= memory && b < memory + g_file->write_buffer_size + AVI_BUFFER_ALIGNMENT;
}

int64_t counting_write(int fd, const void* buf, size_t n) {
    if (g_fail_next) {
        g_fail_next = false;
        errno = ENOSPC;
        return -1;
    }
    const bool of_buffer = std::this_thread::get_id() != g_test_thread || is_buffer(buf);
    if (of_buffer && ++g_buffer_writes == g_fail_at) {
        const size_t cut = g_cut % n;
        const int64_t at = ::lseek(fd, 0, SEEK_CUR);
        g_whole_until = at + static_cast<int64_t>(cut);
        if (cut == 0) {
            errno = ENOSPC;
            return -1;
        }
        g_fail_next = true;
        return ::write(fd, buf, cut);
    }
    return ::write(fd, buf, n);
}

// A table that counts the writes of `file`'s buffer from now on: write `fail_at` (counted from
// 1) lands `cut` % its length bytes and the next write fails.
tv::sysio::Ops counting_writes(const AviFile* file, int fail_at, size_t cut) {
    tv::sysio::Ops table = tv::sysio::real_ops();
    table.write = counting_write;
    g_file = file;
    g_test_thread = std::this_thread::get_id();
    g_buffer_writes = 0;
    g_fail_at = fail_at;
    g_cut = cut;
    g_fail_next = false;
    g_whole_until = -1;
    return table;
}

struct RunResult {
    std::vector<uint8_t> bytes;
    std::vector<bool> effective;  // operations whose result is in the file
    int failures = 0;             // calls that returned -1
    int finish = 0;
    int64_t chunks_before_finish = 0;
};

RunResult run(const fs::path& path, const std::vector<Op>& ops, const RunOptions& o,
              int64_t threshold) {
    RunResult r;
    r.effective.assign(ops.size(), false);
    std::vector<std::pair<size_t, int64_t>> chunk_ends;  // operation, end of its chunk

    InstalledOps installed(counting_writes(nullptr, o.fail_flush_write, o.cut));
    AviFile* avi = AVI_create_output(path.string().c_str());
    EXPECT_NE(avi, nullptr);
    if (!avi) return r;
    g_file = avi;
    EXPECT_EQ(AVI_set_segment_size(avi, threshold), 0);
    EXPECT_EQ(AVI_set_write_buffer(avi, o.buffer), 0);
    if (o.behind) {
        EXPECT_EQ(AVI_set_write_behind(avi, 1), 0);
    }
    EXPECT_EQ(AVI_describe_video(avi, 64, 48, 25.0, "H264"), 0);
    EXPECT_EQ(AVI_describe_audio(avi, 1, 8000, 16, 1, 0), 0);

    // After a failure, the chunks past the end of what reached the file are gone.
    auto failed = [&] {
        ++r.failures;
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE);
        EXPECT_GE(g_whole_until, 0);
        for (const auto& [op, end] : chunk_ends)
            if (end > g_whole_until) r.effective[op] = false;
    };
    std::vector<uint8_t> data;
    for (size_t i = 0; i < ops.size(); ++i) {
        if (!o.only.empty() && !o.only[i]) continue;
        const Op& op = ops[i];
        if (op.kind == Op::Describe) {
            // The track is described even when a write behind fails as its header is written.
            if (AVI_describe_audio(avi, 1, 8000, 16, 1, 0) != 0) failed();
            r.effective[i] = true;
            continue;
        }
        if (op.kind == Op::Flush || op.kind == Op::Resize) {
            if (!o.extra_calls) continue;
            int result;
            if (op.kind == Op::Resize) {
                result = AVI_set_write_buffer(avi, op.length);
            } else {
                result = o.behind && i % 2 == 1 ? AVI_make_room(avi) : AVI_flush(avi);
            }
            if (result != 0) failed();
            r.effective[i] = true;
            continue;
        }
        data.resize(static_cast<size_t>(op.length));
        for (size_t j = 0; j < data.size(); ++j) data[j] = payload_byte(i, j);
        const uint8_t* source = data.data();
        int32_t room = 0;
        uint8_t* space = AVI_chunk_space(avi, &room);
        if (o.in_place && space && room >= op.length) {
            if (op.length > 0) std::memcpy(space, data.data(), data.size());
            source = space;
        }
        int result;
        if (op.kind == Op::Video) {
            result = AVI_put_video_frame(avi, source, op.length, op.key ? 1 : 0);
        } else {
            avi->current_track = op.track;
            result = AVI_put_audio(avi, source, op.length);
        }
        if (result != 0) {
            failed();
            continue;
        }
        r.effective[i] = true;
        chunk_ends.emplace_back(i, avi->position);
    }
    r.chunks_before_finish = AVI_chunks_in_file(avi);
    {
        tvtest::StdoutCapture quiet;  // the close lists the super index entries
        r.finish = AVI_finish(avi);
    }
    g_file = nullptr;
    if (r.finish != 0) failed();
    r.bytes = tvtest::read_file(path);
    return r;
}

class AviBuffer : public AviTest {
  protected:
    std::vector<uint8_t> data = std::vector<uint8_t>(5000, 0x44);

    // A writer with a buffer of `size` bytes, written behind when `behind`; null if refused.
    AviPtr buffered(int32_t size, bool behind = false) {
        AviPtr avi = create();
        if (avi && (AVI_set_write_buffer(avi.get(), size) != 0 ||
                    (behind && AVI_set_write_behind(avi.get(), 1) != 0)))
            avi.reset();
        return avi;
    }
};

TEST_F(AviBuffer, SameFileWithOrWithoutBuffer) {
    constexpr int64_t kThreshold = 80 * 1024;
    for (unsigned seed : {1u, 2u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::vector<Op> ops = make_script(seed, 400);
        const RunResult reference = run(dir / "reference.avi", ops, RunOptions{}, kThreshold);
        ASSERT_EQ(reference.finish, 0);
        // The script really switches segments a few times and the file is well formed.
        auto top = walk(dir / "reference.avi", 0, static_cast<int64_t>(reference.bytes.size()));
        ASSERT_GE(top.size(), 4u);

        for (int32_t size : {1, 9, 10, 100, 4096, 65536, 1 << 20}) {
            for (int variant = 0; variant < 5; ++variant) {
                RunOptions o;
                o.buffer = size;
                o.in_place = variant >= 1;
                o.extra_calls = variant == 2 || variant == 4;
                o.behind = variant >= 3;
                SCOPED_TRACE("buffer " + std::to_string(size) + " variant " +
                             std::to_string(variant));
                const RunResult r = run(path, ops, o, kThreshold);
                EXPECT_EQ(r.finish, 0);
                EXPECT_EQ(r.failures, 0);
                EXPECT_EQ(r.bytes, reference.bytes) << diff(r.bytes, reference.bytes);
                // Buffered chunks are counted once written: the count is never too high.
                EXPECT_LE(r.chunks_before_finish, reference.chunks_before_finish);
            }
        }
    }
}

TEST_F(AviBuffer, FailedWritesOfTheBufferLeaveTheFileOfTheChunksThatStay) {
    // Whatever write of the buffer fails and wherever it stops, the finished file is the one
    // that a writer without buffer makes from the chunks that stayed.
    constexpr int64_t kThreshold = 80 * 1024;
    const std::vector<Op> ops = make_script(7, 300);
    int cases = 0;
    for (int32_t size : {4096, 65536}) {
        for (int variant = 0; variant < 4; ++variant) {
            RunOptions o;
            o.buffer = size;
            o.in_place = variant % 2 == 1;
            o.extra_calls = true;
            o.behind = variant >= 2;
            const int writes = [&] {
                run(path, ops, o, kThreshold);
                return g_buffer_writes;
            }();
            ASSERT_GT(writes, 10);
            for (int n = 1; n <= writes; n += n < 8 ? 1 : 9) {
                o.fail_flush_write = n;
                o.cut = static_cast<size_t>(n) * 2654435761u;
                SCOPED_TRACE("buffer " + std::to_string(size) + " variant " +
                             std::to_string(variant) + " write " + std::to_string(n));
                const RunResult r = run(path, ops, o, kThreshold);
                ASSERT_EQ(r.failures, 1);
                RunOptions replay;
                replay.only = r.effective;
                const RunResult reference = run(dir / "reference.avi", ops, replay, kThreshold);
                ASSERT_EQ(reference.failures, 0);
                EXPECT_EQ(r.bytes, reference.bytes) << diff(r.bytes, reference.bytes);
                ++cases;
            }
        }
    }
    EXPECT_GT(cases, 80);
}

// `call` fails as the disk fills up. The first two chunks, video of 1000 bytes and audio of 321
// (2048 + 1338 bytes of file), stay; whatever came next was taken back: the file goes on after
// those two.
template <class Call>
void expect_failure_keeps_two_chunks(AviFile* avi, Recorder& rec, Call call) {
    AVI_last_error = 0;
    errno = 0;
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE);
    EXPECT_EQ(errno, ENOSPC);
    rec.chunks.resize(2);
    EXPECT_EQ(avi->position, 2048 + 1338);
    EXPECT_EQ(::lseek(avi->fd, 0, SEEK_CUR), 2048 + 1338);
    EXPECT_EQ(AVI_chunks_in_file(avi), 2);
    EXPECT_EQ(avi->write_buffer_used, 0u);
    expect_one_pair_indexed(avi, 321);
}

TEST_F(AviBuffer, FailedFlushTakesBackTheChunksNotWholeInTheFile) {
    AviPtr avi = buffered(4096);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    // 1008 + 330 + 1008 + 8 + 508 bytes of chunks, all still in the buffer.
    ASSERT_EQ(rec.video(data.data(), 1000, true), 0);
    ASSERT_EQ(rec.audio(data.data(), 321), 0);
    ASSERT_EQ(rec.video(data.data(), 999, false), 0);
    ASSERT_EQ(rec.audio(data.data(), 0), 0);
    ASSERT_EQ(rec.video(data.data(), 500, false), 0);
    EXPECT_EQ(avi->position, 2048 + 2862);
    EXPECT_EQ(::lseek(avi->fd, 0, SEEK_CUR), 2048);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path)), 2048);
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 0);

    // The next chunk does not fit; the block stops one byte short of the third chunk's pad.
    InstalledOps ops(counting_writes(avi.get(), 1, 1008 + 330 + 1007));
    expect_failure_keeps_two_chunks(avi.get(), rec,
                                    [&] { return rec.video(data.data(), 2000, true); });

    // The record goes on: the next chunks take the place of the lost ones.
    ASSERT_EQ(rec.video(data.data(), 2000, true), 0);
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    ASSERT_EQ(AVI_flush(avi.get()), 0);
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 4);
    g_file = nullptr;
    finish_and_check(avi, rec);
}

TEST_F(AviBuffer, FailedWriteBehindTakesBackTheChunksPutAfterIt) {
    AviPtr avi = buffered(4096, true);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    ASSERT_EQ(rec.video(data.data(), 1000, true), 0);
    ASSERT_EQ(rec.audio(data.data(), 321), 0);
    ASSERT_EQ(rec.video(data.data(), 999, false), 0);

    // One byte short of the third chunk's pad.
    InstalledOps ops(counting_writes(avi.get(), 1, 1008 + 330 + 1007));
    // Handed over: not in the file yet, so not counted; the next chunks go to the spare buffer.
    ASSERT_EQ(AVI_make_room(avi.get()), 0);
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 0);
    ASSERT_EQ(rec.audio(data.data(), 0), 0);
    ASSERT_EQ(rec.video(data.data(), 500, false), 0);
    EXPECT_EQ(avi->position, 2048 + 2862);

    // The failure comes with the next call that waits; the two chunks put after the handed-over
    // ones go too, although their own write was never tried.
    expect_failure_keeps_two_chunks(avi.get(), rec, [&] { return AVI_flush(avi.get()); });
    EXPECT_EQ(g_buffer_writes, 1);

    // Writing behind goes on; turning it off waits for the last write (it reports its failure).
    ASSERT_EQ(rec.video(data.data(), 2000, true), 0);
    ASSERT_EQ(AVI_make_room(avi.get()), 0);
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    EXPECT_EQ(AVI_set_write_behind(avi.get(), 0), 0);
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 3);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path)), 2048 + 1338 + 2008);
    // Off, making room writes now.
    ASSERT_EQ(AVI_make_room(avi.get()), 0);
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 4);
    g_file = nullptr;
    finish_and_check(avi, rec);
}

TEST_F(AviBuffer, WriteBehindWithoutTheSpareMemoryWritesNow) {
    AviPtr avi = buffered(8192, true);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    ASSERT_EQ(rec.video(data.data(), 3000, true), 0);
    {
        tv::sysio::Ops table = tv::sysio::real_ops();
        table.may_allocate = [](size_t bytes) { return bytes < 8192; };
        InstalledOps ops(table);
        ASSERT_EQ(AVI_make_room(avi.get()), 0);
    }
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 1);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path)), 2048 + 3008);
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    ASSERT_EQ(AVI_make_room(avi.get()), 0);  // with the memory, behind
    finish_and_check(avi, rec);
}

TEST_F(AviBuffer, FailedFlushAtFinishStillGivesAWellFormedFile) {
    AviPtr avi = buffered(1 << 16);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(rec.video(data.data(), 1001 + i, i == 0), 0);
        ASSERT_EQ(rec.audio(data.data(), 320), 0);
    }
    // Three pairs and a piece of the fourth video chunk land.
    InstalledOps ops(counting_writes(avi.get(), 1, 3 * (1010 + 328) + 5));
    AVI_last_error = 0;
    EXPECT_EQ(AVI_finish(avi.release()), -1);
    g_file = nullptr;
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE);
    rec.chunks.resize(6);
    check_structure(path, rec.chunks);
}

int64_t partial_then_enospc(int fd, const void* buf, size_t n) {
    if (g_fail_next) {
        errno = ENOSPC;
        return -1;
    }
    g_fail_next = true;
    return ::write(fd, buf, std::min<size_t>(n, 100));
}
bool g_seek_fails = false;
int64_t failing_lseek(int fd, int64_t offset, int whence) {
    if (g_seek_fails) {
        errno = EIO;
        return -1;
    }
    return ::lseek(fd, offset, whence);
}

TEST_F(AviBuffer, NothingIsWrittenWhileTheDescriptorIsLost) {
    AviPtr avi = buffered(4096);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    ASSERT_EQ(rec.video(data.data(), 50, true), 0);
    ASSERT_EQ(AVI_flush(avi.get()), 0);
    ASSERT_EQ(rec.video(data.data(), 300, false), 0);
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    const int64_t kept = avi->position - 308 - 328;
    {
        // A piece of the block lands, and the descriptor cannot be put back.
        tv::sysio::Ops table = tv::sysio::real_ops();
        table.write = partial_then_enospc;
        table.lseek = failing_lseek;
        InstalledOps ops(table);
        g_fail_next = false;
        g_seek_fails = true;
        EXPECT_EQ(AVI_flush(avi.get()), -1);
        EXPECT_EQ(avi->position, kept);
        EXPECT_FALSE(avi->offset_in_sync);
        // Still lost: the next block is not written at the wrong place, its chunks are lost.
        g_fail_next = false;
        ASSERT_EQ(rec.video(data.data(), 200, false), 0);
        EXPECT_EQ(AVI_flush(avi.get()), -1);
        EXPECT_FALSE(g_fail_next);  // no write was tried
        EXPECT_EQ(avi->position, kept);
        EXPECT_EQ(AVI_chunks_in_file(avi.get()), 1);
    }
    rec.chunks.resize(1);
    ASSERT_EQ(rec.audio(data.data(), 322), 0);
    ASSERT_EQ(AVI_flush(avi.get()), 0);
    EXPECT_TRUE(avi->offset_in_sync);
    finish_and_check(avi, rec);
}

TEST_F(AviBuffer, SettingsSpaceAndCounts) {
    EXPECT_EQ(AVI_set_write_buffer(nullptr, 10), -1);
    EXPECT_EQ(AVI_flush(nullptr), -1);
    EXPECT_EQ(AVI_set_write_behind(nullptr, 1), -1);
    EXPECT_EQ(AVI_make_room(nullptr), -1);
    EXPECT_EQ(AVI_chunks_in_file(nullptr), -1);
    int32_t room = 5;
    EXPECT_EQ(AVI_chunk_space(nullptr, &room), nullptr);
    EXPECT_EQ(room, 0);

    AviPtr avi = create();
    ASSERT_TRUE(avi);
    AVI_last_error = 0;
    EXPECT_EQ(AVI_set_write_buffer(avi.get(), -1), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NOT_PERM);
    room = 5;
    EXPECT_EQ(AVI_chunk_space(avi.get(), &room), nullptr);  // no buffer
    EXPECT_EQ(room, 0);

    // Refused memory: the writer goes on without a buffer.
    {
        tv::sysio::Ops table = tv::sysio::real_ops();
        table.may_allocate = [](size_t bytes) { return bytes < 1000; };
        InstalledOps ops(table);
        EXPECT_EQ(AVI_set_write_buffer(avi.get(), 1000), -1);
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NO_MEM);
    }
    ASSERT_EQ(AVI_put_video_frame(avi.get(), data.data(), 10, 1), 0);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path)), 2048 + 18);
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 1);

    // Room for the data of a chunk: the header before it and a pad byte after it.
    EXPECT_EQ(AVI_set_write_buffer(avi.get(), 9), 0);
    EXPECT_EQ(AVI_chunk_space(avi.get(), &room), nullptr);
    EXPECT_EQ(AVI_set_write_buffer(avi.get(), 100), 0);
    uint8_t* space = AVI_chunk_space(avi.get(), &room);
    ASSERT_NE(space, nullptr);
    EXPECT_EQ(room, 91);
    // Memory and file line up: the data's address and file position agree modulo a page.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(space) % 4096,
              static_cast<uintptr_t>(avi->position + 8) % 4096);
    std::memset(space, 0x77, 11);
    ASSERT_EQ(AVI_put_audio(avi.get(), space, 11), 0);
    EXPECT_EQ(AVI_chunk_space(avi.get(), &room), space + 20);
    EXPECT_EQ(room, 71);
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 1);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path)), 2048 + 18);

    // A new size writes the buffered chunks first.
    EXPECT_EQ(AVI_set_write_buffer(avi.get(), 0), 0);
    EXPECT_EQ(AVI_chunks_in_file(avi.get()), 2);
    const auto bytes = read_range(path, 2048 + 18, 20);
    ASSERT_EQ(bytes.size(), 20u);
    EXPECT_EQ(fourcc(bytes, 0), "01wb");
    EXPECT_EQ(le32(bytes, 4), 11u);
    EXPECT_EQ(bytes[8], 0x77);
    EXPECT_EQ(bytes[18], 0x77);
    EXPECT_EQ(bytes[19], 0);  // pad
    ASSERT_EQ(AVI_finish(avi.release()), 0);
}

// Writes and reservations in the order the system saw them.
struct Event {
    bool reserve;
    int64_t offset;
    int64_t length;
};
std::vector<Event> g_events;
int64_t logged_write(int fd, const void* buf, size_t n) {
    g_events.push_back({false, ::lseek(fd, 0, SEEK_CUR), static_cast<int64_t>(n)});
    return ::write(fd, buf, n);
}

TEST_F(AviBuffer, BufferedChunksGoOutInPiecesOfAtMost512KiB) {
    // Writes of whole 2 MiB buffers make the system cache the file in huge blocks, which
    // some virtual machines serve several times slower; the chunks stay the same.
    AviPtr avi = buffered(2 << 20);
    ASSERT_TRUE(avi);
    tv::sysio::Ops table = tv::sysio::real_ops();
    table.write = logged_write;
    g_events.clear();
    {
        InstalledOps ops(table);
        std::vector<uint8_t> frame(70001, 0x3C);
        for (int i = 0; i < 100; ++i) {
            const int32_t length = 1 + (i * 7919) % 70000;
            ASSERT_EQ(AVI_put_video_frame(avi.get(), frame.data(), length, i % 10 == 0), 0);
        }
        ASSERT_EQ(AVI_flush(avi.get()), 0);
    }
    ASSERT_GT(g_events.size(), 6u);
    int64_t end = g_events.front().offset;
    size_t full = 0;
    for (const Event& e : g_events) {
        EXPECT_EQ(e.offset, end);  // one after the other
        EXPECT_LE(e.length, 512 * 1024);
        full += e.length == 512 * 1024;
        end = e.offset + e.length;
    }
    EXPECT_GE(full, 4u);
    EXPECT_EQ(end, static_cast<int64_t>(fs::file_size(path)));
    ASSERT_EQ(AVI_finish(avi.release()), 0);
}

bool g_refuse_reserve = false;
int g_system_refusal = 0;  // errno of the system's first refusal
int logged_reserve(int fd, int64_t offset, int64_t length) {
    g_events.push_back({true, offset, length});
    if (g_refuse_reserve) {
        errno = ENOSPC;
        return -1;
    }
    const int reserved = tv::sysio::real_ops().reserve(fd, offset, length);
    if (reserved != 0 && g_system_refusal == 0) g_system_refusal = errno;
    return reserved;
}

TEST_F(AviBuffer, DiskSpaceIsReservedAheadOfTheWritesAndGivenBack) {
    std::vector<uint8_t> frame(1000001, 0x2B);
    std::vector<uint8_t> reference;
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        const bool behind = variant == 1;
        g_refuse_reserve = variant == 2;
        g_system_refusal = 0;
        g_events.clear();
        AviPtr avi = buffered(2 << 20, behind);
        ASSERT_TRUE(avi);
        tv::sysio::Ops table = tv::sysio::real_ops();
        table.write = logged_write;
        table.reserve = logged_reserve;
        {
            InstalledOps ops(table);
            // 70 MB of chunks: past the first reserved step.
            for (int i = 0; i < 70; ++i) {
                errno = EINTR;
                const int32_t length = 1000001 - i;
                ASSERT_EQ(AVI_put_video_frame(avi.get(), frame.data(), length, i % 10 == 0), 0);
                EXPECT_EQ(errno, EINTR);  // a refused reservation is nobody's error
            }
            ASSERT_EQ(AVI_flush(avi.get()), 0);
        }
        const int64_t data_end = avi->position;
        ASSERT_EQ(AVI_finish(avi.release()), 0);

#ifdef _WIN32
        // Wine reserves no space (FileAllocationInfo fails there): the system's refusal then.
        const bool refused = g_refuse_reserve || g_system_refusal != 0;
#else
        EXPECT_EQ(g_system_refusal, 0) << std::strerror(g_system_refusal);
        const bool refused = g_refuse_reserve;
#endif
        int reservations = 0;
        int64_t reserved_end = 0;
        for (const Event& e : g_events) {
            if (e.reserve) {
                ++reservations;
                // Contiguous steps, each one ahead of the file's end.
                if (reserved_end != 0) {
                    EXPECT_EQ(e.offset, reserved_end);
                }
                reserved_end = e.offset + e.length;
            } else if (e.length > 4096 && !refused) {
                // Every block of chunks lands in space reserved before it, a step ahead.
                EXPECT_LE(e.offset + e.length, reserved_end);
            }
        }
        if (refused) {
            EXPECT_EQ(reservations, 1);  // refused once, never asked again
        } else {
            EXPECT_EQ(reservations, 2);
            EXPECT_GE(reserved_end, data_end + (64 << 20) - (2 << 20));
        }
#ifndef _WIN32
        // Finishing gave back what the file does not use.
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_LT(static_cast<int64_t>(st.st_blocks) * 512, st.st_size + (1 << 20));
#endif
        const auto bytes = tvtest::read_file(path);
        if (variant == 0) reference = bytes;
        EXPECT_TRUE(bytes == reference);
    }
    g_refuse_reserve = false;
}

}  // namespace
