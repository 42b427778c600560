#include "jsonViews.h"

#include <iostream>

#include "hexText.h"

namespace vokcli {

nlohmann::ordered_json toJson(const VokIdInfo& info) {
    return {
        {"tokenId", toHex(info.tokenId, sizeof info.tokenId)},
        {"flagA", info.flagA},
        {"flagB", info.flagB},
        {"versionHigh", info.versionHigh},
        {"versionLow", info.versionLow},
        {"memoryModel", info.memoryModel},
        {"protocolLevel", info.protocolLevel},
        {"infoByte", info.infoByte},
        {"memorySize", info.memorySize},
        {"pinAddress", info.pinAddress},
        {"pinControlAddress", info.pinControlAddress},
    };
}

nlohmann::ordered_json toJson(const VokIdResponse& response) {
    return {
        {"status", response.status},
        {"pinPhaseReply", response.pinPhaseReply},
        {"versionNibbles", response.versionNibbles},
        {"memoryModel", response.memoryModel},
        {"protocolLevel", response.protocolLevel},
        {"infoByte", response.infoByte},
        {"memoryUnits", response.memoryUnits},
    };
}

void printJson(const nlohmann::ordered_json& document) { std::cout << document.dump(2) << '\n'; }

}  // namespace vokcli
