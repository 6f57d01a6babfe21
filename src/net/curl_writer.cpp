// The HTTP upload writer: one reusable easy handle posting trace files from memory or their file.
#include "tolvane/net/curl_writer.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "curl_writer_private.h"
#include "tolvane/net/network.h"
#include "tolvane/util/crypto.h"
#include "tolvane/util/membuilder.h"
#include "tolvane/util/text.h"

namespace {
const char kAborted[] = "aborted connection.";
const char kReplyTooLarge[] = "reply exceeds 1 MiB.";

bool parse_sslversion(const char *name, long *value) {
    static const struct {
        const char *name;
        long value;
    } versions[] = {
        {"default", CURL_SSLVERSION_DEFAULT}, {"TLSv1", CURL_SSLVERSION_TLSv1},
        {"TLSv1.0", CURL_SSLVERSION_TLSv1_0}, {"TLSv1.1", CURL_SSLVERSION_TLSv1_1},
        {"TLSv1.2", CURL_SSLVERSION_TLSv1_2},
    };
    for (const auto &v : versions) {
        if (strcmp(name, v.name) == 0) {
            *value = v.value;
            return true;
        }
    }
    return false;
}

// Adds a transfer-library failure with its error buffer, ending in exactly one line feed.
void curl_failure(tolvane_net_result *result, const char *what, CURLcode code, const char *err) {
    size_t n = strlen(err);
    tolvane_net_append(&result->message, "error: %s (%s): %s%s", what, curl_easy_strerror(code),
                       err, n > 0 && err[n - 1] == '\n' ? "" : "\n");
}

size_t curl_writer_read_file(char *dest, size_t size, size_t nitems, void *userdata) {
    auto *w = static_cast<tolvane_curl_writer *>(userdata);
    tolvane_payload *p = w->payload;
    size_t left = p->length - w->offset;
    if (left == 0) return 0;
    size_t n = std::min(left, size * nitems), at = w->offset, done = 0;
    if (p->file) {
        done = at < p->fixed ? std::min(n, p->fixed - at) : 0;
        memcpy(dest, p->data + at, done);
        done += p->read(dest + done, at + done, n - done);
    }
    // Whatever the file could not give (it has shrunk, say) comes from memory.
    memcpy(dest + done, p->data + at + done, n - done);
    w->offset += n;
    // The last bytes go only if the payload is still what was read, so a body that changed
    // during the transfer never arrives whole.
    if (w->offset == p->length && !p->intact()) return CURL_READFUNC_ABORT;
    return n;
}

// libcurl rewinds the body before it sends a request again, as it does on a fresh connection
// when a reused one turns out to have been closed by the server; without this it gives up.
int curl_writer_seek_file(void *userdata, curl_off_t offset, int origin) {
    auto *w = static_cast<tolvane_curl_writer *>(userdata);
    if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > w->payload->length)
        return CURL_SEEKFUNC_FAIL;
    w->offset = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

size_t curl_writer_build_response(char *data, size_t size, size_t nmemb, void *userdata) {
    auto *w = static_cast<tolvane_curl_writer *>(userdata);
    size_t n = size * nmemb;
    // A reply is a short JSON document: one that outgrows the limit (a server that never stops
    // sending, say) ends the transfer before it can take the client's memory.
    if (n > TOLVANE_CURL_WRITER_REPLY_MAX - w->response_builder.allocated) {
        w->state_flags |= S_REPLY_TOO_LARGE;
        return 0;
    }
    return cr_mem_builder_append(&w->response_builder, data, n) ? n : 0;
}

CURLcode setup_curl_writer_curl_handle(tolvane_curl_writer *w, tolvane_cf_universe_t *u,
                                       const char *url, const tolvane_net_limits &limits,
                                       tolvane_net_result *result, bool *bad_sslversion) {
    CURL *h = w->curl_handle;
    CURLcode rc;
#define SET(option, value) \
    if ((rc = curl_easy_setopt(h, option, value)) != CURLE_OK) return rc
    SET(CURLOPT_PRIVATE, &w->transfer);
    SET(CURLOPT_URL, url);
    SET(CURLOPT_POST, 1L);
    SET(CURLOPT_POSTFIELDS, static_cast<char *>(nullptr));
    SET(CURLOPT_READFUNCTION, curl_writer_read_file);
    SET(CURLOPT_SEEKFUNCTION, curl_writer_seek_file);
    SET(CURLOPT_SEEKDATA, w);
    SET(CURLOPT_WRITEFUNCTION, curl_writer_build_response);
    SET(CURLOPT_WRITEDATA, w);
    SET(CURLOPT_OPENSOCKETFUNCTION, curl_writer::open_socket);
    SET(CURLOPT_OPENSOCKETDATA, w);
    SET(CURLOPT_CLOSESOCKETFUNCTION, curl_writer::close_socket);
    SET(CURLOPT_CLOSESOCKETDATA, w);
    SET(CURLOPT_HTTPHEADER, w->http_headers);
    // libcurl's largest upload buffer: a large body goes in a few big hand-offs (one read and
    // one send each) instead of many 64 KiB ones. Under a rate cap libcurl waits after each
    // hand-off, so they are kept to a sixteenth of a second's worth (libcurl's smallest is
    // 16 KiB): the body then leaves evenly, and its last piece does not come early.
    long buffer = 2L << 20;
    if (limits.max_rate > 0) {
        buffer = static_cast<long>(std::clamp<uint64_t>(limits.max_rate / 16, 16 << 10, 2 << 20));
        SET(CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(limits.max_rate));
    }
    SET(CURLOPT_UPLOAD_BUFFERSIZE, buffer);
    // The connection phase: name resolution, the TCP connect and the TLS handshake.
    SET(CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connect_timeout));
    if (const char *name = tolvane_cf_universe_curl_sslversion_get(u)) {
        long version;
        if (!parse_sslversion(name, &version)) {
            tolvane_net_append(&result->message, "error: unrecognized curl.sslversion \"%s\".\n",
                               name);
            *bad_sslversion = true;
            return CURLE_BAD_FUNCTION_ARGUMENT;
        }
        SET(CURLOPT_SSLVERSION, version);
    }
    if (const char *v = tolvane_cf_universe_curl_cainfo_get(u)) SET(CURLOPT_CAINFO, v);
    if (const char *v = tolvane_cf_universe_curl_capath_get(u)) SET(CURLOPT_CAPATH, v);
    if (const char *v = tolvane_cf_universe_curl_proxy_get(u)) SET(CURLOPT_PROXY, v);
    if (long port = static_cast<long>(tolvane_cf_universe_curl_proxyport_get(u)))
        SET(CURLOPT_PROXYPORT, port);
    if (tolvane_cf_universe_curl_httpproxytunnel_get(u)) SET(CURLOPT_HTTPPROXYTUNNEL, 1L);
    bool insecure = w->state_flags & S_INSECURE;
    SET(CURLOPT_SSL_VERIFYPEER,
        tolvane_cf_universe_curl_ssl_verifypeer_get(u) && !insecure ? 1L : 0L);
    SET(CURLOPT_SSL_VERIFYHOST,
        tolvane_cf_universe_curl_ssl_verifyhost_get(u) && !insecure ? 2L : 0L);
    SET(CURLOPT_VERBOSE, tolvane_cf_universe_curl_verbose_get(u) ? 1L : 0L);
    // A transfer on which no byte moves for 300 seconds is given up, the same limit as for
    // session connections, so a stalled server never holds the upload for ever.
    SET(CURLOPT_LOW_SPEED_LIMIT, 1L);
    SET(CURLOPT_LOW_SPEED_TIME, 300L);
#undef SET
    return CURLE_OK;
}

