/*
 * vok: user-space access to a USB security token through Linux usbfs.
 *
 * This is the only header an application includes. It is valid C99 and C++.
 *
 * Threading contract: every function may be called from any thread. Calls on
 * one handle are serialised by the library (a call holds the handle for all of
 * its token transactions); calls on different handles run in parallel.
 * vokClose waits for a call that is in flight on the same handle; a call that
 * starts after vokClose has returned gets 9.
 *
 * Several applications on one token: a token runs one transaction at a time,
 * so every call holds the token itself, exclusively, for all of its
 * transactions (the reset and info command of vokOpen, every part of a large
 * transfer, the word fetches and the write of an unaligned write, every step
 * of a provisioning sequence). Calls through other handles, in this process
 * or another, wait for it, so no call's transactions interleave with
 * another's and no update is lost. Waiting callers, threads and processes
 * alike, get the token in the order they asked for it. A caller waits as long
 * as the holder makes progress (its process or thread, as /proc shows it,
 * keeps running), so a long call on a slow bus makes nobody fail. A holder
 * that makes no progress for VOK_TOKEN_WAIT_LIMIT_MS (stopped by a signal or
 * a debugger, or asleep) makes the waiters return 5 with vokLastSystemError()
 * EBUSY; a holder that this process cannot see (another PID namespace) counts
 * as making none, so there the limit is a fixed bound from the start of the
 * wait. Signals do not end the wait early. The lock is an flock(2) on the
 * token's usbfs node: only a program that can open that node can take it,
 * and it covers the programs that reach the token through that same node
 * (one /dev/bus/usb, also bind-mounted into a container); a second node of
 * the same device made with mknod (a container's --device) is not covered.
 *
 * Thread cancellation: every function holds off cancellation (as by
 * pthread_setcancelstate) for its whole length, so a thread cancelled while
 * in a call finishes the call first and leaves no handle locked, no
 * descriptor open and no token held; the cancellation takes effect at its
 * next cancellation point outside the library.
 *
 * Stack: a call uses at most VOK_MAX_STACK_USE bytes of the calling thread's
 * stack (one 16.5 KiB request record and a few KiB more), on every path and
 * for any length; a read larger than one record holds its earlier parts in
 * the library's static storage, not on the stack. What the C library's ioctl
 * needs comes on top (nothing beyond the system call on Linux).
 *
 * Environment: USB_DEVFS_PATH (the usbfs root), VOK_IPC_NAME (the lock
 * directory), VOK_DEBUG (the trace level, see Diagnostics), VOK_CAPTURE and
 * VOK_CAPTURE_PINS are read with secure_getenv. In a secure-execution process
 * (set-user-ID, set-group-ID, or file capabilities) they are ignored and the
 * defaults apply: /dev/bus/usb then /proc/bus/usb, /tmp, no trace, no capture.
 *
 * VOK_CAPTURE=FILE (read once, at the first control transfer) makes the
 * library append every control transfer it makes to FILE, a pcap file of
 * link type 220 (Linux usbmon, 64-byte header) as `tcpdump -i usbmonN` would
 * write it, each device's records preceded by its device descriptor: `vok
 * decode FILE` and Wireshark read it. FILE is created with mode 0600 (a
 * symbolic link is refused) or must already be such a capture; processes and
 * threads may share it. The payload bytes that may carry a PIN, a PIN's length
 * or token memory are written as 0x2A unless VOK_CAPTURE_PINS=1.
 *
 * Every handle-based function below returns 0, 3 or 9 as described with it,
 * 5 or 7 from the exchange with the token, or the token's own status byte.
 *
 * Status codes (uint32_t results of the handle-based functions):
 *   0  success
 *   3  an argument is missing or out of range (checked before the handle
 *      lookup, so a bad argument wins over a bad handle)
 *   5  the exchange with the token failed (device node could not be opened,
 *      a transfer failed or a reply did not carry the transaction tag)
 *   7  the token reported a memory model the library cannot handle
 *   9  no open handle of that number
 *   any other value: the token's own status byte, passed through unchanged.
 * vokStatusString() turns any of them into a short English text.
 */
