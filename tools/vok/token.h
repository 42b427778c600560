// An open token for the length of one command.
#pragma once

#include <vok/vok.h>

#include <string>

namespace vokcli {

// Which token a command works on: its enumeration index (-t), or its usbfs
// device node (--path) when that is given.
struct TokenChoice {
    unsigned index = 0;
    std::string path;
};

class Token {
  public:
    // Opens the chosen token; ends the command with kExitNoToken when none
    // answers there.
    explicit Token(const TokenChoice& choice);
    ~Token();
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    VokHandle handle() const { return handle_; }
    // The token's information record, refreshed by vokGetInfo.
    VokIdInfo info() const;

  private:
    VokHandle handle_;
};

}  // namespace vokcli
