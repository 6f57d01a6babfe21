// What the daemon's end-to-end tests share: a sandbox with a receiver, the configuration of
// the watchers, the daemon started in the background, and waiting for what it does.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace std::chrono_literals;

namespace e2e {
inline const std::string kNoMonitor =
    "gimli: GIMLI_HB_FD is not set\nwarning: no watchdog monitor attached.\n";

// Polls until the condition holds; false when the time limit passes first.
template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = 15s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        usleep(50000);
    }
    return true;
}

inline size_t count(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

// Whether the program's standard error comes to hold the text `times` times.
inline bool says(const Background &b, const std::string &text,
                 std::chrono::milliseconds limit = 15s, size_t times = 1) {
    return eventually([&] { return count(b.err(), text) >= times; }, limit);
}

// Whether this build sends service-manager notifications.
#ifdef TOLVANE_WITH_SYSTEMD
inline constexpr bool kNotifies = true;
#else
inline constexpr bool kNotifies = false;
#endif

// The service manager's end of the notification protocol: a datagram socket bound at a path,
// for NOTIFY_SOCKET, read at once by a thread of its own as systemd would (a full queue would
// hold the sender up). Keeps what arrived, with when (seconds since it was made).
class NotifyListener {
   public:
    explicit NotifyListener(const std::string &path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        EXPECT_LT(path.size(), sizeof a.sun_path);
        memcpy(a.sun_path, path.c_str(), std::min(path.size(), sizeof a.sun_path - 1));
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
        reader_ = std::thread([this] {
            while (!done_) {
                pollfd p{fd_, POLLIN, 0};
                char buf[4096];
                ssize_t n = poll(&p, 1, 100) > 0 ? recv(fd_, buf, sizeof buf, 0) : 0;
                std::lock_guard<std::mutex> lock(mutex_);
                if (n > 0)
                    got_.emplace_back(
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_)
                            .count(),
                        std::string(buf, static_cast<size_t>(n)));
            }
        });
    }
    ~NotifyListener() {
        done_ = true;
        reader_.join();
        close(fd_);
    }
    // Waits for a datagram equal to `text` after those that earlier calls found.
    bool until(const std::string &text, std::chrono::milliseconds limit) {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                while (cursor_ < got_.size())
                    if (got_[cursor_++].second == text) return true;
                return false;
            },
            limit);
    }
    std::vector<std::pair<double, std::string>> got() {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_;
    }
    // The times of the datagrams equal to `text`.
    std::vector<double> times(const std::string &text) {
        std::vector<double> t;
        for (const auto &[at, what] : got())
            if (what == text) t.push_back(at);
        return t;
    }

   private:
    int fd_;
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::vector<std::pair<double, std::string>> got_;
    size_t cursor_ = 0;
    std::thread reader_;
};

class Daemon : public ::testing::Test {
   protected:
    // One universe at the receiver (port 1 without one; `write` when set), tokens t1 and t2,
    // the lines of `general` in a [general] block, and watchers {name, root, token}.
    void config(const std::vector<std::array<std::string, 3>> &watchers,
                std::string_view rel = "cf") {
        std::string text = "[daemon]\n";
        for (const auto &[name, root, token] : watchers)
            text += name + ".root = " + sb.path(root) + "\n" + name + ".token = " + token + "\n";
        cf = write_config(
            sb,
            {.head = general.empty() ? "" : "[general]\n" + general,
             .write = write ? *write : "http://127.0.0.1:" + (rx ? rx->port("http") : "1"),
             .tokens = "t1 = " + kToken + "\nt2 = " + kToken + "\n",
             .tail = text},
            rel);
    }
    // Makes a trace outside the watched directories and moves it in.
    std::string drop(const std::string &rel) {
        std::string staged = "staging/" + std::to_string(++dropped_) + ".slt";
        std::string uuid = trace(sb, staged).uuid;
        EXPECT_EQ(rename(sb.path(staged).c_str(), sb.path(rel).c_str()), 0);
        return uuid;
    }
    std::unique_ptr<Background> daemon(std::vector<std::string> options = {"-f", "-d"},
                                       const std::optional<std::string> &argv0 = std::nullopt) {
        options.insert(options.begin(), {"-C", sb.path("home"), "-c", cf, "daemon"});
        return sb.spawn(TOLVANE_BINARY, options, argv0);
    }
    // A daemon that detached (so is no child of the test), found by its whole command line; 0
    // when none shows within 5 s. It is killed, with its group, when the test ends.
    pid_t detached(const std::vector<std::string> &words) {
        std::string wanted;
        for (const std::string &w : words) wanted += w + '\0';
        pid_t pid = 0;
        eventually(
            [&] {
                DIR *proc = opendir("/proc");
                while (dirent *e = readdir(proc)) {
                    std::ifstream f(std::string("/proc/") + e->d_name + "/cmdline",
                                    std::ios::binary);
                    std::string cmdline((std::istreambuf_iterator<char>(f)), {});
                    if (cmdline == wanted) pid = atoi(e->d_name);
                }
                closedir(proc);
                return pid != 0;
            },
            5s);
        if (pid != 0) detached_.push_back(pid);
        return pid;
    }
    void TearDown() override {
        for (pid_t pid : detached_) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            eventually([pid] { return kill(pid, 0) != 0; }, 5s);
        }
    }
    bool stored(const std::string &uuid) { return sb.exists("store/" + uuid + ".slt"); }
    bool gone_and_stored(const std::string &rel, const std::string &uuid) {
        return !sb.exists(rel) && stored(uuid);
    }
    // A recording program: each run appends its words, the HOME it sees and "==" to rec.log
    // (in one write, so that runs side by side do not mix their lines), writes its process id
    // to rec.pid, and then does what `then` says.
    std::string recorder(const std::string &then = "exit 0") {
        std::string log = sb.path("rec.log"), pid = sb.path("rec.pid");
        return sb.write("rec",
                        "#!/bin/sh\nrecord=$(printf '%s\\n' \"$0\" \"$@\" \"HOME=${HOME-unset}\" "
                        "==)\nprintf '%s\\n' \"$record\" >>" +
                            log + "\necho $$ >" + pid + "\n" + then + "\n",
                        0755);
    }
    std::vector<std::vector<std::string>> records() {
        std::vector<std::vector<std::string>> all(1);
        std::istringstream in(sb.exists("rec.log") ? sb.read("rec.log") : "");
        for (std::string line; std::getline(in, line);) {
            if (line == "==") {
                all.emplace_back();
            } else {
                all.back().push_back(line);
            }
        }
        all.pop_back();
        return all;
    }
    Sandbox sb;
    std::optional<Receiver> rx;
    std::string general;               // lines of a [general] block
    std::optional<std::string> write;  // the universe's writer, instead of the receiver
    std::string cf;
    int dropped_ = 0;
    std::vector<pid_t> detached_;
};
}  // namespace e2e
