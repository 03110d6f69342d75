#include "encodings/Encodings.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace encodings {

namespace {

using Kind = NumberFormat::Kind;

// A digit of a type's name: lowercase only, as the controller names them.
int typeDigit(char c)
{
    return c >= 'A' && c <= 'F' ? -1 : hexValue(c);
}

// The integer of `size` bytes, most significant first unless `littleEndian`.
uint64_t rawFromBytes(const uint8_t* bytes, size_t size, bool littleEndian)
{
    uint64_t raw = 0;
    for (size_t i = 0; i < size; ++i)
        raw = raw << 8 | bytes[littleEndian ? size - 1 - i : i];
    return raw;
}

void rawToBytes(uint64_t raw, uint8_t* bytes, size_t size, bool littleEndian)
{
    for (size_t i = 0; i < size; ++i)
        bytes[littleEndian ? i : size - 1 - i] = uint8_t(raw >> 8 * i);
}

// The integer of a fixed-point or integer value, as its two's complement
// bits; false when it does not fit by `fit`.
bool rawOf(const NumberFormat& format, double value, Fit fit, uint64_t& raw)
{
    if (std::isnan(value))
        return false;
    double steps = std::round(std::ldexp(value, format.fraction));
    double span = std::ldexp(1.0, int(format.size) * 8);
    bool isSigned = format.kind == Kind::Signed;
    double lowest = isSigned ? -span / 2 : 0, above = isSigned ? span / 2 : span;  // above: the first that does not fit
    if (fit == Fit::Wrap) {
        if (!std::isfinite(steps))
            return false;
        steps = std::fmod(steps, span);
        steps += steps < 0 ? span : 0;
        raw = uint64_t(steps);
        return true;
    }
    if (!(steps >= lowest && steps < above)) {
        if (fit == Fit::Reject)
            return false;
        steps = steps < lowest ? lowest : std::floor(std::nextafter(above, 0.0));
    }
    raw = steps < 0 ? uint64_t(int64_t(steps)) : uint64_t(steps);
    return true;
}

}  // namespace

