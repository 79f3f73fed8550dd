// Data chunks, padding, the legacy index and the in-memory standard indexes of a plain file,
// and creating the output file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <set>
#include <thread>

#include "avi_test_util.h"
#include "support/test_support.h"

using namespace avitest;
using namespace tvtest;

namespace {

using AviChunks = AviTest;

TEST_F(AviChunks, OddLengthsArePaddedAndIndexed) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    // The byte after each odd chunk's data is 0xEE in the caller's buffer: the pad must be 0.
    const uint8_t five[6] = {1, 2, 3, 4, 5, 0xEE};
    const uint8_t four[4] = {6, 7, 8, 9};
    const uint8_t three[4] = {10, 11, 12, 0xEE};
    ASSERT_EQ(AVI_put_video_frame(avi.get(), five, 5, 1), 0);
    ASSERT_EQ(AVI_put_audio(avi.get(), nullptr, 0), 0);
    ASSERT_EQ(AVI_put_video_frame(avi.get(), four, 4, 0), 0);
    ASSERT_EQ(AVI_put_audio(avi.get(), three, 3), 0);
    EXPECT_EQ(avi->position, 2094);
    EXPECT_EQ(avi->video_frame_count, 2);
    EXPECT_EQ(avi->indexed_frame_count, 2);
    EXPECT_EQ(avi->tracks[0].byte_count, 3);

    // In memory: standard indexes point at the data, relative to segment 0 (base 0); the top
    // bit of the size marks the video frame that is not a key frame.
    const AviStdIndex& video = avi->video_super_index->std_indexes[0];
    ASSERT_EQ(video.entry_count, 2u);
    EXPECT_EQ(std::string(video.fourcc, 4), "ix00");
    EXPECT_EQ(std::string(video.chunk_id, 4), "00db");
    EXPECT_EQ(AVI_std_index_entry_offset(video, 0), 2056u);
    EXPECT_EQ(AVI_std_index_entry_size(video, 0), 5u);
    EXPECT_EQ(AVI_std_index_entry_offset(video, 1), 2078u);
    EXPECT_EQ(AVI_std_index_entry_size(video, 1), 0x80000004u);
    const AviStdIndex& audio = avi->tracks[0].super_index->std_indexes[0];
    ASSERT_EQ(audio.entry_count, 2u);
    EXPECT_EQ(std::string(audio.fourcc, 4), "ix01");
    EXPECT_EQ(std::string(audio.chunk_id, 4), "01wb");
    EXPECT_EQ(AVI_std_index_entry_offset(audio, 0), 2070u);
    EXPECT_EQ(AVI_std_index_entry_size(audio, 0), 0u);
    EXPECT_EQ(AVI_std_index_entry_size(audio, 1), 3u);
    // The super indexes carry the tag of the chunks they finally index.
    EXPECT_EQ(std::string(avi->video_super_index->chunk_id, 4), "00db");
    EXPECT_EQ(std::string(avi->tracks[0].super_index->chunk_id, 4), "01wb");
    ASSERT_EQ(AVI_finish(avi.release()), 0);

    auto f = tvtest::read_file(path);
    ASSERT_EQ(f.size(), 2094u + 8 + 4 * 16);
    const std::vector<uint8_t> movi(f.begin() + 2048, f.begin() + 2094);
    const std::vector<uint8_t> expected = {
        '0', '0', 'd', 'b', 5, 0, 0, 0, 1,  2,  3,  4, 5, 0,  // 5 bytes + pad
        '0', '1', 'w', 'b', 0, 0, 0, 0,                       // empty audio chunk
        '0', '0', 'd', 'b', 4, 0, 0, 0, 6,  7,  8,  9,        //
        '0', '1', 'w', 'b', 3, 0, 0, 0, 10, 11, 12, 0};       // 3 bytes + pad
    EXPECT_EQ(movi, expected);
    EXPECT_EQ(le32(f, 2040), 2094u - 2044);  // "movi" list up to the last chunk
    EXPECT_EQ(le32(f, 4), f.size() - 8);

    // "idx1": tag, flags (0x10 key video and every audio chunk), absolute position, length.
    ASSERT_EQ(fourcc(f, 2094), "idx1");
    ASSERT_EQ(le32(f, 2098), 64u);
    struct Entry {
        const char* tag;
        uint32_t flags, pos, length;
    };
    const Entry entries[] = {{"00db", 0x10, 2048, 5},
                             {"01wb", 0x10, 2062, 0},
                             {"00db", 0, 2070, 4},
                             {"01wb", 0x10, 2082, 3}};
    for (size_t i = 0; i < 4; ++i) {
        size_t e = 2102 + 16 * i;
        EXPECT_EQ(fourcc(f, e), entries[i].tag) << i;
        EXPECT_EQ(le32(f, e + 4), entries[i].flags) << i;
        EXPECT_EQ(le32(f, e + 8), entries[i].pos) << i;
        EXPECT_EQ(le32(f, e + 12), entries[i].length) << i;
    }
    // A plain file: the standard indexes kept in memory never reach it.
    for (const AviChunk& c : walk(path, 2048, 2094)) EXPECT_NE(c.tag.substr(0, 2), "ix");
}

