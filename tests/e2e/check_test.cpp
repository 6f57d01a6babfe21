// The check command: one line per universe and per watcher on standard output, each problem on
// standard error, and a status that says whether all is well.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness.h"

using namespace e2e;

namespace {
class Check : public ::testing::Test {
   protected:
    Result check(const std::string &cf, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"-c", cf, "-C", sb.path("home"), "check"};
        args.insert(args.end(), more.begin(), more.end());
        return sb.tolvane(args);
    }
    Sandbox sb;
};
}  // namespace

TEST_F(Check, AGoodConfigurationAndABrokenOne) {
    std::string in = sb.mkdir("in");
    std::string good =
        write_config(sb, {.head = "[universe]\nname = old\nwrite = [::1]:4000\nssl = true\n"
                                  "write.ssl.verify = true\n",
                          .write = "https://crash.example:443",
                          .tail = "[daemon]\np.root = " + in + "\np.token = t\n"});
    EXPECT_EQ(check(good),
              exits(0,
                    "universe old: writes to [::1]:4000 over the session protocol with TLS "
                    "(certificate verified)\n"
                    "universe u: writes to crash.example:443 over HTTPS; put uses it\n"
                    "watcher p: " +
                        in + " with token t\n"));

    std::string file = sb.write("file", "x");
    std::string locked = sb.mkdir("locked");
    chmod(locked.c_str(), 0500);
    std::string broken = write_config(
        sb,
        {.head = "[universe]\nname = bare\nread = r:1\n",
         .write = "h:4000",
         .universe = "ssl = true\n",
         .tail = "[daemon]\na.root = " + sb.path("missing") + "\na.token = t\nb.root = " + file +
                 "\nb.token = nope\nc.root = " + locked + "\nc.token = t\n"},
        "broken");
    std::string unverified =
        "warning: universe u: the session protocol's TLS does not verify the server's "
        "certificate; set write.ssl.verify = true.\n";
    // Root may write anywhere: the locked directory is a problem only for others.
    std::string not_writable =
        geteuid() == 0 ? ""
                       : "error: watcher c: root " + locked +
                             ": Permission denied (it must be readable and writable).\n";
    EXPECT_EQ(check(broken),
              exits(1,
                    "universe bare: no write server\n"
                    "universe u: writes to h:4000 over the session protocol with TLS (certificate "
                    "not verified); put uses it\n"
                    "watcher a: " +
                        sb.path("missing") +
                        " with token t\n"
                        "watcher b: " +
                        file +
                        " with token nope\n"
                        "watcher c: " +
                        locked + " with token t\n",
                    "error: universe bare has no write server (write = host:port).\n" + unverified +
                        "error: watcher a: root " + sb.path("missing") +
                        ": No such file or directory.\n"
                        "error: watcher b: no token named \"nope\" in the [token] block.\n"
                        "error: watcher b: root " +
                        file + " is not a directory.\n" + not_writable));
    EXPECT_EQ(check(sb.write("empty", "# nothing\n")),
              exits(1, "", "error: no universe is configured; put needs one to upload to.\n"));
    EXPECT_EQ(check(good, {"extra"}).status, 1);
}
