// Fan speeds in rpm and the encodings that fan keys hold them in: shared by
// the daemon, which checks the limits of a write, and smcfan, which writes.
#pragma once

#include <IOKit/IOKitLib.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

namespace fans {

constexpr FourCharCode typeCode(const char (&text)[5])
{
    return FourCharCode(uint8_t(text[0])) << 24 | FourCharCode(uint8_t(text[1])) << 16 |
           FourCharCode(uint8_t(text[2])) << 8 | FourCharCode(uint8_t(text[3]));
}

// The speed that `size` bytes of a key of `type` hold: "fpe2" (unsigned, two
// fraction bits), "flt " (a 4-byte float, as T2 machines keep it, least
// significant byte first), "ui16" or "ui8 ". Nothing for any other type or
// size, and for a float that is not a finite speed.
inline std::optional<double> speedFromBytes(FourCharCode type, const uint8_t* bytes, size_t size)
{
    if (type == typeCode("fpe2") && size == 2)
        return double(bytes[0] << 8 | bytes[1]) / 4;
    if (type == typeCode("ui16") && size == 2)
        return double(bytes[0] << 8 | bytes[1]);
    if (type == typeCode("ui8 ") && size == 1)
        return double(bytes[0]);
    if (type == typeCode("flt ") && size == 4) {
        uint32_t raw = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                       uint32_t(bytes[3]) << 24;
        float value = std::bit_cast<float>(raw);
        if (!std::isfinite(value) || value < 0)
            return std::nullopt;
        return double(value);
    }
    return std::nullopt;
}

// Encodes `rpm` for a key of `type` and `size` into `bytes`; false when the
// type is not a speed encoding or the speed does not fit it. fpe2 keeps
// quarter rpm; the integer types round to whole rpm.
inline bool speedToBytes(FourCharCode type, size_t size, double rpm, uint8_t* bytes)
{
    if (!std::isfinite(rpm) || rpm < 0)
        return false;
    if (type == typeCode("fpe2") && size == 2) {
        double raw = std::round(rpm * 4);
        if (raw > 0xffff)
            return false;
        bytes[0] = uint8_t(unsigned(raw) >> 8);
        bytes[1] = uint8_t(unsigned(raw));
        return true;
    }
    if ((type == typeCode("ui16") && size == 2) || (type == typeCode("ui8 ") && size == 1)) {
        double raw = std::round(rpm);
        if (raw > (size == 2 ? 0xffff : 0xff))
            return false;
        if (size == 2)
            *bytes++ = uint8_t(unsigned(raw) >> 8);
        *bytes = uint8_t(unsigned(raw));
        return true;
    }
    if (type == typeCode("flt ") && size == 4) {
        uint32_t raw = std::bit_cast<uint32_t>(float(rpm));
        for (int i = 0; i < 4; ++i)
            bytes[i] = uint8_t(raw >> 8 * i);
        return true;
    }
    return false;
}

// Fans that four-character keys can name: F0xx to F9xx.
inline constexpr unsigned kNamedFans = 10;

// The key of fan `fan` (below kNamedFans) with the two-letter `suffix`.
inline FourCharCode fanKey(unsigned fan, const char (&suffix)[3])
{
    return FourCharCode('F') << 24 | FourCharCode('0' + fan) << 16 | FourCharCode(uint8_t(suffix[0])) << 8 |
           FourCharCode(uint8_t(suffix[1]));
}

// The mask of fans in forced (manual) mode, one bit a fan, fan 0 the lowest.
inline constexpr FourCharCode kForcedMaskKey = typeCode("FS! ");

}  // namespace fans
