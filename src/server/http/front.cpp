// The event-driven front on Boost.Asio: a couple of network threads, each
// with its own event loop and listening socket on the one port, every
// connection read and answered there with callbacks. Who may ask is
// checked when a connection is accepted (its address against boards_from
// and allow_from, the caps on open connections in total and per address),
// the whole header must come within a deadline, a body is read only up to its route's limit, and only a
// complete, allowed request reaches a handler. Handlers that may wait (the
// operator database) or burn CPU (password hashes, pictures) run on small
// pools with bounded queues; a full queue answers 503 at once. The pool for
// CPU-heavy work runs at a lower priority, so that on a machine with few
// cores the boards' polls come first. Every reply closes its connection, as
// the boards expect.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

// Boost 1.74's Asio uses std::exchange without including <utility>.
#include <utility>

#include <array>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <cstdio>
#include <deque>

#include "server/http/http.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using SteadyTime = std::chrono::steady_clock::time_point;

namespace {

constexpr size_t NETWORK_THREADS = 2;
constexpr size_t OPERATOR_THREADS = 2;
constexpr size_t OPERATOR_QUEUE = 64;
constexpr size_t HEAVY_THREADS = 2;
constexpr size_t HEAVY_QUEUE = 16;
// Nice value of the CPU-heavy pool's threads (0 is the network threads').
constexpr int32_t HEAVY_NICENESS = 10;
constexpr size_t READ_CHUNK = 4096;
// How often each loop looks for connections past their deadline.
constexpr auto SWEEP_EVERY = std::chrono::milliseconds(250);
// A connection refused at accept is held this long, unread, before it is
// closed: a client that reconnects the moment it is closed (as an attack
// on the connection caps does) then costs a connection a second instead of
// keeping the network threads busy accepting and closing. At most
// MOST_HELD per loop; past that they are closed at once.
constexpr auto REFUSED_HOLD = std::chrono::seconds(1);
constexpr size_t MOST_HELD = 512;

struct Front;
struct Connection;

// One network thread: its own event loop and listening socket (the kernel
// spreads new connections over the loops' sockets), and the connections it
// serves, kept in a list that is swept for deadlines. A loop never wakes
// another, so a board's poll costs no thread switch inside the server.
struct Loop {
    Front* front = nullptr;
    std::mutex listLock;          // guards the list; a connection may end on a worker thread
    Connection* first = nullptr;  // the open connections, newest first
    net::io_context io{1};        // run by this loop's thread alone
    tcp::acceptor acceptor{io};
    tcp::endpoint peer;  // filled by the accept in flight
    net::steady_timer sweep{io};
    // Refused connections held before their close, oldest first, each with
    // the moment it is closed.
    std::deque<std::pair<SteadyTime, tcp::socket>> held;
};

// The server's state. The loops come last, so that connections still
// queued in them when they are destroyed find the counts.
struct Front {
    const FrontSettings* settings = nullptr;
    std::mutex countLock;
    int32_t open = 0;                          // connections open now
    std::map<std::string, int32_t> byAddress;  // of them, by address (not for boards_from)
    RouteTable routes;
    WorkPool operatorWork;  // may wait on the operator database
    WorkPool heavyWork;     // hashes and pictures
    std::mutex rateLock;
    // Requests to rate-limited routes in the current second, by route and
    // address.
    std::map<std::pair<const HttpRoute*, std::string>, int32_t> rates;
    int64_t rateSecond = 0;  // the second counted
    std::vector<std::unique_ptr<Loop>> loops;
};

// One connection: one request, one reply, then closed. Its deadline is
// checked by its loop's sweep, which closes it when past: one time value
// per connection instead of a timer armed and cancelled for every step.
struct Connection : std::enable_shared_from_this<Connection> {
    Connection(Loop* owner, tcp::socket peerSocket, std::string peer, bool counted);
    ~Connection();

