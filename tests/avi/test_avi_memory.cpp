// Memory refused at every index growth of a long OpenDML recording: each refusal fails exactly
// the operation that needed the memory, with the out-of-memory code, and the file still
// finishes into a well-formed AVI that holds every chunk that was accepted.
#include <gtest/gtest.h>

#include "avi_test_util.h"
#include "support/avi_check.h"
#include "support/test_support.h"

using namespace avitest;

namespace {

long g_allocations = 0;
long g_refuse_from = 0;  // 0: refuse nothing
bool g_refuse_later = false;

bool counted_allocation(size_t) {
    const long n = ++g_allocations;
    return !(n == g_refuse_from || (g_refuse_later && g_refuse_from > 0 && n > g_refuse_from));
}

struct Recorded {
    bool created = false;
    int failed_puts = 0;
    int32_t first_failure_code = 0;
    long allocations = 0;
    std::vector<Written> chunks;
    int finish = -1;
};

// 30000 one-byte pictures and a 4-byte sound chunk after every tenth, in 160 KiB segments:
// the first segment's "idx1" and standard index grow past their first step, later segments'
// standard indexes grow twice, and every switch starts new ones.
Recorded record(const fs::path& path, long refuse, bool later) {
    g_allocations = 0;
    g_refuse_from = refuse;
    g_refuse_later = later;
    tv::sysio::Ops table = tv::sysio::real_ops();
    table.may_allocate = counted_allocation;
    InstalledOps ops(table);

    Recorded run;
    AviPtr avi = create_writer(path, 160 * 1024);
    run.created = avi != nullptr;
    if (!avi) {
        run.first_failure_code = AVI_get_last_error();
        run.allocations = g_allocations;
        return run;
    }
    Recorder rec(avi.get());
    const uint8_t picture[1] = {0x65};
    const uint8_t sound[4] = {1, 2, 3, 4};
    for (int i = 0; i < 30000; ++i) {
        AVI_last_error = 0;
        int r = rec.video(picture, 1, i % 25 == 0);
        if (r == 0 && i % 10 == 9) r = rec.audio(sound, 4);
        if (r != 0) {
            if (run.failed_puts++ == 0) run.first_failure_code = AVI_get_last_error();
            EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NO_MEM) << "put " << i;
        }
    }
    run.chunks = rec.chunks;
    run.finish = AVI_finish(avi.release());
    run.allocations = g_allocations;
    return run;
}

TEST(AviMemory, EveryIndexGrowthRefusedInTurn) {
    const fs::path dir = tvtest::scratch_dir("avi-memory");
    const fs::path path = dir / "out.avi";
    const Recorded clean = record(path, 0, false);
    ASSERT_TRUE(clean.created);
    ASSERT_EQ(clean.failed_puts, 0);
    ASSERT_EQ(clean.finish, 0);
    ASSERT_EQ(clean.chunks.size(), 33000u);
    ASSERT_GE(clean.chunks.back().segment, 2);
    // The record, two super indexes, and standard indexes and their growth in every segment.
    ASSERT_GE(clean.allocations, 12);

    int tried = 0;
    for (long n = 1; n <= clean.allocations; ++n) {
        for (bool later : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "allocation " << n << (later ? " and later" : ""));
            fs::remove(path);
            const Recorded run = record(path, n, later);
            ++tried;
            if (!run.created) {
                // Only the record itself: nothing to finish, no file left.
                EXPECT_EQ(n, 1);
                EXPECT_EQ(run.first_failure_code, AVI_ERR_NO_MEM);
                EXPECT_FALSE(fs::exists(path));
                continue;
            }
            EXPECT_GT(run.failed_puts, 0) << "the refusal went unnoticed";
            if (!later) {
                // One refusal costs one chunk; the next chunk takes its place.
                EXPECT_EQ(run.failed_puts, 1);
                EXPECT_EQ(run.chunks.size(), clean.chunks.size() - 1);
            }
            EXPECT_EQ(run.finish, 0);
            check_structure(path, run.chunks);
            const auto report = tvtest::check_avi_file(path.string());
            EXPECT_TRUE(report.ok()) << tvtest::describe(report);
            if (HasFatalFailure()) return;
        }
    }
    std::printf("%ld index allocations, %d refusals tried\n", clean.allocations, tried);
}

}  // namespace
