#include "http.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>

namespace rx {

namespace {

constexpr size_t kBufSize = 1u << 20;  // bodies move in blocks of this size
constexpr size_t kMaxHead = 64u << 10;
constexpr size_t kMaxLine = 4096;  // chunk-size and trailer lines

using Sink = std::function<void(const char *, size_t)>;

enum class Got {
    kOk,
    kEnd,      // the peer closed (or went quiet too long) between requests
    kFail,     // the stream ended or failed in the middle of a request
    kTooLong,  // a head or line over its bound
    kBad,      // chunked framing that makes no sense
};

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower(static_cast<unsigned char>(x)) ==
                      tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool is_tchar(char c) {
    // strchr would match the terminating NUL, so it has to be ruled out first.
    return isalnum(static_cast<unsigned char>(c)) ||
           (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool is_token(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), is_tchar);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Buffered input over the stream. Heads and lines are taken from the buffer; bodies bypass it
// once it is empty, read in large blocks that never go past the body's end.
class Reader {
   public:
    explicit Reader(Stream &s) : s_(s), buf_(new char[kBufSize]) {}

    // The request head without its blank line; leading empty lines are skipped.
    Got head(std::string &out);
    Got line(std::string &out);
    Got body(uint64_t n, const Sink &sink);
    Got chunked(const Sink &sink);

   private:
    bool fill();

    Stream &s_;
    std::unique_ptr<char[]> buf_;
    size_t pos_ = 0, end_ = 0;
};

bool Reader::fill() {
    if (pos_ == end_) {
        pos_ = end_ = 0;
    } else if (kBufSize - end_ < kMaxHead) {
        memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    ssize_t r = s_.read(buf_.get() + end_, kBufSize - end_);
    if (r <= 0) return false;
    end_ += static_cast<size_t>(r);
    return true;
}

Got Reader::head(std::string &out) {
    size_t i = 0, line_start = 0;  // relative to pos_, which stays put once the head started
    bool started = false;
    while (true) {
        if (!started) {
            while (pos_ < end_ && (buf_[pos_] == '\r' || buf_[pos_] == '\n')) pos_++;
            started = pos_ < end_;
        }
        const char *p = buf_.get() + pos_;
        size_t avail = std::min(end_ - pos_, kMaxHead);
        for (; i < avail; i++) {
            if (p[i] != '\n') continue;
            size_t len = i - line_start;
            if (len > 0 && p[i - 1] == '\r') len--;
            if (len == 0) {
                out.assign(p, line_start);
                pos_ += i + 1;
                return Got::kOk;
            }
            line_start = i + 1;
        }
        if (avail >= kMaxHead) return Got::kTooLong;
        if (!fill()) return started ? Got::kFail : Got::kEnd;
    }
}

Got Reader::line(std::string &out) {
    size_t i = 0;
    while (true) {
        const char *p = buf_.get() + pos_;
        size_t avail = std::min(end_ - pos_, kMaxLine);
        for (; i < avail; i++) {
            if (p[i] != '\n') continue;
            size_t len = i > 0 && p[i - 1] == '\r' ? i - 1 : i;
            out.assign(p, len);
            pos_ += i + 1;
            return Got::kOk;
        }
        if (avail >= kMaxLine) return Got::kTooLong;
        if (!fill()) return Got::kFail;
    }
}

Got Reader::body(uint64_t n, const Sink &sink) {
    size_t have = static_cast<size_t>(std::min<uint64_t>(n, end_ - pos_));
    if (have > 0) {
        sink(buf_.get() + pos_, have);
        pos_ += have;
        n -= have;
    }
    if (n == 0) return Got::kOk;
    pos_ = end_ = 0;
    size_t held = 0;
    while (n > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(n, kBufSize - held));
        ssize_t r = s_.read(buf_.get() + held, want);
        if (r <= 0) return Got::kFail;
        held += static_cast<size_t>(r);
        n -= static_cast<uint64_t>(r);
        if (held == kBufSize || n == 0) {
            sink(buf_.get(), held);
            held = 0;
        }
    }
    return Got::kOk;
}

Got Reader::chunked(const Sink &sink) {
    std::string l;
    while (true) {
        Got g = line(l);
        if (g != Got::kOk) return g;
        uint64_t size = 0;
        size_t k = 0;
        for (; k < l.size() && hex_value(l[k]) >= 0; k++) {
            if (k == 16) return Got::kBad;
            size = size * 16 + static_cast<uint64_t>(hex_value(l[k]));
        }
        if (k == 0) return Got::kBad;
        while (k < l.size() && (l[k] == ' ' || l[k] == '\t')) k++;
        if (k < l.size() && l[k] != ';') return Got::kBad;
        if (size == 0) break;
        if ((g = body(size, sink)) != Got::kOk || (g = line(l)) != Got::kOk) return g;
        if (!l.empty()) return Got::kBad;
    }
    size_t trailers = 0;
    while (true) {
        Got g = line(l);
        if (g != Got::kOk) return g;
        if (l.empty()) return Got::kOk;
        if ((trailers += l.size()) > kMaxHead) return Got::kTooLong;
    }
}

struct Request {
    std::string method, target, path, query;
    bool http11 = true;
    bool keep_alive = false;
    bool expect_continue = false;
    bool chunked = false;
    uint64_t length = 0;

    bool has_body() const { return chunked || length > 0; }
};

// Fills rq from the head; the reason on failure.
const char *parse_head(std::string_view head, Request &rq) {
    auto next_line = [&head] {
        size_t nl = head.find('\n');
        std::string_view l = head.substr(0, nl);
        head.remove_prefix(nl == std::string_view::npos ? head.size() : nl + 1);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        return l;
    };
    std::string_view first = next_line();
    size_t a = first.find(' '), b = first.rfind(' ');
    if (a == std::string_view::npos || b == a || first.find(' ', a + 1) != b)
        return "malformed request line";
    std::string_view method = first.substr(0, a), target = first.substr(a + 1, b - a - 1),
                     version = first.substr(b + 1);
    if (!is_token(method) || method.size() > 32) return "malformed method";
    if (target.empty() || std::any_of(target.begin(), target.end(), [](char c) {
            return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
        }))
        return "malformed target";
    if (version == "HTTP/1.0") {
        rq.http11 = false;
    } else if (version != "HTTP/1.1") {
        return "unsupported HTTP version";
    }
    rq.method = method;
    rq.target = target;
    std::string_view path = target;
    for (std::string_view scheme : {"http://", "https://"}) {
        if (path.size() >= scheme.size() && iequals(path.substr(0, scheme.size()), scheme)) {
            size_t slash = path.find('/', scheme.size());
            path = slash == std::string_view::npos ? "/" : path.substr(slash);
        }
    }
    if (path.front() != '/') return "malformed target";
    size_t q = path.find('?');
    rq.path = path.substr(0, q);
    if (q != std::string_view::npos) rq.query = path.substr(q + 1);

    bool close = false, keep = false, expect = false, have_length = false;
    while (!head.empty()) {
        std::string_view l = next_line();
        if (l.empty()) continue;
        if (l.front() == ' ' || l.front() == '\t') return "folded header line";
        size_t colon = l.find(':');
        if (colon == std::string_view::npos || !is_token(l.substr(0, colon)))
            return "malformed header line";
        std::string_view name = l.substr(0, colon), value = trim(l.substr(colon + 1));
        if (std::any_of(value.begin(), value.end(), [](char c) {
                return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
            }))
            return "control character in header";
        if (iequals(name, "content-length")) {
            uint64_t n = 0;
            if (value.empty() || value.size() > 19) return "bad content-length";
            for (char c : value) {
                if (c < '0' || c > '9') return "bad content-length";
                n = n * 10 + static_cast<uint64_t>(c - '0');
            }
            if (have_length && n != rq.length) return "conflicting content-length";
            have_length = true;
            rq.length = n;
        } else if (iequals(name, "transfer-encoding")) {
            if (!iequals(value, "chunked")) return "unsupported transfer-encoding";
            rq.chunked = true;
        } else if (iequals(name, "connection")) {
            while (!value.empty()) {
                size_t comma = value.find(',');
                std::string_view option = trim(value.substr(0, comma));
                close |= iequals(option, "close");
                keep |= iequals(option, "keep-alive");
                value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
            }
        } else if (iequals(name, "expect")) {
            expect = iequals(value, "100-continue");
        }
    }
    if (rq.chunked) {
        // Both framings at once is how requests get smuggled: the chunks win, and the
        // connection ends with this request.
        close |= have_length;
        rq.length = 0;
    }
    rq.keep_alive = rq.http11 ? !close : keep && !close;
    rq.expect_continue = expect && rq.http11;
    return nullptr;
}

bool token_ok(std::string_view query, const std::vector<std::string> &tokens) {
    std::string_view token;
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view param = query.substr(0, amp);
        if (param.substr(0, 6) == "token=") token = param.substr(6);
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    }
    if (token.size() != 64) return false;
    std::string lower;
    for (char c : token) {
        if (hex_value(c) < 0) return false;
        lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return std::find(tokens.begin(), tokens.end(), lower) != tokens.end();
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string error_json(std::string_view message) {
    return "{\"error\":{\"message\":" + json_string(message) + "}}";
}

const char *reason(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 409:
            return "Conflict";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Unknown";
    }
}

// The target as it goes into the log: short, and nothing a terminal would act on.
std::string printable(std::string_view s) {
    std::string out;
    for (char c : s.substr(0, 120)) out += isprint(static_cast<unsigned char>(c)) ? c : '?';
    if (s.size() > 120) out += "...";
    return out;
}

class Connection {
   public:
    Connection(Stream &s, const HttpConfig &config, uint64_t id)
        : s_(s), config_(config), id_(id), in_(s) {}

    void run();

   private:
    enum class Next { kKeep, kClose, kAbort };

    Next handle(const Request &rq);
    Got read_body(const Request &rq, const Sink &sink);
    Next body_failed(const Request &rq, Got g);
    Next reject(const Request &rq, int status, const std::string &message);
    Next reply(const Request &rq, int status, std::string body, const std::string &what,
               bool close = false);
    void note(const Request &rq, const std::string &what);
    void pause();

    Stream &s_;
    const HttpConfig &config_;
    const uint64_t id_;
    Reader in_;
    bool misbehaving_ = false;
    uint64_t answered_ = 0;  // replies sent on this connection
};

void Connection::run() {
    while (true) {
        std::string head;
        Got g = in_.head(head);
        if (g == Got::kEnd || g == Got::kFail) return;
        Request rq;
        const char *bad = g == Got::kTooLong ? "request head too large" : parse_head(head, rq);
        if (bad != nullptr) {
            log("#%llu bad request (%s) -> 400", static_cast<unsigned long long>(id_), bad);
            Request plain;
            reply(plain, 400, error_json(std::string("bad request: ") + bad), bad, true);
            s_.finish();
            return;
        }
        Next next = handle(rq);
        if (next == Next::kKeep) continue;
        if (next == Next::kClose) s_.finish();
        return;
    }
}

Connection::Next Connection::handle(const Request &rq) {
    const Misbehaviour &m = config_.misbehave;
    misbehaving_ = next_request_misbehaves(m);
    const Sink discard = [](const char *, size_t) {};
    if (misbehaving_ && m.close_on_reuse && answered_ > 0) {
        note(rq, "closed unanswered on a reused connection");
        return Next::kAbort;
    }
    if (misbehaving_ && m.close_before_body) {
        pause();
        note(rq, "closed before the body");
        return Next::kAbort;
    }
    if (misbehaving_ && (m.reply_body || m.close_without_reply)) {
        Got g = read_body(rq, discard);
        if (g != Got::kOk) return body_failed(rq, g);
        pause();
        if (m.reply_body) return reply(rq, m.status, *m.reply_body, "the reply body as told");
        note(rq, "closed without reply");
        return Next::kClose;
    }
    if (rq.method != "POST" || rq.path != "/post") return reject(rq, 404, "not found");
    if (!token_ok(rq.query, config_.tokens)) return reject(rq, 403, "invalid token");
    std::unique_ptr<Upload> up = config_.store->begin();
    if (!up) {
        return reject(rq, 500, "cannot store trace: " + std::generic_category().message(errno));
    }
    uint64_t seen = 0;
    Got g = read_body(rq, [&](const char *data, size_t n) {
        up->append(data, n);
        if (misbehaving_) mid_body(m, s_, seen, seen + n, id_);
        seen += n;
    });
    if (g != Got::kOk) return body_failed(rq, g);
    Outcome o = up->finish();
    pause();
    switch (o.kind) {
        case Outcome::kStored: {
            std::string body =
                "{\"response\":\"ok\",\"uuid\":\"" + o.uuid + "\",\"sig\":\"" + o.sig + "\"";
            if (!o.path.empty()) body += ",\"path\":" + json_string(o.path);
            return reply(rq, 200, body + "}", "stored " + o.uuid);
        }
        case Outcome::kTruncated:
            return reply(rq, 400, error_json("trace truncated"), "trace truncated");
        case Outcome::kDuplicate:
            return reply(rq, 409, error_json("trace already exists with UUID " + o.uuid),
                         "duplicate " + o.uuid);
        case Outcome::kFailed:
            break;
    }
    return reply(rq, 500, error_json(o.error), o.error);
}

Got Connection::read_body(const Request &rq, const Sink &sink) {
    if (!rq.has_body()) return Got::kOk;
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    if (rq.expect_continue && !s_.write_all(kContinue, sizeof kContinue - 1)) return Got::kFail;
    return rq.chunked ? in_.chunked(sink) : in_.body(rq.length, sink);
}

Connection::Next Connection::body_failed(const Request &rq, Got g) {
    if (g == Got::kFail || g == Got::kEnd) {
        note(rq, "client went away during the body");
        return Next::kAbort;
    }
    return reply(rq, 400, error_json("bad request: malformed chunked body"),
                 "malformed chunked body", true);
}

Connection::Next Connection::reject(const Request &rq, int status, const std::string &message) {
    // A client waiting for 100 Continue has not sent its body: answer now and end the
    // connection rather than take a body nobody wants.
    if (rq.has_body() && rq.expect_continue) {
        pause();
        return reply(rq, status, error_json(message), message, true);
    }
    Got g = read_body(rq, [](const char *, size_t) {});
    if (g != Got::kOk) return body_failed(rq, g);
    pause();
    return reply(rq, status, error_json(message), message);
}

Connection::Next Connection::reply(const Request &rq, int status, std::string body,
                                   const std::string &what, bool close) {
    const Misbehaviour &m = config_.misbehave;
    bool endless = misbehaving_ && m.reply_endless;
    if (misbehaving_) body.append(m.reply_pad, ' ');
    auto chunk = [](const std::string &data) {
        char size[24];
        snprintf(size, sizeof size, "%zx\r\n", data.size());
        return size + data + "\r\n";
    };
    close |= !rq.keep_alive;
    std::string msg = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
                      "\r\nContent-Type: " + (misbehaving_ ? m.reply_type : "application/json") +
                      "\r\n" +
                      (endless ? "Transfer-Encoding: chunked"
                               : "Content-Length: " + std::to_string(body.size())) +
                      "\r\n";
    if (close) {
        msg += "Connection: close\r\n";
    } else if (!rq.http11) {
        msg += "Connection: keep-alive\r\n";
    }
    msg += "\r\n";
    if (rq.method != "HEAD") msg += endless ? chunk(body) : body;
    bool sent = s_.write_all(msg.data(), msg.size());
    if (endless && rq.method != "HEAD") {
        // Only the client can end this; the bound keeps a client that reads on from holding
        // the thread for ever.
        const std::string spaces = chunk(std::string(65536, ' '));
        for (int i = 0; sent && i < 16384; i++) sent = s_.write_all(spaces.data(), spaces.size());
        note(rq, std::to_string(status) + " " + what + ", endless until the client left");
        return Next::kAbort;
    }
    if (!rq.method.empty()) note(rq, std::to_string(status) + " " + what);
    if (!sent) return Next::kAbort;
    answered_++;
    if (misbehaving_ && m.close_after_reply && !close) {
        note(rq, "closed after a keep-alive reply");
        return Next::kClose;
    }
    return close ? Next::kClose : Next::kKeep;
}

void Connection::note(const Request &rq, const std::string &what) {
    log("#%llu %s %s -> %s", static_cast<unsigned long long>(id_), rq.method.c_str(),
        printable(rq.target).c_str(), what.c_str());
}

void Connection::pause() {
    if (misbehaving_ && config_.misbehave.delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(config_.misbehave.delay_ms));
}

}  // namespace

void serve_http(Stream &stream, const HttpConfig &config, uint64_t conn) {
    Connection(stream, config, conn).run();
}

}  // namespace rx