#ifndef VOK_VOK_H
#define VOK_VOK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "vokExport.h" /* VOK_API */

#ifdef __cplusplus
extern "C" {
#endif

#define VOK_VERSION_MAJOR 1
#define VOK_VERSION_MINOR 3
#define VOK_VERSION_PATCH 0

/* The longest a call waits for a holder of the token that makes no progress
 * (see the top of this file): 10 seconds. */
#define VOK_TOKEN_WAIT_LIMIT_MS 10000u

/* The most stack a call of this library uses (see the top of this file). */
#define VOK_MAX_STACK_USE (20u * 1024u)

/* Status codes that the library itself produces. */
#define VOK_STATUS_OK 0u
#define VOK_STATUS_BAD_ARGUMENT 3u
#define VOK_STATUS_TRANSFER_FAILED 5u
#define VOK_STATUS_UNKNOWN_MEMORY_MODEL 7u
#define VOK_STATUS_BAD_HANDLE 9u

/* A handle from vokOpen. The first handle of a process is 256. */
typedef uint32_t VokHandle;
/* vokOpen's failure result; never a valid handle. */
#define VOK_INVALID_HANDLE ((VokHandle)0xFFFFFFFFu)

/* Releases the object that a handle stands for. */
typedef void (*VOK_FREE_HANDLE_MEMORY)(void* handleMemory);

/* The enumerations travel as 32-bit integers and callers may pass values
 * outside the named ones (the library checks them). In C++ they get a fixed
 * underlying type so that every 32-bit value is a valid value of the type. */
#ifdef __cplusplus
#define VOK_ENUM(name) enum name : int32_t
#else
#define VOK_ENUM(name) enum name
#endif

/* A block of token memory. The public operations accept 1 to 4. */
typedef VOK_ENUM(BLOCK_ID){VOK_BLOCK_1 = 1, VOK_BLOCK_2 = 2, VOK_BLOCK_3 = 3,
                           VOK_BLOCK_4 = 4} BLOCK_ID;

/* The kind of a block PIN. Setting a PIN of kind 1 always requires the
 * current PIN of that kind; kind 0 may be set without one when none is set. */
typedef VOK_ENUM(TYPE_PIN){VOK_PIN_USER = 0, VOK_PIN_ADMIN = 1} TYPE_PIN;

/* Read/write permissions of a block (a bit mask). */
typedef VOK_ENUM(RW_PERMISSIONS){VOK_RW_NONE = 0, VOK_RW_READ = 1, VOK_RW_WRITE = 2,
                                 VOK_RW_READ_WRITE = 3} RW_PERMISSIONS;

/* The lock state of a block. vokLockBlock accepts these two values only. */
typedef VOK_ENUM(ACCESS){VOK_ACCESS_UNLOCKED = 0, VOK_ACCESS_LOCKED = 1} ACCESS;

/* Whether a block's memory commands require its user PIN. */
typedef VOK_ENUM(PIN_USE){VOK_PIN_USE_OFF = 0, VOK_PIN_USE_ON = 1} PIN_USE;

/* Who may change a block's user PIN. */
typedef VOK_ENUM(PIN_SET_PERMISSIONS){VOK_PIN_SET_BY_USER = 0, VOK_PIN_SET_BY_ADMIN = 1,
                                      VOK_PIN_SET_NEVER = 2} PIN_SET_PERMISSIONS;

/* The token's information record (32 bytes, host byte order). */
typedef struct VokIdInfo {
    uint8_t flagA;         /* 0 or 1 */
    uint8_t flagB;         /* 0 or 1 */
    uint8_t versionHigh;   /* 0..15 */
    uint8_t versionLow;    /* 0..15 */
    uint8_t memoryModel;   /* 0 and 1: 16-byte units; 2: 256-byte units */
    uint8_t protocolLevel; /* above 21: PINs live inside the token */
    uint8_t infoByte;
    uint8_t reserved1;
    uint32_t memorySize;        /* bytes of token memory */
    uint32_t pinAddress;        /* byte address of the 32-byte PIN area */
    uint32_t pinControlAddress; /* byte address of the 2-byte PIN control word */
    uint32_t reserved2;
    uint8_t tokenId[8]; /* the token's identifier */
} VokIdInfo;

/* The response summary of the last transaction an operation ran (7 bytes). */
typedef struct VokIdResponse {
    uint8_t status;
    uint8_t pinPhaseReply;
    uint8_t versionNibbles;
    uint8_t memoryModel;
    uint8_t protocolLevel;
    uint8_t infoByte;
    uint8_t memoryUnits;
} VokIdResponse;

#define VOK_REQUEST_HEADER_SIZE 128u
#define VOK_REQUEST_DATA_SIZE 16384u
#define VOK_REQUEST_SIZE 16512u
/* The most 16-bit words one request record can carry. */
#define VOK_REQUEST_MAX_WORDS 8192u

/* Command codes of the request record. */
#define VOK_CMD_GET_INFO 0x30u
#define VOK_CMD_READ 0x31u
#define VOK_CMD_WRITE 0x32u
#define VOK_CMD_INITIALIZE 0x33u
#define VOK_CMD_READ_EX 0x34u
#define VOK_CMD_WRITE_EX 0x35u
#define VOK_CMD_SET_PIN 0x36u
#define VOK_CMD_SET_VENDOR_ID 0x37u
#define VOK_CMD_GET_VENDOR_ID 0x38u
#define VOK_CMD_SET_BLOCK_ATTR 0x39u
#define VOK_CMD_GET_BLOCK_ATTR 0x3Au
#define VOK_CMD_LOCK_BLOCK 0x3Bu
#define VOK_CMD_SET_SEC_PARAMETERS 0x3Cu
#define VOK_CMD_GET_SEC_PARAMETERS 0x3Du
#define VOK_CMD_SET_BLOCK_PIN_USE 0x3Eu
#define VOK_CMD_INITIALIZE_BLOCK 0x3Fu

/*
 * The request record that describes one token command (16512 bytes): a
 * 128-byte header and a 16384-byte data area. Multi-byte numbers are
 * little-endian. vokCommand callers build it byte for byte; reserved bytes
 * should be zero.
 */
typedef struct TDRVREQUEST_MEK {
    uint8_t command;          /* 0: one of VOK_CMD_* */
    unsigned int blockId : 7; /* 1, bits 0-6: a BLOCK_ID */
    unsigned int pinType : 1; /* 1, bit 7: a TYPE_PIN */
    uint8_t reserved1[6];     /* 2 */
    uint8_t pin[32];          /* 8: PIN, zero-padded */
    uint8_t reserved2[8];     /* 40 */
    uint16_t wordOffset;      /* 48: first word of a memory transfer */
    uint16_t wordCount;       /* 50: words of a memory transfer, at most 8192 */
    uint8_t newPinLength;     /* 52 */
    uint8_t reserved3[3];     /* 53 */
    uint8_t tokenId[8];       /* 56 */
    uint8_t status;           /* 64: result of the transaction */
    uint8_t versionNibbles;   /* 65 */
    uint8_t memoryModel;      /* 66 */
    uint8_t protocolLevel;    /* 67 */
    uint8_t infoByte;         /* 68 */
    uint8_t memoryUnits;      /* 69 */
    uint8_t pinPhaseReply;    /* 70 */
    uint8_t flagA;            /* 71 */
    uint8_t flagB;            /* 72 */
    uint8_t reserved4[55];    /* 73 */
    uint8_t data[16384];      /* 128 */
} TDRVREQUEST_MEK;

/* Compile-time checks of the record layouts (C99 has no _Static_assert). */
#if defined(__cplusplus)
#define VOK_HEADER_ASSERT(cond, name) static_assert(cond, #name)
#else
#define VOK_HEADER_ASSERT(cond, name) typedef char vok_header_assert_##name[(cond) ? 1 : -1]
#endif
VOK_HEADER_ASSERT(sizeof(VokIdInfo) == 32, info_size);
VOK_HEADER_ASSERT(offsetof(VokIdInfo, memorySize) == 8, info_memory_size);
VOK_HEADER_ASSERT(offsetof(VokIdInfo, pinAddress) == 12, info_pin_address);
VOK_HEADER_ASSERT(offsetof(VokIdInfo, pinControlAddress) == 16, info_pin_control);
VOK_HEADER_ASSERT(offsetof(VokIdInfo, tokenId) == 24, info_token_id);
VOK_HEADER_ASSERT(sizeof(VokIdResponse) == 7, response_size);
VOK_HEADER_ASSERT(sizeof(TDRVREQUEST_MEK) == VOK_REQUEST_SIZE, request_size);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, reserved1) == 2, request_reserved1);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, pin) == 8, request_pin);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, reserved2) == 40, request_reserved2);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, wordOffset) == 48, request_word_offset);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, wordCount) == 50, request_word_count);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, newPinLength) == 52, request_new_pin_length);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, tokenId) == 56, request_token_id);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, status) == 64, request_status);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, versionNibbles) == 65, request_version);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, memoryUnits) == 69, request_memory_units);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, pinPhaseReply) == 70, request_pin_phase_reply);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, flagA) == 71, request_flag_a);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, flagB) == 72, request_flag_b);
VOK_HEADER_ASSERT(offsetof(TDRVREQUEST_MEK, data) == VOK_REQUEST_HEADER_SIZE, request_data);
VOK_HEADER_ASSERT(sizeof(BLOCK_ID) == 4, enum_size);

