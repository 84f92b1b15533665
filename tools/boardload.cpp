// Board-like open-loop load generator for the board server. It plays N
// boards that each fetch their document once a second the way the board
// does: a new TCP connection per request, one HTTP/1.0 GET with
// "Connection: close", the body read until the server closes. The boards'
// requests are spread evenly over the second, and every request starts at
// its planned moment whether or not earlier ones have finished (open loop),
// so a slow server shows as latency instead of as fewer requests. Latency is
// measured from the planned start to the close, so time spent waiting to be
// sent counts too.
//
//   boardload --port N --boards N [--seconds S] [--host A] [--board-numbers K]
//             [--path FORMAT]
//
// Board i asks for board number (i mod K) + 1 (K defaults to N). FORMAT is
// a printf format with one %d (default "/api/boards/%d/display.txt"). One
// line of results goes to standard output; the exit code is 1 when any
// request failed (refused, reset, timed out after 5 s, or not status 200).
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t NS_PER_S = 1000000000;
constexpr int64_t TIMEOUT_NS = 5 * NS_PER_S;
constexpr int MAX_EVENTS = 256;
constexpr int HEAD_CAPACITY = 16;

struct Request {
    int fd = -1;
    int64_t plannedNs = 0;
    int board = 0;
    size_t sent = 0;
    size_t received = 0;
    char head[HEAD_CAPACITY] = {};
};

struct Options {
    const char* host = "127.0.0.1";
    int port = 0;
    int boards = 0;
    int boardNumbers = 0;
    double seconds = 10;
    const char* pathFormat = "/api/boards/%d/display.txt";
};

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool readOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* key = argv[i];
        const char* value = argv[i + 1];
        if (std::strcmp(key, "--host") == 0) options.host = value;
        else if (std::strcmp(key, "--port") == 0) options.port = std::atoi(value);
        else if (std::strcmp(key, "--boards") == 0) options.boards = std::atoi(value);
        else if (std::strcmp(key, "--board-numbers") == 0) options.boardNumbers = std::atoi(value);
        else if (std::strcmp(key, "--seconds") == 0) options.seconds = std::atof(value);
        else if (std::strcmp(key, "--path") == 0) options.pathFormat = value;
        else return false;
    }
    if (argc % 2 == 0) return false;
    if (options.boardNumbers <= 0) options.boardNumbers = options.boards;
    return options.port > 0 && options.boards > 0 && options.seconds > 0;
}

