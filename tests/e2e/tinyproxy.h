// tinyproxy, a real forward proxy, on loopback with its own configuration and log, for the tests
// that send uploads through a proxy.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

inline const char kTinyproxy[] = "/usr/bin/tinyproxy";

// Connects to a loopback port, or with port 0 binds one that is free now; the port, or 0.
inline int loopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    bool ok = port != 0 ? connect(s, sa, len) == 0
                        : bind(s, sa, len) == 0 && getsockname(s, sa, &len) == 0;
    close(s);
    return ok ? ntohs(a.sin_port) : 0;
}

// tinyproxy on a free loopback port that lets CONNECT through to `connect_ports` only, logging
// every request to proxy.log; stopped with the returned process. Its port goes to *port.
inline std::unique_ptr<Background> start_proxy(const Sandbox &sb,
                                               const std::vector<std::string> &connect_ports,
                                               int *port) {
    // The proxy cannot take port 0, so a free one is chosen first; should another program take
    // it in between, the proxy ends and another port is tried.
    for (int attempt = 0; attempt < 3; attempt++) {
        *port = loopback(0);
        std::string conf = "Port " + std::to_string(*port) +
                           "\nListen 127.0.0.1\nTimeout 30\nMaxClients 16\nAllow 127.0.0.1\n"
                           "LogLevel Connect\nLogFile \"" +
                           sb.path("proxy.log") + "\"\n";
        for (const std::string &p : connect_ports) conf += "ConnectPort " + p + "\n";
        auto proxy = sb.spawn(kTinyproxy, {"-d", "-c", sb.write("tinyproxy.conf", conf)});
        for (int i = 0; i < 500 && proxy->wait(std::chrono::milliseconds(0)) == -1; i++) {
            if (loopback(*port) != 0) return proxy;
            usleep(10000);
        }
    }
    return nullptr;
}

}  // namespace e2e
