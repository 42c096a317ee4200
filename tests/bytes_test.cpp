// The little-endian codec, bounds checks and output names.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>

#include "bytes.h"
#include "files.h"

namespace {

TEST(Bytes, FitsNeverWrapsAround) {
    constexpr auto max = std::numeric_limits<std::size_t>::max();
    EXPECT_TRUE(fits(10, 0, 10));
    EXPECT_TRUE(fits(10, 10, 0));
    EXPECT_FALSE(fits(10, 11, 0));
    EXPECT_FALSE(fits(10, 5, 6));
    EXPECT_FALSE(fits(10, 5, max));
    EXPECT_FALSE(fits(10, max, 2));
}

TEST(Bytes, LittleEndianRoundTrip) {
    std::array<std::uint8_t, 8> b{};
    put_le32(b, 2, 0x11223344u);
    EXPECT_EQ(b[2], 0x44);
    EXPECT_EQ(b[5], 0x11);
    EXPECT_EQ(get_le32(b, 2), 0x11223344u);
    put_le16(b, 0, 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(get_le16(b, 0), 0xBEEF);
    put_le64(b, 0, 0x0102030405060708ull);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(get_le64(b, 0), 0x0102030405060708ull);
}

TEST(Bytes, Rounding) {
    EXPECT_EQ(round_up_16(0), 0u);
    EXPECT_EQ(round_up_16(1), 16u);
    EXPECT_EQ(round_up_16(1000), 1008u);
    EXPECT_EQ(round_up(1664, 16384), 16384u);
    EXPECT_TRUE(is_power_of_two(65536));
    EXPECT_FALSE(is_power_of_two(0));
    EXPECT_FALSE(is_power_of_two(3000));
}

TEST(Names, DerivedNamesLongerThan255AreRefused) {
    const std::string base(251, 'x');
    ASSERT_TRUE(derive_name(base, ".chk").has_value());
    EXPECT_EQ(derive_name(base, ".chk")->size(), 255u);
    EXPECT_FALSE(derive_name(base, ".efuse").has_value());
    EXPECT_FALSE(derive_name(std::string(256, 'y'), "").has_value());
}

}  // namespace
