#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace vokcli {

namespace {
constexpr unsigned kBarWidth = 30;
}

Progress::Progress(std::string label, uint64_t total, bool severalSteps)
    : label_(std::move(label)), total_(total), shown_(severalSteps && isatty(STDERR_FILENO) == 1) {
    update(0);
}

Progress::~Progress() { finish(); }

void Progress::update(uint64_t done) {
    if (!shown_ || total_ == 0) {
        return;
    }
    unsigned filled = static_cast<unsigned>(done * kBarWidth / total_);
    unsigned percent = static_cast<unsigned>(done * 100 / total_);
    std::string bar(filled, '#');
    bar.resize(kBarWidth, ' ');
    // The bar is a courtesy: a failed write to stderr leaves nothing to do.
    (void)std::fprintf(stderr, "\r%s [%s] %3u%% %llu/%llu bytes", label_.c_str(), bar.c_str(),
                       percent, static_cast<unsigned long long>(done),
                       static_cast<unsigned long long>(total_));
    (void)std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (drawn_) {
        (void)std::fputc('\n', stderr);
        (void)std::fflush(stderr);
        drawn_ = false;
    }
}

}  // namespace vokcli
