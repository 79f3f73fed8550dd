// Failures of the system: short writes, full disks, failed seeks, truncation and close, and
// memory refused. A failed operation reports its code, the record stays usable and the file
// can still be finished into a well-formed AVI.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "avi_test_util.h"
#include "support/test_support.h"

using namespace avitest;
using namespace tvtest;

namespace {

class AviFailures : public AviTest {
  protected:
    std::vector<uint8_t> data = std::vector<uint8_t>(5000, 0x33);
    tv::sysio::Ops table = tv::sysio::real_ops();
};

// State of the injected functions (they cannot capture).
int g_calls = 0;
bool g_fail = false;
size_t g_refused_bytes = 0;
std::string g_fail_tag;

int64_t enospc(int, const void*, size_t) {
    errno = ENOSPC;
    return -1;
}

// Writes part of the first piece for real, then fails: a chunk header lands, its data not.
// With g_fail_tag set, only the chunk with that tag fails (the writer's later calls for the
// rest of a chunk start inside its header, so the tag is judged at a whole header).
bool g_matched = false;
int64_t writev_failing(int fd, const tv::sysio::Part* parts, int n) {
    const tv::sysio::Ops& real = tv::sysio::real_ops();
    if (!g_fail_tag.empty() && parts[0].size == 8) {
        g_matched = std::memcmp(parts[0].data, g_fail_tag.data(), 4) == 0;
    }
    if (!g_fail || (!g_fail_tag.empty() && !g_matched)) return real.writev(fd, parts, n);
    if (++g_calls == 1) return real.write(fd, parts[0].data, std::min<size_t>(parts[0].size, 6));
    errno = ENOSPC;
    return -1;
}

// `table` with writev_failing armed: every chunk fails, or the ones tagged `tag`. With `calls`
// at 0 the first failing write lands a piece first.
tv::sysio::Ops failing_writev(tv::sysio::Ops table, const std::string& tag = "", int calls = 0) {
    table.writev = writev_failing;
    g_fail = true;
    g_calls = calls;
    g_fail_tag = tag;
    return table;
}

bool refuse_listed_size(size_t bytes) {
    return !(g_fail && bytes == g_refused_bytes);
}

TEST_F(AviFailures, CreationFailures) {
    {
        table.open = [](const char*, int) -> int {
            errno = EACCES;
            return -1;
        };
        InstalledOps ops(table);
        AVI_last_error = 0;
        EXPECT_EQ(AVI_create_output(path.string().c_str()), nullptr);
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_OPEN);
    }
    {
        // Header space not written: the descriptor is closed, the empty file stays.
        table = tv::sysio::real_ops();
        table.write = enospc;
        table.close = [](int fd) -> int {
            ++g_calls;
            return tv::sysio::real_ops().close(fd);
        };
        g_calls = 0;
        InstalledOps ops(table);
        EXPECT_EQ(AVI_create_output(path.string().c_str()), nullptr);
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE);
        EXPECT_EQ(g_calls, 1);
        EXPECT_TRUE(fs::exists(path));
    }
    {
        table = tv::sysio::real_ops();
        table.may_allocate = [](size_t) { return false; };
        InstalledOps ops(table);
        fs::remove(path);
        EXPECT_EQ(AVI_create_output(path.string().c_str()), nullptr);
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NO_MEM);
        EXPECT_FALSE(fs::exists(path));
    }
}

TEST_F(AviFailures, FailedChunkLeavesNoTrace) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    ASSERT_EQ(rec.video(data.data(), 1000, true), 0);
    ASSERT_EQ(rec.audio(data.data(), 320), 0);

    InstalledOps ops(failing_writev(table));
    const int64_t before = avi->position;
    AVI_last_error = 0;
    EXPECT_EQ(rec.video(data.data(), 999, false), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE);
    EXPECT_EQ(rec.audio(data.data(), 320), -1);
    EXPECT_EQ(avi->position, before);
    EXPECT_EQ(::lseek(avi->fd, 0, SEEK_CUR), before);
    // No index points at the missing chunks, nothing is counted.
    expect_one_pair_indexed(avi.get(), 320);

    // The disk has room again: the next chunk takes the broken one's place.
    g_fail = false;
    ASSERT_EQ(rec.video(data.data(), 999, false), 0);
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    finish_and_check(avi, rec);
}

