// What put prints is the truth: result lines that cannot be written are a failure, never a
// status of 0; text from a server and the names of files are shown escaped, so that neither
// can forge a line or reach a terminal as an escape sequence; an HTTP reply cut short is no
// success, whatever part of it came.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "harness.h"

using namespace e2e;

namespace {
// The receiver with an HTTP and a plain session listener, and a configuration for either.
class PutOutput : public ::testing::Test {
   protected:
    PutOutput() : rx(sb, {"--http", "0", "--session", "0"}) {}
    std::string config(const std::string &kind) {
        return write_config(
            sb, {.write = (kind == "http" ? "http://127.0.0.1:" : "127.0.0.1:") + rx.port(kind)});
    }
    Sandbox sb;
    Receiver rx;
};
}  // namespace

// Standard output on a full device, or a pipe whose reader has gone: the first result line
// cannot be written, so put says so and ends with status 1. The file whose line was lost is
// stored but kept (with -u too), and no later file is sent.
TEST_F(PutOutput, LinesThatCannotBeWrittenAreAFailure) {
    const std::string full =
        "error: failed to write to standard output: No space left on device.\n";
    const std::string gone = "error: failed to write to standard output: Broken pipe.\n";
    struct Case {
        const char *kind;
        Options options;
        std::string err;
    } cases[] = {
        {"http", {.stdout_file = "/dev/full"}, full},
        {"session", {.stdout_file = "/dev/full"}, full},
        {"http", {.stdout_reader_gone = true}, gone},
        {"session", {.stdout_reader_gone = true}, gone},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind + std::string(c.options.stdout_file ? " full" : " gone"));
        Trace a = trace(sb, "a" + std::to_string(n) + ".slt");
        Trace b = trace(sb, "b" + std::to_string(n++) + ".slt");
        EXPECT_EQ(
            sb.tolvane({"-c", config(c.kind), "put", "-u", "p", "t", a.path, b.path}, c.options),
            exits(1, "", c.err));
        EXPECT_TRUE(sb.exists("store/" + a.uuid + ".slt"));
        EXPECT_TRUE(sb.exists(a.path) && sb.exists(b.path));
        EXPECT_FALSE(sb.exists("store/" + b.uuid + ".slt"));
    }
    // The usage asked for is output too.
    std::string cf = config("http");
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "-h"}, {.stdout_file = "/dev/full"}),
              exits(1, "", full));
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "--help"}, {.stdout_reader_gone = true}),
              exits(1, "", gone));
}

// A server's text (an HTTP error, a session body as the left of a result line) and a file name
// holding a line feed and escape sequences: each shown escaped, on one line, server text cut.
TEST_F(PutOutput, ServerTextAndFileNamesAreShownEscaped) {
    const std::string shown =
        "a\": aborted connection.\\nFORGED warning: \\x1b[31mred\\xc2\\x9b.slt";
    const std::string evil = "a\": aborted connection.\nFORGED warning: \x1b[31mred\xc2\x9b.slt";
    const std::string long_text(600, 'x');
    struct Case {
        const char *name;
        std::vector<std::string> receiver;
        std::string kind;
        bool exists;  // the file is there to send
        Result expected;
    } cases[] = {
        {"HTTP error text",
         {"--reply-body", R"({"errstr":"no\nFORGED: \u001b]0;title\u0007 \u0000done"})"},
         "http",
         true,
         exits(1, "",
               "error: failed to post file \"" + shown +
                   "\": no\\nFORGED: \\x1b]0;title\\x07 \\x00done\n")},
        {"HTTP error text, cut",
         {"--reply-body", R"({"error":{"message":")" + long_text + R"("}})"},
         "http",
         true,
         exits(1, "",
               "error: failed to post file \"" + shown + "\": " + long_text.substr(0, 512) +
                   "...\n")},
        {"session: trace exists",
         {"--session-status", "2", "--session-substatus", "1"},
         "session",
         true,
         exits(1, "", "error: failed to upload " + shown + ": trace already exists with UUID\n")},
        {"no such file",
         {},
         "http",
         false,
         exits(1, "", "error: failed to open file (" + shown + "): No such file or directory\n")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> switches = c.receiver;
        switches.insert(switches.begin(), {"--http", "0", "--session", "0"});
        Receiver server(sb, switches);
        std::string cf =
            write_config(sb, {.write = (c.kind == "http" ? "http://127.0.0.1:" : "127.0.0.1:") +
                                       server.port(c.kind)});
        if (c.exists) {
            trace(sb, evil);
        } else {
            std::filesystem::remove(sb.path(evil));
        }
        EXPECT_EQ(sb.tolvane({"-c", cf, "put", "p", "t", evil}), c.expected);
    }
    // A session body as the left of the result line.
    Receiver text(sb, {"--session", "0", "--session-body-text", "ok\nFORGED\x1b[2J\x7f"});
    Trace f = trace(sb, "f.slt");
    EXPECT_EQ(sb.tolvane({"-c", write_config(sb, {.write = "127.0.0.1:" + text.port("session")}),
                          "put", "p", "t", "f.slt"}),
              exits(0, "ok\\nFORGED\\x1b[2J\\x7f => " + f.uuid + "\n"));
    // The progress line on a terminal names the file escaped too: the only escape sequences that
    // reach the terminal are the line's own.
    trace(sb, evil, {"--size", std::to_string(9 << 20)});
    Result r = sb.tolvane({"-c", config("session"), "put", "--limit-rate", "12M", "p", "t", evil},
                          {.terminal = true});
    EXPECT_EQ(r.status, 0);
    std::string bare = r.out;
    for (size_t at; (at = bare.find("\033[K")) != std::string::npos;) bare.erase(at, 3);
    EXPECT_EQ(bare.find('\x1b'), std::string::npos) << testing::PrintToString(r);
    EXPECT_NE(bare.find("\\nFORGED warning: \\x1b[31mred\\xc2\\x9b.slt  "), std::string::npos)
        << testing::PrintToString(r);
    // Then the result line alone (the name in it would not parse as mktrace's words).
    ASSERT_TRUE(bare.ends_with("\r\n")) << testing::PrintToString(r);
    std::string line = bare.substr(0, bare.size() - 2);
    line.erase(0, line.rfind('\r') + 1);
    EXPECT_TRUE(std::regex_match(line, std::regex("[0-9a-f]{64} => [0-9a-f]{32}"))) << line;
    EXPECT_TRUE(sb.exists("store/" + line.substr(68) + ".slt")) << line;
}

