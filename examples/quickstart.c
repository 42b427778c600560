/*
 * Opens the first token, prints its information, writes a few bytes at an odd
 * offset, reads them back and closes the token. The bytes that were there
 * before are put back at the end.
 */
#include <stdio.h>
#include <string.h>
#include <vok/vok.h>

#define OFFSET 101u /* odd on purpose: the library merges the shared words */

static int fail(const char* what, uint32_t status) {
    fprintf(stderr, "%s: %s\n", what, vokStatusString(status));
    return 1;
}

static int exercise(VokHandle handle) {
    static const uint8_t message[] = {'h', 'e', 'l', 'l', 'o'};
    uint8_t saved[sizeof message];
    uint8_t readBack[sizeof message];
    VokIdInfo info;
    VokIdResponse response;
    uint32_t status;
    unsigned i;

    status = vokGetInfo(handle, &info, sizeof info);
    if (status != VOK_STATUS_OK) return fail("vokGetInfo", status);
    printf("token id:       ");
    for (i = 0; i < sizeof info.tokenId; ++i) printf("%02X", info.tokenId[i]);
    printf("\nversion:        %u.%u\n", info.versionHigh, info.versionLow);
    printf("protocol level: %u\n", info.protocolLevel);
    printf("memory:         %u bytes\n", (unsigned)info.memorySize);

    status = vokRead(handle, NULL, 0, OFFSET, saved, sizeof saved, &response);
    if (status != VOK_STATUS_OK) return fail("vokRead", status);
    status = vokWrite(handle, NULL, 0, OFFSET, message, sizeof message, &response);
    if (status != VOK_STATUS_OK) return fail("vokWrite", status);
    status = vokRead(handle, NULL, 0, OFFSET, readBack, sizeof readBack, &response);
    if (status != VOK_STATUS_OK) return fail("vokRead", status);
    printf("read back:      %.*s\n", (int)sizeof readBack, (const char*)readBack);
    if (memcmp(readBack, message, sizeof message) != 0) {
        fprintf(stderr, "the bytes read back differ from the bytes written\n");
        return 1;
    }
    status = vokWrite(handle, NULL, 0, OFFSET, saved, sizeof saved, &response);
    if (status != VOK_STATUS_OK) return fail("vokWrite", status);
    return 0;
}

int main(void) {
    VokHandle handle = vokOpen(0);
    int result;
    if (handle == VOK_INVALID_HANDLE) {
        fprintf(stderr, "no token found\n");
        return 1;
    }
    result = exercise(handle);
    vokClose(handle);
    return result;
}