/* ---- Open, info, raw command, close ---------------------------------- */

/*
 * Opens the token at enumeration position `index` (0 = the first accepted
 * token found under usbfs, in scan order; the devices are scanned afresh at
 * every call) and runs its info command. Each call gives a handle of its own,
 * also for a token that is open already. Returns a new handle, or
 * VOK_INVALID_HANDLE when no token answers at that index or 256 handles are
 * open already; vokLastSystemError() then says why (ENODEV: no token there;
 * EBUSY: its holder made no progress for VOK_TOKEN_WAIT_LIMIT_MS; EACCES,
 * EMFILE: the node or the usbfs tree could not be opened; EMFILE also when
 * every handle is in use).
 */
VOK_API VokHandle vokOpen(uint8_t index);

/*
 * Refreshes the token's information and copies the 32-byte VokIdInfo into
 * `info`. Checked first: `info` not null and `length` at least 32 (else 3).
 * Exactly 32 bytes are written, also when the info command fails (then the
 * information of the last successful one). Returns 0, 3, 9 or the status of
 * the info command.
 */
VOK_API uint32_t vokGetInfo(VokHandle handle, void* info, uint32_t length);

/*
 * Runs a request record built by the caller. `length` is the number of
 * leading bytes that take part: 128 to 16512 (the record's size); the rest of
 * the record is neither read nor written. Once the transaction has run, those
 * leading bytes are copied back, whatever its outcome. Returns true when the
 * transaction ended with status 0. Checked first: a null record or a length
 * outside 128..16512 gives false with the record untouched, whatever the
 * handle; then a handle that is not open gives false with status byte 9;
 * otherwise false with the token's or the library's status in the record's
 * `status` byte.
 */
