/* The public header compiles on its own as strict C and its layout holds. */
#include <string.h>
#include <vok/vok.h>

int main(void) {
    TDRVREQUEST_MEK request;
    unsigned char byte1;
    memset(&request, 0, sizeof request);
    request.blockId = 3;
    request.pinType = 1;
    memcpy(&byte1, (const unsigned char*)&request + 1, 1);
    if (byte1 != 0x83) return 1;
    if (sizeof(VokHandle) != 4) return 2;
    return 0;
}
