// An open token for the length of one command.
#pragma once

#include <vok/vok.h>

namespace vokcli {

class Token {
  public:
    // Opens the token at enumeration index `index`; ends the command with
    // kExitNoToken when none answers there.
    explicit Token(unsigned index);
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
