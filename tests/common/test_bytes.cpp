#include "common/bytes.h"

#include <gtest/gtest.h>

#include <array>

TEST(Bytes, LittleEndianRoundTripAndLayout) {
    std::array<uint8_t, 8> b{};
    tv::store_le32(b.data(), 0x11223344u);
    EXPECT_EQ(b[0], 0x44);
    EXPECT_EQ(b[3], 0x11);
    EXPECT_EQ(tv::load_le32(b.data()), 0x11223344u);
    tv::store_le64(b.data(), 0x0102030405060708ull);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[7], 0x01);
    EXPECT_EQ(tv::load_le64(b.data()), 0x0102030405060708ull);
    tv::store_le16(b.data(), 0xBEEF);
    EXPECT_EQ(tv::load_le16(b.data()), 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
}

TEST(Bytes, FourccIsReadingOrder) {
    std::array<uint8_t, 4> b{};
    tv::store_fourcc(b.data(), "XVID");
    EXPECT_EQ(b[0], 0x58);
    EXPECT_EQ(b[3], 0x44);
    EXPECT_EQ(tv::fourcc_value("GRAW"), tv::load_le32(reinterpret_cast<const uint8_t*>("GRAW")));
}

TEST(Bytes, SpanFormsReadAtOffset) {
    std::array<uint8_t, 4> b{1, 2, 3, 4};
    std::span<const uint8_t> s(b);
    EXPECT_EQ(tv::load_le16(s, 2), 0x0403);
}