    Loop* loop;
    tcp::socket socket;
    std::string address;             // as people write it
    bool perAddress;                 // counted against its address's cap
    SteadyTime deadline;             // closed by the sweep when this has passed
    Connection* previous = nullptr;  // in the loop's list
    Connection* next = nullptr;
    RequestReader reader;
    std::array<char, READ_CHUNK> buffer{};
    HttpResponse response;
    std::string replyHead;  // the reply's status line and header, sent before response.body
    bool drain = false;     // the request was refused unread: read what follows a while before closing
    size_t drained = 0;     // bytes read and dropped so far
};

Connection::Connection(Loop* owner, tcp::socket peerSocket, std::string peer, bool counted)
    : loop(owner), socket(std::move(peerSocket)), address(std::move(peer)), perAddress(counted) {
    std::lock_guard<std::mutex> hold(loop->listLock);
    next = loop->first;
    if (next != nullptr) {
        next->previous = this;
    }
    loop->first = this;
}

Connection::~Connection() {
    {
        std::lock_guard<std::mutex> hold(loop->listLock);
        (previous != nullptr ? previous->next : loop->first) = next;
        if (next != nullptr) {
            next->previous = previous;
        }
    }
    Front* front = loop->front;
    std::lock_guard<std::mutex> hold(front->countLock);
    --front->open;
    if (perAddress) {
        auto found = front->byAddress.find(address);
        if (found != front->byAddress.end() && --found->second <= 0) {
            front->byAddress.erase(found);
        }
    }
}

void expiresIn(Connection* connection, int32_t seconds) {
    connection->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

// Closes the loop's connections past their deadline; their pending reads
// and writes end with an error, and with them the connections.
void sweepLater(Loop* loop) {
    loop->sweep.expires_after(SWEEP_EVERY);
    loop->sweep.async_wait([loop](beast::error_code error) {
        if (error) {
            return;
        }
        const SteadyTime now = std::chrono::steady_clock::now();
        while (!loop->held.empty() && loop->held.front().first <= now) {
            beast::error_code ignored;
            loop->held.front().second.close(ignored);
            loop->held.pop_front();
        }
        {
            std::lock_guard<std::mutex> hold(loop->listLock);
            for (Connection* connection = loop->first; connection != nullptr; connection = connection->next) {
                if (connection->deadline <= now && connection->socket.is_open()) {
                    beast::error_code ignored;
                    connection->socket.close(ignored);
                }
            }
        }
        sweepLater(loop);
    });
}

const char* const PLAIN_TEXT = "text/plain; charset=utf-8";

void readMore(const std::shared_ptr<Connection>& connection);

constexpr size_t MOST_DRAINED = 1024 * 1024;
constexpr int32_t DRAIN_SECONDS = 2;

// After refusing a request whose body is still coming, the rest is read
// and dropped for a moment before the close: closing on unread data resets
// the connection, and the peer could lose the refusal with it.
void drainThenClose(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_read_some(net::buffer(connection->buffer),
                                       [connection](beast::error_code error, size_t got) {
                                           connection->drained += got;
                                           if (error || connection->drained > MOST_DRAINED) {
                                               beast::error_code ignored;
                                               connection->socket.close(ignored);
                                               return;
                                           }
                                           drainThenClose(connection);
                                       });
}

bool sameName(const std::string& name, const char* other) {
    return beast::iequals(name, other);
}

// The status line and header of a reply, as Beast's own serializer writes
// them, in one string: every board poll is answered this way, and the
// serializer's generic machinery cost more than the rest of the reply.
void writeReplyHead(const HttpResponse& response, std::string* head) {
    const auto status = static_cast<unsigned>(response.status);
    head->clear();
    head->append("HTTP/1.1 ").append(std::to_string(status)).append(" ");
    const beast::string_view reason = http::obsolete_reason(http::int_to_status(status));
    head->append(reason.data(), reason.size());
    head->append("\r\n");
    if (!response.contentType.empty()) {
        head->append("Content-Type: ").append(response.contentType).append("\r\n");
    }
    for (const auto& [name, value] : response.headers) {
        if (!sameName(name, "Content-Type") && !sameName(name, "Content-Length") &&
            !sameName(name, "X-Content-Type-Options") && !sameName(name, "Connection")) {
            head->append(name).append(": ").append(value).append("\r\n");
        }
    }
    head->append("X-Content-Type-Options: nosniff\r\nConnection: close\r\n");
    // No length where a reply may have no body.
    if (status >= 200 && status != 204 && status != 304) {
        head->append("Content-Length: ").append(std::to_string(response.body.size())).append("\r\n");
    }
    head->append("\r\n");
}

// Sends the reply and closes; the peer has replySeconds to take it.
void sendReply(const std::shared_ptr<Connection>& connection) {
    HttpResponse& response = connection->response;
    if (response.body.empty() && response.status >= 400) {
        response.setContent(std::to_string(response.status) + "\n", PLAIN_TEXT);
    }
    writeReplyHead(response, &connection->replyHead);
    const std::array<net::const_buffer, 2> reply{net::buffer(connection->replyHead),
                                                 net::buffer(response.body)};
    expiresIn(connection.get(), connection->loop->front->settings->replySeconds);
    net::async_write(connection->socket, reply, [connection](beast::error_code error, size_t) {
        beast::error_code ignored;
        if (!error && connection->drain) {
            connection->socket.shutdown(tcp::socket::shutdown_send, ignored);
            expiresIn(connection.get(), DRAIN_SECONDS);
            drainThenClose(connection);
            return;
        }
        // The whole request was read and the reply sent: the close alone
        // ends the connection cleanly.
        connection->socket.close(ignored);
    });
}

// Answers without running a handler; `unread`: the request was not read
// to its end.
void refuseWith(const std::shared_ptr<Connection>& connection, int32_t status, const char* text,
                bool unread) {
    connection->drain = unread;
    connection->response = HttpResponse{};
    connection->response.status = status;
    connection->response.setContent(text, PLAIN_TEXT);
    if (status == 503) {
        connection->response.setHeader("Retry-After", "1");
    }
    sendReply(connection);
}

// Whether the address may have one more request of the route this second.
bool withinRate(Front* front, const HttpRoute* route, const std::string& address) {
    const int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    std::lock_guard<std::mutex> hold(front->rateLock);
    if (second != front->rateSecond) {
        front->rates.clear();
        front->rateSecond = second;
    }
    return ++front->rates[{route, address}] <= route->mostPerSecond;
}

// Runs the route's handler where its kind of work belongs.
void dispatch(const std::shared_ptr<Connection>& connection) {
    const HttpRoute* route = connection->reader.route;
    connection->reader.request.remoteAddress = connection->address;
    if (route->mostPerSecond > 0 && !withinRate(connection->loop->front, route, connection->address)) {
        // Answered late, so that a client asking in a loop asks once a
        // second instead of keeping a network thread busy.
        auto timer = std::make_shared<net::steady_timer>(connection->socket.get_executor(), REFUSED_HOLD);
        timer->async_wait([connection, timer](beast::error_code) {
            refuseWith(connection, 429, "too many requests; try again\n", false);
        });
        return;
    }
    if (route->work == RouteWork::NETWORK) {
        route->handler(connection->reader.request, connection->response);
        sendReply(connection);
        return;
    }
    WorkPool* pool = route->work == RouteWork::HEAVY ? &connection->loop->front->heavyWork
                                                     : &connection->loop->front->operatorWork;
    const bool queued = workPoolPost(pool, [connection, route] {
        route->handler(connection->reader.request, connection->response);
        net::post(connection->socket.get_executor(), [connection] { sendReply(connection); });
    });
    if (!queued) {
        refuseWith(connection, 503, "busy; try again\n", false);
    }
}

// The header is read: the board API answers boards_from, the rest
// allow_from.
bool mayAsk(const Connection& connection) {
    const FrontSettings& settings = *connection.loop->front->settings;
    return connection.reader.route->audience == RouteAudience::BOARDS
               ? addressAllowed(connection.address, settings.boardsFrom)
               : settings.operatorAllowed(connection.address);
}

void onRead(const std::shared_ptr<Connection>& connection, beast::error_code error, size_t got) {
    if (error) {
        return;  // closed, reset or past its deadline: the connection ends
    }
    const RouteTable& routes = connection->loop->front->routes;
    ReadStep step = requestReaderFeed(&connection->reader, routes, connection->buffer.data(), got);
    if (step == ReadStep::HEADER) {
        if (!mayAsk(*connection)) {
            refuseWith(connection, 403, "not open to this address\n", true);
            return;
        }
        expiresIn(connection.get(), connection->loop->front->settings->bodySeconds);
        step = requestReaderFeed(&connection->reader, routes, nullptr, 0);
    }
    if (step == ReadStep::MORE) {
        readMore(connection);
    } else if (step == ReadStep::DONE) {
        dispatch(connection);
    } else if (step == ReadStep::REFUSED) {
        refuseWith(connection, connection->reader.refusal, "refused\n", true);
    }
}

void readMore(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_read_some(
        net::buffer(connection->buffer),
        [connection](beast::error_code error, size_t got) { onRead(connection, error, got); });
}

// A peer's address as people write it: IPv4-mapped IPv6 as IPv4.
std::string peerAddress(const tcp::endpoint& peer) {
    net::ip::address address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
}

// Whether a new connection from `address` may stay open; counts it when it
// may.
bool admit(Front* front, const std::string& address, bool* perAddress) {
    const FrontSettings& settings = *front->settings;
    const bool board = !settings.boardsFrom.empty() && addressAllowed(address, settings.boardsFrom);
    const bool boardsOpen = settings.boardsFrom.empty();
    if (!board && !boardsOpen && !settings.operatorAllowed(address)) {
        return false;  // nothing here for it
    }
    std::lock_guard<std::mutex> hold(front->countLock);
    // The last tenth of the connections is kept for the listed boards.
    const int32_t reserve = board ? 0 : settings.mostConnections / 10;
    if (front->open >= settings.mostConnections - reserve) {
        return false;
    }
    *perAddress = !board;
    if (*perAddress) {
        int32_t& count = front->byAddress[address];
        if (count >= settings.mostConnectionsPerAddress) {
            if (count == 0) {
                front->byAddress.erase(address);
            }
            return false;
        }
        ++count;
    }
    ++front->open;
    return true;
}

void acceptNext(Loop* loop);

// An accept that failed (out of descriptors, most likely) is tried again a
// moment later instead of at once, which would only spin.
void acceptLater(Loop* loop) {
    auto timer = std::make_shared<net::steady_timer>(loop->io, std::chrono::milliseconds(50));
    timer->async_wait([loop, timer](beast::error_code) { acceptNext(loop); });
}

// A new connection: admitted and read, or closed at once.
void onAccept(Loop* loop, tcp::socket socket, const tcp::endpoint& peer) {
    const std::string address = peerAddress(peer);
    bool perAddress = false;
    if (!admit(loop->front, address, &perAddress)) {
        if (loop->held.size() < MOST_HELD) {
            loop->held.emplace_back(std::chrono::steady_clock::now() + REFUSED_HOLD, std::move(socket));
        } else {
            beast::error_code ignored;
            socket.close(ignored);
        }
        return;
    }
    auto connection = std::make_shared<Connection>(loop, std::move(socket), address, perAddress);
    requestReaderStart(&connection->reader);
    // One deadline for the whole header, however slowly it drips.
    expiresIn(connection.get(), loop->front->settings->headerSeconds);
    readMore(connection);
}

void acceptNext(Loop* loop) {
    loop->acceptor.async_accept(loop->peer, [loop](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted) {
            return;  // stopping
        }
        if (error) {
            acceptLater(loop);
            return;
        }
        onAccept(loop, std::move(socket), loop->peer);
        acceptNext(loop);
    });
}

// The port in use, written whole (through a temporary file renamed into
// place) for whoever started the server without a fixed port.
bool writePortFile(const std::string& portFile, int port) {
    const std::string temporary = portFile + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr || std::fprintf(file, "%d\n", port) < 0 || std::fclose(file) != 0 ||
        std::rename(temporary.c_str(), portFile.c_str()) != 0) {
        serverLog("cannot write " + portFile);
        return false;
    }
    return true;
}

