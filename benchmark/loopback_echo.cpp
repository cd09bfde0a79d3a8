// The loopback ceiling of a 4 KiB data-server read: a plain request/reply
// echo over TCP on 127.0.0.1 (echo_pair.h). Prints the round trips per
// second over the run.
//
//   kelvane-loopback-echo [-t CLIENT_THREADS] [-w SERVER_THREADS] [-d SECONDS]
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "benchmark/echo_pair.h"

namespace {

int parse_positive(const char* text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= 0 || v > 100000) {
        fprintf(stderr, "kelvane-loopback-echo: invalid %s: %s\n", what, text);
        exit(2);
    }
    return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
    int clients = 100;
    int servers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int seconds = 5;
    int opt;
    while ((opt = getopt(argc, argv, "t:w:d:")) != -1) {
        switch (opt) {
        case 't':
            clients = parse_positive(optarg, "client thread count");
            break;
        case 'w':
            servers = parse_positive(optarg, "server thread count");
            break;
        case 'd':
            seconds = parse_positive(optarg, "duration");
            break;
        default:
            fprintf(stderr, "usage: kelvane-loopback-echo [-t CLIENT_THREADS] [-w SERVER_THREADS] [-d SECONDS]\n");
            return 2;
        }
    }
    const kvbench::EchoShape shape = kvbench::k_echo_read;
    kvbench::RunResult r;
    {
        kvbench::EchoServer server(servers, shape);
        r = kvbench::run_echo(server, clients, seconds);
    }
    if (r.failed) {
        fprintf(stderr, "kelvane-loopback-echo: a connection failed\n");
        return 1;
    }
    printf("Echo round trips: %llu\n", static_cast<unsigned long long>(r.calls));
    printf("Echo round trips/s: %.1f\n", r.rate());
    printf("Echo setup: %d client threads, %d server threads, %zu-byte requests, %zu-byte replies, %d s\n", clients,
           servers, shape.request, shape.reply, seconds);
    return 0;
}