VOK_API bool vokCommand(VokHandle handle, TDRVREQUEST_MEK* request, uint32_t length);

/* Closes a handle, waiting for a call in flight on it. Returns 0, or 9. */
VOK_API uint32_t vokClose(VokHandle handle);

/* ---- Memory ---------------------------------------------------------- */

/*
 * vokRead/vokWrite read and write token memory at any byte offset and
 * length; vokReadEx/vokWriteEx do so through block `block` (1 to 4).
 * `pin` may be null (then `pinLength` is ignored); a non-null PIN must be
 * 1 to 31 bytes. `buffer` holds `length` bytes. `response` must be valid: it
 * receives the summary of the last transaction run.
 * Checked before the handle lookup (3): `buffer` not null, `length` not 0,
 * and for the block forms `block` from 1 to 4. After the lookup (3): the PIN
 * length, and offset + length within the token's memory.
 * A failed read leaves `buffer` untouched. A write that starts or ends inside
 * a 16-bit word first reads the words it shares; a transfer larger than one
 * request record runs as several transactions in address order, so a large
 * or unaligned write is not atomic on the token.
 */
VOK_API uint32_t vokRead(VokHandle handle, const void* pin, uint32_t pinLength, uint32_t offset,
                         void* buffer, uint32_t length, VokIdResponse* response);
