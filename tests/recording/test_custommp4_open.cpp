// Opening a recording: the header checks and their exact diagnostics, base offsets, the
// segment chain, damaged segments and hostile counts.
#include <gtest/gtest.h>

#include <unistd.h>
#include <functional>

#include "common/bytes.h"
#include "recording/reader_test_util.h"
#include "support/test_support.h"

namespace {

using rtest::Faults;
using rtest::Op;

using rtest::printf_text;

TEST(Open, ValidRecordingAnswersTheQueries) {
    auto rec = rtest::sample_recording(2);
    rec.video.width = 704;
    rec.video.height = 576;
    rec.video.frame_rate = 12.5f;
    rec.audio.bits_per_sample = 8;
    rec.audio.sample_rate = 16000;
    rec.audio.format = "G726";
    rec.audio.frame_length = 168;
    rec.file.start_time = 1000000;
    rec.file.end_time = 1000000;
    const auto path = rtest::write(rec, "open_valid");

    auto o = rtest::open(path);
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(o.out, "");
    auto* h = o.handle.get();
    EXPECT_EQ(custommp4_get_video_frame_count(h), 6u);
    EXPECT_EQ(custommp4_get_audio_frame_count(h), 4u);
    EXPECT_EQ(custommp4_has_audio(h), 1);
    EXPECT_EQ(custommp4_get_width(h), 704);
    EXPECT_EQ(custommp4_get_height(h), 576);
    EXPECT_EQ(custommp4_get_audio_bits(h), 8);
    EXPECT_EQ(custommp4_get_audio_rate(h), 16000u);
    EXPECT_EQ(custommp4_get_audio_format(h), 0x36323747u);  // "G726", 'G' lowest
    EXPECT_EQ(custommp4_get_audio_frame_length(h), 168u);
    EXPECT_EQ(custommp4_get_segment_count(h), 2u);
    EXPECT_EQ(custommp4_get_stored_frame_rate(h), 12.5f);
    EXPECT_EQ(custommp4_get_recording_length(h), ifvbuild::layout(rec).end);
    // First segment starts at 0, the last ends at 1080.
    EXPECT_EQ(custommp4_get_duration(h), 1080u);
    EXPECT_EQ(custommp4_get_start_time(h), 1000000u);
    EXPECT_EQ(custommp4_get_end_time(h), 1000001u);
}

TEST(Open, EndTimeIsDerivedOnlyWhenNotSet) {
    auto rec = rtest::sample_recording(2);
    rec.segments[0].start_time_stamp = 500;
    rec.segments[1].end_time_stamp = 10999;  // 10.499 s: whole seconds, rounded down
    rec.file.start_time = 77;
    rec.file.end_time = 77;
    auto o = rtest::open(rtest::write(rec, "end_derived"));
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(custommp4_get_duration(o.handle.get()), 10499u);
    EXPECT_EQ(custommp4_get_end_time(o.handle.get()), 87u);

    rec.file.end_time = 78;
    o = rtest::open(rtest::write(rec, "end_kept"));
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(custommp4_get_end_time(o.handle.get()), 78u);

    // The span is a 32-bit unsigned difference: a clock that wrapped still gives a span.
    rec.segments[0].start_time_stamp = 0xFFFFFF00u;
    rec.segments[1].end_time_stamp = 0x100;
    o = rtest::open(rtest::write(rec, "end_wrapped"));
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(custommp4_get_duration(o.handle.get()), 0x200u);
}

TEST(Open, NoSegmentsIsAnEmptyRecording) {
    ifvbuild::Recording rec;
    auto o = rtest::open(rtest::write(rec, "no_segments"));
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(o.out, "");
    auto* h = o.handle.get();
    EXPECT_EQ(custommp4_get_video_frame_count(h), 0u);
    EXPECT_EQ(custommp4_get_audio_frame_count(h), 0u);
    EXPECT_EQ(custommp4_get_duration(h), 0u);
    EXPECT_EQ(custommp4_has_audio(h), 0);
    EXPECT_EQ(custommp4_get_end_time(h), custommp4_get_start_time(h));
    EXPECT_EQ(h->video_table_capacity, 0u);
    EXPECT_TRUE(h->sect_table.empty());
    auto all = rtest::read_all(h);
    ASSERT_EQ(all.frames.size(), 1u);
    EXPECT_EQ(all.frames[0].result, 0);
}

struct HeaderCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* expected;  // nullptr: the open succeeds silently
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class HeaderChecks : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderChecks, PrintTheirDiagnostic) {
    auto bytes = ifvbuild::to_bytes(rtest::sample_recording(1));
    GetParam().damage(bytes);
    auto o = rtest::open(rtest::write_bytes(bytes, std::string("hdr_") + GetParam().name));
    if (GetParam().expected) {
        EXPECT_EQ(o.handle, nullptr);
        EXPECT_EQ(o.out, GetParam().expected);
    } else {
        EXPECT_NE(o.handle, nullptr);
        EXPECT_EQ(o.out, "");
    }
}

