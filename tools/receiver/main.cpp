// tolvane-receiver: a crash store on loopback for the end-to-end tests, the demo and the
// benchmarks. It prints its ports and "ready" on standard output, then serves each connection
// on a thread of its own until SIGTERM or SIGINT.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "conn.h"
#include "http.h"
#include "session.h"
#include "store.h"
#include "tls.h"

namespace {

const char kUsage[] =
    "usage: tolvane-receiver --store DIR [--token HEX64]... [--http PORT] [--https PORT]\n"
    "           [--session PORT] [--session-tls PORT] [--cert-out FILE] [--key-out FILE]\n"
    "           [--address ADDR] [--session-body TEXT | --session-body-text TEXT]\n"
    "           [--misbehave-after N] [--delay-ms N]\n"
    "           [--reply-body TEXT [--status CODE] [--reply-type TYPE]]\n"
    "           [--close-without-reply] [--close-before-body] [--reply-pad N]\n"
    "           [--reply-endless] [--close-after-reply] [--close-on-reuse]\n"
    "           [--session-status S [--session-substatus X]] [--session-length L]\n"
    "           [--session-split N] [--session-close] [--session-silent] [--discard]\n"
    "           [--session-pad N] [--session-endless] [--session-extra] [--session-early]\n"
    "           [--session-greet]\n"
    "           [--body-pause-ms N] [--body-reset]\n";

constexpr int kMaxConnections = 256;
constexpr int kIdleSeconds = 300;  // a silent peer gives its thread back after this

std::atomic<int> active_connections{0};

[[noreturn]] void usage(const std::string &why) {
    fprintf(stderr, "tolvane-receiver: %s\n%s", why.c_str(), kUsage);
    exit(2);
}

[[noreturn]] void die(const std::string &why) {
    rx::log("%s", why.c_str());
    exit(1);
}

struct Listener {
    std::string name;  // the option without its dashes, as printed with the port
    int port;
    int fd = -1;