VOK_API uint32_t vokWrite(VokHandle handle, const void* pin, uint32_t pinLength, uint32_t offset,
                          const void* buffer, uint32_t length, VokIdResponse* response);
VOK_API uint32_t vokReadEx(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                           uint32_t offset, void* buffer, uint32_t length, VokIdResponse* response);
VOK_API uint32_t vokWriteEx(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                            uint32_t offset, const void* buffer, uint32_t length,
                            VokIdResponse* response);

/* ---- Blocks, PINs and security parameters ----------------------------- */
/* In all of these `response` must be valid; output pointers are written only
 * on status 0. Block tests are signed: 0 and negative values fail them. */

/* Reads block `block`'s vendor ID. Checked first (3): `vendorId` not null,
 * block 1 to 4. */
VOK_API uint32_t vokGetVendorId(VokHandle handle, BLOCK_ID block, uint16_t* vendorId,
                                VokIdResponse* response);

/* Sets block `block`'s vendor ID. Checked first (3): `vendorId` not 0xFFFF,
 * block 1 to 4. After the lookup (3): a non-null PIN must be 1 to 31 bytes. */
VOK_API uint32_t vokSetVendorId(VokHandle handle, BLOCK_ID block, const void* pin,
                                uint32_t pinLength, uint16_t vendorId, VokIdResponse* response);

/* Reads block `block`'s attribute word. Checked first (3): `attributes` not
 * null, block 1 to 4. */
VOK_API uint32_t vokGetBlockAttr(VokHandle handle, BLOCK_ID block, uint16_t* attributes,
                                 VokIdResponse* response);

/* Sets block `block`'s read/write permissions and returns its new attribute
 * word in `attributes` (must be valid). Checked first (3): block 1 to 4.
 * After the lookup (3): a PIN of 1 to 31 bytes is required. */
VOK_API uint32_t vokSetBlockAttr(VokHandle handle, BLOCK_ID block, const void* pin,
                                 uint32_t pinLength, RW_PERMISSIONS permissions,
                                 uint16_t* attributes, VokIdResponse* response);

/* Locks or unlocks block `block`. Checked first (3): block 1 to 4, `access`
 * 0 or 1. After the lookup (3): a PIN of 1 to 31 bytes is required. */
VOK_API uint32_t vokLockBlock(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                              ACCESS access, VokIdResponse* response);

/* Sets a PIN of kind `pinType` for block `block`. Checked first (3): `newPin`
 * not null, `newPinLength` 1 to 31, block not above 4 (0 and negative blocks
 * are passed to the token, which answers for them). After the lookup (3):
 * kind 1 requires the current PIN (1 to 31 bytes); kind 0 takes an optional
 * one. */
VOK_API uint32_t vokSetPin(VokHandle handle, TYPE_PIN pinType, BLOCK_ID block, const void* pin,
                           uint32_t pinLength, const void* newPin, uint32_t newPinLength,
                           VokIdResponse* response);

/* Sets whether block `block` requires its PIN and who may change it.
 * Checked first (3): block 1 to 4. After the lookup (3): a non-null PIN must
 * be 1 to 31 bytes. */
VOK_API uint32_t vokSetBlockPinUse(VokHandle handle, BLOCK_ID block, const void* pin,
                                   uint32_t pinLength, PIN_USE pinUse,
                                   PIN_SET_PERMISSIONS pinSetPermissions, VokIdResponse* response);

/* Sets the token's four security parameters. Checked first (3):
 * secParameter1 at most 15, secParameter2 1 to 31, secParameter3 1 to 10,
 * secParameter4 15 to 60. After the lookup (3): a PIN of 1 to 31 bytes. */
VOK_API uint32_t vokSetSecParameters(VokHandle handle, const void* pin, uint32_t pinLength,
                                     uint8_t secParameter1, uint8_t secParameter2,
                                     uint8_t secParameter3, uint8_t secParameter4,
                                     VokIdResponse* response);

