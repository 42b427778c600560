#include "usbip/treeNodes.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace voksim::usbip {

namespace fs = std::filesystem;

// Through the overloads that report by `error`: an entry that cannot be
// examined (a symbolic-link loop, a directory removed meanwhile) is left out,
// and never throws into the server's connection threads.
std::vector<std::string> treeNodes(const std::string& tree) {
    std::vector<std::string> nodes;
    const fs::directory_iterator end;
    std::error_code error;
    for (fs::directory_iterator bus(tree, error); !error && bus != end; bus.increment(error)) {
        const std::string busName = bus->path().filename().string();
        std::error_code busError;
        if (busName.empty() || busName[0] == '.' || !bus->is_directory(busError)) continue;
        for (fs::directory_iterator device(bus->path(), busError); !busError && device != end;
             device.increment(busError)) {
            const std::string name = device->path().filename().string();
            std::error_code typeError;
            if (!name.empty() && name[0] != '.' && device->is_regular_file(typeError))
                nodes.push_back(device->path().string());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

NodeAddress addressOf(const std::string& node) {
    const fs::path path(node);
    return NodeAddress{
        static_cast<unsigned>(std::strtoul(path.parent_path().filename().c_str(), nullptr, 10)),
        static_cast<unsigned>(std::strtoul(path.filename().c_str(), nullptr, 10))};
}

}  // namespace voksim::usbip
