/*
 * vok for C++: a header-only layer over <vok/vok.h> (C++17 and later).
 *
 *   vok::Token token = vok::Token::open(0);          // closes itself
 *   vok::Token other(vok::tokens().at(1).path);       // or by its device node
 *   VokIdInfo info = token.info();
 *   token.write(16, vok::bytes("hello"));
 *   std::vector<std::uint8_t> back = token.read(16, 5);
 *
 * Every operation has two forms: one that throws vok::Error for a status
 * other than 0, and one that takes std::nothrow first and returns the status
 * (the only forms compiled without exceptions). Operations are const and may
 * be called from any thread on one shared Token, as the library allows.
 * PINs are passed as vok::Pin, a view of the caller's bytes: the wrapper makes
 * no copy of a PIN, so wiping it stays with its owner.
 */
#ifndef VOK_VOK_HPP
#define VOK_VOK_HPP

#include <vok/vok.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "vokBytes.hpp"
#include "vokDiagnostics.hpp"

namespace vok {

// One token that discovery finds: Token(path) opens it; Token::open(index)
// only while the index is below 256 (vokOpen takes one byte).
struct TokenEntry {
    unsigned index = 0;
    std::string path;  // the usbfs device node
    std::uint16_t productId = 0;
    unsigned busNumber = 0;     // 0 when the bus directory's name is not a number
    unsigned deviceNumber = 0;  // 0 when the node's name is not a number
};

namespace detail {

// Lengths the C interface carries as 32 bits; a larger one is a bad argument.
inline bool fits32(std::size_t size) noexcept { return size <= 0xFFFFFFFFu; }
inline std::uint32_t size32(std::size_t size) noexcept { return static_cast<std::uint32_t>(size); }

// The C functions require a response record; a caller may not want one.
class ResponseSlot {
  public:
    explicit ResponseSlot(VokIdResponse* caller) noexcept : target_(caller ? caller : &own_) {}
    VokIdResponse* get() noexcept { return target_; }

  private:
    VokIdResponse own_{};
    VokIdResponse* target_;
};

}  // namespace detail

// Lists the tokens found now, in the order of their enumeration index
// (vokListTokens): only device descriptors are read, nothing is sent to any
// token. Empty when none is found.
inline std::vector<TokenEntry> tokens() {
    std::vector<VokTokenEntry> entries(4);
    std::uint32_t count = 0;
    // A token plugged in between two calls can make the array short again.
    while (vokListTokens(entries.data(), detail::size32(entries.size()), &count) == VOK_STATUS_OK &&
           count > entries.size()) {
        entries.resize(count);
    }
    std::vector<TokenEntry> result;
    for (std::uint32_t i = 0; i < count && i < entries.size(); ++i) {
        const VokTokenEntry& entry = entries[i];
        result.push_back(TokenEntry{entry.index, entry.path, entry.productId, entry.busNumber,
                                    entry.deviceNumber});
    }
    return result;
}

// An open token: owns one handle and closes it when destroyed. Move-only.
// The operations are const: threads may share one Token (not its moves).
class Token {
  public:
    Token() noexcept = default;
    // Takes over a handle from vokOpen.
    explicit Token(VokHandle handle) noexcept : handle_(handle) {}
    Token(Token&& other) noexcept : handle_(other.release()) {}
    Token& operator=(Token&& other) noexcept {
        if (this != &other) {
            (void)close();
            handle_ = other.release();
        }
        return *this;
    }
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;
    ~Token() { (void)close(); }

    // The token at enumeration index `index` (0 to 255); empty if none answers.
    static Token open(std::nothrow_t, unsigned index) noexcept {
        return Token(index <= 0xFFu ? vokOpen(static_cast<std::uint8_t>(index))
                                    : VOK_INVALID_HANDLE);
    }
    // The token whose usbfs device node is `path` (vokOpenPath); empty if
    // there is none, with lastSystemError() saying why.
    static Token open(std::nothrow_t, const std::string& path) noexcept {
        return Token(vokOpenPath(path.c_str()));
    }
    VokHandle handle() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != VOK_INVALID_HANDLE; }
    // Gives the handle up without closing it; the Token becomes empty.
    VokHandle release() noexcept { return std::exchange(handle_, VOK_INVALID_HANDLE); }
    // Closes the handle now (waiting for a call in flight on it); 0 when empty.
    Status close() noexcept { return *this ? vokClose(release()) : VOK_STATUS_OK; }