void cut(std::vector<uint8_t>& b, std::size_t size) {
    b.resize(size);
}

INSTANTIATE_TEST_SUITE_P(
    Open, HeaderChecks,
    ::testing::Values(
        HeaderCase{"empty_file", [](auto& b) { cut(b, 0); }, "ReadFilePropertiesObject failed 1\n"},
        HeaderCase{"file_props_short", [](auto& b) { cut(b, 67); },
                   "ReadFilePropertiesObject failed 1\n"},
        HeaderCase{"file_props_id", [](auto& b) { b[15] ^= 1; },
                   "ReadFilePropertiesObject failed 2\n"},
        HeaderCase{"file_props_size", [](auto& b) { tv::store_le32(&b[16], 69); },
                   "ReadFilePropertiesObject failed 3\n"},
        HeaderCase{"video_short", [](auto& b) { cut(b, 123); },
                   "ReadVideoStreamPropertiesObject failed\n"},
        HeaderCase{"video_id", [](auto& b) { b[68] ^= 1; },
                   "ReadVideoStreamPropertiesObject failed\n"},
        HeaderCase{"video_size", [](auto& b) { tv::store_le32(&b[84], 55); },
                   "ReadVideoStreamPropertiesObject failed\n"},
        HeaderCase{"audio_short", [](auto& b) { cut(b, 171); },
                   "ReadAudioStreamPropertiesObject failed\n"},
        HeaderCase{"audio_id", [](auto& b) { b[139] ^= 0x80; },
                   "ReadAudioStreamPropertiesObject failed\n"},
        HeaderCase{"audio_size", [](auto& b) { tv::store_le32(&b[140], 0); },
                   "ReadAudioStreamPropertiesObject failed\n"},
        // A bad mdat object reports with the audio step's text.
        HeaderCase{"mdat_short", [](auto& b) { cut(b, 199); },
                   "ReadAudioStreamPropertiesObject failed\n"},
        HeaderCase{"mdat_id", [](auto& b) { b[180] ^= 1; },
                   "ReadAudioStreamPropertiesObject failed\n"},
        // Not checked: the mdat object size, the description, the reserved bytes.
        HeaderCase{"mdat_size_ignored", [](auto& b) { tv::store_le32(&b[188], 1000); }, nullptr},
        HeaderCase{"description_ignored",
                   [](auto& b) {
                       b[20] = 0xFF;
                       b[51] = 'x';
                   },
                   nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Open, MissingFile) {
    rtest::expect_refused(tvtest::scratch_dir("missing") / "nothing.ifv", "open file failed\n");
}

// A damaged segment does not end the recording: the next plausible segment header after it
// is searched for and the recording goes on from there.
TEST(Open, DamagedFirstSegmentIsPassedOver) {
    for (uint32_t base : {0u, 512u}) {
        auto rec = rtest::sample_recording(2);
        rec.base = base;
        const auto lay = ifvbuild::layout(rec);
        const auto good = ifvbuild::to_bytes(rec);
        const std::size_t s = base + 200;

        // Cut inside the first header: nothing follows.
        auto short_header = good;
        short_header.resize(s + 47);
        rtest::expect_refused(rtest::write_bytes(short_header, "first_seg"),
                              printf_text("ReadmdatSegmentObject1 (offset:%lld) failed 1\n", s),
                              base);

        auto wrong_id = good;
        wrong_id[s + 3] ^= 0x10;
        auto too_small = good;
        tv::store_le32(&too_small[s + 16], 47);
        auto second = rec;
        second.segments.erase(second.segments.begin());
        for (const auto& [bytes, cause] : {std::pair{wrong_id, 2}, std::pair{too_small, 3}}) {
            auto o = rtest::open(rtest::write_bytes(bytes, "first_seg"), base);
            ASSERT_NE(o.handle, nullptr);
            EXPECT_EQ(o.out,
                      printf_text("ReadmdatSegmentObject1 (offset:%lld) failed %lld\n", s, cause) +
                          printf_text("warning:segment 1 damaged, resumed at position %lld\n",
                                      lay.segments[1].position) +
                          printf_text("ReadmdatSegmentObject2 (offset:%lld) failed 1\n", lay.end))
                << "base " << base;
            EXPECT_EQ(custommp4_get_segment_count(o.handle.get()), 1u);
            EXPECT_EQ(custommp4_get_announced_segment_count(o.handle.get()), 2u);
            EXPECT_EQ(rtest::read_all(o.handle.get()).frames, rtest::expected_frames(second));
        }
    }
}

TEST(Open, DamagedLaterSegmentIsPassedOver) {
    auto rec = rtest::sample_recording(3);
    const auto lay = ifvbuild::layout(rec);
    const auto s2 = lay.segments[1].position;
    auto rest = rec;
    rest.segments.erase(rest.segments.begin() + 1);
    const auto expected = rtest::expected_frames(rest);

    auto bad_id = ifvbuild::to_bytes(rec);
    bad_id[s2] ^= 1;
    auto too_small = ifvbuild::to_bytes(rec);
    tv::store_le32(&too_small[s2 + 16], 0);
    const std::vector<std::pair<std::vector<uint8_t>, int>> cases = {{bad_id, 2}, {too_small, 3}};
    for (const auto& [bytes, cause] : cases) {
        auto o = rtest::open(rtest::write_bytes(bytes, "later_seg"));
        ASSERT_NE(o.handle, nullptr);
        EXPECT_EQ(o.out,
                  printf_text("ReadmdatSegmentObject2 (offset:%lld) failed %lld\n", s2, cause) +
                      printf_text("warning:segment 2 damaged, resumed at position %lld\n",
                                  lay.segments[2].position) +
                      printf_text("ReadmdatSegmentObject3 (offset:%lld) failed 1\n", lay.end));
        auto* h = o.handle.get();
        EXPECT_EQ(custommp4_get_segment_count(h), 2u);
        EXPECT_EQ(custommp4_get_announced_segment_count(h), 3u);
        EXPECT_EQ(custommp4_get_video_frame_count(h), 6u);
        EXPECT_EQ(custommp4_get_audio_frame_count(h), 4u);
        auto all = rtest::read_all(h);
        EXPECT_EQ(all.frames, expected);
        EXPECT_EQ(all.out, "");
    }
}

TEST(Open, FewerSegmentsThanAnnounced) {
    auto rec = rtest::sample_recording(2);
    rec.mdat.segment_count = 5;
    const auto lay = ifvbuild::layout(rec);
    auto o = rtest::open(rtest::write(rec, "fewer_segments"));
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(o.out, printf_text("ReadmdatSegmentObject3 (offset:%lld) failed %lld\n", lay.end, 1));
    EXPECT_EQ(custommp4_get_segment_count(o.handle.get()), 2u);
    EXPECT_EQ(rtest::read_all(o.handle.get()).frames, rtest::expected_frames(rec));
}

TEST(Open, BaseOffset) {
    auto rec = rtest::sample_recording(2);
    rec.base = 4096;
    rec.leading = ifvbuild::pattern(300, 99);
    const auto path = rtest::write(rec, "base_offset");

    auto o = rtest::expect_read_cleanly(path, rec, 4096);
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(custommp4_get_video_frame_count(o.handle.get()), 6u);

    rtest::expect_refused(path, "ReadFilePropertiesObject failed 2\n", 0);
    rtest::expect_refused(path, "ReadFilePropertiesObject failed 1\n", 0xFFFFFFF0u);
}

// Counts that the file cannot back mark the segment as damaged, when it is the first one and
// when it is a later one: the recording goes on with the segment after it. The damage is
// done to the header bytes: a model with such slot counts would be gigabytes.
struct HostileCase {
    const char* name;
    uint32_t video_count, audio_count, video_slots, audio_slots;  // 0: keep
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileCounts : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileCounts, AreFoundAtOpen) {
    const HostileCase& c = GetParam();
    for (std::size_t which : {0u, 1u}) {
        const auto rec = rtest::sample_recording(3);
        const auto lay = ifvbuild::layout(rec);
        auto bytes = ifvbuild::to_bytes(rec);
        const std::size_t s = lay.segments[which].position;
        if (c.video_count) tv::store_le32(&bytes[s + 28], c.video_count);
        if (c.audio_count) tv::store_le32(&bytes[s + 32], c.audio_count);
        if (c.video_slots) tv::store_le32(&bytes[s + 36], c.video_slots);
        if (c.audio_slots) tv::store_le32(&bytes[s + 40], c.audio_slots);
        Faults faults;
        auto o = rtest::open(rtest::write_bytes(bytes, std::string("hostile_") + c.name));
        const long long number = static_cast<long long>(which) + 1;
        EXPECT_EQ(o.out,
                  printf_text("ReadmdatSegmentObject%lld (offset:%lld) failed 4\n", number,
                              static_cast<long long>(s)) +
                      printf_text("warning:segment %lld damaged, resumed at position %lld\n",
                                  number, lay.segments[which + 1].position) +
                      printf_text("ReadmdatSegmentObject3 (offset:%lld) failed 1\n", lay.end));
        EXPECT_LE(faults.largest_allocation(), bytes.size());
        ASSERT_NE(o.handle, nullptr);
        EXPECT_EQ(custommp4_get_segment_count(o.handle.get()), 2u);
        EXPECT_EQ(custommp4_get_video_frame_count(o.handle.get()), 6u);
        EXPECT_EQ(custommp4_get_audio_frame_count(o.handle.get()), 4u);
        EXPECT_EQ(rtest::read_all(o.handle.get()).frames.size(), 11u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Open, HostileCounts,
    ::testing::Values(HostileCase{"video_count_above_slots", 3001, 0, 0, 0},
                      HostileCase{"audio_count_above_slots", 0, 4001, 0, 0},
                      HostileCase{"video_entries_past_the_end", 0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0},
                      // 153391690 x 28 is 24 modulo 2^32.
                      HostileCase{"video_bytes_wrap_32_bits", 153391690u, 0, 153391690u, 0},
                      HostileCase{"video_slots_push_audio_past_the_end", 0, 0, 0x10000000u, 0},
                      HostileCase{"audio_entries_past_the_end", 0, 0x01000000u, 0, 0x01000000u}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Open, IndexEntriesEndingAtTheFileEndAreInside) {
    ifvbuild::Recording rec;
    auto& seg = rec.segments.emplace_back();
    seg.video_index_slots = 2;
    seg.audio_index_slots = 0;
    seg.add_video(std::vector<uint8_t>{1, 2, 3, 4}, 0).offset = 0;
    seg.add_video(std::vector<uint8_t>{5, 6, 7, 8}, 1).offset = 4;
    seg.data.clear();
    auto bytes = ifvbuild::to_bytes(rec);
    ASSERT_EQ(bytes.size(), 200u + 48 + 56);

    auto o = rtest::open(rtest::write_bytes(bytes, "index_at_end"));
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(o.out, "");
    bytes.pop_back();
    rtest::expect_refused(rtest::write_bytes(bytes, "index_past_end"),
                          "ReadmdatSegmentObject1 (offset:200) failed 4\n");
}

TEST(Open, HostileSegmentCountAllocatesOnlyWhatTheFileHolds) {
    // Two thousand header-only segments under a segment count of 2^32 - 1.
    ifvbuild::Recording rec;
    rec.file.video_flag = 0;
    rec.file.audio_flag = 0;
    rec.mdat.segment_count = 0xFFFFFFFFu;
    rec.segments.resize(2000);
    const auto lay = ifvbuild::layout(rec);
    Faults faults;
    auto o = rtest::open(rtest::write(rec, "hostile_segment_count"));
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(o.out,
              printf_text("ReadmdatSegmentObject%lld (offset:%lld) failed 1\n", 2001, lay.end));
    EXPECT_EQ(custommp4_get_segment_count(o.handle.get()), 2000u);
    EXPECT_LE(faults.largest_allocation(), lay.file_size);
    // Two thousand empty segments are passed over in one call.
    auto all = rtest::read_all(o.handle.get());
    ASSERT_EQ(all.frames.size(), 1u);
    EXPECT_EQ(all.frames[0].result, 0);
}

TEST(Open, FrameTotalsCannotOverflow) {
    // Header-only segments whose index areas overlap: each claims a million video entries that
    // lie inside the (sparse) file. Their sum would pass 2^31 at segment 2148.
    constexpr uint32_t kCount = 1000000;
    constexpr uint32_t kSegments = 2200;
    ifvbuild::Recording rec;
    rec.mdat.segment_count = kSegments;
    for (uint32_t i = 0; i < kSegments; ++i) {
        std::vector<uint8_t> h(48, 0);
        std::copy(ifvbuild::kSegmentId.begin(), ifvbuild::kSegmentId.end(), h.begin());
        tv::store_le32(&h[16], 48);
        tv::store_le32(&h[28], kCount);
        tv::store_le32(&h[36], kCount);
        rec.trailing.insert(rec.trailing.end(), h.begin(), h.end());
    }
    const auto path = rtest::write(rec, "total_overflow");
    const uint64_t size = 200 + 48 * kSegments + uint64_t{kCount} * 28;
    std::filesystem::resize_file(path, size);

    auto o = rtest::open(path);
    ASSERT_NE(o.handle, nullptr);
    EXPECT_EQ(o.out, printf_text("ReadmdatSegmentObject%lld (offset:%lld) failed 4\n", 2148,
                                 200 + 48 * 2147));
    EXPECT_EQ(custommp4_get_video_frame_count(o.handle.get()), 2147u * kCount);
}

}  // namespace
