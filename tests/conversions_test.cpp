// The value conversions and the shared hex parser.
#include "smc/smc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const Bytes& bytes)
{
    std::string text;
    for (uint8_t b : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x ", b);
        text += pair;
    }
    return text;
}

struct UnsignedCase {
    Bytes bytes;
    int size;
    uint32_t expected;
};

TEST(StrToUL, BigEndianUnsignedOverSize)
{
    const UnsignedCase cases[] = {
        {{0x00, 0x00, 0x03, 0xa5}, 4, 933},
        {{0x01, 0xff}, 2, 511},
        {{0xff}, 1, 255},
        {{0x00, 0x80}, 2, 128},  // a high byte never spills into the byte before
        {{0x80, 0x00, 0x00, 0x00}, 4, 0x80000000u},
        {{0xff, 0xff, 0xff, 0xff}, 4, 0xffffffffu},
        {{0x12, 0x34}, 0, 0},
        {{0x12, 0x34}, -5, 0},
        // Past four bytes the wrapping total keeps the last four.
        {{0x01, 0x02, 0x03, 0x04, 0x05}, 5, 0x02030405u},
        {Bytes(32, 0xab), 32, 0xababababu},
    };
    for (const auto& c : cases) {
        const char* bytes = reinterpret_cast<const char*>(c.bytes.data());
        EXPECT_EQ(_strtoul(bytes, c.size, 10), c.expected) << hex(c.bytes) << "size " << c.size;
        EXPECT_EQ(_strtoul(bytes, c.size, 16), c.expected) << "base does not matter";
    }
}

struct FixedCase {
    Bytes bytes;
    int size;
    int e;
    float expected;
};

TEST(StrToF, FixedPointWithDroppedFraction)
{
    const FixedCase cases[] = {
        {{0x1f, 0x40}, 2, 2, 2000},
        {{0x1f, 0x43}, 2, 2, 2000},  // .75 dropped
        {{0x00, 0x03}, 2, 2, 0},
        {{0x05}, 1, 2, 1},
        {{0x80, 0x00}, 2, 2, -8192},  // first byte signed
        {{0xff, 0xff}, 2, 2, -64 + 63},
        {{0x2e, 0xe0}, 2, 2, 3000},
        {{0x01, 0x02, 0x03}, 3, 2, 4096 + 128 + 0},
        {{0x32, 0x80}, 2, 8, 50},  // e = 8: the last byte is all fraction
        {{}, 0, 2, 0},
        // Shifts that reach 32 bits leave the term out instead of overflowing.
        {{0x7f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04}, 7, 2, 1},
        {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, 6, 2, float(1 << 30)},
        {{0x02, 0x00, 0x00, 0x00, 0x00, 0x00}, 6, 2, -2147483648.0f},  // a 32-bit term wraps
        // Fraction bits past 32 turn every shift into a right shift of 32 or
        // more: positive terms vanish.
        {{0x10, 0xff}, 2, 40, 0},
    };
    for (const auto& c : cases) {
        const char* bytes = reinterpret_cast<const char*>(c.bytes.data());
        EXPECT_EQ(_strtof(bytes, c.size, c.e), c.expected) << hex(c.bytes) << "size " << c.size << " e " << c.e;
    }
}

TEST(StrToF, WholeNumbersOnly)
{
    for (int high = 0; high < 256; ++high) {
        for (int low = 0; low < 256; low += 3) {
            const char bytes[] = {char(high), char(low)};
            float value = _strtof(bytes, 2, 2);
            ASSERT_EQ(value, std::trunc(value));
            ASSERT_EQ(value, float(int8_t(high) * 64 + (low >> 2)));
        }
    }
}

TEST(UlToStr, FourCharactersAndZero)
{
    struct Case {
        uint32_t code;
        const char expected[5];
    } const cases[] = {
        {0x464e756d, "FNum"},
        {0x75693820, "ui8 "},  // keeps its trailing blank
        {0x234b4559, "#KEY"},
        {0x41420043, "AB\0C"},  // a zero byte ends the text early
    };
    for (const auto& c : cases) {
        char text[6];
        std::memset(text, 0x55, sizeof text);
        EXPECT_EQ(_ultostr(text, c.code), 4);
        EXPECT_EQ(std::memcmp(text, c.expected, 5), 0) << c.expected;
        EXPECT_EQ(text[5], 0x55) << "nothing past the five bytes";
    }
}

struct HexCase {
    const char* text;
    bool accepted;
    Bytes bytes;
};

TEST(ParseHex, PairsOfHexDigits)
{
    const std::string longest(64, 'f');
    const std::string tooLong(65, 'f');
    const HexCase cases[] = {
        {"0102", true, {0x01, 0x02}},
        {"abc", true, {0xab}},  // the last unpaired digit is ignored
        {"", true, {}},
        {"2EE0", true, {0x2e, 0xe0}},
        {longest.c_str(), true, Bytes(32, 0xff)},
        {tooLong.c_str(), false, {}},
        {"zz", false, {}},
        {"1g", false, {}},
        {" 1", false, {}},
        {"-1", false, {}},
        {"0x10", false, {}},
        {"01z", false, {}},  // the unpaired character is checked too
    };
    for (const auto& c : cases) {
        SMCVal val{};
        std::memset(val.bytes, 0x77, sizeof val.bytes);
        val.dataSize = 99;
        ASSERT_EQ(smc_parse_hex(c.text, &val), c.accepted) << '"' << c.text << '"';
        if (!c.accepted) {
            EXPECT_EQ(val.dataSize, 99u) << "a refused text leaves the record alone";
            continue;
        }
        ASSERT_EQ(val.dataSize, c.bytes.size()) << c.text;
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), reinterpret_cast<uint8_t*>(val.bytes))) << c.text;
    }
}

}  // namespace