    // ---- Non-throwing forms: each returns the library's status. ----------

    Status info(std::nothrow_t, VokIdInfo& info) const noexcept {
        return vokGetInfo(handle_, &info, sizeof info);
    }
    // Runs a request record built by the caller; `length` leading bytes take
    // part (128 to 16512). The status is the record's status byte.
    Status command(std::nothrow_t, TDRVREQUEST_MEK& request,
                   std::uint32_t length = VOK_REQUEST_SIZE) const noexcept {
        // vokCommand leaves the record untouched for a bad length, so the
        // status byte would not tell: refuse it here.
        if (length < VOK_REQUEST_HEADER_SIZE || length > VOK_REQUEST_SIZE)
            return VOK_STATUS_BAD_ARGUMENT;
        return vokCommand(handle_, &request, length) ? VOK_STATUS_OK : request.status;
    }
    Status read(std::nothrow_t, std::uint32_t offset, MutableByteView out, Pin pin = {},
                VokIdResponse* response = nullptr) const noexcept {
        if (!detail::fits32(out.size())) return VOK_STATUS_BAD_ARGUMENT;
        detail::ResponseSlot slot(response);
        return vokRead(handle_, pin.data(), pin.size(), offset, out.data(),
                       detail::size32(out.size()), slot.get());
    }
    Status write(std::nothrow_t, std::uint32_t offset, ByteView data, Pin pin = {},
                 VokIdResponse* response = nullptr) const noexcept {
        if (!detail::fits32(data.size())) return VOK_STATUS_BAD_ARGUMENT;
        detail::ResponseSlot slot(response);
        return vokWrite(handle_, pin.data(), pin.size(), offset, data.data(),
                        detail::size32(data.size()), slot.get());
    }
    Status readBlock(std::nothrow_t, BLOCK_ID block, std::uint32_t offset, MutableByteView out,
                     Pin pin = {}, VokIdResponse* response = nullptr) const noexcept {
        if (!detail::fits32(out.size())) return VOK_STATUS_BAD_ARGUMENT;
        detail::ResponseSlot slot(response);
        return vokReadEx(handle_, block, pin.data(), pin.size(), offset, out.data(),
                         detail::size32(out.size()), slot.get());
    }
    Status writeBlock(std::nothrow_t, BLOCK_ID block, std::uint32_t offset, ByteView data,
                      Pin pin = {}, VokIdResponse* response = nullptr) const noexcept {
        if (!detail::fits32(data.size())) return VOK_STATUS_BAD_ARGUMENT;
        detail::ResponseSlot slot(response);
        return vokWriteEx(handle_, block, pin.data(), pin.size(), offset, data.data(),
                          detail::size32(data.size()), slot.get());
    }
    // Initialises the token; a non-empty `newPin` becomes its first PIN.
    Status initialize(std::nothrow_t, Pin newPin = {}, bool pinUse = false, Pin pin = {},
                      VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokInitialize(handle_, pin.data(), pin.size(), newPin.data(), newPin.size(), pinUse,
                             slot.get());
    }
    // Initialises a block (vokInitializeBlock without provisioning).
    Status initializeBlock(std::nothrow_t, BLOCK_ID block, TYPE_PIN pinType = VOK_PIN_USER,
                           Pin pin = {}, VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokInitializeBlock(handle_, pinType, block, pin.data(), pin.size(), nullptr, 0, 0,
                                  false, slot.get());
    }
    // Initialises a block, then gives it a vendor ID, a user PIN and PIN use.
    Status provisionBlock(std::nothrow_t, BLOCK_ID block, std::uint16_t vendorId, Pin newPin,
                          TYPE_PIN pinType = VOK_PIN_USER, Pin pin = {},
                          VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokInitializeBlock(handle_, pinType, block, pin.data(), pin.size(), newPin.data(),
                                  newPin.size(), vendorId, true, slot.get());
    }
    Status setPin(std::nothrow_t, BLOCK_ID block, TYPE_PIN pinType, Pin newPin, Pin pin = {},
                  VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokSetPin(handle_, pinType, block, pin.data(), pin.size(), newPin.data(),
                         newPin.size(), slot.get());
    }
    Status setBlockPinUse(std::nothrow_t, BLOCK_ID block, PIN_USE pinUse,
                          PIN_SET_PERMISSIONS permissions, Pin pin = {},
                          VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokSetBlockPinUse(handle_, block, pin.data(), pin.size(), pinUse, permissions,
                                 slot.get());
    }
    Status vendorId(std::nothrow_t, BLOCK_ID block, std::uint16_t& vendorId,
                    VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokGetVendorId(handle_, block, &vendorId, slot.get());
    }
    Status setVendorId(std::nothrow_t, BLOCK_ID block, std::uint16_t vendorId, Pin pin = {},
                       VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokSetVendorId(handle_, block, pin.data(), pin.size(), vendorId, slot.get());
    }
    Status blockAttributes(std::nothrow_t, BLOCK_ID block, std::uint16_t& attributes,
                           VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokGetBlockAttr(handle_, block, &attributes, slot.get());
    }
    // Sets the read/write permissions; `attributes` gets the new attribute word.
    Status setBlockAttributes(std::nothrow_t, BLOCK_ID block, RW_PERMISSIONS permissions,
                              std::uint16_t& attributes, Pin pin,
                              VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokSetBlockAttr(handle_, block, pin.data(), pin.size(), permissions, &attributes,
                               slot.get());
    }
    Status lockBlock(std::nothrow_t, BLOCK_ID block, ACCESS access, Pin pin,
                     VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokLockBlock(handle_, block, pin.data(), pin.size(), access, slot.get());
    }
    Status setSecurityParameters(std::nothrow_t, const SecurityParameters& parameters, Pin pin,
                                 VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokSetSecParameters(handle_, pin.data(), pin.size(), parameters[0], parameters[1],
                                   parameters[2], parameters[3], slot.get());
    }
    Status securityParameters(std::nothrow_t, SecurityParameters& parameters,
                              VokIdResponse* response = nullptr) const noexcept {
        detail::ResponseSlot slot(response);
        return vokGetSecParameters(handle_, &parameters[0], &parameters[1], &parameters[2],
                                   &parameters[3], slot.get());
    }

#if defined(__cpp_exceptions)
    // ---- Throwing forms: vok::Error for any status other than 0. ---------

