// The one decoder and encoder of the SMC's value types.
#include "encodings/Encodings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using encodings::decode;
using encodings::encode;
using encodings::fourCharCode;
using Fit = encodings::Fit;
using Bytes = std::vector<uint8_t>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Each row decodes its bytes to its value and encodes the value back to them.
TEST(Encodings, DecodesAndEncodesEveryNumberType)
{
    const std::tuple<const char*, Bytes, double> cases[] = {
        {"ui8 ", {0xff}, 255},
        {"ui16", {0x12, 0x34}, 0x1234},
        {"ui32", {0xff, 0xff, 0xff, 0xff}, 4294967295.0},
        {"si8 ", {0x80}, -128},
        {"si16", {0xff, 0xfe}, -2},
        {"si32", {0x80, 0, 0, 0}, -2147483648.0},
        {"flag", {0x01}, 1},
        {"fpe2", {0x1f, 0x41}, 2000.25},
        {"fpe2", {0xff, 0xff}, 16383.75},
        {"fp88", {0xff, 0x80}, 255.5},
        {"sp78", {0xfe, 0x80}, -1.5},
        {"sp78", {0x7f, 0xff}, 127.99609375},
        {"spf0", {0x80, 0x00}, -32768},
        {"sp1e", {0x40, 0x00}, 1},
        {"flt ", {0x00, 0x00, 0x48, 0x42}, 50},  // least significant byte first
        {"flt ", {0x00, 0x00, 0x80, 0xbf}, -1},
        {"ioft", {0x00, 0x80, 0x2d, 0, 0, 0, 0, 0}, 45.5},
    };
    for (const auto& [type, bytes, value] : cases) {
        SCOPED_TRACE(type);
        EXPECT_EQ(decode(fourCharCode(type), bytes.data(), bytes.size()), value);
        Bytes encoded(bytes.size(), 0xa5);
        ASSERT_TRUE(encode(fourCharCode(type), bytes.size(), value, encoded.data()));
        EXPECT_EQ(encoded, bytes);
    }
}

TEST(Encodings, NoNumberForOtherTypesOrSizes)
{
    const std::pair<const char*, size_t> cases[] = {
        {"hex_", 2}, {"ch8*", 4}, {"{fds", 16}, {"sp79", 2}, {"spA5", 2}, {"fp87", 2},
        {"ui16", 1}, {"flt ", 2}, {"sp78", 4},  {"ui8", 1},  {"", 0},
    };
    const uint8_t bytes[16] = {};
    for (const auto& [type, size] : cases) {
        EXPECT_FALSE(decode(fourCharCode(type), bytes, size)) << type;
        uint8_t out[16];
        EXPECT_FALSE(encode(fourCharCode(type), size, 1, out)) << type;
    }
}

// Rounding to the nearest step, halves away from zero, and what a value
// out of range becomes by each fit; NaN never fits an integer.
TEST(Encodings, RoundsAndFitsAsAsked)
{
    const std::tuple<const char*, double, Fit, std::optional<Bytes>> cases[] = {
        {"fpe2", 1000.125, Fit::Reject, Bytes{0x0f, 0xa1}},
        {"fpe2", 1000.1, Fit::Reject, Bytes{0x0f, 0xa0}},
        {"sp78", -0.001953125, Fit::Reject, Bytes{0xff, 0xff}},
        {"ui8 ", 254.5, Fit::Reject, Bytes{0xff}},
        {"ui8 ", 255.5, Fit::Reject, std::nullopt},
        {"ui8 ", -0.6, Fit::Reject, std::nullopt},
        {"fpe2", 16384, Fit::Reject, std::nullopt},
        {"fpe2", 16384, Fit::Clamp, Bytes{0xff, 0xff}},
        {"fpe2", -5, Fit::Clamp, Bytes{0x00, 0x00}},
        {"sp78", 200, Fit::Clamp, Bytes{0x7f, 0xff}},
        {"sp78", -kInf, Fit::Clamp, Bytes{0x80, 0x00}},
        {"fpe2", 16385, Fit::Wrap, Bytes{0x00, 0x04}},  // as a 16-bit register keeps it
        {"sp78", -129, Fit::Wrap, Bytes{0x7f, 0x00}},
        {"ui16", kNaN, Fit::Clamp, std::nullopt},
        {"sp78", kInf, Fit::Wrap, std::nullopt},
        {"flag", kNaN, Fit::Reject, std::nullopt},
        {"flag", 7, Fit::Reject, Bytes{0x01}},
        {"flt ", 1e40, Fit::Reject, Bytes{0x00, 0x00, 0x80, 0x7f}},  // a float takes any value
    };
    for (const auto& [type, value, fit, expected] : cases) {
        SCOPED_TRACE(std::string(type) + " " + std::to_string(value));
        Bytes out(expected ? expected->size() : 8, 0xa5);
        Bytes before = out;
        bool encoded = encode(fourCharCode(type), expected ? out.size() : encodings::numberFormat(fourCharCode(type))->size,
                              value, out.data(), fit);
        EXPECT_EQ(encoded, expected.has_value());
        EXPECT_EQ(out, expected.value_or(before));
    }
}

// The rules the Linux drivers' files apply to what the SMC holds: a flt's
// integer part (NaN and infinities are not numbers there), fpe2's whole rpm
// and sp78's quarter degrees rounded down.
TEST(Encodings, DriverTruncationRules)
{
    const std::tuple<const char*, Bytes, double> cases[] = {
        {"flt ", {0x00, 0xf0, 0xf9, 0x44}, 1999},       // 1999.5
        {"flt ", {0x00, 0x00, 0xc0, 0x7f}, kNaN},
        {"flt ", {0x00, 0x00, 0x80, 0xff}, -kInf},
        {"fpe2", {0x1f, 0x43}, 2000},                  // 2000.75
        {"sp78", {0xff, 0xc0}, -1},                    // -0.25 in quarter degrees
        {"sp78", {0x32, 0xff}, 203},                   // 50.99... in quarter degrees
    };
    for (const auto& [type, bytes, expected] : cases) {
        SCOPED_TRACE(type);
        std::optional<double> value = decode(fourCharCode(type), bytes.data(), bytes.size());
        ASSERT_TRUE(value);
        double shown = std::string(type) == "sp78" ? std::floor(*value * 4) : std::trunc(*value);
        if (std::isnan(expected))
            EXPECT_TRUE(std::isnan(shown));
        else
            EXPECT_EQ(shown, expected);
    }
    EXPECT_EQ(encodings::speedFromBytes(fourCharCode("flt "), Bytes{0, 0, 0x80, 0xbf}.data(), 4), std::nullopt);
}

TEST(Encodings, HexDigitsAndKeyText)
{
    const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15}, {'g', -1}, {' ', -1}, {'\0', -1}};
    for (const auto& [c, value] : digits)
        EXPECT_EQ(encodings::hexValue(c), value) << c;
    EXPECT_EQ(encodings::fourCharText(fourCharCode("FS! ")), "FS! ");
    EXPECT_EQ(encodings::fourCharText(fourCharCode("ui8")), std::string("ui8\0", 4));
}

}  // namespace
