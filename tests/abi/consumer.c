#include <stdio.h>
#include <vok/vok.h>

int main(void) {
    /* Links against the installed library and calls into it. */
    return vokClose(VOK_INVALID_HANDLE) == VOK_STATUS_BAD_HANDLE ? 0 : 1;
}