TEST_F(AviFailures, FailedSeekBackIsRepairedBeforeTheNextChunk) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    ASSERT_EQ(rec.video(data.data(), 100, true), 0);
    table.lseek = [](int fd, int64_t off, int whence) -> int64_t {
        if (g_fail) {
            errno = EIO;
            return -1;
        }
        return tv::sysio::real_ops().lseek(fd, off, whence);
    };
    InstalledOps ops(failing_writev(table));
    EXPECT_EQ(rec.video(data.data(), 100, true), -1);
    EXPECT_FALSE(avi->offset_in_sync);
    // Seeking still fails: nothing may be written at the wrong place.
    g_calls = 1;
    EXPECT_EQ(rec.video(data.data(), 100, true), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE);
    g_fail = false;
    ASSERT_EQ(rec.video(data.data(), 200, false), 0);
    EXPECT_TRUE(avi->offset_in_sync);
    finish_and_check(avi, rec);
}

TEST_F(AviFailures, ProvisionalHeaderFailures) {
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    {
        table.lseek = [](int, int64_t, int) -> int64_t {
            errno = EIO;
            return -1;
        };
        InstalledOps ops(table);
        AVI_last_error = 0;
        EXPECT_EQ(AVI_describe_video(avi.get(), 64, 48, 25.0, "H264"), -1);
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_CLOSE);
    }
    {
        table = tv::sysio::real_ops();
        table.write = enospc;
        InstalledOps ops(table);
        AVI_last_error = 0;
        EXPECT_EQ(AVI_describe_audio(avi.get(), 1, 8000, 16, 1, 0), -1);
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_CLOSE);
    }
    // The descriptor was left at the header: the chunk still goes to `position`.
    Recorder rec(avi.get());
    ASSERT_EQ(rec.video(data.data(), 10, true), 0);
    EXPECT_EQ(rec.chunks[0].pos, 2048);
    finish_and_check(avi, rec);
}

TEST_F(AviFailures, LegacyIndexNotWritten) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    ASSERT_EQ(rec.video(data.data(), 100, true), 0);
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    const int64_t end = avi->position;
    InstalledOps ops(failing_writev(table, "idx1"));
    AVI_last_error = 0;
    EXPECT_EQ(AVI_finish(avi.release()), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE_INDEX);
    g_fail_tag.clear();
    // Finished all the same: flags without "has index", cut before the failed index.
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path)), end);
    auto h = read_range(path, 0, 2048);
    EXPECT_EQ(le32(h, 44), 0x100u);
    EXPECT_EQ(le32(h, 4), end - 8);
    EXPECT_EQ(le32(h, 2040), end - 2044);
    check_structure(path, rec.chunks, false);
}

TEST_F(AviFailures, FinalHeaderTruncationAndCloseFailures) {
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        AviPtr avi = create();
        ASSERT_TRUE(avi);
        ASSERT_EQ(AVI_put_video_frame(avi.get(), data.data(), 100, 1), 0);
        table = tv::sysio::real_ops();
        if (which == 0) table.write = enospc;  // index and header: the header's code comes last
        if (which == 1) table.ftruncate = [](int, int64_t) -> int { return errno = EIO, -1; };
        if (which == 2)
            table.close = [](int fd) -> int {
                return tv::sysio::real_ops().close(fd), errno = EIO, -1;
            };
        InstalledOps ops(table);
        AVI_last_error = 0;
        EXPECT_EQ(AVI_finish(avi.release()), -1);
        EXPECT_EQ(AVI_get_last_error(), AVI_ERR_CLOSE);
    }
}

TEST_F(AviFailures, MemoryRefusedForEachIndex) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    table.may_allocate = refuse_listed_size;
    InstalledOps ops(table);
    g_fail = true;

    // The first video chunk makes the super index.
    g_refused_bytes = sizeof(AviSuperIndex);
    AVI_last_error = 0;
    EXPECT_EQ(rec.video(data.data(), 10, true), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NO_MEM);
    EXPECT_EQ(avi->video_super_index, nullptr);
    EXPECT_EQ(avi->position, 2048);
    // ... and its first standard index.
    g_refused_bytes = AVI_STD_INDEX_HEAD + 8 * 4096;
    EXPECT_EQ(rec.video(data.data(), 10, true), -1);
    EXPECT_EQ(avi->video_super_index, nullptr);
    g_fail = false;
    ASSERT_EQ(rec.video(data.data(), 10, true), 0);

    // Both indexes are full after 4096 chunks. The standard index's second step:
    for (int i = 1; i < 4096; ++i) ASSERT_EQ(rec.video(data.data(), 2, false), 0);
    g_fail = true;
    g_refused_bytes = AVI_STD_INDEX_HEAD + 8 * 8192;
    EXPECT_EQ(rec.video(data.data(), 2, false), -1);
    EXPECT_EQ(avi->legacy_count, 4096);
    EXPECT_EQ(avi->video_super_index->std_indexes[0].entry_count, 4096u);
    // The legacy index's second step: the standard index entry already made is taken back.
    g_refused_bytes = 8192 * 16;
    EXPECT_EQ(rec.video(data.data(), 2, false), -1);
    EXPECT_EQ(avi->legacy_count, 4096);
    EXPECT_EQ(avi->video_super_index->std_indexes[0].entry_count, 4096u);
    EXPECT_EQ(avi->indexed_frame_count, 4096);
    EXPECT_EQ(avi->video_frame_count, 4096);
    g_fail = false;
    ASSERT_EQ(rec.video(data.data(), 2, false), 0);
    finish_and_check(avi, rec);
}