    static Token open(unsigned index) {
        Token token = open(std::nothrow, index);
        if (!token) {
            throw Error("vokOpen", VOK_STATUS_BAD_HANDLE,
                        "vokOpen: no token answers at index " + std::to_string(index));
        }
        return token;
    }
    // The token at `path`, or vok::Error (status 9; systemError() says why:
    // ENOENT, ENODEV for a device that is no token, ...).
    explicit Token(const std::string& path) : Token(open(std::nothrow, path)) {
        if (!*this) {
            throw Error("vokOpenPath", VOK_STATUS_BAD_HANDLE,
                        "vokOpenPath: no token answers at " + path);
        }
    }
    static Token open(const std::string& path) { return Token(path); }
    VokIdInfo info() const {
        VokIdInfo result{};
        detail::check("vokGetInfo", info(std::nothrow, result));
        return result;
    }
    void command(TDRVREQUEST_MEK& request, std::uint32_t length = VOK_REQUEST_SIZE) const {
        detail::check("vokCommand", command(std::nothrow, request, length));
    }
    std::vector<std::uint8_t> read(std::uint32_t offset, std::uint32_t length, Pin pin = {},
                                   VokIdResponse* response = nullptr) const {
        std::vector<std::uint8_t> data(length);
        detail::check("vokRead", read(std::nothrow, offset, data, pin, response));
        return data;
    }
    void read(std::uint32_t offset, MutableByteView out, Pin pin = {},
              VokIdResponse* response = nullptr) const {
        detail::check("vokRead", read(std::nothrow, offset, out, pin, response));
    }
    void write(std::uint32_t offset, ByteView data, Pin pin = {},
               VokIdResponse* response = nullptr) const {
        detail::check("vokWrite", write(std::nothrow, offset, data, pin, response));
    }
    std::vector<std::uint8_t> readBlock(BLOCK_ID block, std::uint32_t offset, std::uint32_t length,
                                        Pin pin = {}, VokIdResponse* response = nullptr) const {
        std::vector<std::uint8_t> data(length);
        detail::check("vokReadEx", readBlock(std::nothrow, block, offset, data, pin, response));
        return data;
    }
    void readBlock(BLOCK_ID block, std::uint32_t offset, MutableByteView out, Pin pin = {},
                   VokIdResponse* response = nullptr) const {
        detail::check("vokReadEx", readBlock(std::nothrow, block, offset, out, pin, response));
    }
    void writeBlock(BLOCK_ID block, std::uint32_t offset, ByteView data, Pin pin = {},
                    VokIdResponse* response = nullptr) const {
        detail::check("vokWriteEx", writeBlock(std::nothrow, block, offset, data, pin, response));
    }
    void initialize(Pin newPin = {}, bool pinUse = false, Pin pin = {},
                    VokIdResponse* response = nullptr) const {
        detail::check("vokInitialize", initialize(std::nothrow, newPin, pinUse, pin, response));
    }
    void initializeBlock(BLOCK_ID block, TYPE_PIN pinType = VOK_PIN_USER, Pin pin = {},
                         VokIdResponse* response = nullptr) const {
        detail::check("vokInitializeBlock",
                      initializeBlock(std::nothrow, block, pinType, pin, response));
    }
    void provisionBlock(BLOCK_ID block, std::uint16_t vendorId, Pin newPin,
                        TYPE_PIN pinType = VOK_PIN_USER, Pin pin = {},
                        VokIdResponse* response = nullptr) const {
        detail::check("vokInitializeBlock", provisionBlock(std::nothrow, block, vendorId, newPin,
                                                           pinType, pin, response));
    }
    void setPin(BLOCK_ID block, TYPE_PIN pinType, Pin newPin, Pin pin = {},
                VokIdResponse* response = nullptr) const {
        detail::check("vokSetPin", setPin(std::nothrow, block, pinType, newPin, pin, response));
    }
    void setBlockPinUse(BLOCK_ID block, PIN_USE pinUse, PIN_SET_PERMISSIONS permissions,
                        Pin pin = {}, VokIdResponse* response = nullptr) const {
        detail::check("vokSetBlockPinUse",
                      setBlockPinUse(std::nothrow, block, pinUse, permissions, pin, response));
    }
    std::uint16_t vendorId(BLOCK_ID block, VokIdResponse* response = nullptr) const {
        std::uint16_t result = 0;
        detail::check("vokGetVendorId", vendorId(std::nothrow, block, result, response));
        return result;
    }
    void setVendorId(BLOCK_ID block, std::uint16_t vendorId, Pin pin = {},
                     VokIdResponse* response = nullptr) const {
        detail::check("vokSetVendorId", setVendorId(std::nothrow, block, vendorId, pin, response));
    }
    std::uint16_t blockAttributes(BLOCK_ID block, VokIdResponse* response = nullptr) const {
        std::uint16_t result = 0;
        detail::check("vokGetBlockAttr", blockAttributes(std::nothrow, block, result, response));
        return result;
    }
    // Returns the new attribute word.
    std::uint16_t setBlockAttributes(BLOCK_ID block, RW_PERMISSIONS permissions, Pin pin,
                                     VokIdResponse* response = nullptr) const {
        std::uint16_t result = 0;
        detail::check("vokSetBlockAttr",
                      setBlockAttributes(std::nothrow, block, permissions, result, pin, response));
        return result;
    }
    void lockBlock(BLOCK_ID block, ACCESS access, Pin pin,
                   VokIdResponse* response = nullptr) const {
        detail::check("vokLockBlock", lockBlock(std::nothrow, block, access, pin, response));
    }
    void setSecurityParameters(const SecurityParameters& parameters, Pin pin,
                               VokIdResponse* response = nullptr) const {
        detail::check("vokSetSecParameters",
                      setSecurityParameters(std::nothrow, parameters, pin, response));
    }
    SecurityParameters securityParameters(VokIdResponse* response = nullptr) const {
        SecurityParameters result{};
        detail::check("vokGetSecParameters", securityParameters(std::nothrow, result, response));
        return result;
    }
#endif

