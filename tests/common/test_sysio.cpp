#include "common/sysio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {
int64_t failing_write(int, const void*, size_t) {
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

TEST(Sysio, ReserveSetsSpaceAsideWithoutChangingTheSize) {
    char name[] = "/tmp/torvane-reserve-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "abc", 3), 3);
    const int result = tv::sysio::reserve(fd, 3, 1 << 20);
    struct stat st;
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 3);  // readers see the bytes written, nothing more
    if (result == 0) {
        EXPECT_GE(static_cast<int64_t>(st.st_blocks) * 512, 1 << 20);
    } else {
        EXPECT_TRUE(errno == EOPNOTSUPP || errno == ENOSYS) << errno;  // a file system without it
    }
    // Cutting the file to its own size gives the space back.
    ASSERT_EQ(::ftruncate(fd, 3), 0);
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_LT(static_cast<int64_t>(st.st_blocks) * 512, 1 << 20);
    ::close(fd);
    ::unlink(name);

    // Devices have no space to set aside; nor has a table without the call.
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(null_fd, 0);
    errno = 0;
    EXPECT_EQ(tv::sysio::reserve(null_fd, 0, 4096), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    tv::sysio::Ops table = tv::sysio::real_ops();
    table.reserve = nullptr;
    tv::sysio::install(&table);
    errno = 0;
    EXPECT_EQ(tv::sysio::reserve(null_fd, 0, 4096), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    tv::sysio::install(nullptr);
    ::close(null_fd);
}