    bool tls() const { return name == "https" || name == "session-tls"; }
    bool session() const { return name.rfind("session", 0) == 0; }
};

struct Options {
    std::string store;
    std::string address = "127.0.0.1";
    std::string cert_out;
    std::string key_out;
    std::vector<Listener> listeners;
    std::vector<std::string> tokens;
    rx::Misbehaviour misbehave;
    std::optional<std::string> session_body;
    bool session_body_text = false;
    bool discard = false;
};

std::array<unsigned char, 32> token_bytes(const std::string &hex) {
    std::array<unsigned char, 32> raw;
    for (size_t i = 0; i < raw.size(); i++)
        raw[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return raw;
}

Options parse_args(int argc, char **argv) {
    Options o;
    bool status_given = false;
    bool substatus_given = false;
    bool session_option = false;  // one that only a session listener can use
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
        auto number = [&](uint64_t min, uint64_t max) {
            std::string v = value();
            uint64_t n = 0;
            bool ok = !v.empty() && v.size() <= 20;
            for (char c : v) {
                if (c < '0' || c > '9' || n > (max - static_cast<uint64_t>(c - '0')) / 10) {
                    ok = false;
                    break;
                }
                n = n * 10 + static_cast<uint64_t>(c - '0');
            }
            if (!ok || n < min) usage("bad value for " + arg + ": " + v);
            return n;
        };
        auto flag = [&](bool &f) {
            if (attached) usage(arg + " takes no value");
            f = true;
        };
        if (arg == "--store") {
            o.store = value();
        } else if (arg == "--token") {
            std::string t = value();
            bool ok = t.size() == 64;
            for (char &c : t) {
                ok = ok && isxdigit(static_cast<unsigned char>(c));
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            }
            if (!ok) usage("a token is 64 hexadecimal digits");
            o.tokens.push_back(t);
        } else if (arg == "--http" || arg == "--https" || arg == "--session" ||
                   arg == "--session-tls") {
            o.listeners.push_back({arg.substr(2), static_cast<int>(number(0, 65535))});
        } else if (arg == "--cert-out") {
            o.cert_out = value();
        } else if (arg == "--key-out") {
            o.key_out = value();
        } else if (arg == "--address") {
            o.address = value();
        } else if (arg == "--reply-body") {
            o.misbehave.reply_body = value();
        } else if (arg == "--status") {
            o.misbehave.status = static_cast<int>(number(100, 999));
            status_given = true;
        } else if (arg == "--reply-type") {
            o.misbehave.reply_type = value();
            status_given = true;
        } else if (arg == "--delay-ms") {
            o.misbehave.delay_ms = static_cast<unsigned>(number(0, UINT_MAX));
        } else if (arg == "--body-pause-ms") {
            o.misbehave.body_pause_ms = static_cast<unsigned>(number(0, UINT_MAX));
        } else if (arg == "--body-reset") {
            flag(o.misbehave.body_reset);
        } else if (arg == "--close-without-reply") {
            flag(o.misbehave.close_without_reply);
        } else if (arg == "--close-before-body") {
            flag(o.misbehave.close_before_body);
        } else if (arg == "--reply-pad") {
            o.misbehave.reply_pad = number(0, 1u << 30);
        } else if (arg == "--reply-endless") {
            flag(o.misbehave.reply_endless);
        } else if (arg == "--close-after-reply") {
            flag(o.misbehave.close_after_reply);
        } else if (arg == "--close-on-reuse") {
            flag(o.misbehave.close_on_reuse);
        } else if (arg == "--session-body" || arg == "--session-body-text") {
            if (o.session_body) usage("--session-body and --session-body-text exclude each other");
            o.session_body = value();
            o.session_body_text = arg == "--session-body-text";
            session_option = true;
        } else if (arg == "--session-status") {
            o.misbehave.session_status = static_cast<uint32_t>(number(0, UINT32_MAX));
            session_option = true;
        } else if (arg == "--session-substatus") {
            o.misbehave.session_substatus = number(0, UINT64_MAX);
            substatus_given = session_option = true;
        } else if (arg == "--session-split") {
            o.misbehave.session_split = number(1, SIZE_MAX);
            session_option = true;
        } else if (arg == "--session-close") {
            flag(o.misbehave.session_close);
            session_option = true;
        } else if (arg == "--session-silent") {
            flag(o.misbehave.session_silent);
            session_option = true;
        } else if (arg == "--session-length") {
            o.misbehave.session_length = number(0, UINT64_MAX);
            session_option = true;
        } else if (arg == "--session-pad") {
            o.misbehave.session_pad = number(0, 1u << 30);
            session_option = true;
        } else if (arg == "--session-endless" || arg == "--session-extra" ||
                   arg == "--session-early" || arg == "--session-greet") {
            flag(arg == "--session-endless" ? o.misbehave.session_endless
                 : arg == "--session-extra" ? o.misbehave.session_extra
                 : arg == "--session-early" ? o.misbehave.session_early
                                            : o.misbehave.session_greet);
            session_option = true;
        } else if (arg == "--misbehave-after") {
            o.misbehave.after = number(0, UINT64_MAX);
        } else if (arg == "--discard") {
            flag(o.discard);
        } else if (arg == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        } else {
            usage("unknown argument " + arg);
        }
    }
    if (o.store.empty()) usage("--store is required");
    if (!rx::is_loopback(o.address)) usage("not a numeric loopback address: " + o.address);
    int modes = o.misbehave.reply_body.has_value() + o.misbehave.close_without_reply +
                o.misbehave.close_before_body;
    if (modes > 1)
        usage("--reply-body, --close-without-reply and --close-before-body exclude each other");
    if (status_given && !o.misbehave.reply_body)
        usage("--status and --reply-type go with --reply-body");
    const rx::Misbehaviour &m = o.misbehave;
    if (substatus_given && !m.session_status)
        usage("--session-substatus goes with --session-status");
    if (m.session_close && m.session_silent)
        usage("--session-close and --session-silent exclude each other");
    if ((m.session_close || m.session_silent) &&
        (m.session_status || m.session_length || m.session_split > 0 || m.session_pad > 0 ||
         m.session_endless || m.session_extra || m.session_early))
        usage("a session that is not answered has no use for the options that shape its answer");
    if (o.listeners.empty()) o.listeners.push_back({"http", 0});
    bool session = false;
    for (const Listener &l : o.listeners) {
        if (l.name == "https" && o.cert_out.empty()) usage("--https needs --cert-out");
        session |= l.session();
    }
    if (session_option && !session)
        usage("the --session-... options need --session or --session-tls");
    return o;
}

struct Configs {
    rx::HttpConfig http;
    rx::SessionConfig session;
};

void serve(int fd, SSL_CTX *tls, bool session, uint64_t id, const Configs *configs) {
    try {
        std::unique_ptr<rx::Stream> s =
            tls ? rx::make_tls_stream(tls, fd) : std::make_unique<rx::Stream>(fd);
        if (s->handshake()) {
            if (session) {
                rx::serve_session(*s, configs->session, id);
            } else {
                rx::serve_http(*s, configs->http, id);
            }
        }
    } catch (const std::exception &e) {
        rx::log("#%llu dropped: %s", static_cast<unsigned long long>(id), e.what());
    }
    active_connections--;
}

}  // namespace