using ReusePort = net::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

// Opens and binds one listening socket; `shared`: with SO_REUSEPORT, so
// that every loop listens on the same port.
bool bindAcceptor(tcp::acceptor* acceptor, const tcp::endpoint& endpoint, bool shared) {
    beast::error_code error;
    acceptor->open(endpoint.protocol(), error);
    if (!error) {
        acceptor->set_option(net::socket_base::reuse_address(true), error);
    }
    if (!error && shared) {
        acceptor->set_option(ReusePort(true), error);
    }
    if (!error && endpoint.address().is_v6()) {
        acceptor->set_option(net::ip::v6_only(false), error);
    }
    if (!error) {
        acceptor->bind(endpoint, error);
    }
    return !error;
}

// Every loop listens on the same address and port. The port is first
// bound alone, without SO_REUSEPORT: a port another server (this one
// included) already listens on is refused then, instead of being shared
// with it.
bool listenOn(Front* front, const std::string& listen, int32_t port, int32_t* bound) {
    beast::error_code error;
    const net::ip::address address = net::ip::make_address(listen, error);
    if (error) {
        return false;
    }
    tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    {
        tcp::acceptor probe(front->loops.front()->io);
        if (!bindAcceptor(&probe, endpoint, false)) {
            return false;
        }
        endpoint.port(probe.local_endpoint().port());
    }
    for (const std::unique_ptr<Loop>& loop : front->loops) {
        if (!bindAcceptor(&loop->acceptor, endpoint, true)) {
            return false;
        }
        loop->acceptor.listen(net::socket_base::max_listen_connections, error);
        if (error) {
            return false;
        }
    }
    *bound = endpoint.port();
    return true;
}

