/*
 * Prints tokens as they arrive and leave: the tokens present at the start
 * first, then every change, from a plain poll loop. The monitor's descriptor
 * can sit in any poll, epoll or select loop beside the program's own.
 *
 *   usage: monitor [COUNT]    (stop after COUNT events; default: never)
 */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vok/vok.h>

static void print_event(const VokMonitorEvent* event) {
    const VokTokenEntry* token = &event->token;
    switch (event->kind) {
        case VOK_MONITOR_ARRIVED:
            printf("arrived %s (bus %u, device %u), index %u\n", token->path, token->busNumber,
                   token->deviceNumber, token->index);
            break;
        case VOK_MONITOR_LEFT:
            printf("left    %s\n", token->path);
            break;
        case VOK_MONITOR_REFUSED:
            printf("refused %s: %s\n", token->path, strerror(event->error));
            break;
        default:
            break;
    }
    fflush(stdout);
}

int main(int argc, char** argv) {
    const long count = argc > 1 ? strtol(argv[1], NULL, 10) : -1;
    long seen = 0;
    VokMonitor* monitor = vokMonitorCreate(VOK_MONITOR_PRESENT);
    if (monitor == NULL) {
        fprintf(stderr, "vokMonitorCreate: %s\n", strerror(vokLastSystemError()));
        return 1;
    }
    while (count < 0 || seen < count) {
        struct pollfd ready = {0, POLLIN, 0};
        VokMonitorEvent event;
        int got;
        /* Take every event that waits, then sleep until the next one. */
        while ((count < 0 || seen < count) && (got = vokMonitorRead(monitor, &event)) == 1) {
            print_event(&event);
            ++seen;
        }
        if (count >= 0 && seen >= count) break;
        if (got < 0) {
            fprintf(stderr, "vokMonitorRead: %s\n", strerror(vokLastSystemError()));
            break;
        }
        ready.fd = vokMonitorFd(monitor);
        if (poll(&ready, 1, -1) < 0 && errno != EINTR) break;
    }
    vokMonitorClose(monitor);
    return count >= 0 && seen >= count ? 0 : 1;
}
