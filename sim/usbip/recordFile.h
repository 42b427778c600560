// The capture files of --record (vok-sim attach, vok-sim serve): every byte
// a kernel or a client sent, the seeds of the fuzz corpus.
#pragma once

#include <string>

namespace voksim::usbip {

// A capture file created or emptied: the descriptor, or -1 with `error` set.
// A symbolic link planted under its name is not followed, and anything but a
// regular file (a FIFO would block) is refused.
int openRecordFile(const std::string& path, std::string& error);

}  // namespace voksim::usbip
