// Builds against the installed <vok/vok.hpp> and calls into the library.
#include <vok/vok.hpp>

int main() {
    vok::Token stale(VOK_INVALID_HANDLE - 1);
    VokIdInfo info{};
    const bool ok = stale.info(std::nothrow, info) == VOK_STATUS_BAD_HANDLE;
    (void)stale.release();
    return ok ? 0 : 1;
}
