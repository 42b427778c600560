/* An idle-connection flood against vok-sim serve on this machine, with a
 * client that asks for the device list at once every 100 ms; prints how many
 * of its tries were answered.
 *
 *   serve_flood PORT [SECONDS [RATE]]
 *
 * The flood connects to 127.0.0.1:PORT from 32 loopback source addresses
 * (127.0.0.1 to 127.0.0.32), at a rate that changes each second between 60
 * and RATE (160 unless given, at most 2000) a second, and never sends a byte. Bounded: loopback
 * only, at most 60 seconds, 20000 connections and 512 open at once. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kSources = 32, kMaxOpen = 512, kMaxConnections = 20000, kMaxSeconds = 60, kMaxRate = 2000 };

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sleepFor(double seconds) {
    if (seconds <= 0) return;
    struct timespec t = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

/* A socket to 127.0.0.1:port from 127.0.0.source; -1 on failure. */
static int connectFrom(unsigned source, uint16_t port, int flags) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0) return -1;
    struct sockaddr_in from = {.sin_family = AF_INET};
    from.sin_addr.s_addr = htonl(0x7F000000u | source);
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons(port)};
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&from, sizeof from) != 0 ||
        (connect(fd, (struct sockaddr*)&to, sizeof to) != 0 && errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

static void flood(uint16_t port, double seconds, int maxRate) {
    int open[kMaxOpen];
    for (int i = 0; i < kMaxOpen; ++i) open[i] = -1;
    const double end = now() + seconds;
    double next = now();
    double rate = 60;
    double rateUntil = 0;
    for (unsigned made = 0; made < kMaxConnections && now() < end; ++made) {
        if (now() >= rateUntil) {
            rate = 60 + rand() % (maxRate - 59);
            rateUntil = now() + 1;
        }
        const int slot = (int)(made % kMaxOpen);
        if (open[slot] >= 0) close(open[slot]);
        open[slot] = connectFrom(1 + made % kSources, port, SOCK_NONBLOCK);
        next += 1 / rate;
        sleepFor(next - now());
    }
    for (int i = 0; i < kMaxOpen; ++i)
        if (open[i] >= 0) close(open[i]);
}

/* Whether a device-list request sent at once is answered (status 0). */
static int listed(uint16_t port) {
    const int fd = connectFrom(1, port, 0);
    if (fd < 0) return 0;
    const struct timeval limit = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const uint8_t request[8] = {0x01, 0x11, 0x80, 0x05, 0, 0, 0, 0};
    uint8_t reply[12];
    size_t have = 0;
    if (send(fd, request, sizeof request, MSG_NOSIGNAL) == (ssize_t)sizeof request) {
        ssize_t got = 1;
        while (have < sizeof reply && (got = recv(fd, reply + have, sizeof reply - have, 0)) > 0)
            have += (size_t)got;
    }
    close(fd);
    return have == sizeof reply && reply[4] == 0 && reply[5] == 0 && reply[6] == 0 && reply[7] == 0;
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: %s PORT [SECONDS [RATE]]\n", argv[0]);
        return 2;
    }
    const long port = strtol(argv[1], NULL, 10);
    const double seconds = argc >= 3 ? strtod(argv[2], NULL) : 20;
    const long maxRate = argc == 4 ? strtol(argv[3], NULL, 10) : 160;
    if (port <= 0 || port > 65535 || !(seconds > 0 && seconds <= kMaxSeconds) || maxRate < 60 ||
        maxRate > kMaxRate) {
        fprintf(stderr, "serve_flood: PORT 1-65535, SECONDS up to %d, RATE 60-%d\n", kMaxSeconds,
                kMaxRate);
        return 2;
    }
    srand((unsigned)getpid());
    const pid_t flooder = fork();
    if (flooder < 0) return perror("fork"), 1;
    if (flooder == 0) {
        flood((uint16_t)port, seconds, (int)maxRate);
        _exit(0);
    }
    sleepFor(1); /* the flood under way */
    unsigned tries = 0, answered = 0;
    for (const double end = now() + seconds - 1.5; now() < end; sleepFor(0.1)) {
        ++tries;
        answered += (unsigned)listed((uint16_t)port);
    }
    waitpid(flooder, NULL, 0);
    printf("answered %u of %u list requests under the flood (%.1f %%)\n", answered, tries,
           tries ? 100.0 * answered / tries : 0.0);
    return 0;
}