// Whether a transfer failed only because the connection it reused had been closed by the
// server while idle: nothing came back on it. libcurl resends such a request by itself when it
// sees the close on reading; this catches the close seen on sending the body.
bool lost_idle_connection(tolvane_curl_writer *w, CURLcode result) {
    long connects = -1, header_bytes = -1;
    return (result == CURLE_SEND_ERROR || result == CURLE_RECV_ERROR ||
            result == CURLE_GOT_NOTHING) &&
           w->response_builder.allocated == 0 &&
           curl_easy_getinfo(w->curl_handle, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK &&
           connects == 0 &&
           curl_easy_getinfo(w->curl_handle, CURLINFO_HEADER_SIZE, &header_bytes) == CURLE_OK &&
           header_bytes == 0;
}

// Sends the same file again, once, on a new connection; false when it cannot be queued.
bool retry_on_new_connection(tolvane_curl_writer *w) {
    w->offset = 0;
    if (curl_easy_setopt(w->curl_handle, CURLOPT_FRESH_CONNECT, 1L) != CURLE_OK) return false;
    if (tolvane_network_transfer_start(&w->transfer) != CURLM_OK) {
        curl_easy_setopt(w->curl_handle, CURLOPT_FRESH_CONNECT, 0L);
        return false;
    }
    w->state_flags |= S_IN_MULTIHANDLE | S_RETRIED;
    return true;
}

// The transfer has ended: the reply, its outgrowing the limit, or the runtime's giving up
// decides the result. A connection lost while idle is retried. A transfer libcurl reports as
// failed (a reply cut short of its length, a reset, a time-out) is a failure whatever part of
// a reply came: only a server's own error text is kept then. A failed transfer of a payload
// found changed (by the check or by the guard) fails as changed.
void on_transfer_done(tolvane_network_transfer *transfer, CURLcode result, bool abandoned) {
    auto *w = static_cast<tolvane_curl_writer *>(transfer->owner);
    bool too_large = w->state_flags & S_REPLY_TOO_LARGE;
    bool retried = w->state_flags & S_RETRIED;
    w->state_flags &= ~(S_IN_MULTIHANDLE | S_REPLY_TOO_LARGE | S_RETRIED);
    if (w->payload == nullptr) {  // a connection alone
        tolvane_net_result outcome;
        if (abandoned) {
            tolvane_net_fail(&outcome, TOLVANE_NET_FAILED,
                             "error: the connection to %s failed during the %s (aborted).\n",
                             w->display, curl_writer::phase(w, result));
        } else if (result != CURLE_OK) {
            tolvane_net_fail(&outcome, TOLVANE_NET_FAILED, "%s",
                             curl_writer::transfer_cause(w, result).c_str());
        }
        w->oncomplete(w, &outcome);
        return;
    }
    if (retried) {
        // Later files may use the new connection again.
        curl_easy_setopt(w->curl_handle, CURLOPT_FRESH_CONNECT, 0L);
    } else if (!abandoned && lost_idle_connection(w, result) && retry_on_new_connection(w)) {
        return;
    }
    tolvane_curl_writer_response response{false, false, nullptr};
    std::string cause;
    if (abandoned) {
        response.errstr = const_cast<char *>(kAborted);
    } else if (too_large) {
        response.errstr = const_cast<char *>(kReplyTooLarge);
    } else {
        response = tolvane_curl_writer_translate(
            w->response_builder.mem ? w->response_builder.mem : "", w->response_builder.allocated);
        if (result != CURLE_OK && !response.errstr_needs_free) {
            response = {false, false, const_cast<char *>(kAborted)};
            cause = curl_writer::transfer_cause(w, result);
        } else if (!response.ok && !response.errstr_needs_free) {
            cause = curl_writer::reply_cause(w);
        }
    }
    tolvane_net_result outcome;
    long status = 0;
    if (!abandoned && result == CURLE_OK &&
        curl_easy_getinfo(w->curl_handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK)
        outcome.http_status = static_cast<int>(status);
    if (!response.ok) {
        tolvane_payload *p = w->payload;
        if (p->changed) {
            p->fail_changed(&outcome);
        } else {
            tolvane_net_fail(&outcome, TOLVANE_NET_FAILED,
                             "%serror: failed to post file \"%s\": %s\n", cause.c_str(),
                             tolvane_printable(p->path).c_str(), response.errstr);
        }
    }
    if (response.errstr_needs_free) free(response.errstr);
    w->oncomplete(w, &outcome);  // which may destroy the writer
}

void release(tolvane_curl_writer *w) {
    curl_slist_free_all(w->http_headers);
    if (w->curl_handle != nullptr) curl_easy_cleanup(w->curl_handle);
    delete w;
}

// Whether libcurl may go through a proxy: one is configured, or one of the variables it reads
// names one. (Whether the server is exempt is libcurl's to decide.)
bool proxy_possible(tolvane_cf_universe_t *u) {
    const char *configured = tolvane_cf_universe_curl_proxy_get(u);
    if (configured != nullptr && configured[0] != '\0') return true;
    for (const char *name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char *value = getenv(name);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

// The server's address as a URL's host: an IPv6 address in brackets, its zone's "%" written
// "%25".
std::string url_host(const char *address) {
    if (strchr(address, ':') == nullptr) return address;
    std::string host = "[";
    for (const char *c = address; *c != '\0'; c++) host += *c == '%' ? "%25" : std::string(1, *c);
    return host + "]";
}
}  // namespace

tolvane_curl_writer_t *tolvane_curl_writer_create(
    tolvane_cf_universe_t *universe, tolvane_cf_server_t *server, const struct addrinfo *addresses,
    tolvane_cf_token_t *token, tolvane_curl_writer_flags_t flags,
    const struct tolvane_net_limits *limits, tolvane_net_result *result) {
    result->code = TOLVANE_NET_NO_WRITER;
    tolvane_net_limits defaults;
    if (limits == nullptr) limits = &defaults;
    auto *w = new (std::nothrow) tolvane_curl_writer{};
    if (w == nullptr) return nullptr;
    // No token: a writer that only connects, whose URL has none to give away.
    cr_sha256_string_t token_text = "";
    if (token != nullptr) cr_sha256_to_string(token_text, tolvane_cf_token_sha256(token));
    const char *address, *service;
    tolvane_cf_server_get(server, &address, &service);
    long port = strtol(service, nullptr, 10);
    for (const addrinfo *a = proxy_possible(universe) ? addresses : nullptr; a != nullptr;
         a = a->ai_next) {
        sockaddr_storage ss{};
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof ss)
            continue;
        memcpy(&ss, a->ai_addr, a->ai_addrlen);
        uint16_t net_port = htons(static_cast<uint16_t>(port));
        if (a->ai_family == AF_INET) {
            reinterpret_cast<sockaddr_in *>(&ss)->sin_port = net_port;
        } else {
            reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port = net_port;
        }
        try {
            w->server_addresses.push_back(ss);
        } catch (const std::bad_alloc &) {
            release(w);
            return nullptr;
        }
    }
    tolvane_cf_server_type_t type = tolvane_cf_server_type(server);
    w->display = server->display;
    w->https = type != TOLVANE_CF_SERVER_HTTP;
    w->connect_timeout = limits->connect_timeout;
    char url[1024];
    int n =
        snprintf(url, sizeof url, "%s://%s:%s/post%s%s", w->https ? "https" : "http",
                 url_host(address).c_str(), service, token != nullptr ? "?token=" : "", token_text);
    if (n < 0 || n > 1022) {
        tolvane_net_append(&result->message, "error: Could not prepare URL.\n");
        release(w);
        return nullptr;
    }
    if (flags & TOLVANE_CURL_WRITER_F_INSECURE) w->state_flags |= S_INSECURE;
    w->http_headers = curl_slist_append(nullptr, "Expect:");
    if (w->http_headers == nullptr) {
        release(w);
        return nullptr;
    }
    w->curl_handle = curl_easy_init();
    if (w->curl_handle == nullptr) {
        tolvane_net_append(&result->message, "error: could not create cURL handle.\n");
        release(w);
        return nullptr;
    }
    w->transfer.easy = w->curl_handle;
    w->transfer.owner = w;
    w->transfer.done = on_transfer_done;
    if (curl_easy_setopt(w->curl_handle, CURLOPT_ERRORBUFFER, w->err_curl) != CURLE_OK) {
        tolvane_net_append(&result->message, "error: could not setup cURL handle.\n");
        release(w);
        return nullptr;
    }
    bool bad_sslversion = false;
    CURLcode rc = setup_curl_writer_curl_handle(w, universe, url, *limits, result, &bad_sslversion);
    if (rc != CURLE_OK) {
        if (!bad_sslversion) curl_failure(result, "cURL setup failure", rc, w->err_curl);
        tolvane_net_append(&result->message, "error: could not setup cURL handle.\n");
        release(w);
        return nullptr;
    }
    cr_mem_builder_init(&w->response_builder);
    result->code = TOLVANE_NET_OK;
    return w;
}

namespace {
// A transfer starts: what the last one saw goes.
void transfer_begin(tolvane_curl_writer *w, tolvane_payload *payload) {
    w->payload = payload;
    w->offset = 0;
    w->peer_reached = false;
    w->sockets = 0;
    w->err_curl[0] = '\0';
}
}  // namespace

bool tolvane_curl_writer_file_put(tolvane_curl_writer_t *w, tolvane_payload *payload,
                                  tolvane_curl_writer_cb_t oncomplete, tolvane_net_result *result) {
    transfer_begin(w, payload);
    CURLcode rc = curl_easy_setopt(w->curl_handle, CURLOPT_READDATA, w);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(w->curl_handle, CURLOPT_POSTFIELDSIZE_LARGE,
                              static_cast<curl_off_t>(payload->length));
    if (rc != CURLE_OK) {
        curl_failure(result, "cURL failure", rc, w->err_curl);
        result->code = TOLVANE_NET_FAILED;
        return false;
    }
    cr_mem_builder_reset(&w->response_builder);
    w->oncomplete = oncomplete;
    if (tolvane_network_transfer_start(&w->transfer) != CURLM_OK) {
        return tolvane_net_fail(
            result, TOLVANE_NET_FAILED,
            "error: Failed to add tolvane_curl_writer_t to  cURL multi-handle.\n");
    }
    w->state_flags |= S_IN_MULTIHANDLE;
    return true;
}

bool tolvane_curl_writer_connect(tolvane_curl_writer_t *w, tolvane_curl_writer_cb_t oncomplete,
                                 tolvane_net_result *result) {
    transfer_begin(w, nullptr);
    CURLcode rc = curl_easy_setopt(w->curl_handle, CURLOPT_CONNECT_ONLY, 1L);
    if (rc != CURLE_OK) {
        curl_failure(result, "cURL failure", rc, w->err_curl);
        result->code = TOLVANE_NET_FAILED;
        return false;
    }
    w->oncomplete = oncomplete;
    if (tolvane_network_transfer_start(&w->transfer) != CURLM_OK)
        return tolvane_net_fail(
            result, TOLVANE_NET_FAILED,
            "error: Failed to add tolvane_curl_writer_t to  cURL multi-handle.\n");
    w->state_flags |= S_IN_MULTIHANDLE;
    return true;
}

void tolvane_curl_writer_destroy(tolvane_curl_writer_t *w) {
    if (w->state_flags & S_IN_MULTIHANDLE) {
        if (tolvane_network_transfer_stop(&w->transfer) != CURLM_OK)
            fputs("error: Failed to remove tolvane_curl_writer_t from cURL multi-handle.\n",
                  stderr);
        w->state_flags &= ~S_IN_MULTIHANDLE;
    }
    cr_mem_builder_deinit(&w->response_builder);
    release(w);
}

tolvane_curl_writer_response tolvane_curl_writer_translate(const char *body, size_t length) {
    tolvane_curl_writer_response r{false, false, nullptr};
    if (length == 0) {
        r.errstr = const_cast<char *>(kAborted);
        return r;
    }
    json_object *root = json_tokener_parse(body);
    if (root == nullptr) {
        r.errstr = const_cast<char *>("could not parse post response.");
        return r;
    }
    json_object *v;
    // The whole string has to be "ok": one that merely starts so, up to an escaped NUL
    // ("ok\u0000junk"), is no success.
    if (json_object_object_get_ex(root, "response", &v) &&
        json_object_is_type(v, json_type_string) && json_object_get_string_len(v) == 2 &&
        memcmp(json_object_get_string(v), "ok", 2) == 0) {
        r.ok = true;
    } else {
        // A member that is present but null carries no text, so it counts as absent.
        json_object *error, *text = nullptr;
        if (!(json_object_object_get_ex(root, "error", &error) && error != nullptr &&
              json_object_object_get_ex(error, "message", &text) && text != nullptr))
            text = json_object_object_get_ex(root, "errstr", &v) ? v : nullptr;
        // The server's text is shown escaped and cut, so that it cannot forge lines. A string
        // may hold escaped NULs; other kinds of value show as JSON text.
        std::string shown;
        if (text != nullptr) {
            const char *t = json_object_get_string(text);
            size_t n = json_object_is_type(text, json_type_string)
                           ? static_cast<size_t>(json_object_get_string_len(text))
                           : strlen(t);
            shown = tolvane_printable(std::string_view(t, n), TOLVANE_SERVER_TEXT_MAX);
        }
        if (text != nullptr && (r.errstr = strdup(shown.c_str())) != nullptr) {
            r.errstr_needs_free = true;
        } else {
            r.errstr = const_cast<char *>("malformed post response.");
        }
    }
    json_object_put(root);
    return r;
}

tolvane_curl_writer_response_code tolvane_curl_writer_response_code_get(
    const tolvane_curl_writer_response *r) {
    return r->ok ? TOLVANE_CURL_WRITER_RESPONSE_OK : TOLVANE_CURL_WRITER_RESPONSE_FAILED;
}

const char *tolvane_curl_writer_response_errstr_get(const tolvane_curl_writer_response *r) {
    return r->errstr;
}

uint64_t tolvane_curl_writer_sent(const tolvane_curl_writer_t *w) {
    curl_off_t n = 0;
    curl_easy_getinfo(w->curl_handle, CURLINFO_SIZE_UPLOAD_T, &n);
    return n > 0 ? static_cast<uint64_t>(n) : 0;
}
