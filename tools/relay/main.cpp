// tolvane-relay: a shaping TCP relay on loopback for the tests and benchmarks. It forwards every
// connection it accepts to one target, with a rate per direction and an added one-way latency,
// and can be told to go silent. It prints its ports and "ready" on standard output, then relays
// on one libuv loop until SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <uv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "link.h"

namespace {

const char kUsage[] =
    "usage: tolvane-relay --to HOST:PORT [--listen PORT] [--listen6 PORT]\n"
    "           [--up-rate RATE] [--down-rate RATE] [--latency-ms N] [--stall-after BYTES]\n"
    "  HOST is a numeric loopback address, an IPv6 one in brackets ([::1]:PORT); --listen\n"
    "  listens on 127.0.0.1 (port 0 by default: the system chooses), --listen6 on ::1.\n"
    "  A RATE is bytes per second with an optional K, M or G (powers of 1024).\n";

[[noreturn]] void usage(const std::string &why) {
    fprintf(stderr, "tolvane-relay: %s\n%s", why.c_str(), kUsage);
    exit(2);
}

struct Listener {
    const char *name;  // as printed with the port
    const char *address;
    int port;
    uv_tcp_t handle;
};

struct Options {
    relay::Shape shape;
    std::vector<Listener> listeners;
};

std::optional<uint64_t> parse_number(std::string_view v, uint64_t max) {
    uint64_t n = 0;
    if (v.empty() || v.size() > 20) return std::nullopt;
    for (char c : v) {
        if (c < '0' || c > '9' || n > (max - static_cast<uint64_t>(c - '0')) / 10)
            return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    return n;
}

// Far beyond loopback's speed, and small enough that rate times latency cannot overflow.
constexpr uint64_t kMaxRate = 1ull << 40;

std::optional<uint64_t> parse_rate(std::string_view v) {
    unsigned shift = 0;
    if (!v.empty()) {
        switch (v.back()) {
            case 'K':
            case 'k':
                shift = 10;
                break;
            case 'M':
            case 'm':
                shift = 20;
                break;
            case 'G':
            case 'g':
                shift = 30;
                break;
        }
        if (shift) v.remove_suffix(1);
    }
    std::optional<uint64_t> n = parse_number(v, kMaxRate >> shift);
    if (!n || *n == 0) return std::nullopt;
    return *n << shift;
}

// HOST:PORT with a numeric loopback host, an IPv6 one in brackets.
bool parse_target(const std::string &v, sockaddr_storage *out) {
    size_t colon = v.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = v.substr(0, colon);
    std::optional<uint64_t> port = parse_number(std::string_view(v).substr(colon + 1), 65535);
    if (!port || *port == 0) return false;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        auto *s6 = reinterpret_cast<sockaddr_in6 *>(out);
        return uv_ip6_addr(host.substr(1, host.size() - 2).c_str(), static_cast<int>(*port), s6) ==
                   0 &&
               IN6_IS_ADDR_LOOPBACK(&s6->sin6_addr);
    }
    auto *s4 = reinterpret_cast<sockaddr_in *>(out);
    return uv_ip4_addr(host.c_str(), static_cast<int>(*port), s4) == 0 &&
           (ntohl(s4->sin_addr.s_addr) >> 24) == 127;
}

Options parse_args(int argc, char **argv) {
    Options o;
    bool have_target = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::optional<std::string> attached;  // --name=value
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            attached = arg.substr(eq + 1);
            arg.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (attached) return *attached;
            if (i + 1 >= argc) usage(arg + " needs a value");
            return argv[++i];
        };
        auto number = [&](uint64_t max) {
            std::string v = value();
            std::optional<uint64_t> n = parse_number(v, max);
            if (!n) usage("bad value for " + arg + ": " + v);
            return *n;
        };
        auto rate = [&]() {
            std::string v = value();
            std::optional<uint64_t> n = parse_rate(v);
            if (!n) usage("bad rate for " + arg + ": " + v);
            return *n;
        };
        if (arg == "--to") {
            std::string v = value();
            if (!parse_target(v, &o.shape.target)) usage("not a loopback HOST:PORT: " + v);
            have_target = true;
        } else if (arg == "--listen") {
            o.listeners.push_back({"relay", "127.0.0.1", static_cast<int>(number(65535)), {}});
        } else if (arg == "--listen6") {
            o.listeners.push_back({"relay6", "::1", static_cast<int>(number(65535)), {}});
        } else if (arg == "--up-rate") {
            o.shape.up_rate = rate();
        } else if (arg == "--down-rate") {
            o.shape.down_rate = rate();
        } else if (arg == "--latency-ms") {
            o.shape.latency_ms = number(600000);
        } else if (arg == "--stall-after") {
            o.shape.stall_after = number(UINT64_MAX);
        } else if (arg == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        } else {
            usage("unknown argument " + arg);
        }
    }
    if (!have_target) usage("--to is required");
    if (o.listeners.empty()) o.listeners.push_back({"relay", "127.0.0.1", 0, {}});
    return o;
}

