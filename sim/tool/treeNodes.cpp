#include "treeNodes.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace voksimtool {

namespace fs = std::filesystem;

std::vector<std::string> treeNodes(const std::string& tree) {
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& bus : fs::directory_iterator(tree, error)) {
        const std::string busName = bus.path().filename().string();
        if (busName.empty() || busName[0] == '.' || !bus.is_directory()) continue;
        for (const auto& device : fs::directory_iterator(bus.path(), error)) {
            const std::string name = device.path().filename().string();
            if (!name.empty() && name[0] != '.' && device.is_regular_file())
                nodes.push_back(device.path().string());
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

}  // namespace voksimtool