// Raises the open-file limit to its ceiling: thousands of boards may have
// connections open at once when the server falls behind.
void raiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!readOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: boardload --port N --boards N [--seconds S] [--host A] "
                             "[--board-numbers K] [--path FORMAT]\n");
        return 2;
    }
    raiseFileLimit();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(options.port));
    if (inet_pton(AF_INET, options.host, &address.sin_addr) != 1) {
        std::fprintf(stderr, "boardload: %s is not an IPv4 address\n", options.host);
        return 2;
    }

    int epoll = epoll_create1(0);
    if (epoll < 0) {
        std::perror("epoll_create1");
        return 2;
    }
    const int64_t periodNs = NS_PER_S / options.boards;
    const int64_t totalRequests = int64_t(options.seconds * options.boards);
    std::vector<Request> requests(static_cast<size_t>(totalRequests));
    std::vector<int64_t> latencies;
    latencies.reserve(size_t(totalRequests));
    std::vector<int> open;  // indices of requests in flight, for time-outs
    int64_t failures = 0;
    int64_t refused = 0;
    int64_t timedOut = 0;
    int64_t badStatus = 0;
    char body[16384];

    auto finish = [&](int64_t index, bool ok, int64_t at) {
        Request& request = requests[size_t(index)];
        epoll_ctl(epoll, EPOLL_CTL_DEL, request.fd, nullptr);
        close(request.fd);
        request.fd = -1;
        if (ok) latencies.push_back(at - request.plannedNs);
        else ++failures;
    };

    const int64_t startNs = nowNs() + 10 * 1000000;
    int64_t nextIndex = 0;
    int64_t inFlight = 0;
    int64_t lastCheckNs = startNs;
    while (nextIndex < totalRequests || inFlight > 0) {
        int64_t now = nowNs();
        // Start every request whose moment has come.
        while (nextIndex < totalRequests && startNs + nextIndex * periodNs <= now) {
            Request& request = requests[size_t(nextIndex)];
            request.plannedNs = startNs + nextIndex * periodNs;
            request.board = int(nextIndex % options.boards) % options.boardNumbers + 1;
            request.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (request.fd < 0) {
                ++failures;
                ++refused;
                ++nextIndex;
                continue;
            }
            int one = 1;
            setsockopt(request.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            int rc = connect(request.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            if (rc < 0 && errno != EINPROGRESS) {
                close(request.fd);
                request.fd = -1;
                ++failures;
                ++refused;
                ++nextIndex;
                continue;
            }
            epoll_event event{};
            event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
            event.data.u64 = uint64_t(nextIndex);
            epoll_ctl(epoll, EPOLL_CTL_ADD, request.fd, &event);
            open.push_back(int(nextIndex));
            ++inFlight;
            ++nextIndex;
        }
        int64_t waitNs = nextIndex < totalRequests ? startNs + nextIndex * periodNs - nowNs() : 100000000;
        int waitMs = int(std::clamp<int64_t>(waitNs / 1000000, 0, 100));
        epoll_event events[MAX_EVENTS];
        int count = epoll_wait(epoll, events, MAX_EVENTS, waitMs);
        int64_t at = nowNs();
        for (int e = 0; e < count; ++e) {
            int64_t index = int64_t(events[e].data.u64);
            Request& request = requests[size_t(index)];
            if (request.fd < 0) continue;
            char path[128];
            std::snprintf(path, sizeof path, options.pathFormat, request.board);
            char text[256];
            int length = std::snprintf(text, sizeof text,
                                   "GET %s HTTP/1.0\r\nHost: %s:%d\r\nUser-Agent: boardload\r\n"
                                   "Connection: close\r\n\r\n",
                                   path, options.host, options.port);
            if ((events[e].events & EPOLLERR) && request.sent == 0) {
                finish(index, false, at);
                --inFlight;
                ++refused;
                continue;
            }
            if ((events[e].events & EPOLLOUT) && request.sent < size_t(length)) {
                ssize_t n = send(request.fd, text + request.sent, size_t(length) - request.sent, MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN) {
                    finish(index, false, at);
                    --inFlight;
                    ++refused;
                    continue;
                }
                if (n > 0) request.sent += size_t(n);
                if (request.sent == size_t(length)) {
                    epoll_event event{};
                    event.events = EPOLLIN | EPOLLRDHUP;
                    event.data.u64 = uint64_t(index);
                    epoll_ctl(epoll, EPOLL_CTL_MOD, request.fd, &event);
                }
            }
            if (events[e].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
                for (;;) {
                    ssize_t n = recv(request.fd, body, sizeof body, 0);
                    if (n > 0) {
                        for (ssize_t i = 0; i < n && request.received < HEAD_CAPACITY - 1; ++i)
                            request.head[request.received++] = body[i];
                        continue;
                    }
                    if (n == 0) {
                        // "HTTP/1.x 200" is the only success, as for the board.
                        bool ok = request.received >= 12 && std::memcmp(request.head, "HTTP/1.", 7) == 0 &&
                                  std::memcmp(request.head + 9, "200", 3) == 0;
                        if (!ok) ++badStatus;
                        finish(index, ok, at);
                        --inFlight;
                    } else if (errno != EAGAIN) {
                        ++refused;
                        finish(index, false, at);
                        --inFlight;
                    }
                    break;
                }
            }
        }
        // Time-outs, checked every 100 ms.
        if (at - lastCheckNs > 100000000) {
            lastCheckNs = at;
            size_t kept = 0;
            for (int index : open) {
                Request& request = requests[size_t(index)];
                if (request.fd < 0) continue;
                if (at - request.plannedNs > TIMEOUT_NS) {
                    finish(index, false, at);
                    --inFlight;
                    ++timedOut;
                    continue;
                }
                open[kept++] = index;
            }
            open.resize(kept);
        }
    }
    double elapsed = double(nowNs() - startNs) / double(NS_PER_S);
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        if (latencies.empty()) return 0.0;
        size_t at = size_t(p * double(latencies.size() - 1) + 0.5);
        return double(latencies[at]) / 1e6;
    };
    std::printf("boards=%d requests=%lld ok=%zu errors=%lld (refused/reset %lld, timed out %lld, not 200 %lld) "
                "rate=%.0f/s p50=%.2fms p99=%.2fms max=%.2fms\n",
                options.boards, (long long)totalRequests, latencies.size(), (long long)failures,
                (long long)refused, (long long)timedOut, (long long)badStatus,
                double(latencies.size()) / elapsed, percentile(0.50), percentile(0.99), percentile(1.0));
    return failures == 0 ? 0 : 1;
}