/* Reads the token's four security parameters. Nothing is checked before the
 * lookup: all four pointers must be valid. */
VOK_API uint32_t vokGetSecParameters(VokHandle handle, uint8_t* secParameter1,
                                     uint8_t* secParameter2, uint8_t* secParameter3,
                                     uint8_t* secParameter4, VokIdResponse* response);

/*
 * Initialises the token and, when `newPin` is not null, installs it as the
 * first PIN (for block 1) with PIN use `pinUse`. Checked first (3): a
 * non-null `newPin` must be 1 to 31 bytes; a null `newPin` requires `pinUse`
 * false. After the lookup (3): a non-null `pin` longer than 31 bytes.
 * A token whose protocol level (as of the last successful info command) is
 * above 21 gets the PIN by command: block 1's user PIN, then block 1's PIN
 * use. Up to level 21 the PIN is written to token memory at the info's
 * pinAddress, then the control word (PIN length x 2, plus 1 for PIN use) at
 * pinControlAddress, low byte first. Each step runs only after the previous
 * one succeeded; returns the status of the last command run.
 */
VOK_API uint32_t vokInitialize(VokHandle handle, const void* pin, uint32_t pinLength,
                               const void* newPin, uint32_t newPinLength, bool pinUse,
                               VokIdResponse* response);

/*
 * Initialises block `block` and, when `provision` is true, sets its vendor
 * ID, its PIN `newPin` and turns its PIN use on. Checked first (3): a
 * non-null `newPin` must be 1 to 31 bytes; `provision` requires a non-null
 * `newPin` and a `vendorId` other than 0xFFFF. A block outside 1 to 4 is
 * refused (3) only at the last provisioning step. The steps are separate
 * transactions: a failure part-way leaves the earlier ones in effect.
 */
VOK_API uint32_t vokInitializeBlock(VokHandle handle, TYPE_PIN pinType, BLOCK_ID block,
                                    const void* pin, uint32_t pinLength, const void* newPin,
                                    uint32_t newPinLength, uint16_t vendorId, bool provision,
                                    VokIdResponse* response);

/*
 * A short, constant English text for a status: the library's own codes
 * (0, 3, 5, 7, 9) by name, any other byte value as "token status 0xNN", and
 * values above 0xFF (which no function returns) as "unknown status". The text
 * lives in static storage; never null; safe from any thread.
 */
VOK_API const char* vokStatusString(uint32_t status);

/* ---- Diagnostics (since 1.1) ------------------------------------------ */

/*
 * The library can say why a call failed: a trace of failing system calls
 * (level 1), of every transaction (level 2) and of every control transfer
 * (level 3), off by default. The environment variable VOK_DEBUG (0 to 3,
 * read once, at the first traced event) sets the level; vokSetLogLevel
 * overrides it. Each line starts with "vok[pid:tid]" and a monotonic time
 * stamp in seconds. No line ever holds a PIN byte: the payload of the
 * packets that carry PINs or token memory, and the new PIN's length, is
 * masked. VOK_CAPTURE (see Environment) records the transfers themselves.
 */

/*
 * Receives one trace line (without a newline) and its level (1 to 3). It is
 * called on the thread that made the library call, while that call is in
 * progress (a handle or a device lock may be held): it may call
 * vokSetLogHandler, vokSetLogLevel, vokLastSystemError and vokStatusString,
 * and must not call any other function of this library.
 */
typedef void (*VokLogHandler)(void* context, int level, const char* line);

/*
 * Sends the trace lines to `handler`, with `context` as its first argument;
 * a null handler sends them to stderr again (the default). Thread-safe; a
 * line being emitted on another thread may still reach the previous handler.
 */
VOK_API void vokSetLogHandler(VokLogHandler handler, void* context);

/* Sets the trace level: 0 off, 1 failures, 2 transactions, 3 transfers
 * (values below 0 count as 0, above 3 as 3). */
VOK_API void vokSetLogLevel(int level);

