// Bytes of a PIN, wiped from memory when they go out of scope.
#pragma once

#include <string.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace vokcli {

class Secret {
  public:
    Secret() = default;
    explicit Secret(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    Secret& operator=(Secret&& other) noexcept {
        wipe();
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
        return *this;
    }
    ~Secret() { wipe(); }

    const uint8_t* data() const { return bytes_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    bool operator==(const Secret& other) const { return bytes_ == other.bytes_; }

  private:
    void wipe() {
        if (!bytes_.empty()) {
            explicit_bzero(bytes_.data(), bytes_.size());
        }
        bytes_.clear();
    }
    std::vector<uint8_t> bytes_;
};

}  // namespace vokcli
