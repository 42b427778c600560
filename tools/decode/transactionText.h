// What `vok decode` prints of a transaction: one line of text, or one JSON
// object; and, on request, its packets with PIN and memory bytes masked.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "tokenDecoder.h"

namespace vokdecode {

// "read 64 bytes at offset 5: status 0"
std::string summary(const Transaction& transaction);
// "1.002 read tag 0x5a block 0 PIN user: phases 0 1 2 3; read 8 bytes at offset 0: status 0"
std::string textLine(const Transaction& transaction);
nlohmann::json jsonObject(const Transaction& transaction);
// One line per packet and reply, indented; PIN and memory bytes as ** unless `showSecrets`.
std::string packetLines(const Transaction& transaction, bool showSecrets);

}  // namespace vokdecode