/*
 * The errno of the last system call that failed during the calling thread's
 * last call of a function above (0 when none failed): EACCES for a device
 * node the user may not open (see the udev rule), ENOENT or ENODEV for a
 * token that was removed, ETIMEDOUT or EPIPE for a token that did not
 * answer. A failure that is not a system call's (a reply without the
 * transaction tag) leaves it at 0.
 */
VOK_API int vokLastSystemError(void);

/* ---- Choosing a token (since 1.2) ------------------------------------- */

/*
 * Room for a device path in a VokTokenEntry, its NUL included. The scan
 * builds every path in a buffer of this size, so every path it can find fits
 * whole: an entry is never cut short.
 */
#define VOK_TOKEN_PATH_SIZE 4096u

/* What discovery knows of one accepted token, without asking the token. */
typedef struct VokTokenEntry {
    uint32_t index;                 /* vokOpen's index (only 0 to 255 can be passed to it) */
    uint32_t busNumber;             /* the bus directory's name as a number, 0 if not one */
    uint32_t deviceNumber;          /* the device node's name as a number, 0 if not one */
    uint16_t productId;             /* USB product ID from the device descriptor */
    uint16_t reserved;              /* 0 */
    char path[VOK_TOKEN_PATH_SIZE]; /* the usbfs device node, NUL-terminated */
} VokTokenEntry;

VOK_HEADER_ASSERT(offsetof(VokTokenEntry, productId) == 12, entry_product_id);
VOK_HEADER_ASSERT(offsetof(VokTokenEntry, path) == 16, entry_path);
VOK_HEADER_ASSERT(sizeof(VokTokenEntry) == 16 + VOK_TOKEN_PATH_SIZE, entry_size);

/*
 * Lists the accepted tokens in vokOpen's index order: scans usbfs as vokOpen
 * does (reading each device node's USB device descriptor under its device
 * lock, so it waits while another process probes the same node), but sends
 * nothing to any token and resets none. `*count` receives the number of
 * tokens found; the first min(capacity, *count) of them are written to
 * `entries`, and nothing beyond. The array was too small when *count >
 * capacity: call again with room for *count entries (a token plugged in
 * meanwhile may make that too small again). Checked (3): `count` not null,
 * `entries` not null unless `capacity` is 0 (which only counts). Returns 0
 * or 3. The library allocates nothing that outlives the call; each entry
 * takes sizeof(VokTokenEntry) bytes, about 4 KiB.
 */
VOK_API uint32_t vokListTokens(VokTokenEntry* entries, uint32_t capacity, uint32_t* count);

/*
 * Opens the token whose usbfs device node is `path` (as vokListTokens gives
 * it, or any path to the same node), with the same info command and the same
 * kind of handle as vokOpen. The devices are scanned afresh, so only a token
 * that vokListTokens would list can be opened. Returns a new handle, or
 * VOK_INVALID_HANDLE with vokLastSystemError() saying why: EINVAL for a null
 * `path`; the errno of stat for a path that names nothing (ENOENT,
 * ENAMETOOLONG...); for a file that is not a listed token, EACCES when this
 * user may not open it for reading and writing, else ENODEV (another device,
 * a file outside the usbfs root in use); for a listed token, the system error
 * of its failed info command (EBUSY when another program held the token for
 * longer than VOK_TOKEN_WAIT_LIMIT_MS), or 0 when its reply was wrong or 256
 * handles are open. Nothing is sent to a device that is not the token opened.
 */
VOK_API VokHandle vokOpenPath(const char* path);

/* ---- Watching tokens come and go (since 1.3) -------------------------- */

