// Finding the driver's device and where it keeps its files, in each of the
// driver's layouts.
#include "backends/applesmc/Driver.h"

#include <cstring>
#include <dirent.h>

namespace platform {
namespace applesmc {

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

ssize_t readWhole(int fd, char* buffer, size_t size)
{
    ssize_t n;
    do
        n = pread(fd, buffer, size, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

bool readSmallFile(const std::string& path, std::string& text)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[64];
    ssize_t n = readWhole(fd, buffer, sizeof buffer);
    close(fd);
    if (n < 0)
        return false;
    text.assign(buffer, size_t(n));
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return true;
}

bool parseDecimal(std::string_view text, long long& value)
{
    while (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    if (text.empty() || text.size() > 18)
        return false;
    long long total = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        total = total * 10 + (c - '0');
    }
    value = negative ? -total : total;
    return true;
}

FourCharCode codeFromText(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    char chars[4] = {};
    std::memcpy(chars, text.data(), text.size() < 4 ? text.size() : 4);
    return fourCharCode(std::string_view(chars, 4));
}

DeviceDirectories resolveDirectories(const std::string& device)
{
    DeviceDirectories layout{device, device};
    if (!exists(device + "/key_count") && exists(device + "/device/key_count"))
        layout.keyDirectory = device + "/device";  // a hwmon class directory was named
    char subsystem[256];
    ssize_t length = readlink((layout.keyDirectory + "/subsystem").c_str(), subsystem, sizeof subsystem);
    layout.platformDevice = length > 0 && std::string_view(subsystem, size_t(length)).ends_with("/platform");
    auto hasSensors = [](const std::string& dir) {
        return exists(dir + "/fan1_input") || exists(dir + "/temp1_input");
    };
    if (hasSensors(device))
        return layout;
    // The newer layout keeps them in the hwmon class directory below the device.
    std::string hwmon = layout.keyDirectory + "/hwmon";
    if (DIR* dir = opendir(hwmon.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string candidate = hwmon + "/" + entry->d_name;
            std::string name;
            if (entry->d_name[0] != '.' && readSmallFile(candidate + "/name", name) && name == "applesmc") {
                layout.sensorDirectory = candidate;
                break;
            }
        }
        closedir(dir);
    }
    return layout;
}

}  // namespace applesmc

using namespace applesmc;

std::string findAppleSMCDevice(const std::string& root)
{
    std::string classic = root + "/sys/devices/platform/applesmc.768";
    if (exists(classic + "/key_count"))
        return classic;
    std::string hwmonClass = root + "/sys/class/hwmon";
    std::string found;
    if (DIR* dir = opendir(hwmonClass.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string candidate = hwmonClass + "/" + entry->d_name;
            std::string name;
            if (entry->d_name[0] == '.' || !readSmallFile(candidate + "/name", name) || name != "applesmc")
                continue;
            found = exists(candidate + "/device/key_count") ? candidate + "/device" : candidate;
            break;
        }
        closedir(dir);
    }
    if (!found.empty())
        return found;
    std::string acpi = root + "/sys/bus/acpi/drivers/applesmc/APP0001:00";
    if (exists(acpi + "/key_count"))
        return acpi;
    return {};
}

}  // namespace platform