  private:
    VokHandle handle_ = VOK_INVALID_HANDLE;
};

// One change that a Monitor reports.
struct MonitorEvent {
    enum Kind : std::uint32_t {
        arrived = VOK_MONITOR_ARRIVED,  // usable: this process can open it
        left = VOK_MONITOR_LEFT,
        refused = VOK_MONITOR_REFUSED,  // present, but not openable read-write
    };
    Kind kind = arrived;
    int error = 0;     // refused: the errno of the open (EACCES)
    TokenEntry token;  // index: VOK_MONITOR_NO_INDEX when it has none
};

// Watches tokens arrive and leave (vokMonitorCreate): add fd() to a poll
// loop, and when it is readable call next() until it gives false. Closes
// itself; move-only. next() may be called from any thread.
class Monitor {
  public:
    Monitor() noexcept = default;
    // Takes over a monitor from vokMonitorCreate.
    explicit Monitor(VokMonitor* monitor) noexcept : monitor_(monitor) {}
    // A new monitor; empty when it cannot be made (lastSystemError() says why).
    static Monitor create(std::nothrow_t, bool reportPresent = false) noexcept {
        return Monitor(vokMonitorCreate(reportPresent ? VOK_MONITOR_PRESENT : 0u));
    }
    Monitor(Monitor&& other) noexcept : monitor_(std::exchange(other.monitor_, nullptr)) {}
    Monitor& operator=(Monitor&& other) noexcept {
        if (this != &other) {
            vokMonitorClose(monitor_);
            monitor_ = std::exchange(other.monitor_, nullptr);
        }
        return *this;
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;
    ~Monitor() { vokMonitorClose(monitor_); }

    explicit operator bool() const noexcept { return monitor_ != nullptr; }
    VokMonitor* get() const noexcept { return monitor_; }
    // The descriptor to poll for reading; -1 when empty.
    int fd() const noexcept { return vokMonitorFd(monitor_); }

    // 1 with `event` filled, 0 when no event waits, -1 (lastSystemError()).
    int next(std::nothrow_t, MonitorEvent& event) const noexcept {
        VokMonitorEvent raw;
        const int result = vokMonitorRead(monitor_, &raw);
        if (result == 1) {
            const VokTokenEntry& entry = raw.token;
            event.kind = static_cast<MonitorEvent::Kind>(raw.kind);
            event.error = raw.error;
            event.token = TokenEntry{entry.index, entry.path, entry.productId, entry.busNumber,
                                     entry.deviceNumber};
        }
        return result;
    }

#if defined(__cpp_exceptions)
    // A new monitor; throws std::system_error when it cannot be made.
    explicit Monitor(bool reportPresent) : Monitor(create(std::nothrow, reportPresent)) {
        if (!monitor_) {
            throw std::system_error(lastSystemError(), std::generic_category(), "vokMonitorCreate");
        }
    }
    // The next event (true), or false when none waits; throws
    // std::system_error when the kernel's events cannot be read.
    bool next(MonitorEvent& event) const {
        const int result = next(std::nothrow, event);
        if (result < 0) {
            throw std::system_error(lastSystemError(), std::generic_category(), "vokMonitorRead");
        }
        return result == 1;
    }
#endif

  private:
    VokMonitor* monitor_ = nullptr;
};

}  // namespace vok

#endif /* VOK_VOK_HPP */
