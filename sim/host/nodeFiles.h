// The files of a virtual token: its device node, its state file and its log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "voksim/tokenModel.h"

namespace voksim {

inline constexpr size_t kDescriptorSize = 18;
inline constexpr size_t kTokenNodeSize = 32;
inline constexpr char kNodeMarker[8] = {'V', 'O', 'K', 'S', 'I', 'M', '1', '\0'};
inline constexpr size_t kMarkerOffset = 18;
inline constexpr size_t kGenerationOffset = 26;
inline constexpr char kLogMagic[8] = {'V', 'O', 'K', 'L', 'O', 'G', '1', '\0'};

// The node's contents: device descriptor, and for a token the marker and the
// plug generation.
void buildDescriptor(uint8_t* out, uint16_t idVendor, uint16_t idProduct, uint16_t bcdDevice);
void buildTokenNode(uint8_t* out, const TokenIdentity& identity, uint32_t generation);
// Whether `bytes` (at least kTokenNodeSize) are a token node; its generation.
bool parseTokenNode(const uint8_t* bytes, size_t length, uint32_t& generation);

// "DIR/.NAME.state" and "DIR/.NAME.log" for the node "DIR/NAME".
std::string siblingPath(const std::string& node, const char* suffix);

// Writes `length` bytes to `path` through a hidden temporary file and a
// rename, so that no reader ever sees a partial file. Returns false on error.
bool writeFileAtomically(const std::string& path, const void* bytes, size_t length);
bool makeDirectories(const std::string& path);

}  // namespace voksim
