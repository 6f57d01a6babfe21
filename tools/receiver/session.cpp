#include "session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

namespace rx {

namespace {

constexpr size_t kBufSize = 1u << 20;  // payloads move to the store in blocks of this size
constexpr unsigned char kConnectionHeader[4] = {0x00, 0x00, 0x41, 0x41};
constexpr size_t kFrameSize = 45;
constexpr size_t kTokenOffset = 5;
constexpr size_t kLengthOffset = 37;
constexpr uint64_t kTextLength = UINT64_MAX;  // the body is text up to and with a zero byte
constexpr auto kSplitPause = std::chrono::milliseconds(30);

constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusError = 2;
constexpr uint64_t kErrorParse = 0;
constexpr uint64_t kErrorExists = 1;
constexpr uint64_t kErrorInternal = 2;
constexpr uint64_t kErrorToken = 3;
constexpr uint64_t kErrorProtocol = 4;

// Little-endian on the wire whatever this machine's order is.
uint64_t get_le(const unsigned char *p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

void put_le(std::string &out, uint64_t v, int n) {
    for (int i = 0; i < n; i++) out += static_cast<char>(v >> (8 * i));
}

// Reads until n bytes arrived or the stream ended or failed; the count that arrived.
size_t read_full(Stream &s, unsigned char *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = s.read(reinterpret_cast<char *>(buf) + got, n - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

class Session {
   public:
    Session(Stream &s, const SessionConfig &config, uint64_t id)
        : s_(s), config_(config), id_(static_cast<unsigned long long>(id)) {}

    void run();

   private:
    struct Answer {
        uint32_t status = kStatusError;
        uint64_t substatus = kErrorInternal;
        bool body = false;  // whether the configured body goes with it
        std::string what;
    };

    // False when the connection is to end.
    bool command(uint32_t seq, const unsigned char *frame);
    uint64_t payload(uint64_t length, Upload *up, bool misbehaving);
    bool respond(uint32_t seq, const Answer &a, bool misbehaving);
    bool token_ok(const unsigned char *key) const;

    Stream &s_;
    const SessionConfig &config_;
    const unsigned long long id_;
    std::unique_ptr<char[]> buf_;
};

void Session::run() {
    if (const char *version = s_.tls_version()) log("session #%llu tls %s", id_, version);
    const Misbehaviour &m = config_.misbehave;
    if (m.session_greet) {
        log("session #%llu greeted before its first command", id_);
        Answer a{m.session_status.value_or(kStatusOk), m.session_substatus, true, "greeting"};
        if (!respond(0, a, false)) return;
    }
    unsigned char header[sizeof kConnectionHeader];
    size_t got = read_full(s_, header, sizeof header);
    if (got == 0) {
        log("session #%llu closed by the client after 0 command(s)", id_);
        return;
    }
    if (got < sizeof header || memcmp(header, kConnectionHeader, sizeof header) != 0) {
        log("session #%llu bad header", id_);
        s_.finish();
        return;
    }
    for (uint32_t seq = 0;; seq++) {
        unsigned char frame[kFrameSize];
        got = read_full(s_, frame, sizeof frame);
        if (got == 0) {
            log("session #%llu closed by the client after %u command(s)", id_, seq);
            return;
        }
        if (got < sizeof frame) {
            log("session #%llu cut off in a command frame (%zu of %zu bytes)", id_, got,
                sizeof frame);
            return;
        }
        if (!command(seq, frame)) return;
    }
}

bool Session::command(uint32_t seq, const unsigned char *frame) {
    const Misbehaviour &m = config_.misbehave;
    const unsigned code = frame[0];
    const uint64_t length = get_le(frame + kLengthOffset, 8);
    const bool misbehaving = next_request_misbehaves(m);
    const bool stores = !(misbehaving && (m.session_status || m.session_close || m.session_silent));
    const bool known = code >= 1 && code <= 3;
    const bool token = token_ok(frame + kTokenOffset);

    std::unique_ptr<Upload> up;
    int begin_errno = 0;
    if (stores && known && token && !(up = config_.store->begin())) begin_errno = errno;
    auto note = [&](const std::string &what) {
        log("session #%llu command %u length %llu -> %s", id_, code,
            static_cast<unsigned long long>(length), what.c_str());
    };
    const bool early = misbehaving && m.session_early;
    if (early) {
        Answer a{m.session_status.value_or(kStatusOk), m.session_substatus, true,
                 "answered before its payload"};
        note(a.what);
        if (!respond(seq, a, misbehaving)) return false;
    }
    uint64_t got = payload(length, up.get(), misbehaving);
    if (got < length) {
        // The upload's destructor takes the partial trace away.
        log("session #%llu command %u length %llu received %llu (cut off)", id_, code,
            static_cast<unsigned long long>(length), static_cast<unsigned long long>(got));
        return false;
    }
    auto pause = [&] {
        if (misbehaving && m.delay_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m.delay_ms));
    };

    if (early) {
        note(up && up->finish().kind == Outcome::kStored ? "stored, answered already"
                                                         : "answered already");
        return true;
    }
    if (misbehaving && m.session_silent) {
        note("not answered");
        return true;
    }
    if (misbehaving && m.session_close) {
        pause();
        note("closed without answer");
        s_.finish();
        return false;
    }
    Answer a;
    if (misbehaving && m.session_status) {
        a = {*m.session_status, m.session_substatus, true,
             "status " + std::to_string(*m.session_status) + " substatus " +
                 std::to_string(m.session_substatus) + " as told"};
    } else if (!known) {
        a = {kStatusError, kErrorProtocol, false, "error 4 unknown command"};
    } else if (!token) {
        a = {kStatusError, kErrorToken, false, "error 3 invalid token"};
    } else if (!up) {
        a = {kStatusError, kErrorInternal, false,
             "error 2 cannot store trace: " + std::generic_category().message(begin_errno)};
    } else {
        Outcome o = up->finish();
        switch (o.kind) {
            case Outcome::kStored:
                a = {kStatusOk, 0, true, "stored " + o.uuid};
                break;
            case Outcome::kTruncated:
                a = {kStatusError, kErrorParse, false, "error 0 trace truncated"};
                break;
            case Outcome::kDuplicate:
                a = {kStatusError, kErrorExists, false, "error 1 duplicate " + o.uuid};
                break;
            case Outcome::kFailed:
                a = {kStatusError, kErrorInternal, false, "error 2 " + o.error};
                break;
        }
    }
    if (misbehaving && m.session_length) {
        a.what += " (length " + std::to_string(*m.session_length) + " announced, no body)";
    }
    pause();
    // Logged before the answer goes out, so a client that has its answer finds the line.
    note(a.what);
    if (respond(seq, a, misbehaving)) return true;
    log("session #%llu cannot answer: the connection is gone", id_);
    return false;
}

uint64_t Session::payload(uint64_t length, Upload *up, bool misbehaving) {
    if (!buf_) buf_.reset(new char[kBufSize]);
    uint64_t got = 0;
    size_t held = 0;
    while (got < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(length - got, kBufSize - held));
        ssize_t r = s_.read(buf_.get() + held, want);
        if (r <= 0) break;
        held += static_cast<size_t>(r);
        if (misbehaving) mid_body(config_.misbehave, s_, got, got + static_cast<uint64_t>(r), id_);
        got += static_cast<uint64_t>(r);
        if (held == kBufSize || got == length) {
            if (up != nullptr) up->append(buf_.get(), held);
            held = 0;
        }
    }
    return got;
}

bool Session::respond(uint32_t seq, const Answer &a, bool misbehaving) {
    const Misbehaviour &m = config_.misbehave;
    const size_t pad = misbehaving ? m.session_pad : 0;
    const bool endless = misbehaving && m.session_endless;
    std::string body = config_.body.value_or("") + std::string(pad, ' ');
    std::string record;
    put_le(record, seq, 4);
    put_le(record, a.status, 4);
    put_le(record, a.substatus, 8);
    if (misbehaving && m.session_length) {
        put_le(record, *m.session_length, 8);
    } else if (endless) {
        put_le(record, kTextLength, 8);
        record += body;
    } else if (!a.body || !(config_.body || pad > 0)) {
        put_le(record, 0, 8);
    } else if (config_.body_text) {
        put_le(record, kTextLength, 8);
        record += body;
        record += '\0';
    } else {
        put_le(record, body.size(), 8);
        record += body;
    }
    if (misbehaving && m.session_extra) {
        log("session #%llu answer %u followed by an unasked record", id_, seq);
        put_le(record, seq + 1, 4);
        record.append(20, '\0');  // OK, no body
    }
    size_t piece = misbehaving && m.session_split > 0 ? m.session_split : record.size();
    for (size_t at = 0; at < record.size(); at += piece) {
        if (at > 0) std::this_thread::sleep_for(kSplitPause);
        if (!s_.write_all(record.data() + at, std::min(piece, record.size() - at))) return false;
    }
    if (endless) {
        // Only the client can end this; the bound keeps a client that reads on from holding the
        // thread for ever. Logged first: the client may be gone before the text is.
        log("session #%llu answer %u goes on endlessly", id_, seq);
        const std::string spaces(65536, ' ');
        bool sent = true;
        for (int i = 0; sent && i < 16384; i++) sent = s_.write_all(spaces.data(), spaces.size());
        return false;
    }
    return true;
}

bool Session::token_ok(const unsigned char *key) const {
    return std::any_of(config_.tokens.begin(), config_.tokens.end(),
                       [key](const auto &t) { return memcmp(t.data(), key, t.size()) == 0; });
}

}  // namespace

void serve_session(Stream &stream, const SessionConfig &config, uint64_t conn) {
    Session(stream, config, conn).run();
}

}  // namespace rx
