// The flattened devicetree reader: any bytes are either refused, leaving no
// paths, or give the root first and every other node after its parent.
#include "backends/macsmc/Devicetree.h"
#include "support/FuzzSupport.h"

#include <set>

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> paths;
    if (!platform::macsmc::flattenedTreeNodePaths(data, size, paths)) {
        check(paths.empty(), "a refused blob leaves no paths");
        return 0;
    }
    check(!paths.empty() && paths.front() == "/", "the root comes first");
    std::set<std::string> seen{""};
    for (size_t i = 1; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        check(path.starts_with("/"), "paths are absolute", path);
        check(seen.contains(path.substr(0, path.rfind('/'))), "a node comes after its parent", path);
        seen.insert(path);
    }
    return 0;
}