/*
 * A monitor reports every token that arrives or leaves, on a descriptor that
 * the application adds to its own poll/epoll/select loop. It watches the
 * usbfs root of vokListTokens (USB_DEVFS_PATH, else /dev/bus/usb, else
 * /proc/bus/usb) through inotify alone: no udev, no netlink, no thread of the
 * library's own, no signal. It follows the root when it is replaced (a link
 * pointed elsewhere, a directory put in its place), unmounted or mounted
 * again, and when the kernel's event queue overflowed it looks at the whole
 * tree again and reports the difference.
 *
 * Every token instance gives one VOK_MONITOR_ARRIVED and later one
 * VOK_MONITOR_LEFT, in that order; a token plugged in again is a new
 * instance. Arrived means usable: this process opened the node read-write and
 * read an accepted device descriptor. A token whose node stays readable but
 * not writable for VOK_MONITOR_REFUSAL_DELAY_MS (udev grants access a moment
 * after the node appears) is reported once as VOK_MONITOR_REFUSED with the
 * errno of the open (EACCES): it is watched on, and gives
 * VOK_MONITOR_ARRIVED if access is granted later, and VOK_MONITOR_LEFT when
 * it goes. A node that cannot even be read cannot be told from another
 * device and is not reported until it can. An instance that came and went
 * before the monitor looked at it was never usable and gives no event.
 *
 * Threads: vokMonitorRead may be called from any thread, also from several at
 * once (calls on one monitor are serialised); vokMonitorClose must be the
 * last call on a monitor, made when no other call on it is in progress. A
 * monitor belongs to the process that created it (a child after fork must
 * not use it). Descriptors: all of the monitor's are close-on-exec and above
 * 2. Memory: vokMonitorCreate makes one allocation of about 600 KiB of
 * address space (room for VOK_MONITOR_MOST_TOKENS tokens at once), of which
 * only the pages in use are touched; reading events allocates nothing.
 */
typedef struct VokMonitor VokMonitor;

/* vokMonitorCreate's flag: report the tokens present now as arrivals first. */
#define VOK_MONITOR_PRESENT 1u

/* How long a token's node may stay unopenable before it is reported. */
#define VOK_MONITOR_REFUSAL_DELAY_MS 1000u

/* The most tokens a monitor follows at once; more are not reported. */
#define VOK_MONITOR_MOST_TOKENS 64u

/* VokTokenEntry.index of an event that has none (VOK_MONITOR_LEFT and
 * VOK_MONITOR_REFUSED: the token is not openable by index then). */
#define VOK_MONITOR_NO_INDEX 0xFFFFFFFFu

/* The kinds of event. */
#define VOK_MONITOR_ARRIVED 1u
#define VOK_MONITOR_LEFT 2u
#define VOK_MONITOR_REFUSED 3u

typedef struct VokMonitorEvent {
    uint32_t kind;       /* VOK_MONITOR_ARRIVED, VOK_MONITOR_LEFT or VOK_MONITOR_REFUSED */
    int32_t error;       /* VOK_MONITOR_REFUSED: the open's errno (EACCES); else 0 */
    VokTokenEntry token; /* as vokListTokens gives it; index: vokOpen's index when the
                            token arrived, else VOK_MONITOR_NO_INDEX */
} VokMonitorEvent;

VOK_HEADER_ASSERT(offsetof(VokMonitorEvent, token) == 8, monitor_event_token);

/*
 * Creates a monitor; `flags` is 0 or VOK_MONITOR_PRESENT (then every token
 * present now is reported as arrived before any later event). Returns null
 * with vokLastSystemError() saying why: EINVAL for an unknown flag, ENOENT
 * when no usbfs root exists, EMFILE or ENOMEM when the descriptors or memory
 * cannot be had, or the errno of inotify_add_watch on the root.
 */
VOK_API VokMonitor* vokMonitorCreate(uint32_t flags);

/*
 * The descriptor to poll for reading (-1 for a null monitor). It is readable
 * when an event may wait: call vokMonitorRead until it returns 0, then poll
 * again. Only the monitor reads from it; it stays valid until vokMonitorClose.
 */
VOK_API int vokMonitorFd(const VokMonitor* monitor);

/*
 * Takes the next event without blocking: 1 with `*event` filled, 0 when none
 * waits (a change under usbfs that concerned no token wakes the descriptor
 * and gives 0), -1 with vokLastSystemError() EINVAL for a null argument, or
 * the errno of a failed read of the kernel's events.
 */
VOK_API int vokMonitorRead(VokMonitor* monitor, VokMonitorEvent* event);

/* Closes the monitor's descriptors and frees it; a null monitor is ignored. */
VOK_API void vokMonitorClose(VokMonitor* monitor);

#ifdef __cplusplus
}
#endif

#endif /* VOK_VOK_H */
