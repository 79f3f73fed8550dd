// The platform layer on every system: files by UTF-8 name, binary, positional parts, renames
// that never replace, and the calendar conversions.
#include "common/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "support/test_support.h"

namespace fs = std::filesystem;
namespace platform = tv::platform;

TEST(Platform, FilesByUtf8NameAreBinaryAndReadInParts) {
    const fs::path dir = tvtest::scratch_dir("platform_files");
    // A Chinese name with a line break and a ^Z among the bytes: text mode would change both.
    const std::string name = platform::utf8_of(dir) + "/样本 ç.bin";
    const char bytes[] =
        "ab\ncd\r\n\x1a"
        "ef";
    const int fd = platform::open_file(name.c_str(), platform::kReadWrite | platform::kCreate);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    char head[2] = {'a', 'b'};
    platform::Part parts[] = {{head, 2}, {const_cast<char*>(bytes) + 2, sizeof bytes - 3}};
    EXPECT_EQ(platform::write_parts(fd, parts, 2), static_cast<int64_t>(sizeof bytes - 1));
    EXPECT_EQ(platform::file_size(fd), static_cast<int64_t>(sizeof bytes - 1));

    // Positional parts leave the position alone where the system allows it; the bytes either way.
    char first[3] = {}, second[4] = {};
    platform::Part reads[] = {{first, 3}, {second, 4}};
    EXPECT_EQ(platform::read_at(fd, reads, 2, 1), 7);
    EXPECT_EQ(std::string(first, 3), "b\nc");
    EXPECT_EQ(std::string(second, 4), "d\r\n\x1a");
    char tail[8] = {};
    platform::Part past[] = {{tail, sizeof tail}};
    EXPECT_EQ(platform::read_at(fd, past, 1, 8), 2);  // short at the end
    EXPECT_EQ(platform::read_at(fd, past, 1, 100), 0);

    EXPECT_EQ(platform::truncate(fd, 4), 0);
    EXPECT_EQ(platform::file_size(fd), 4);
    EXPECT_EQ(platform::seek(fd, 0, SEEK_END), 4);
    EXPECT_EQ(platform::close_file(fd), 0);
    EXPECT_TRUE(fs::exists(platform::path_of(name)));
    EXPECT_EQ(fs::file_size(platform::path_of(name)), 4u);

    FILE* stream = platform::open_stream(name.c_str());
    ASSERT_NE(stream, nullptr);
    char again[8] = {};
    EXPECT_EQ(std::fread(again, 1, sizeof again, stream), 4u);
    EXPECT_EQ(std::string(again, 4), "ab\nc");
    std::fclose(stream);

    // Renames: never over an existing file unless asked.
    const std::string other = platform::utf8_of(dir) + "/录像.bin";
    FILE* made = platform::create_stream(other.c_str());
    ASSERT_NE(made, nullptr);
    std::fclose(made);
    errno = 0;
    EXPECT_EQ(platform::rename(name.c_str(), other.c_str(), false), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(platform::rename(name.c_str(), other.c_str(), true), 0);
    EXPECT_EQ(fs::file_size(platform::path_of(other)), 4u);
    EXPECT_FALSE(fs::exists(platform::path_of(name)));
    EXPECT_EQ(platform::remove(other.c_str()), 0);
    errno = 0;
    EXPECT_EQ(platform::open_file(other.c_str(), platform::kRead), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(platform::check_seekable_file(platform::utf8_of(dir).c_str()), -1);
    EXPECT_EQ(errno, EISDIR);
}

TEST(Platform, CalendarTimeBothWaysAndAlignedMemory) {
    std::tm tm{};
    ASSERT_TRUE(platform::utc_time(1700000000, tm));
    EXPECT_EQ(tm.tm_year + 1900, 2023);
    EXPECT_EQ(tm.tm_mon + 1, 11);
    EXPECT_EQ(tm.tm_mday, 14);
    EXPECT_EQ(tm.tm_hour, 22);
    EXPECT_EQ(tm.tm_min, 13);
    EXPECT_EQ(tm.tm_sec, 20);
    EXPECT_EQ(platform::seconds_of_utc(tm), 1700000000);
    // Past 2038: 64-bit time on every system.
    ASSERT_TRUE(platform::utc_time(4102444800, tm));
    EXPECT_EQ(tm.tm_year + 1900, 2100);

    void* memory = platform::aligned_alloc(4096, 3 * 4096);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory) % 4096, 0u);
    platform::aligned_free(memory);
}
