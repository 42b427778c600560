#include <stdio.h>
#include <vok/vok.h>

int main(void) {
    /* Links against the installed library and calls into it, also into the
     * newest version node. */
    uint32_t count = 0;
    if (vokClose(VOK_INVALID_HANDLE) != VOK_STATUS_BAD_HANDLE) return 1;
    if (vokListTokens(NULL, 1, &count) != VOK_STATUS_BAD_ARGUMENT) return 2;
    if (vokOpenPath(NULL) != VOK_INVALID_HANDLE) return 3;
    if (vokMonitorCreate(2u) != NULL || vokMonitorRead(NULL, NULL) != -1) return 4;
    return 0;
}