int main(int argc, char **argv) {
    // Blocked before anything else, so that a stop is never the default action; every thread
    // inherits the mask, and the signals arrive only through the signalfd.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    Options o = parse_args(argc, argv);
    int sfd = signalfd(-1, &stop, SFD_CLOEXEC);
    if (sfd < 0) die(std::string("signalfd: ") + strerror(errno));

    if (mkdir(o.store.c_str(), 0755) != 0 && errno != EEXIST)
        die("cannot create " + o.store + ": " + strerror(errno));
    char *real = realpath(o.store.c_str(), nullptr);
    struct stat st;
    if (real == nullptr || stat(real, &st) != 0 || !S_ISDIR(st.st_mode))
        die(o.store + ": not a usable directory");
    rx::Store store(real, o.discard);

    rx::TlsContexts tls;
    bool want_tls = !o.cert_out.empty() || !o.key_out.empty();
    for (const Listener &l : o.listeners) want_tls |= l.tls();
    if (want_tls && !rx::make_tls_contexts(o.address, o.cert_out, o.key_out, &tls)) return 1;

    std::vector<pollfd> fds;
    for (Listener &l : o.listeners) {
        int bound = 0;
        if ((l.fd = rx::listen_on(o.address, l.port, &bound)) < 0) {
            die("cannot listen on " + o.address + " port " + std::to_string(l.port) + ": " +
                strerror(errno));
        }
        l.port = bound;
        fds.push_back({l.fd, POLLIN, 0});
    }
    fds.push_back({sfd, POLLIN, 0});
    for (const Listener &l : o.listeners) printf("%s %d\n", l.name.c_str(), l.port);
    printf("ready\n");
    fflush(stdout);
    rx::log("storing in %s%s", real, o.discard ? " (bodies discarded)" : "");
    free(real);

    Configs configs;
    configs.http.store = configs.session.store = &store;
    configs.http.tokens = o.tokens;
    for (const std::string &t : o.tokens) configs.session.tokens.push_back(token_bytes(t));
    configs.http.misbehave = configs.session.misbehave = o.misbehave;
    configs.session.body = o.session_body;
    configs.session.body_text = o.session_body_text;
    uint64_t conn_id = 0;
    while (true) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            die(std::string("poll: ") + strerror(errno));
        }
        if (fds.back().revents != 0) {
            signalfd_siginfo si;
            ssize_t n = read(sfd, &si, sizeof si);
            rx::log("stopping on signal %d", n == sizeof si ? static_cast<int>(si.ssi_signo) : 0);
            store.shutdown();
            // Connection threads are still blocked in reads; nothing they hold needs saving.
            _exit(0);
        }
        for (size_t i = 0; i < o.listeners.size(); i++) {
            if (fds[i].revents == 0) continue;
            int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    rx::log("accept: %s", strerror(errno));
                    usleep(50000);  // the pending connection stays; do not spin on it
                }
                continue;
            }
            if (active_connections >= kMaxConnections) {
                rx::log("too many connections; one refused");
                close(c);
                continue;
            }
            int one = 1;
            timeval idle{kIdleSeconds, 0};
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
            setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
            active_connections++;
            const Listener &l = o.listeners[i];
            SSL_CTX *ctx = !l.tls() ? nullptr : l.session() ? tls.session : tls.https;
            try {
                std::thread(serve, c, ctx, l.session(), ++conn_id, &configs).detach();
            } catch (const std::system_error &e) {
                active_connections--;
                close(c);
                rx::log("cannot start a connection thread: %s", e.what());
            }
        }
    }
}
