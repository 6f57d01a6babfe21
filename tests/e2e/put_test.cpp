// put over HTTP(S) against the receiver: result lines, deletion, identity rewrites, every
// refusal before the upload, every kind of failed reply, and calls in-process one after another.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "cause_lines.h"
#include "harness.h"
#include "tolvane/commands/put.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/net/ssl.h"
#include "tolvane/util/fatal.h"

using namespace e2e;

namespace {
class Put : public ::testing::Test {
   protected:
    // Starts the receiver with the given extra options and returns its HTTP port.
    std::string start(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--http", "0"});
        return rx.emplace(sb, extra).port("http");
    }
    // Writes the configuration: one universe whose writers are `servers`, and token "t".
    void config(const std::string &servers, const std::string &extra = "") {
        cf = write_config(sb, {.write = servers, .universe = extra});
    }
    Result put(std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", cf, "put"});
        return sb.tolvane(args);
    }
    Sandbox sb;
    std::optional<Receiver> rx;
    std::string cf;
};
}  // namespace

TEST_F(Put, StoresFilesInOrderAndDeletesEachWithUnlink) {
    config("http://127.0.0.1:" + start());
    Trace a = trace(sb, "a.slt"), b = trace(sb, "b.slt", {"--size", "70000"});
    EXPECT_EQ(put({"p", "t", "a.slt", "b.slt"}), exits(0, a.line + b.line));
    EXPECT_TRUE(sb.exists("a.slt") && sb.exists("b.slt"));
    EXPECT_EQ(sb.read("a.slt"), sb.read("store/" + a.uuid + ".slt"));

    // The second file repeats a stored UUID: the store holds it already, so it is deleted like
    // the first, stored one; put ends there, and the rest stay.
    std::string c = trace(sb, "c.slt").line;
    trace(sb, "d.slt", {"--uuid", b.uuid});
    trace(sb, "e.slt");
    EXPECT_EQ(put({"-u", "p", "t", "c.slt", "d.slt", "e.slt"}),
              exits(1, c,
                    "error: failed to post file \"d.slt\": trace already exists with UUID " +
                        b.uuid + "\n"));
    EXPECT_FALSE(sb.exists("c.slt") || sb.exists("d.slt"));
    EXPECT_TRUE(sb.exists("e.slt"));
}

TEST_F(Put, RewritesOnlyTheRequestedIdentityBytesInMemory) {
    config("http://127.0.0.1:" + start());
    const std::string uuid(32, '0'), sig(64, '1');
    for (auto [options, uuid_bytes, sig_bytes] :
         std::vector<std::tuple<std::vector<std::string>, int, int>>{
             {{"-U4"}, 4, 0},
             {{"-U", "16", "-S1"}, 16, 1},
             {{"--randomize-uuid", "--randomize-sha256=31"}, 16, 31},
             {{"--randomize-sha256"}, 0, 32},
             {{"--randomize-uuid=2x"}, 2, 0},
         }) {
        SCOPED_TRACE(testing::PrintToString(options));
        trace(sb, "r.slt", {"--uuid", uuid, "--sig", sig, "--size", "2000"});
        std::string before = sb.read("r.slt");
        options.insert(options.end(), {"p", "t", "r.slt"});
        Result r = put(options);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sb.read("r.slt"), before);
        std::string line_sig = r.out.substr(0, 64), line_uuid = r.out.substr(68, 32);
        std::string stored = sb.read("store/" + line_uuid + ".slt");
        // Exactly the rewritten bytes differ (a random byte may repeat the old one, so
        // compare the untouched tail and the printed identity).
        EXPECT_EQ(stored.substr(0, 26), before.substr(0, 26));
        EXPECT_EQ(stored.substr(26 + uuid_bytes, 16 - uuid_bytes),
                  before.substr(26 + uuid_bytes, 16 - uuid_bytes));
        EXPECT_EQ(stored.substr(42 + sig_bytes), before.substr(42 + sig_bytes));
        EXPECT_EQ(line_uuid.substr(2 * uuid_bytes), uuid.substr(2 * uuid_bytes));
        EXPECT_EQ(line_sig.substr(2 * sig_bytes), sig.substr(2 * sig_bytes));
        if (uuid_bytes == 16) {
            EXPECT_NE(line_uuid, uuid);
        }
    }
}

