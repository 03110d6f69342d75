// The SMC's value encodings, written once for the platform and every
// program above it: four characters packed into a code, every number type
// the project meets decoded and encoded by one pair of functions, the
// module's temperature rule, and fan speeds. A small internal library
// (smc_encodings), linked with hidden symbols: never exported.
#pragma once

#include <IOKit/IOKitLib.h>
#include <IOKit/IOKitSMCRecord.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace encodings {

// The code of the first four characters of `text`, first character most
// significant; zero bytes where `text` is shorter.
constexpr FourCharCode fourCharCode(std::string_view text)
{
    char padded[4] = {};
    for (size_t i = 0; i < 4 && i < text.size(); ++i)
        padded[i] = text[i];
    return SMC_FOUR_CHAR_CODE(padded);
}

// The code's four characters, most significant first, zero bytes included.
std::string fourCharText(FourCharCode code);

// The value of one hex digit, either case; -1 for any other character.
int hexValue(char c);

// How a type keeps its value: integers and fixed point most significant
// byte first, flt and ioft least significant first (as the controller of
// T2 and Apple Silicon machines keeps them).
struct NumberFormat {
    enum class Kind { Unsigned, Signed, Float, Flag } kind;
    size_t size;   // bytes
    int fraction;  // fraction bits of fixed point (fpXY, spXY, ioft); 0 otherwise
};

// The format of `type`: ui8/16/32, si8/16/32, flag, fpXY (16 bits, fpe2
// among them), spXY (15 bits and the sign, sp78 among them), flt and ioft
// (unsigned 48.16). Nothing for a type that holds no number (hex_, ch8*,
// structures) or that this project does not know.
std::optional<NumberFormat> numberFormat(FourCharCode type);

// The number `size` bytes of a key of `type` hold; nothing when the type
// holds no number or `size` is not its size. A flag reads 0 or 1.
std::optional<double> decode(FourCharCode type, const uint8_t* bytes, size_t size);

// What encode does with a value the type cannot hold: Reject it, Clamp it
// to the nearest it can, or Wrap it as a register keeps the low bits.
enum class Fit { Reject, Clamp, Wrap };

// Encodes `value` as `size` bytes of `type` into `bytes`: integers and
// fixed point round to the nearest step (halves away from zero), flt is the
// nearest float. False, `bytes` untouched, when the type holds no number,
// `size` is not its size, or the value does not fit by `fit` (NaN never
// fits an integer; a flt takes any value).
bool encode(FourCharCode type, size_t size, double value, uint8_t* bytes, Fit fit = Fit::Reject);

// An unsigned integer kept most significant byte first ("ui8 ", "ui16",
// "ui32"): its first `size` bytes, four at most.
uint32_t unsignedFromBytes(const uint8_t* bytes, size_t size);

// The module's temperature rule: the first two bytes as a signed big-endian
// number in 256ths of a degree, in 64ths of a degree.
int32_t temperatureSixtyFourths(const uint8_t* bytes);

// The module's rule by the value's type: a flt of 4 bytes is the float it
// holds, truncated to 64ths (NaN, which is no reading, gives 0; beyond 32
// bits, the nearest limit); any other type the first two bytes as above.
int32_t temperatureSixtyFourths(FourCharCode type, const uint8_t* bytes, size_t size);

// Whole degrees of the module's rule, truncated toward zero: -100/64 is -1.
inline int32_t wholeDegrees(int32_t sixtyFourths)
{
    return sixtyFourths / 64;
}

// The fraction bits of a signed fixed-point type of 16 bits, "spXY" with X
// and Y hex digits adding up to 15; -1 for any other type.
int signedFixedPointFraction(const char* type);

// The reading of a temperature value in degrees Celsius: exact for the
// signed fixed-point types ("sp78", "sp5a", ...), and for any other type the
// module's rule (the first two bytes as sp78).
double decodeTemperature(const char* type, const uint8_t* bytes);

// A temperature of `size` bytes of `type` in degrees Celsius: flt as it
// is, any other type as decodeTemperature reads it.
double temperature(FourCharCode type, const uint8_t* bytes, size_t size);

// A float kept least significant byte first, as T2 machines keep "flt ".
float floatFromBytes(const uint8_t* bytes);
void floatToBytes(float value, uint8_t* bytes);

// The speed that `size` bytes of a key of `type` hold: "fpe2" (unsigned, two
// fraction bits), "flt ", "ui16" or "ui8 ". Nothing for any other type or
// size, and for a float that is not a finite speed.
std::optional<double> speedFromBytes(FourCharCode type, const uint8_t* bytes, size_t size);

// Encodes `rpm` for a key of `type` and `size` into `bytes`; false when the
// type is not a speed encoding or the speed does not fit it. fpe2 keeps
// quarter rpm; the integer types round to whole rpm.
bool speedToBytes(FourCharCode type, size_t size, double rpm, uint8_t* bytes);

// Fans that four-character keys can name: F0xx to F9xx.
inline constexpr unsigned kNamedFans = 10;

// The key of fan `fan` (below kNamedFans) with the two-letter `suffix`.
inline FourCharCode fanKey(unsigned fan, const char (&suffix)[3])
{
    const char text[4] = {'F', char('0' + fan), suffix[0], suffix[1]};
    return fourCharCode(std::string_view(text, 4));
}

// The mask of fans in forced (manual) mode, one bit a fan, fan 0 the lowest.
inline constexpr FourCharCode kForcedMaskKey = fourCharCode("FS! ");

}  // namespace encodings
