// The intel-rapl powercap files over an SMC's CPU power keys.
#include "smcfs/PowercapFiles.h"
#include "encodings/Encodings.h"

#include "smc/CallRecords.h"
#include "smc/smc.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace smcfs {

PowercapFiles::PowercapFiles(io_connect_t connection, Clock clock, uint64_t range)
    : connection_(connection), clock_(std::move(clock)), range_(range)
{
    auto learn = [this](const char* name, const char* domain) {
        SMCVal value{};
        if (SMCReadKey2(name, &value, connection_) != KERN_SUCCESS || value.dataSize == 0 || value.dataSize > 32)
            return false;
        Domain added{domain, encodings::fourCharCode(name), value.dataSize,
                     encodings::fourCharCode(std::string_view(value.dataType, 4))};
        // The counter runs from now, at the power now.
        if (!readWatts(added, added.watts))
            return false;
        added.at = clock_();
        domains_.push_back(added);
        return true;
    };
    if (!learn("PCPC", "package-0") && !learn("PCPT", "package-0"))
        return;
    learn("PC0C", "core");

    nodes_["/"] = Node{.kind = NodeKind::Directory, .mode = 0755};
    addDirectory("/intel-rapl", "/");
    addFile("/intel-rapl", "enabled", 0444, Attribute::Enabled, 0);
    std::string directory = "/intel-rapl";
    for (int domain = 0; domain < int(domains_.size()); ++domain) {
        // The core is a subzone within the package's directory.
        directory += domain == 0 ? "/intel-rapl:0" : "/intel-rapl:0:0";
        addDirectory(directory, directory.substr(0, directory.rfind('/')));
        addFile(directory, "name", 0444, Attribute::Name, domain);
        // Root's alone, as kernels since the PLATYPUS fix have it: the
        // counter's fine steps tell what the CPU computes.
        addFile(directory, "energy_uj", 0400, Attribute::Energy, domain);
        addFile(directory, "max_energy_range_uj", 0444, Attribute::Range, domain);
        addFile(directory, "enabled", 0444, Attribute::Enabled, domain);
    }
}

void PowercapFiles::addDirectory(const std::string& path, const std::string& parent)
{
    nodes_[path] = Node{.kind = NodeKind::Directory, .mode = 0755};
    nodes_[parent].children.push_back(path.substr(path.rfind('/') + 1));
}

void PowercapFiles::addFile(const std::string& directory, const std::string& name, mode_t mode, Attribute attribute,
                            int domain)
{
    Node& node = nodes_[directory + "/" + name];
    node = Node{.kind = NodeKind::File, .mode = mode, .number = domain};
    files_[&node] = attribute;
    nodes_[directory].children.push_back(name);
}

const Node* PowercapFiles::find(std::string_view path) const
{
    auto found = nodes_.find(std::string(path));
    return found == nodes_.end() ? nullptr : &found->second;
}

bool PowercapFiles::readWatts(const Domain& domain, double& watts)
{
    SMCKeyData response;
    if (smc::call(connection_, smc::readRequest(domain.key, domain.size), response) != KERN_SUCCESS)
        return false;
    std::optional<double> value =
        encodings::decode(domain.type, reinterpret_cast<const uint8_t*>(response.bytes), domain.size);
    if (!value || !std::isfinite(*value))
        return false;
    watts = std::max(*value, 0.0);
    return true;
}

int PowercapFiles::energy(Domain& domain, std::string& content)
{
    double watts;
    if (!readWatts(domain, watts))
        return EIO;
    // The power is known only when read: between two readings it is taken
    // to change linearly, so a reader once a poll sees the mean of both ends.
    auto now = clock_();
    double seconds = std::max(std::chrono::duration<double>(now - domain.at).count(), 0.0);
    domain.microjoules = std::fmod(domain.microjoules + (domain.watts + watts) / 2 * seconds * 1e6, double(range_));
    domain.watts = watts;
    domain.at = now;
    content = std::to_string(uint64_t(domain.microjoules)) + "\n";
    return 0;
}

int PowercapFiles::read(const Node& node, std::string& content)
{
    auto found = files_.find(&node);
    if (found == files_.end())
        return EISDIR;
    Domain& domain = domains_[size_t(node.number)];
    switch (found->second) {
    case Attribute::Name:
        content = domain.name + "\n";
        return 0;
    case Attribute::Energy:
        return energy(domain, content);
    case Attribute::Range:
        content = std::to_string(range_) + "\n";
        return 0;
    case Attribute::Enabled:
        content = "1\n";
        return 0;
    }
    return EIO;
}

int PowercapFiles::write(const Node&, std::string_view)
{
    return EACCES;  // no limits to set here: every file is read-only
}

}  // namespace smcfs
