#include "smcd/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>

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

namespace {

// A user or group id from a name, or from a number where no name matches.
template <typename Lookup>
std::optional<uint32_t> idOf(const std::string& text, Lookup lookup)
{
    if (text.empty())
        return std::nullopt;
    if (std::optional<uint32_t> id = lookup(text.c_str()))
        return id;
    char* end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || number >= uint32_t(-1))
        return std::nullopt;
    return uint32_t(number);
}

}  // namespace

std::optional<ControllerIdentity> parseControllerIdentity(const char* text, std::string& problem)
{
    std::string whole = text;
    size_t colon = whole.find(':');
    std::string user = whole.substr(0, colon);
    std::string group = colon == std::string::npos ? "" : whole.substr(colon + 1);
    ControllerIdentity identity;
    if (!user.empty() && !(identity.user = idOf(user, [](const char* name) {
            const passwd* entry = getpwnam(name);
            return entry ? std::optional<uint32_t>(entry->pw_uid) : std::nullopt;
        }))) {
        problem = "no user named " + user;
        return std::nullopt;
    }
    if (colon != std::string::npos && !(identity.group = idOf(group, [](const char* name) {
            const struct group* entry = getgrnam(name);
            return entry ? std::optional<uint32_t>(entry->gr_gid) : std::nullopt;
        }))) {
        problem = group.empty() ? "expected USER, USER:GROUP or :GROUP, not \"" + whole + "\""
                                : "no group named " + group;
        return std::nullopt;
    }
    if (!identity.user && !identity.group) {
        problem = "expected USER, USER:GROUP or :GROUP, not \"" + whole + "\"";
        return std::nullopt;
    }
    return identity;
}

}  // namespace smcd
