#include "smcfan/smcfan.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace smcfan {

using fanclient::controllerText;
using fanclient::Fan;
using fanclient::speedText;
using fanclient::statusWords;

namespace {

bool parseRpm(const std::string& text, double& rpm)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(uint8_t(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    rpm = std::strtod(text.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(rpm);
}

}  // namespace

std::string usage()
{
    return "Usage: smcfan                              list every fan\n"
           "       smcfan set FAN min|target RPM       set a fan's minimum or target speed\n"
           "       smcfan manual FAN                   the fan follows its target\n"
           "       smcfan auto [FAN]                   the SMC drives the fan again (every fan)\n"
           "       smcfan hold FAN RPM [-- COMMAND...] hold the fan at RPM until Ctrl-C, SIGTERM\n"
           "                                           or COMMAND's exit; the daemon then puts it\n"
           "                                           back, even if smcfan is killed\n"
           "       smcfan --help | --version\n"
           "FAN is a fan's number or name as the list shows them. The SMC is the one that\n"
           "SMC_SERVICE names; unset: your smcd, then the system's at /run/smcd.sock, then\n"
           "the applesmc driver, then the macsmc_hwmon driver, else no SMC\n"
           "(SMC_SERVICE=builtin: the emulated machine).\n"
           "A hold needs smcd. A hold that ends underneath (the fan changed by another)\n"
           "is said on stderr and COMMAND runs on; after smcd restarts the hold is taken\n"
           "again if nobody changed the fan meanwhile.\n"
           "Exit status: 0 done, 1 failure (a hold: its command's status), 2 a usage error.\n";
}

std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& problem)
{
    Options options;
    if (arguments.empty())
        return options;
    const std::string& word = arguments[0];
    size_t count = arguments.size();
    auto wrong = [&](const std::string& what) {
        problem = what;
        return std::nullopt;
    };
    if (word == "--help" || word == "-h") {
        options.command = Command::Help;
    } else if (word == "--version") {
        options.command = Command::Version;
    } else if (word == "list") {
        if (count != 1)
            return wrong("list takes no arguments");
    } else if (word == "set") {
        if (count != 4)
            return wrong("expected: set FAN min|target RPM");
        options.command = Command::Set;
        options.fan = arguments[1];
        if (arguments[2] == "min" || arguments[2] == "minimum")
            options.speed = fanclient::Speed::Minimum;
        else if (arguments[2] == "target")
            options.speed = fanclient::Speed::Target;
        else
            return wrong("expected min or target, not \"" + arguments[2] + "\"");
        if (!parseRpm(arguments[3], options.rpm))
            return wrong("expected a speed in rpm, not \"" + arguments[3] + "\"");
    } else if (word == "manual") {
        if (count != 2)
            return wrong("expected: manual FAN");
        options.command = Command::Manual;
        options.fan = arguments[1];
    } else if (word == "auto") {
        if (count > 2)
            return wrong("expected: auto [FAN]");
        options.command = Command::Auto;
        options.fan = count == 2 ? arguments[1] : "";
    } else if (word == "hold") {
        options.command = Command::Hold;
        if (count < 3 || (count > 3 && arguments[3] != "--"))
            return wrong("expected: hold FAN RPM [-- COMMAND...]");
        if (count == 4)
            return wrong("expected a command after --");
        options.fan = arguments[1];
        if (!parseRpm(arguments[2], options.rpm))
            return wrong("expected a speed in rpm, not \"" + arguments[2] + "\"");
        options.program.assign(arguments.begin() + std::min<size_t>(4, count), arguments.end());
    } else if (word.size() > 1 && word[0] == '-') {
        return wrong("unknown option " + word);
    } else {
        return wrong("unknown command \"" + word + "\"");
    }
    if (options.fan.empty() && options.command != Command::Auto && options.command != Command::List &&
        options.command != Command::Help && options.command != Command::Version)
        return wrong("expected a fan's number or name");
    return options;
}

std::string listText(const std::vector<fanclient::Fan>& fans, const std::optional<fanclient::Controller>& controller)
{
    size_t width = 4;
    for (const Fan& fan : fans)
        width = std::max(width, fan.name.size());
    auto line = [&](const std::string& index, const std::string& name, const std::string& actual,
                    const std::string& minimum, const std::string& maximum, const std::string& target,
                    const std::string& mode) {
        char text[256];
        std::snprintf(text, sizeof text, "%-3s  %-*s  %7s  %7s  %7s  %7s  %s\n", index.c_str(), int(width),
                      name.c_str(), actual.c_str(), minimum.c_str(), maximum.c_str(), target.c_str(), mode.c_str());
        return std::string(text);
    };
    std::string text = line("Fan", "Name", "Actual", "Minimum", "Maximum", "Target", "Mode");
    for (const Fan& fan : fans)
        text += line(std::to_string(fan.index), fan.name, speedText(fan.actual), speedText(fan.minimum),
                     speedText(fan.maximum), speedText(fan.target),
                     !fan.manual ? "?" : *fan.manual ? "manual" : "auto");
    if (!controller)
        return text;
    std::string who = controllerText(*controller);
    bool any = false;
    for (const Fan& fan : fans) {
        std::string number = "Fan " + std::to_string(fan.index);
        if (fan.driven)
            text += number + " is driven by " + who +
                    (fan.controllerTarget ? ", target " + speedText(fan.controllerTarget) + " rpm" : "") + "\n";
        else if (fan.held)
            text += number + " is held by another program; " + who + " leaves it alone until the hold ends\n";
        any = any || fan.driven || fan.held;
    }
    if (!any)
        text += "The fan controller " + who + " drives no fan now\n";
    return text;
}

std::string refusalWords(const std::string& key, double rpm, std::optional<double> floor,
                         std::optional<double> maximum, kern_return_t status)
{
    bool above = maximum && rpm > *maximum, below = floor && rpm < *floor;
    if (status != kIOReturnBadArgument || (!above && !below))
        return key + ": " + statusWords(status);
    char text[160];
    std::snprintf(text, sizeof text, "%s refused %.0f rpm: %s of %.0f rpm (%08x)", key.c_str(), rpm,
                  above ? "above the maximum" : "below the floor", above ? *maximum : *floor, unsigned(status));
    return text;
}

}  // namespace smcfan
