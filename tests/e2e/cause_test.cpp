// Failures name their cause: the line before put's required one says which server (and proxy),
// in which phase and why, for HTTP (libcurl's text with the system's reason, the status and
// content type of a reply that is not the JSON expected) and for the session protocol (an end
// of file or a reset in the TLS handshake, before any answer, during the upload).
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <thread>

#include "cause_lines.h"
#include "harness.h"

using namespace e2e;

namespace {
const std::string kPostFailed = "error: failed to post file \"f.slt\": ";

// A listener on 127.0.0.1 that takes one connection, sends `says` and ends its side of it (an
// end of file for the peer, never a reset), then waits for the peer to close.
class OneShot {
   public:
    explicit OneShot(std::string says = "") : says_(std::move(says)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), n) != 0 || listen(fd_, 4) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = std::to_string(ntohs(a.sin_port));
        thread_ = std::thread([this] {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20000) != 1) return;
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            if (write(c, says_.data(), says_.size()) == static_cast<ssize_t>(says_.size()))
                shutdown(c, SHUT_WR);
            char sink[4096];
            pollfd q{c, POLLIN, 0};
            while (poll(&q, 1, 20000) == 1 && read(c, sink, sizeof sink) > 0) {
            }
            close(c);
        });
    }
    ~OneShot() {
        thread_.join();
        close(fd_);
    }
    const std::string &port() const { return port_; }

   private:
    std::string says_;
    int fd_;
    std::string port_;
    std::thread thread_;
};

class Cause : public ::testing::Test {
   protected:
    Result put(const std::string &write, const std::string &universe = "",
               const std::string &file = "f.slt", const std::string &head = "") {
        std::string cf = write_config(sb, {.head = head, .write = write, .universe = universe});
        return sb.tolvane({"-c", cf, "put", "p", "t", file});
    }
    Sandbox sb;
};
}  // namespace

TEST_F(Cause, HttpFailuresNameTheirCause) {
    trace(sb, "f.slt");
    Receiver rx(sb, {"--http", "0", "--https", "0", "--cert-out", "ca.pem"});
    Sandbox other;  // the stores that answer wrongly
    Receiver missing(other, {"--reply-body", "", "--status", "404"});
    const std::string body = "<html><h1>Down for maintenance</h1></html>\n";
    Receiver page(other, {"--reply-body", body, "--status", "503", "--reply-type",
                          "text/html; charset=utf-8"});
    const std::string http = rx.port("http"), https = rx.port("https"), closed = closed_port();
    // A plain HTTP server answers what it cannot read; this one does so at once.
    OneShot plain("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    const std::string tls_library = curl_version_info(CURLVERSION_NOW)->ssl_version;
    const std::string aborted = kPostFailed + "aborted connection.\n";
    struct Case {
        const char *name;
        std::string write, universe, head, err;
    } cases[] = {
        {"a closed port", "http://127.0.0.1:" + closed, "", "",
         http_refused("127.0.0.1:" + closed, "127.0.0.1", closed) + aborted},
        {"a certificate that does not verify", "https://localhost:" + https, "", "",
         "error: the connection to localhost:" + https +
             " failed during the TLS handshake (SSL certificate problem: self-signed "
             "certificate).\n" +
             aborted},
        {"a dead proxy", "http://127.0.0.1:" + http, "curl.proxy = 127.0.0.1:" + closed + "\n", "",
         http_refused("127.0.0.1:" + http, "127.0.0.1", closed, "127.0.0.1:" + closed) + aborted},
        {"HTTPS to a plain HTTP server", "https://127.0.0.1:" + plain.port(), "", "",
         "error: the connection to 127.0.0.1:" + plain.port() +
             " failed during the TLS handshake (" + tls_library +
             ": error:0A00010B:SSL routines::wrong version number).\n" + aborted},
        {"a 404 with an empty body", "http://127.0.0.1:" + missing.port("http"), "", "",
         "error: the reply from 127.0.0.1:" + missing.port("http") +
             " was not the expected JSON (HTTP 404, application/json, 0 bytes).\n" + aborted},
        {"a 503 page", "http://127.0.0.1:" + page.port("http"), "", "",
         "error: the reply from 127.0.0.1:" + page.port("http") +
             " was not the expected JSON (HTTP 503, text/html; charset=utf-8, " +
             std::to_string(body.size()) + " bytes).\n" + kPostFailed +
             "could not parse post response.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ms_masked(put(c.write, c.universe, "f.slt", c.head)), exits(1, "", c.err));
    }
    EXPECT_TRUE(sb.exists("f.slt"));
}

TEST_F(Cause, SessionEndsNameTheServerAndThePhase) {
    trace(sb, "f.slt");
    trace(sb, "big.slt", {"--size", std::to_string(16 << 20)});
    Receiver closing(sb, {"--session", "0", "--session-tls", "0", "--session-close"});
    Sandbox other;
    Receiver reset(other, {"--session", "0", "--session-tls", "0", "--body-reset"});
    auto lost = [](const std::string &port, const std::string &outcome, const std::string &phase,
                   const std::string &reason) {
        return "error: the connection to 127.0.0.1:" + port + " " + outcome + " during the " +
               phase + " (" + reason + ").\n";
    };
    // A reset during the upload shows as a failed write or as a failed read, whichever the
    // writer meets first.
    auto reset_errs = [&lost](const std::string &port) {
        const std::string send = "error: failed to send to 127.0.0.1:" + port;
        return std::vector<std::string>{
            lost(port, "was reset", "upload", "connection reset by peer") + send +
                " (connection reset by peer).\n",
            lost(port, "was closed by the server", "upload", "broken pipe") + send +
                " (broken pipe).\n",
            lost(port, "was reset", "upload", "connection reset by peer") +
                "error: connection reset by peer\n",
        };
    };
    const std::string plain = closing.port("session"), tls = closing.port("session-tls");
    struct Case {
        const char *name;
        std::string port, universe, file;
        std::vector<std::string> errs;  // any one of them
    } cases[] = {
        {"an end of file before any answer",
         plain,
         "",
         "f.slt",
         {lost(plain, "was closed by the server", "greeting", "end of file") +
          "error: end of file\n"}},
        {"the TLS session ended before any answer",
         tls,
         "ssl = true\n",
         "f.slt",
         {lost(tls, "was closed by the server", "greeting", "TLS close notify") +
          "error: connection closed prematurely.\n"}},
        {"a reset during the upload", reset.port("session"), "", "big.slt",
         reset_errs(reset.port("session"))},
        {"a reset during the upload, TLS", reset.port("session-tls"), "ssl = true\n", "big.slt",
         reset_errs(reset.port("session-tls"))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = put("127.0.0.1:" + c.port, c.universe, c.file);
        EXPECT_EQ(r, exits(1, "", r.err));
        EXPECT_NE(std::find(c.errs.begin(), c.errs.end(), r.err), c.errs.end()) << r.err;
    }
    // A peer that ends the connection before the TLS handshake is done.
    OneShot hangup;
    EXPECT_EQ(
        put("127.0.0.1:" + hangup.port(), "ssl = true\n"),
        exits(1, "",
              lost(hangup.port(), "was closed by the server", "TLS handshake", "end of file") +
                  "error: end of file\n"));
    EXPECT_TRUE(sb.exists("f.slt") && sb.exists("big.slt"));
}