TEST_F(AviFailures, MemoryRefusedAtASwitchChangesNothing) {
    AviPtr avi = create(32 * 1024);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    table.may_allocate = refuse_listed_size;
    InstalledOps ops(table);
    g_refused_bytes = AVI_STD_INDEX_HEAD + 8 * 4096;
    g_fail = false;
    ASSERT_EQ(rec.video(data.data(), 3000, true), 0);
    // From now on new standard indexes are refused: the switch cannot start.
    g_fail = true;
    int failures = 0;
    for (int i = 0; i < 20 && failures == 0; ++i) {
        if (rec.video(data.data(), 3000, i % 3 == 0) != 0) ++failures;
    }
    ASSERT_EQ(failures, 1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NO_MEM);
    EXPECT_EQ(avi->segment_switches, 0);
    EXPECT_EQ(avi->video_super_index->entry_count, 1u);
    EXPECT_EQ(avi->tracks[0].super_index->entry_count, 1u);
    EXPECT_EQ(avi->video_super_index->std_indexes[1].data.data(), nullptr);
    const int64_t before = avi->position;
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path)), before);
    g_fail = false;
    ASSERT_EQ(rec.video(data.data(), 3000, true), 0);
    EXPECT_EQ(avi->segment_switches, 1);
    finish_and_check(avi, rec);
}

#ifndef _WIN32
// A descriptor swapped for /dev/full's: Linux's.
using AviFailuresLinux = AviFailures;
TEST_F(AviFailuresLinux, FullDisk) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    ASSERT_EQ(rec.video(data.data(), 1000, true), 0);
    const int saved = ::dup(avi->fd);
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    ASSERT_EQ(::dup2(full, avi->fd), avi->fd);
    ::close(full);
    AVI_last_error = 0;
    EXPECT_EQ(rec.audio(data.data(), 320), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE);
    EXPECT_EQ(rec.video(data.data(), 1000, false), -1);
    ASSERT_EQ(::dup2(saved, avi->fd), avi->fd);
    ::close(saved);
    ASSERT_EQ(rec.audio(data.data(), 320), 0);
    finish_and_check(avi, rec);
}
#endif

TEST_F(AviFailures, SegmentWithoutItsHeaderIsNotPatched) {
    AviPtr avi = create(32 * 1024);
    ASSERT_TRUE(avi);
    Recorder rec(avi.get());
    InstalledOps ops(failing_writev(table, "RIFF", 1));
    while (avi->segment_switches == 0) ASSERT_EQ(rec.video(data.data(), 3000, true), 0);
    g_fail = false;
    g_fail_tag.clear();
    EXPECT_FALSE(avi->segment_header_written[1]);
    // The switch failed to write its header; the chunk itself went in.
    const int64_t idx1_at = avi->first_movi_end;
    const auto idx1_before =
        read_range(path, idx1_at, static_cast<size_t>(avi->position - idx1_at - 3008));
    ASSERT_EQ(rec.video(data.data(), 3000, true), 0);
    ASSERT_EQ(AVI_finish(avi.release()), 0);
    // Nothing was written over the index that precedes the missing header.
    EXPECT_EQ(read_range(path, idx1_at, idx1_before.size()), idx1_before);
    EXPECT_EQ(chunk_at(path, idx1_at).tag, "idx1");
}

TEST_F(AviFailures, WriteOnlyTablesSeeGatheredWrites) {
    table.write = [](int fd, const void* buf, size_t n) -> int64_t {
        g_calls += static_cast<int>(n);
        return ::write(fd, buf, n);
    };
    InstalledOps ops(table);
    AviPtr avi(AVI_create_output(path.string().c_str()));
    ASSERT_TRUE(avi);
    g_calls = 0;
    ASSERT_EQ(AVI_put_video_frame(avi.get(), data.data(), 7, 1), 0);
    EXPECT_EQ(g_calls, 16);  // header, data and the pad byte, through the table's write
}

}  // namespace
