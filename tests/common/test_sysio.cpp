#include "common/sysio.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {
ssize_t failing_write(int, const void*, size_t) {
    errno = ENOSPC;
    return -1;
}
}  // namespace

TEST(Sysio, InstalledTableIsUsedAndRestored) {
    tv::sysio::Ops table = tv::sysio::real_ops();
    table.write = failing_write;
    tv::sysio::install(&table);
    EXPECT_EQ(tv::sysio::write(1, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    tv::sysio::install(nullptr);
    EXPECT_EQ(&tv::sysio::ops(), &tv::sysio::real_ops());
    EXPECT_TRUE(tv::sysio::may_allocate(1 << 20));
}