namespace {
// A raw HTTP server for one request, on a thread: it reads the request whole (headers and a
// body of Content-Length bytes), sends `reply` and closes the connection, with a reset a moment
// later when asked.
class RawHttp {
   public:
    RawHttp(std::string reply, bool reset) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd_, 1) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = std::to_string(ntohs(a.sin_port));
        thread_ = std::thread([this, reply = std::move(reply), reset] { serve(reply, reset); });
    }
    ~RawHttp() {
        shutdown(fd_, SHUT_RDWR);  // an accept still waiting gives up
        thread_.join();
        close(fd_);
    }
    const std::string &port() const { return port_; }

   private:
    void serve(const std::string &reply, bool reset) {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        timeval limit{10, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string request;
        char buf[65536];
        size_t need = std::string::npos;
        while (request.size() < need) {
            ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0) break;
            request.append(buf, static_cast<size_t>(n));
            size_t end = request.find("\r\n\r\n");
            size_t length = request.find("Content-Length: ");
            if (end != std::string::npos && length != std::string::npos)
                need = end + 4 + std::stoul(request.substr(length + 16));
        }
        if (write(c, reply.data(), reply.size()) < 0) {
            // the client went away; nothing to do
        }
        if (reset) {
            // Once the client has read the reply's start.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            linger now{1, 0};
            setsockopt(c, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        close(c);
    }
    int fd_;
    std::string port_;
    std::thread thread_;
};
}  // namespace

// Replies that say "ok" but are cut short of their length, whose chunks stop before the last,
// or that are reset before their end: the upload fails, says why, and the file stays.
TEST(PutCutReply, IsNoSuccess) {
    const std::string ok = R"({"response":"ok"})";
    struct Case {
        const char *name;
        std::string reply;
        bool reset;
        std::string why;
    } cases[] = {
        {"shorter than its length", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + ok, false,
         "transfer closed with 83 bytes remaining to read"},
        {"chunks without the last",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n11\r\n" + ok + "\r\n", false,
         "transfer closed with outstanding read data remaining"},
        // How libcurl words a reset depends on how it learns of it.
        {"reset", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + ok, true, ""},
    };
    Sandbox sb;
    Trace f = trace(sb, "f.slt", {"--size", "70000"});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RawHttp server(c.reply, c.reset);
        std::string cf = write_config(sb, {.write = "http://127.0.0.1:" + server.port()});
        Result r = sb.tolvane({"-c", cf, "put", "-u", "p", "t", "f.slt"});
        const std::string head =
                              "error: the reply from 127.0.0.1:" + server.port() + " was cut off (",
                          tail = ").\nerror: failed to post file \"f.slt\": aborted connection.\n";
        if (!c.why.empty()) {
            EXPECT_EQ(r, exits(1, "", head + c.why + tail));
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(r.err.starts_with(head) && r.err.ends_with(tail) &&
                        r.err.find('\n') == r.err.size() - tail.size() + 2)
                << r.err;
        }
        EXPECT_TRUE(sb.exists("f.slt"));
    }
    // The same reply whole is a success.
    RawHttp whole("HTTP/1.1 200 OK\r\nContent-Length: 17\r\n\r\n" + ok, false);
    EXPECT_EQ(sb.tolvane({"-c", write_config(sb, {.write = "http://127.0.0.1:" + whole.port()}),
                          "put", "-u", "p", "t", "f.slt"}),
              exits(0, f.line));
    EXPECT_FALSE(sb.exists("f.slt"));
}