Options options;
uv_signal_t signals[2];

void on_connection(uv_stream_t *server, int status) {
    if (status < 0) {
        relay::log("listen: %s", uv_strerror(status));
        return;
    }
    relay::accept_one(server, options.shape);
}

void on_signal(uv_signal_t *s, int signum) {
    relay::log("stopping on signal %d", signum);
    for (uv_signal_t &h : signals) uv_close(reinterpret_cast<uv_handle_t *>(&h), nullptr);
    for (Listener &l : options.listeners)
        uv_close(reinterpret_cast<uv_handle_t *>(&l.handle), nullptr);
    relay::close_all();
    (void)s;
}

// Listens on l.address and l.port; sets l.port to the port taken.
int listen_on(uv_loop_t *loop, Listener &l) {
    sockaddr_storage addr{};
    int r = strchr(l.address, ':')
                ? uv_ip6_addr(l.address, l.port, reinterpret_cast<sockaddr_in6 *>(&addr))
                : uv_ip4_addr(l.address, l.port, reinterpret_cast<sockaddr_in *>(&addr));
    if (r < 0) return r;
    if ((r = uv_tcp_init_ex(loop, &l.handle, addr.ss_family)) < 0) return r;
    // Accepted sockets inherit these, before their handshake sets the window.
    uv_os_fd_t fd;
    if ((r = uv_fileno(reinterpret_cast<uv_handle_t *>(&l.handle), &fd)) < 0) return r;
    relay::set_buffers(fd);
    if ((r = uv_tcp_bind(&l.handle, reinterpret_cast<const sockaddr *>(&addr), 0)) < 0) return r;
    if ((r = uv_listen(reinterpret_cast<uv_stream_t *>(&l.handle), 128, on_connection)) < 0)
        return r;
    int len = sizeof addr;
    if ((r = uv_tcp_getsockname(&l.handle, reinterpret_cast<sockaddr *>(&addr), &len)) < 0)
        return r;
    l.port = ntohs(reinterpret_cast<sockaddr_in *>(&addr)->sin_port);  // same place in both
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    options = parse_args(argc, argv);
    uv_loop_t *loop = uv_default_loop();
    for (Listener &l : options.listeners) {
        int r = listen_on(loop, l);
        if (r < 0) {
            relay::log("cannot listen on %s port %d: %s", l.address, l.port, uv_strerror(r));
            return 1;
        }
    }
    int signums[] = {SIGTERM, SIGINT};
    for (int i = 0; i < 2; i++) {
        uv_signal_init(loop, &signals[i]);
        uv_signal_start(&signals[i], on_signal, signums[i]);
    }
    for (const Listener &l : options.listeners) printf("%s %d\n", l.name, l.port);
    printf("ready\n");
    fflush(stdout);
    uv_run(loop, UV_RUN_DEFAULT);
    uv_loop_close(loop);
    return 0;
}