TEST_F(Put, CountsOutOfRange) {
    config("http://127.0.0.1:1");
    trace(sb, "f.slt");
    const std::string uuid_err = "error: uuid bytes must be <= 16 bytes.\n";
    const std::string sig_err = "error: sha256 bytes must be <= 32 bytes.\n";
    EXPECT_EQ(put({"-U17", "p", "t", "f.slt"}), exits(1, "", uuid_err));
    EXPECT_EQ(put({"-U0", "p", "t", "f.slt"}), exits(1, "", uuid_err));
    EXPECT_EQ(put({"-U", "p", "t", "f.slt"}), exits(1, "", uuid_err));  // takes the project
    EXPECT_EQ(put({"--randomize-uuid=-1", "-h"}), exits(1, "", uuid_err));
    EXPECT_EQ(put({"-S0", "p", "t", "f.slt"}), exits(1, "", sig_err));
    EXPECT_EQ(put({"--randomize-sha=33", "p", "t", "f.slt"}), exits(1, "", sig_err));
    EXPECT_EQ(put({"-h", "-U99"}), exits(0, kPutUsage));
}

TEST_F(Put, RefusalsBeforeAnythingIsSent) {
    config("http://127.0.0.1:1");
    trace(sb, "ok.slt");
    sb.write("short.slt", std::string(330, '\0'));
    trace(sb, "bad.slt", {"--size", "400", "--sections", "71"});
    sb.write("huge.slt", "");
    std::filesystem::resize_file(sb.path("huge.slt"), 4294967296);  // sparse: costs nothing
    const std::string none =
        "error: failed to open file (missing.slt): No such file or directory\n";
    struct Case {
        std::vector<std::string> args;
        Result expected;
    } cases[] = {
        {{}, exits(1, "", "error: no project specified.\n" + kPutUsage)},
        {{"p"}, exits(1, "", "error: no token specified.\n" + kPutUsage)},
        {{"p", "nope"}, exits(1, "", "error: no such token found.\n")},
        {{"p", "t"}, exits(1, "", "error: no file specified.\n" + kPutUsage)},
        {{"-x", "p"}, exits(1, "", "put: invalid option -- 'x'\n" + kPutUsage)},
        {{"p", "t", "-S"}, exits(1, "", "put: option requires an argument -- 'S'\n" + kPutUsage)},
        {{"--bogus"}, exits(1, "", "put: unrecognized option '--bogus'\n" + kPutUsage)},
        {{"p", "t", "ok.slt", "missing.slt", "ok.slt"}, exits(1, "", none)},
        {{"p", "t", "short.slt"}, exits(1, "", "error: file appears truncated.\n")},
        {{"p", "t", "bad.slt"}, exits(1, "", "error: size mismatch: 401 != 400.\n")},
        {{"p", "t", "ok.slt", "huge.slt"}, exits(1, "", "error: file exceeds maximum length.\n")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(put(c.args), c.expected);
    }
    EXPECT_TRUE(sb.exists("ok.slt"));
}

TEST_F(Put, WriterCannotBeCreated) {
    trace(sb, "f.slt");
    const std::string curl_fail = "error: failed to create cURL network writer.\n";
    cf = write_config(sb, {});
    EXPECT_EQ(put({"p", "t", "f.slt"}), exits(1, "", "error: no universe has been configured.\n"));
    cf = sb.write("cf", "[universe]\nname = u\n[token]\nt = " + kToken + "\n");
    EXPECT_EQ(put({"p", "t", "f.slt"}), exits(1, "", "error: failed to create network writer.\n"));
    // An empty host name never resolves, and asks no name server.
    config("http://:80");
    EXPECT_EQ(put({"p", "t", "f.slt"}),
              exits(1, "", "error: No reachable servers for writes.\n" + curl_fail));
    // The first server that resolves decides the protocol (the list runs right to left).
    config("127.0.0.1:9 http://:80");
    EXPECT_EQ(put({"p", "t", "f.slt"}),
              exits(1, "",
                    "error: first reachable writer server 127.0.0.1:9 is not an HTTP server.\n" +
                        curl_fail));
    // The name's line ends with its full stop (which once began the next line).
    config("http://127.0.0.1:1", "curl.sslversion = TLSv1.3\n");
    EXPECT_EQ(put({"p", "t", "f.slt"}),
              exits(1, "",
                    "error: unrecognized curl.sslversion \"TLSv1.3\".\nerror: could not setup "
                    "cURL handle.\n" +
                        curl_fail));
    // The URL may be 1022 characters long, not one more (leading zeros keep 127.0.0.1, read as
    // octal or decimal alike).
    const size_t fixed = std::string("http://:1/post?token=").size() + 64;
    const std::string host = "127.0.0." + std::string(1022 - fixed - 9, '0') + "1";
    config("http://" + host + ":1");
    EXPECT_EQ(ms_masked(put({"p", "t", "f.slt"})),
              exits(1, "",
                    http_refused(host + ":1", "127.0.0.1", "1") +
                        "error: failed to post file \"f.slt\": aborted connection.\n"));
    config("http://127.0.0." + std::string(1023 - fixed - 9, '0') + "1:1");
    EXPECT_EQ(put({"p", "t", "f.slt"}),
              exits(1, "", "error: Could not prepare URL.\n" + curl_fail));
}

TEST_F(Put, FailedReplies) {
    trace(sb, "f.slt");
    auto fails = [](const std::string &why, const std::string &cause) {
        return exits(1, "", cause + "error: failed to post file \"f.slt\": " + why + "\n");
    };
    config("http://127.0.0.1:1");  // nothing listens there
    EXPECT_EQ(ms_masked(put({"p", "t", "f.slt"})),
              fails("aborted connection.", http_refused("127.0.0.1:1", "127.0.0.1", "1")));
    // The cause: none where the server's own text says it, else the reply as it came, or what
    // the connection did.
    const std::string json = "was not the expected JSON (HTTP ", empty = "Empty reply from server";
    struct Case {
        std::vector<std::string> receiver;
        std::string why, cause;  // "<port>" in the cause stands for the server's port
    } cases[] = {
        {{"--reply-body", R"({"error":{"message":"X"},"errstr":"Y"})", "--status", "500"}, "X", ""},
        {{"--reply-body", R"({"error":"X","errstr":"Y"})"}, "Y", ""},
        {{"--reply-body", R"({"response":"OK"})"},
         "malformed post response.",
         "error: the reply from 127.0.0.1:<port> " + json + "200, application/json, 17 bytes).\n"},
        {{"--reply-body", "<html>bad gateway</html>", "--status", "502"},
         "could not parse post response.",
         "error: the reply from 127.0.0.1:<port> " + json + "502, application/json, 24 bytes).\n"},
        {{"--close-without-reply"},
         "aborted connection.",
         "error: the connection to 127.0.0.1:<port> failed during the upload (" + empty + ").\n"},
        // The close meets the body on its way: libcurl's text depends on which it sees first.
        {{"--close-before-body"},
         "aborted connection.",
         "error: the connection to 127.0.0.1:<port> failed during the upload (<any>).\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        std::string port = start(c.receiver), cause = c.cause;
        if (size_t at = cause.find("<port>"); at != std::string::npos) cause.replace(at, 6, port);
        config("http://127.0.0.1:" + port);
        Result r = put({"p", "t", "f.slt"});
        // "<any>" stands for whatever reason came, up to the end of its line.
        if (size_t at = cause.find("<any>");
            at != std::string::npos && r.err.compare(0, at, cause, 0, at) == 0) {
            if (size_t end = r.err.find(").\n", at); end != std::string::npos)
                cause.replace(at, 5, r.err.substr(at, end - at));
        }
        EXPECT_EQ(r, fails(c.why, cause));
    }
    // A reply of ok under an error status still counts as stored.
    config("http://127.0.0.1:" +
           start({"--reply-body", R"({"response":"ok"})", "--status", "503"}));
    EXPECT_EQ(put({"p", "t", "f.slt"}).status, 0);
}

TEST_F(Put, HttpsVerifiesThePeerUnlessToldNotTo) {
    start({"--https", "0", "--cert-out", sb.path("ca.pem")});
    std::string line = trace(sb, "f.slt", {"--size", "3000"}).line, https = rx->port("https");
    config("https://localhost:" + https, "curl.cainfo = " + sb.path("ca.pem") + "\n");
    EXPECT_EQ(put({"--randomize-uuid", "p", "t", "f.slt"}).status, 0);
    config("https://localhost:" + https);
    EXPECT_EQ(put({"p", "t", "f.slt"}),
              exits(1, "",
                    "error: the connection to localhost:" + https +
                        " failed during the TLS handshake (SSL certificate problem: self-signed "
                        "certificate).\n"
                        "error: failed to post file \"f.slt\": aborted connection.\n"));
    EXPECT_EQ(put({"-k", "p", "t", "f.slt"}), exits(0, line));
    config("https://localhost:" + https, "curl.insecure = true\n");
    EXPECT_EQ(put({"--randomize-uuid", "p", "t", "f.slt"}).status, 0);
}

TEST_F(Put, ProxySettingsReachTheTransfer) {
    // The receiver answers absolute-form requests as a proxy would, so a writer server that
    // nothing listens on is reached only through the configured proxy.
    std::string port = start();
    std::string line = trace(sb, "f.slt").line;
    config("http://127.0.0.2:1", "curl.proxy = 127.0.0.1:" + port + "\n");
    EXPECT_EQ(put({"p", "t", "f.slt"}), exits(0, line));
    config("http://127.0.0.2:1", "curl.proxy = 127.0.0.1\ncurl.proxyport = " + port + "\n");
    EXPECT_EQ(put({"--randomize-uuid", "p", "t", "f.slt"}).status, 0);
}

namespace {
[[noreturn]] void unwind(int status) {
    throw status;
}

[[noreturn]] void leave(int status) {
    fflush(nullptr);
    _exit(status);
}
}  // namespace

// stacklore runs put's handler in its own process: each call starts from its own options. A
// first call that asked for -u, -k and a slow --limit-rate and ended early leaves none of them to
// the next, which must neither skip the HTTPS peer's check nor delete the file.
TEST_F(Put, EachInProcessCallStartsFromItsOwnOptions) {
    start({"--https", "0", "--cert-out", sb.path("ca.pem")});
    config("https://localhost:" + rx->port("https"));
    trace(sb, "f.slt");
    std::string out = sb.path("out"), err = sb.path("err");
    pid_t pid = fork();
    if (pid == 0) {
        freopen(out.c_str(), "w", stdout);
        freopen(err.c_str(), "w", stderr);
        if (chdir(sb.dir().c_str()) != 0) _exit(98);
        cr_ssl_subsystem_init();
        tolvane_cf_load(sb.path("home").c_str(), cf.c_str());
        auto call = [](std::vector<std::string> words) {
            std::vector<char *> argv;
            for (std::string &w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            tolvane_command_put_handler(static_cast<int>(words.size()), argv.data());
        };
        tolvane_exit_hook_set(unwind);
        try {
            call({"put", "-u", "-k", "--limit-rate", "1", "p", "no-such-token", "f.slt"});
        } catch (int) {
        }
        tolvane_exit_hook_set(leave);
        call({"put", "p", "t", "f.slt"});
        leave(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(sb.read("out"), "");
    EXPECT_EQ(sb.read("err"),
              "error: no such token found.\n"
              "error: the connection to localhost:" +
                  rx->port("https") +
                  " failed during the TLS handshake (SSL certificate problem: self-signed "
                  "certificate).\n"
                  "error: failed to post file \"f.slt\": aborted connection.\n");
    EXPECT_TRUE(sb.exists("f.slt"));
}
