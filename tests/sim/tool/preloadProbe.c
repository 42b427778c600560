/* A plain program with no knowledge of the virtual token: it opens a device
 * node and asks for the token information the way any usbfs program would.
 * Under `vok-sim run` the preloaded interposer answers. Prints the status and
 * tag of the reply; exits 0 when a 16-byte reply came back. */
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    int fd = open(argv[1], O_RDWR);
    if (fd < 0) return 3;
    unsigned char packet[8] = {0x00, 0x30};
    unsigned char reply[16] = {0};
    struct usbdevfs_ctrltransfer setup = {0};
    setup.bRequestType = 0x42;
    setup.wLength = 8;
    setup.timeout = 6000;
    setup.data = packet;
    if (ioctl(fd, USBDEVFS_CONTROL, &setup) != 8) return 4;
    setup.bRequestType = 0xC2;
    setup.wLength = 16;
    setup.data = reply;
    int got = ioctl(fd, USBDEVFS_CONTROL, &setup);
    printf("result %d status %u tag %u\n", got, reply[0], reply[2]);
    close(fd);
    return got == 16 ? 0 : 1;
}
