// A whole buffer sent on a stream socket within one time limit. A peer that
// takes a few bytes now and then must not keep a send going for ever, so the
// limit covers the whole buffer, not each partial send.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace voksim::usbip {

// How long a peer may take to accept one reply (or one batch of replies).
inline constexpr std::chrono::milliseconds kSendLimit{5000};

// Whether all of `bytes` went out within `limit`. Never raises SIGPIPE.
bool sendWithin(int fd, const std::vector<uint8_t>& bytes,
                std::chrono::milliseconds limit = kSendLimit);

}  // namespace voksim::usbip
