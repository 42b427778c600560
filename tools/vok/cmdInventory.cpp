// vok list, vok info.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "commonOptions.h"
#include "failure.h"
#include "hexText.h"
#include "jsonViews.h"
#include "token.h"
#include "usbScan.h"

namespace vokcli {

namespace {

struct ListRow {
    const FoundToken* token;
    std::optional<VokIdInfo> info;  // nothing: not asked, or the token did not answer
};

// With `identify`, opens each token of the listing in turn for its
// information: that resets it. Other devices are never sent anything.
std::vector<ListRow> collectRows(const std::vector<FoundToken>& tokens, bool identify) {
    std::vector<ListRow> rows;
    for (const FoundToken& token : tokens) {
        ListRow row{&token, std::nullopt};
        VokHandle handle = identify ? vokOpenPath(token.path.c_str()) : VOK_INVALID_HANDLE;
        if (handle != VOK_INVALID_HANDLE) {
            VokIdInfo info{};
            if (vokGetInfo(handle, &info, sizeof info) == 0) row.info = info;
            vokClose(handle);
        }
        rows.push_back(row);
    }
    return rows;
}

std::string productText(uint16_t productId) {
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%04x", productId);
    return text;
}

// The columns of the listing, then those that opening each token adds; no
// line ends in blanks.
void printTable(const std::vector<ListRow>& rows, bool identify) {
    size_t pathWidth = 4;
    for (const ListRow& row : rows) pathWidth = std::max(pathWidth, row.token->path.size());
    int width = static_cast<int>(pathWidth);
    std::printf("%-5s  %-*s  %3s  %6s  %s", "INDEX", width, "PATH", "BUS", "DEVICE", "PRODUCT");
    if (identify) std::printf("  %-16s  %6s  %5s", "TOKEN ID", "MEMORY", "LEVEL");
    std::printf("\n");
    for (const ListRow& row : rows) {
        const FoundToken& token = *row.token;
        std::printf("%-5u  %-*s  %3u  %6u  %s", token.index, width, token.path.c_str(),
                    token.busNumber, token.deviceNumber, productText(token.productId).c_str());
        if (row.info) {
            std::printf("   %-16s  %6u  %5u",
                        toHex(row.info->tokenId, sizeof row.info->tokenId).c_str(),
                        row.info->memorySize, row.info->protocolLevel);
        } else if (identify) {
            std::printf("   %s", "(does not answer)");
        }
        std::printf("\n");
    }
}

void noteUnreachableTokens() {
    int unreachable = 0;
    for (const UsbNode& node : inspectUsbfs().nodes) {
        if (node.isToken && !node.readWrite) ++unreachable;
    }
    if (unreachable > 0) {
        (void)std::fprintf(stderr,
                           "vok: %d token node(s) cannot be opened for reading and writing by this "
                           "user; see 'vok doctor'\n",
                           unreachable);
    }
}

int runList(bool json, bool identify) {
    const std::vector<FoundToken> tokens = libraryTokens();
    std::vector<ListRow> rows = collectRows(tokens, identify);
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const ListRow& row : rows) {
            nlohmann::ordered_json entry = {{"index", row.token->index},
                                            {"path", row.token->path},
                                            {"busNumber", row.token->busNumber},
                                            {"deviceNumber", row.token->deviceNumber},
                                            {"productId", row.token->productId}};
            if (identify) entry["answers"] = row.info.has_value();
            if (row.info) entry.update(toJson(*row.info));
            list.push_back(entry);
        }
        printJson(list);
    } else if (rows.empty()) {
        (void)std::fprintf(stderr, "vok: no token found; see 'vok doctor'\n");
    } else {
        printTable(rows, identify);
    }
    noteUnreachableTokens();
    return kExitOk;
}

// The listing's entry of the chosen token, or null.
const FoundToken* listed(const std::vector<FoundToken>& tokens, const TokenChoice& choice) {
    if (choice.path.empty()) return tokenAtIndex(tokens, choice.index);
    for (const FoundToken& token : tokens) {
        if (token.path == choice.path) return &token;
    }
    return nullptr;
}

int runInfo(const TokenChoice& choice, bool json) {
    const std::vector<FoundToken> tokens = libraryTokens();
    const FoundToken* node = listed(tokens, choice);
    Token token(choice);
    VokIdInfo info = token.info();
    // A path that names the node in other words than the listing has no entry.
    const std::string path = node ? node->path : choice.path;
    const std::optional<unsigned> index =
        node ? std::optional<unsigned>(node->index)
             : (choice.path.empty() ? std::optional<unsigned>(choice.index) : std::nullopt);
    if (json) {
        nlohmann::ordered_json document;
        document["index"] = index ? nlohmann::ordered_json(*index) : nullptr;
        document["path"] =
            path.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(path);
        document["productId"] = node ? nlohmann::ordered_json(node->productId) : nullptr;
        document.update(toJson(info));
        printJson(document);
        return kExitOk;
    }
    std::printf("%-18s%s\n", "index", index ? std::to_string(*index).c_str() : "(unknown)");
    std::printf("%-18s%s\n", "path", path.empty() ? "(unknown)" : path.c_str());
    std::printf("%-18s%s\n", "product ID",
                node ? productText(node->productId).c_str() : "(unknown)");
    std::printf("%-18s%s\n", "token ID", toHex(info.tokenId, sizeof info.tokenId).c_str());
    std::printf("%-18s%u.%u\n", "version", info.versionHigh, info.versionLow);
    std::printf("%-18s%u\n", "memory model", info.memoryModel);
    std::printf("%-18s%u bytes\n", "memory size", info.memorySize);
    std::printf("%-18s%u\n", "protocol level", info.protocolLevel);
    std::printf("%-18s%u\n", "PIN address", info.pinAddress);
    std::printf("%-18s%u\n", "PIN control word", info.pinControlAddress);
    std::printf("%-18sA=%u B=%u\n", "flags", info.flagA, info.flagB);
    std::printf("%-18s0x%02x\n", "info byte", info.infoByte);
    return kExitOk;
}

}  // namespace

void registerInventoryCommands(CLI::App& app, CommandTable& table) {
    struct ListOptions {
        bool json = false;
        bool identify = false;
    };
    auto listOptions = std::make_shared<ListOptions>();
    CLI::App* list = app.add_subcommand(
        "list",
        "List the tokens: index, device path, bus and device number, product ID; nothing is "
        "sent to any token");
    list->add_flag("--reset-and-identify", listOptions->identify,
                   "Also open each token for its token ID, memory size and protocol level: "
                   "this resets each token (0.3 to 0.5 s each on a real bus)");
    addJsonOption(*list, listOptions->json);
    table.add(list, [listOptions] { return runList(listOptions->json, listOptions->identify); });

    struct InfoOptions {
        TokenChoice token;
        bool json = false;
    };
    auto options = std::make_shared<InfoOptions>();
    CLI::App* info = app.add_subcommand("info", "Show a token's information record");
    addTokenOption(*info, options->token);
    addJsonOption(*info, options->json);
    table.add(info, [options] { return runInfo(options->token, options->json); });
}

}  // namespace vokcli