// Raises the limit on open files to what the connection caps need (a
// service starts with 1,024, fewer than the default cap of connections);
// says so when the system's hard limit is lower.
void raiseOpenFiles(const FrontSettings& settings) {
    constexpr rlim_t OWN_FILES = 256;  // store, databases, melodies, log and slack
    const rlim_t wanted =
        static_cast<rlim_t>(settings.mostConnections) + MOST_HELD * NETWORK_THREADS + OWN_FILES;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < wanted) {
        serverLog("open files are limited to " + std::to_string(limit.rlim_cur) + ", fewer than the " +
                  std::to_string(wanted) + " most_connections needs: raise LimitNOFILE");
    }
}

}  // namespace

int32_t runFront(const FrontSettings& settings, std::vector<HttpRoute> routes, const std::string& listen,
                 int32_t port, const std::string& portFile) {
    Front front;
    front.settings = &settings;
    routeTableBuild(&front.routes, std::move(routes));
    raiseOpenFiles(settings);
    for (size_t i = 0; i < NETWORK_THREADS; ++i) {
        front.loops.push_back(std::make_unique<Loop>());
        front.loops.back()->front = &front;
    }
    // SIGTERM and SIGINT stop the server, also when they come before it
    // listens.
    signal(SIGPIPE, SIG_IGN);
    net::signal_set stopSignals(front.loops.front()->io, SIGTERM, SIGINT);
    stopSignals.async_wait([&front](beast::error_code, int) {
        for (const std::unique_ptr<Loop>& loop : front.loops) {
            loop->io.stop();
        }
    });
    int32_t bound = 0;
    if (!listenOn(&front, listen, port, &bound)) {
        serverLog("cannot listen on " + listen + " port " + std::to_string(port));
        return 1;
    }
    if (!portFile.empty() && !writePortFile(portFile, bound)) {
        return 1;
    }
    workPoolStart(&front.operatorWork, OPERATOR_THREADS, OPERATOR_QUEUE);
    workPoolStart(&front.heavyWork, HEAVY_THREADS, HEAVY_QUEUE, HEAVY_NICENESS);
    serverLog("serving on " + listen + " port " + std::to_string(bound));
    for (const std::unique_ptr<Loop>& loop : front.loops) {
        acceptNext(loop.get());
        sweepLater(loop.get());
    }
    std::vector<std::thread> network;
    for (size_t i = 1; i < front.loops.size(); ++i) {
        network.emplace_back([loop = front.loops[i].get()] { loop->io.run(); });
    }
    front.loops.front()->io.run();
    for (std::thread& thread : network) {
        thread.join();
    }
    // Jobs still queued finish; their replies are dropped with the loop.
    workPoolStop(&front.operatorWork);
    workPoolStop(&front.heavyWork);
    return 0;
}

