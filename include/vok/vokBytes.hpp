/*
 * vok for C++ (part of <vok/vok.hpp>): views of the caller's bytes, for the
 * data of a transfer and for PINs, which are never copied.
 */
#ifndef VOK_VOK_BYTES_HPP
#define VOK_VOK_BYTES_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>
#if __has_include(<version>)
#include <version>
#endif
#if defined(__cpp_lib_span) && __cpp_lib_span >= 202002L
#include <span>
#define VOK_HPP_STD_SPAN 1
#endif

namespace vok {

#if defined(VOK_HPP_STD_SPAN)
template <class T>
using Span = std::span<T>;
#else
// The part of std::span that this header needs, for C++17.
template <class T>
class Span {
  public:
    constexpr Span() noexcept = default;
    constexpr Span(T* data, std::size_t size) noexcept : data_(data), size_(size) {}
    template <std::size_t N>
    constexpr Span(T (&array)[N]) noexcept : data_(array), size_(N) {}
    template <class C, class = std::enable_if_t<
                           !std::is_same_v<std::remove_cv_t<std::remove_reference_t<C>>, Span> &&
                           std::is_convertible_v<decltype(std::declval<C&>().data()), T*>>>
    constexpr Span(C&& container) noexcept : data_(container.data()), size_(container.size()) {}
    constexpr T* data() const noexcept { return data_; }
    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr T* begin() const noexcept { return data_; }
    constexpr T* end() const noexcept { return data_ + size_; }

  private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};
#endif

using ByteView = Span<const std::uint8_t>;
using MutableByteView = Span<std::uint8_t>;

// The bytes of a text, as a view (no terminating NUL).
inline ByteView bytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A PIN: a view of the caller's bytes, or no PIN at all (the default).
// An empty but present PIN is passed on as such (the library refuses it).
class Pin {
  public:
    constexpr Pin() noexcept = default;
    constexpr Pin(std::nullptr_t) noexcept {}
    Pin(const char* text) noexcept
        : data_(text), size_(text ? clamp(std::string_view(text).size()) : 0) {}
    // Any contiguous container of one-byte elements: std::string,
    // std::string_view, std::vector<std::uint8_t>, std::array, Span...
    template <class C,
              class E = std::remove_cv_t<
                  std::remove_pointer_t<decltype(std::declval<const C&>().data())>>,
              class = std::enable_if_t<!std::is_same_v<C, Pin> && sizeof(E) == 1 &&
                                       std::is_trivially_copyable_v<E>>>
    Pin(const C& bytes) noexcept : data_(bytes.data()), size_(clamp(bytes.size())) {}
    const void* data() const noexcept { return data_; }
    std::uint32_t size() const noexcept { return size_; }

  private:
    // A PIN longer than 32 bits can count stays too long for the library.
    static std::uint32_t clamp(std::size_t size) noexcept {
        return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(size);
    }
    const void* data_ = nullptr;
    std::uint32_t size_ = 0;
};

// The four security parameter bytes, in the library's order.
using SecurityParameters = std::array<std::uint8_t, 4>;

}  // namespace vok

#endif /* VOK_VOK_BYTES_HPP */
