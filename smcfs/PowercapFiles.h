// The directory of Linux's intel-rapl powercap driver
// (/sys/devices/virtual/powercap), made from an SMC's CPU power keys, for
// programs that follow the CPU's energy counter: intel-rapl/intel-rapl:0
// ("package-0") and, where the SMC tells the cores apart, its
// intel-rapl:0:0 ("core"), each with energy_uj integrating the key's watts.
#pragma once

#include "smcfs/DriverFiles.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace smcfs {

class PowercapFiles final : public FileTree {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Where the counter wraps on the CPUs these machines have: 2^32 units
    // of 61.035 µJ.
    static constexpr uint64_t kEnergyRange = 262143328850;

    // Learns which power keys the SMC behind `connection` (not owned) has:
    // the package is the first of PCPC and PCPT that answers, the cores
    // PC0C. The counters start at 0 now, by `clock`, and wrap at `range` µJ.
    explicit PowercapFiles(io_connect_t connection, Clock clock = std::chrono::steady_clock::now,
                           uint64_t range = kEnergyRange);

    // False when the SMC has no package power key: nothing to serve.
    bool hasPower() const { return !domains_.empty(); }

    const Node* find(std::string_view path) const override;
    // energy_uj: the counter now, in µJ; EIO when the key fails to read.
    int read(const Node& node, std::string& content) override;
    int write(const Node& node, std::string_view text) override;

private:
    enum class Attribute { Name, Energy, Range, Enabled };
    struct Domain {
        std::string name;  // "package-0", "core"
        FourCharCode key;
        uint32_t size;
        FourCharCode type;
        double microjoules = 0;  // the counter, within [0, range)
        double watts = 0;        // at the last reading
        std::chrono::steady_clock::time_point at;
    };

    bool readWatts(const Domain& domain, double& watts);
    int energy(Domain& domain, std::string& content);
    void addDirectory(const std::string& path, const std::string& parent);
    void addFile(const std::string& directory, const std::string& name, mode_t mode, Attribute attribute,
                 int domain);

    io_connect_t connection_;
    Clock clock_;
    uint64_t range_;
    std::vector<Domain> domains_;  // the package first
    std::unordered_map<std::string, Node> nodes_;
    std::unordered_map<const Node*, Attribute> files_;
};

}  // namespace smcfs
