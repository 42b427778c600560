// vok list, vok info.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "failure.h"
#include "hexText.h"
#include "jsonViews.h"
#include "token.h"
#include "usbScan.h"

namespace vokcli {

namespace {

struct ListRow {
    const FoundToken* token;
    std::optional<VokIdInfo> info;  // nothing: the token did not answer
};

// Opens each token of the library's scan in turn for its information, so no
// other device is sent anything.
std::vector<ListRow> collectRows(const std::vector<FoundToken>& tokens) {
    std::vector<ListRow> rows;
    for (const FoundToken& token : tokens) {
        ListRow row{&token, std::nullopt};
        VokHandle handle = vokOpen(static_cast<uint8_t>(token.index));
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

void printTable(const std::vector<ListRow>& rows) {
    size_t pathWidth = 4;
    for (const ListRow& row : rows) pathWidth = std::max(pathWidth, row.token->path.size());
    int width = static_cast<int>(pathWidth);
    std::printf("%-5s  %-*s  %-7s  %-16s  %6s  %5s\n", "INDEX", width, "PATH", "PRODUCT",
                "TOKEN ID", "MEMORY", "LEVEL");
    for (const ListRow& row : rows) {
        std::string product = productText(row.token->productId);
        if (row.info) {
            std::printf("%-5u  %-*s  %-7s  %-16s  %6u  %5u\n", row.token->index, width,
                        row.token->path.c_str(), product.c_str(),
                        toHex(row.info->tokenId, sizeof row.info->tokenId).c_str(),
                        row.info->memorySize, row.info->protocolLevel);
        } else {
            std::printf("%-5u  %-*s  %-7s  %s\n", row.token->index, width, row.token->path.c_str(),
                        product.c_str(), "(does not answer)");
        }
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

int runList(bool json) {
    const std::vector<FoundToken> tokens = libraryTokens();
    std::vector<ListRow> rows = collectRows(tokens);
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const ListRow& row : rows) {
            nlohmann::ordered_json entry = {{"index", row.token->index},
                                            {"path", row.token->path},
                                            {"productId", row.token->productId},
                                            {"answers", row.info.has_value()}};
            if (row.info) entry.update(toJson(*row.info));
            list.push_back(entry);
        }
        printJson(list);
    } else if (rows.empty()) {
        (void)std::fprintf(stderr, "vok: no token found; see 'vok doctor'\n");
    } else {
        printTable(rows);
    }
    noteUnreachableTokens();
    return kExitOk;
}

int runInfo(unsigned index, bool json) {
    const std::vector<FoundToken> tokens = libraryTokens();
    const FoundToken* node = tokenAtIndex(tokens, index);
    Token token(index);
    VokIdInfo info = token.info();
    if (json) {
        nlohmann::ordered_json document = {{"index", index}};
        document["path"] = node ? nlohmann::ordered_json(node->path) : nullptr;
        document["productId"] = node ? nlohmann::ordered_json(node->productId) : nullptr;
        document.update(toJson(info));
        printJson(document);
        return kExitOk;
    }
    std::printf("%-18s%u\n", "index", index);
    std::printf("%-18s%s\n", "path", node ? node->path.c_str() : "(unknown)");
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
    auto listJson = std::make_shared<bool>(false);
    CLI::App* list = app.add_subcommand(
        "list",
        "List the tokens: index, device path, product ID, token ID, memory size, protocol "
        "level");
    addJsonOption(*list, *listJson);
    table.add(list, [listJson] { return runList(*listJson); });

    struct InfoOptions {
        unsigned token = 0;
        bool json = false;
    };
    auto options = std::make_shared<InfoOptions>();
    CLI::App* info = app.add_subcommand("info", "Show a token's information record");
    addTokenOption(*info, options->token);
    addJsonOption(*info, options->json);
    table.add(info, [options] { return runInfo(options->token, options->json); });
}

}  // namespace vokcli
