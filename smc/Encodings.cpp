#include "smc/Encodings.h"

#include <bit>
#include <cmath>

namespace encodings {

std::string fourCharText(FourCharCode code)
{
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

uint32_t unsignedFromBytes(const uint8_t* bytes, size_t size)
{
    uint32_t value = 0;
    for (size_t i = 0; i < size && i < 4; ++i)
        value = value << 8 | bytes[i];
    return value;
}

int32_t temperatureSixtyFourths(const uint8_t* bytes)
{
    int32_t raw = int32_t(int8_t(bytes[0])) * 256 + bytes[1];
    return raw >> 2;
}

int signedFixedPointFraction(const char* type)
{
    auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    if (type[0] != 's' || type[1] != 'p')
        return -1;
    int integer = hex(type[2]), fraction = hex(type[3]);
    return integer >= 0 && fraction >= 0 && integer + fraction == 15 ? fraction : -1;
}

double decodeTemperature(const char* type, const uint8_t* bytes)
{
    int fraction = signedFixedPointFraction(type);
    int16_t raw = int16_t(uint16_t(bytes[0]) << 8 | bytes[1]);
    return double(raw) / double(1 << (fraction < 0 ? 8 : fraction));
}

float floatFromBytes(const uint8_t* bytes)
{
    return std::bit_cast<float>(uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                                uint32_t(bytes[3]) << 24);
}

void floatToBytes(float value, uint8_t* bytes)
{
    uint32_t raw = std::bit_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        bytes[i] = uint8_t(raw >> 8 * i);
}

std::optional<double> speedFromBytes(FourCharCode type, const uint8_t* bytes, size_t size)
{
    if (type == fourCharCode("fpe2") && size == 2)
        return double(bytes[0] << 8 | bytes[1]) / 4;
    if (type == fourCharCode("ui16") && size == 2)
        return double(bytes[0] << 8 | bytes[1]);
    if (type == fourCharCode("ui8 ") && size == 1)
        return double(bytes[0]);
    if (type == fourCharCode("flt ") && size == 4) {
        float value = floatFromBytes(bytes);
        if (!std::isfinite(value) || value < 0)
            return std::nullopt;
        return double(value);
    }
    return std::nullopt;
}

bool speedToBytes(FourCharCode type, size_t size, double rpm, uint8_t* bytes)
{
    if (!std::isfinite(rpm) || rpm < 0)
        return false;
    if (type == fourCharCode("fpe2") && size == 2) {
        double raw = std::round(rpm * 4);
        if (raw > 0xffff)
            return false;
        bytes[0] = uint8_t(unsigned(raw) >> 8);
        bytes[1] = uint8_t(unsigned(raw));
        return true;
    }
    if ((type == fourCharCode("ui16") && size == 2) || (type == fourCharCode("ui8 ") && size == 1)) {
        double raw = std::round(rpm);
        if (raw > (size == 2 ? 0xffff : 0xff))
            return false;
        if (size == 2)
            *bytes++ = uint8_t(unsigned(raw) >> 8);
        *bytes = uint8_t(unsigned(raw));
        return true;
    }
    if (type == fourCharCode("flt ") && size == 4) {
        floatToBytes(float(rpm), bytes);
        return true;
    }
    return false;
}

}  // namespace encodings
