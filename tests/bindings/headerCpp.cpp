// <vok/vok.hpp> alone: its templates instantiated with the usual argument
// types, at whatever standard and exception mode the compile line sets.
#include <vok/vok.hpp>

int useTheHeader() {
    const vok::Token token = vok::Token::open(std::nothrow, 0);
    const vok::Token byPath = vok::Token::open(std::nothrow, "/dev/bus/usb/001/002");
    std::vector<std::uint8_t> buffer(4);
    std::array<std::uint8_t, 3> fixed{};
    std::uint8_t plain[2] = {};
    const std::string pin = "1234";
    vok::Status status = token.read(std::nothrow, 0, buffer, pin);
    status |= token.write(std::nothrow, 0, fixed, "12");
    status |= token.writeBlock(std::nothrow, VOK_BLOCK_1, 0, vok::bytes("hi"), std::string_view());
    status |= token.readBlock(std::nothrow, VOK_BLOCK_2, 0, plain, nullptr);
#if defined(__cpp_exceptions)
    try {
        token.write(0, buffer, buffer);
    } catch (const vok::Error& error) {
        status |= error.status();
    }
#endif
    return static_cast<int>(status + vok::tokens().size() + (byPath ? 1 : 0));
}
