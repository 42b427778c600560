// Lists the tokens, opens the first one, prints its information, writes a few
// bytes at an odd offset, reads them back and puts the old bytes back: the C
// quickstart, written with <vok/vok.hpp>.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <vok/vok.hpp>

namespace {

constexpr std::uint32_t kOffset = 101;  // odd on purpose: the library merges the shared words

int exercise(const vok::Token& token) {
    const VokIdInfo info = token.info();
    std::printf("token id:       ");
    for (const std::uint8_t byte : info.tokenId) std::printf("%02X", byte);
    std::printf("\nversion:        %u.%u\n", info.versionHigh, info.versionLow);
    std::printf("protocol level: %u\n", info.protocolLevel);
    std::printf("memory:         %u bytes\n", static_cast<unsigned>(info.memorySize));

    const vok::ByteView message = vok::bytes("hello");
    const std::vector<std::uint8_t> saved = token.read(kOffset, message.size());
    token.write(kOffset, message);
    const std::vector<std::uint8_t> readBack = token.read(kOffset, message.size());
    std::printf("read back:      %.*s\n", static_cast<int>(readBack.size()),
                reinterpret_cast<const char*>(readBack.data()));
    token.write(kOffset, saved);
    if (!std::equal(readBack.begin(), readBack.end(), message.begin(), message.end())) {
        (void)std::fprintf(stderr, "the bytes read back differ from the bytes written\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main() {
    try {
        for (const vok::TokenEntry& entry : vok::tokens())
            std::printf("token %u:        %s (product 0x%04x)\n", entry.index, entry.path.c_str(),
                        entry.productId);
        const vok::Token token = vok::Token::open(std::nothrow, 0);
        if (!token) {
            (void)std::fprintf(stderr, "no token found\n");
            return 1;
        }
        return exercise(token);
    } catch (const std::exception& error) {  // vok::Error names the call and the status
        (void)std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