void workPoolStart(WorkPool* pool, size_t threads, size_t mostQueued, int32_t niceness) {
    pool->mostQueued = mostQueued;
    for (size_t i = 0; i < threads; ++i) {
        pool->threads.emplace_back([pool, niceness] {
            // Linux gives each thread its own nice value. Failing to lower
            // it leaves the thread at the server's: slower boards, not wrong.
            if (niceness != 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceness) != 0) {
                serverLog("cannot lower a worker's priority");
            }
            std::unique_lock<std::mutex> hold(pool->lock);
            while (true) {
                pool->wake.wait(hold, [pool] { return pool->stopping || !pool->queue.empty(); });
                if (pool->queue.empty()) {
                    return;
                }
                std::function<void()> job = std::move(pool->queue.front());
                pool->queue.pop_front();
                hold.unlock();
                job();
                hold.lock();
            }
        });
    }
}

bool workPoolPost(WorkPool* pool, std::function<void()> job) {
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        if (pool->stopping || pool->queue.size() >= pool->mostQueued) {
            return false;
        }
        pool->queue.push_back(std::move(job));
    }
    pool->wake.notify_one();
    return true;
}

void workPoolStop(WorkPool* pool) {
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->stopping = true;
    }
    pool->wake.notify_all();
    for (std::thread& thread : pool->threads) {
        thread.join();
    }
    pool->threads.clear();
}