TEST_F(AviChunks, IndexesGrowInSteps) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    const uint8_t byte = 0x42;
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(AVI_put_video_frame(avi.get(), &byte, 1, i % 10 == 0), 0);
    EXPECT_EQ(avi->legacy_count, 5000);
    EXPECT_EQ(avi->legacy_capacity, 8192);
    EXPECT_EQ(avi->video_super_index->std_indexes[0].capacity, 8192u);
    EXPECT_EQ(AVI_std_index_entry_offset(avi->video_super_index->std_indexes[0], 4999),
              2048u + 4999 * 10 + 8);
    ASSERT_EQ(AVI_finish(avi.release()), 0);
    auto idx1 = chunk_at(path, 2048 + 5000 * 10);
    EXPECT_EQ(idx1.tag, "idx1");
    EXPECT_EQ(idx1.size, 5000u * 16);
    auto last = read_range(path, idx1.data() + 4999 * 16, 16);
    EXPECT_EQ(le32(last, 8), 2048u + 4999 * 10);
    EXPECT_EQ(le32(last, 4), 0u);
}

TEST_F(AviChunks, CreatingTruncatesAnOlderFile) {
    tvtest::write_file(path, std::vector<uint8_t>(100000, 0xAB));
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    // At once: an interrupted conversion leaves no tail of the old file.
    EXPECT_EQ(fs::file_size(path), 2048u);
    const uint8_t data[2] = {1, 2};
    ASSERT_EQ(AVI_put_video_frame(avi.get(), data, 2, 1), 0);
    ASSERT_EQ(AVI_finish(avi.release()), 0);
    EXPECT_EQ(fs::file_size(path), 2048u + 10 + 8 + 16);
}

TEST_F(AviChunks, CreationFailuresAndPermissions) {
    AVI_last_error = 0;
    EXPECT_EQ(AVI_create_output((dir / "missing" / "out.avi").string().c_str()), nullptr);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_OPEN);
    EXPECT_FALSE(fs::exists(dir / "missing"));

    // Created as any program's file: 0666 less the umask.
    for (const auto& [mask, expected] : {std::pair<mode_t, mode_t>{022, 0644}, {002, 0664}}) {
        fs::remove(path);
        const mode_t old = ::umask(mask);
        AviPtr avi(AVI_create_output(path.string().c_str()));
        ::umask(old);
        ASSERT_TRUE(avi);
#ifndef _WIN32
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, expected) << std::oct << mask;
#endif
        EXPECT_EQ(avi->position, 2048);
        EXPECT_EQ(avi->track_count, 0);
    }
}

TEST_F(AviChunks, InvalidChunksAreRefused) {
    AviPtr avi = create();
    ASSERT_TRUE(avi);
    AVI_last_error = 0;
    EXPECT_EQ(AVI_put_video_frame(avi.get(), nullptr, 10, 1), -1);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_WRITE);
    const uint8_t data[1] = {0};
    EXPECT_EQ(AVI_put_audio(avi.get(), data, -1), -1);
    EXPECT_EQ(avi->position, 2048);
    EXPECT_EQ(avi->legacy_count, 0);
    EXPECT_EQ(AVI_put_video_frame(nullptr, data, 1, 1), -1);
    EXPECT_EQ(AVI_finish(nullptr), -1);
}

TEST_F(AviChunks, ErrorTexts) {
    // Each code has a text of its own under the writer's name.
    std::set<std::string> texts;
    for (int i = AVI_ERR_NONE; i <= AVI_ERR_UNKNOWN; ++i) {
        ASSERT_NE(AVI_error_messages[i], nullptr) << i;
        EXPECT_EQ(std::string(AVI_error_messages[i]).rfind("aviwriter - ", 0), 0u) << i;
        texts.insert(AVI_error_messages[i]);
    }
    EXPECT_EQ(texts.size(), 15u);
    // The ones the writer's failures put before users, as the cause of a failed conversion.
    EXPECT_STREQ(AVI_error_messages[AVI_ERR_OPEN], "aviwriter - Error opening AVI file");
    EXPECT_STREQ(AVI_error_messages[AVI_ERR_WRITE], "aviwriter - Error writing to AVI file");
    EXPECT_STREQ(AVI_error_messages[AVI_ERR_CLOSE], "aviwriter - Error closing AVI file");
    EXPECT_STREQ(AVI_error_messages[AVI_ERR_NO_MEM], "aviwriter - Out of memory (malloc failed)");
}

TEST_F(AviChunks, LastErrorBelongsToTheThread) {
    AVI_last_error = AVI_ERR_NONE;
    int32_t seen = -1;
    std::thread other([&] {
        AVI_create_output((dir / "missing" / "x.avi").string().c_str());
        seen = AVI_get_last_error();
    });
    other.join();
    EXPECT_EQ(seen, AVI_ERR_OPEN);
    EXPECT_EQ(AVI_get_last_error(), AVI_ERR_NONE);
}

}  // namespace