std::string fourCharText(FourCharCode code)
{
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<NumberFormat> numberFormat(FourCharCode type)
{
    struct Named {
        FourCharCode type;
        NumberFormat format;
    };
    static constexpr Named kNamed[] = {
        {fourCharCode("ui8 "), {Kind::Unsigned, 1, 0}}, {fourCharCode("ui16"), {Kind::Unsigned, 2, 0}},
        {fourCharCode("ui32"), {Kind::Unsigned, 4, 0}}, {fourCharCode("si8 "), {Kind::Signed, 1, 0}},
        {fourCharCode("si16"), {Kind::Signed, 2, 0}},   {fourCharCode("si32"), {Kind::Signed, 4, 0}},
        {fourCharCode("flag"), {Kind::Flag, 1, 0}},     {fourCharCode("flt "), {Kind::Float, 4, 0}},
        {fourCharCode("ioft"), {Kind::Unsigned, 8, 16}},
    };
    for (const Named& named : kNamed)
        if (named.type == type)
            return named.format;
    std::string text = fourCharText(type);
    bool isSigned = text[0] == 's' && text[1] == 'p', isUnsigned = text[0] == 'f' && text[1] == 'p';
    int integer = typeDigit(text[2]), fraction = typeDigit(text[3]);
    if ((isSigned || isUnsigned) && integer >= 0 && fraction >= 0 && integer + fraction == (isSigned ? 15 : 16))
        return NumberFormat{isSigned ? Kind::Signed : Kind::Unsigned, 2, fraction};
    return std::nullopt;
}

std::optional<double> decode(FourCharCode type, const uint8_t* bytes, size_t size)
{
    std::optional<NumberFormat> format = numberFormat(type);
    if (!format || format->size != size)
        return std::nullopt;
    bool littleEndian = type == fourCharCode("flt ") || type == fourCharCode("ioft");
    uint64_t raw = rawFromBytes(bytes, size, littleEndian);
    switch (format->kind) {
    case Kind::Float:
        return double(std::bit_cast<float>(uint32_t(raw)));
    case Kind::Flag:
        return raw != 0 ? 1.0 : 0.0;
    case Kind::Signed: {
        // Sign-extends the top byte's bit.
        int64_t value = int64_t(raw << (64 - 8 * size)) >> (64 - 8 * size);
        return std::ldexp(double(value), -format->fraction);
    }
    case Kind::Unsigned:
        return std::ldexp(double(raw), -format->fraction);
    }
    return std::nullopt;
}

bool encode(FourCharCode type, size_t size, double value, uint8_t* bytes, Fit fit)
{
    std::optional<NumberFormat> format = numberFormat(type);
    if (!format || format->size != size)
        return false;
    bool littleEndian = type == fourCharCode("flt ") || type == fourCharCode("ioft");
    uint64_t raw = 0;
    if (format->kind == Kind::Float)
        raw = std::bit_cast<uint32_t>(float(value));
    else if (format->kind == Kind::Flag && !std::isnan(value))
        raw = value != 0;
    else if (format->kind == Kind::Flag || !rawOf(*format, value, fit, raw))
        return false;
    rawToBytes(raw, bytes, size, littleEndian);
    return true;
}

uint32_t unsignedFromBytes(const uint8_t* bytes, size_t size)
{
    return uint32_t(rawFromBytes(bytes, std::min<size_t>(size, 4), false));
}

int32_t temperatureSixtyFourths(const uint8_t* bytes)
{
    int32_t raw = int32_t(int8_t(bytes[0])) * 256 + bytes[1];
    return raw >> 2;
}

int32_t temperatureSixtyFourths(FourCharCode type, const uint8_t* bytes, size_t size)
{
    if (type != fourCharCode("flt ") || size != 4)
        return temperatureSixtyFourths(bytes);
    double sixtyFourths = std::trunc(double(floatFromBytes(bytes)) * 64);
    if (std::isnan(sixtyFourths))
        return 0;
    return int32_t(std::clamp(sixtyFourths, -2147483648.0, 2147483647.0));
}

int signedFixedPointFraction(const char* type)
{
    if (type[0] != 's' || type[1] != 'p')
        return -1;
    std::optional<NumberFormat> format = numberFormat(fourCharCode(type));
    return format ? format->fraction : -1;
}

double decodeTemperature(const char* type, const uint8_t* bytes)
{
    // The module's rule is sp78 on the first two bytes, whatever the type.
    int fraction = signedFixedPointFraction(type);
    return *decode(fourCharCode(fraction < 0 ? "sp78" : type), bytes, 2);
}

double temperature(FourCharCode type, const uint8_t* bytes, size_t size)
{
    if (type == fourCharCode("flt ") && size == 4)
        return *decode(type, bytes, size);
    return decodeTemperature(fourCharText(type).c_str(), bytes);
}

float floatFromBytes(const uint8_t* bytes)
{
    return float(*decode(fourCharCode("flt "), bytes, 4));
}

void floatToBytes(float value, uint8_t* bytes)
{
    encode(fourCharCode("flt "), 4, value, bytes);
}

std::optional<double> speedFromBytes(FourCharCode type, const uint8_t* bytes, size_t size)
{
    if (type != fourCharCode("fpe2") && type != fourCharCode("ui16") && type != fourCharCode("ui8 ") &&
        type != fourCharCode("flt "))
        return std::nullopt;
    std::optional<double> rpm = decode(type, bytes, size);
    if (!rpm || !std::isfinite(*rpm) || *rpm < 0)
        return std::nullopt;
    return rpm;
}

bool speedToBytes(FourCharCode type, size_t size, double rpm, uint8_t* bytes)
{
    if (!std::isfinite(rpm) || rpm < 0)
        return false;
    if (type != fourCharCode("fpe2") && type != fourCharCode("ui16") && type != fourCharCode("ui8 ") &&
        type != fourCharCode("flt "))
        return false;
    return encode(type, size, rpm, bytes);
}

}  // namespace encodings
