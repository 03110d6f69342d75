#include "smcd/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace smcd {

std::optional<double> parseFanFloor(const char* text)
{
    char* end = nullptr;
    errno = 0;
    double rpm = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(rpm) || rpm < 0)
        return std::nullopt;
    return rpm;
}

}  // namespace smcd
