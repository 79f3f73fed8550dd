#include "common/sysio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <future>
#include <string>

#include "support/test_support.h"

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
    const auto name = tvtest::test_dir() / "reserve";
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT, 0600);
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

TEST(Sysio, OpeningForReadingNeverWaits) {
    // A FIFO in a recording's place, as if swapped in after its type was looked at.
    const std::string fifo = (tvtest::test_dir() / "rec.ifv").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto opened = std::async(std::launch::async,
                             [&] { return tv::sysio::open(fifo.c_str(), tv::platform::kRead); });
    const bool at_once = opened.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // Else a writer lets the waiting open go, so that the test can end.
    if (!at_once) ::close(::open(fifo.c_str(), O_WRONLY));
    const int fd = opened.get();
    EXPECT_TRUE(at_once);
    EXPECT_GE(fd, 0);
    uint8_t byte = 0;
    const tv::sysio::Part part{&byte, 1};
    EXPECT_EQ(tv::sysio::preadv(fd, &part, 1, 0), -1);  // and it cannot be read at offsets
    tv::sysio::close(fd);
}
