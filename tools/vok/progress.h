// A progress bar for long transfers, drawn on stderr only when stderr is a
// terminal; otherwise it prints nothing at all.
#pragma once

#include <cstdint>
#include <string>

namespace vokcli {

class Progress {
  public:
    // Shown only if the transfer takes more than one step and stderr is a
    // terminal.
    Progress(std::string label, uint64_t total, bool severalSteps);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(uint64_t done);
    // Ends the bar's line, so that what follows on stderr starts afresh.
    void finish();

  private:
    std::string label_;
    uint64_t total_;
    bool shown_;
    bool drawn_ = false;
};

}  // namespace vokcli
