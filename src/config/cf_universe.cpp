// Universes, servers and tokens: the universe and token blocks and their accessors.
#include "tolvane/config/cf_universe.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"

namespace {
SLIST_HEAD(, tolvane_cf_universe) universes;
SLIST_HEAD(, tolvane_cf_token) tokens;
tolvane_cf_universe_t *under_construction;
struct {
    const char *name;
    tolvane_cf_read_failure unread;
} current;

// The universe block's keys. Every key is one line of universe_keys below: that table drives the
// parser, the defaults of a new universe and the merge of a later block with the same name.
using U = tolvane_cf_universe_t;
using text_field = char *U::*;
using flag_field = bool U::*;
using number_field = int64_t U::*;
using servers_field = tolvane_cf_server_list U::*;
// std::monostate: the key has no field of its own ("ssl" sets the switches its bits name).
using field_ptr = std::variant<std::monostate, text_field, flag_field, number_field, servers_field>;

// How a value is read. Every message is a format given the line number, which it may ignore.
enum class kind {
    text,     // kept as written
    flag,     // "true" or "false" in any case; anything else ends the process with `message`
    number,   // read like %ld; anything else ends the process with `message`
    servers,  // a blank-separated server list, each added to the head of the field's list
    ssl,      // like flag, but a bad value only prints `message` and is recorded as refused
    refusal,  // no key: the record of a refused ssl value, kept so that merges carry it
};

struct universe_key {
    const char *key;  // null for a refusal, which no line can name
    field_ptr member;
    uint32_t bit;  // its bit in `valid`; 0 for the name, which is how blocks are matched
    kind how;
    const char *message;
    bool initially = false;  // a flag's value in a new universe
};

constexpr char bad_ssl[] = "error: invalid SSL value.\n";

constexpr universe_key universe_keys[] = {
    {"name", &U::name, 0, kind::text, nullptr},
    {"username", &U::username, TOLVANE_CF_UNIVERSE_USERNAME, kind::text, nullptr},
    {"password", &U::password, TOLVANE_CF_UNIVERSE_PASSWORD, kind::text, nullptr},
    {"read.ssl.method", &U::read_ssl_method, TOLVANE_CF_UNIVERSE_READ_SSL_METHOD, kind::text,
     nullptr},
    {"read.ssl.certificate", &U::read_ssl_certificate, TOLVANE_CF_UNIVERSE_READ_SSL_CERTIFICATE,
     kind::text, nullptr},
    {"write.ssl.method", &U::write_ssl_method, TOLVANE_CF_UNIVERSE_WRITE_SSL_METHOD, kind::text,
     nullptr},
    {"write.ssl.certificate", &U::write_ssl_certificate, TOLVANE_CF_UNIVERSE_WRITE_SSL_CERTIFICATE,
     kind::text, nullptr},
    {"curl.sslversion", &U::curl_sslversion, TOLVANE_CF_UNIVERSE_CURL_SSLVERSION, kind::text,
     nullptr},
    {"curl.cainfo", &U::curl_cainfo, TOLVANE_CF_UNIVERSE_CURL_CAINFO, kind::text, nullptr},
    {"curl.capath", &U::curl_capath, TOLVANE_CF_UNIVERSE_CURL_CAPATH, kind::text, nullptr},
    {"curl.proxy", &U::curl_proxy, TOLVANE_CF_UNIVERSE_CURL_PROXY, kind::text, nullptr},
    {"curl.insecure", &U::curl_insecure, TOLVANE_CF_UNIVERSE_CURL_INSECURE, kind::flag,
     "error: invalid curl.insecure value.\n"},
    {"curl.proxyport", &U::curl_proxyport, TOLVANE_CF_UNIVERSE_CURL_PROXYPORT, kind::number,
     "error: invalid proxy port value.\n"},
    {"curl.httpproxytunnel", &U::curl_httpproxytunnel, TOLVANE_CF_UNIVERSE_CURL_HTTPPROXYTUNNEL,
     kind::flag, "error: invalid http proxy tunnel value.\n"},
    {"curl.ssl_verifypeer", &U::curl_ssl_verifypeer, TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYPEER,
     kind::flag, "error: invalid verify peer value.\n", true},
    {"curl.ssl_verifyhost", &U::curl_ssl_verifyhost, TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYHOST,
     kind::flag, "error: invalid verify host value.\n", true},
    {"curl.verbose", &U::curl_verbose, TOLVANE_CF_UNIVERSE_CURL_VERBOSE, kind::flag,
     "error: invalid cURL verbose value.\n"},
    {"read", &U::reader, TOLVANE_CF_UNIVERSE_READER, kind::servers, nullptr},
    {"write", &U::writer, TOLVANE_CF_UNIVERSE_WRITER, kind::servers, nullptr},
    {"read.ssl.enabled", &U::reader_ssl, TOLVANE_CF_UNIVERSE_READER_SSL, kind::ssl, bad_ssl},
    {"write.ssl.enabled", &U::writer_ssl, TOLVANE_CF_UNIVERSE_WRITER_SSL, kind::ssl, bad_ssl},
    {"ssl", std::monostate{}, TOLVANE_CF_UNIVERSE_READER_SSL | TOLVANE_CF_UNIVERSE_WRITER_SSL,
     kind::ssl, bad_ssl},
    {"write.ssl.verify", &U::write_ssl_verify, TOLVANE_CF_UNIVERSE_WRITE_SSL_VERIFY, kind::flag,
     "error: invalid write.ssl.verify value.\n"},
    {"write.ssl.ca", &U::write_ssl_ca, TOLVANE_CF_UNIVERSE_WRITE_SSL_CA, kind::text, nullptr},
    {nullptr, &U::writer_ssl_refused, TOLVANE_CF_UNIVERSE_WRITER_SSL_REFUSED, kind::refusal,
     nullptr},
};

// Each field has one bit of its own, so a merge copies exactly the fields a block gave; only
// flags start out set.
constexpr bool table_is_sound() {
    uint32_t seen = 0;
    for (const universe_key &k : universe_keys) {
        if (k.initially && !std::holds_alternative<flag_field>(k.member)) return false;
        if (std::holds_alternative<std::monostate>(k.member)) continue;
        if ((k.bit & (k.bit - 1)) != 0 || (k.bit & seen) != 0) return false;
        seen |= k.bit;
    }
    return true;
}
static_assert(table_is_sound());

const universe_key *find_key(const char *key) {
    for (const universe_key &k : universe_keys) {
        if (k.key != nullptr && strcmp(key, k.key) == 0) return &k;
    }
    return nullptr;
}

// Sets the ssl switches among the given bits.
void set_switches(U *u, uint32_t bits, bool on) {
    for (const universe_key &k : universe_keys) {
        if (k.how == kind::ssl && (k.bit & bits) != 0 &&
            std::holds_alternative<flag_field>(k.member))
            u->*std::get<flag_field>(k.member) = on;
    }
}

// Says which line held what, and what the key takes, before the key's own message.
void say_allowed(const universe_key &k, const char *value, unsigned int lineno,
                 const char *allowed) {
    const char *file = tolvane_cf_reading_get();
    fprintf(stderr, "error: %s = \"%s\" at line %u%s%s; it takes %s.\n", k.key, value, lineno,
            file != nullptr ? " of " : "", file != nullptr ? file : "", allowed);
}

void read_value(U *u, const universe_key &k, const char *value, unsigned int lineno) {
    switch (k.how) {
        case kind::text: {
            u->*std::get<text_field>(k.member) = tolvane_cf_strdup(value);
            break;
        }
        case kind::flag:
            if (!tolvane_cf_bool(&(u->*std::get<flag_field>(k.member)), value)) {
                say_allowed(k, value, lineno, "true or false");
                tolvane_fatal(k.message, lineno);
            }
            break;
        case kind::number: {
            long number;
            if (!tolvane_cf_long(&number, value)) {
                say_allowed(k, value, lineno, "a number");
                tolvane_fatal(k.message, lineno);
            }
            u->*std::get<number_field>(k.member) = number;
            break;
        }
        case kind::servers:
            tolvane_cf_server(&(u->*std::get<servers_field>(k.member)), value, lineno);
            break;
        case kind::ssl: {
            bool on;
            if (!tolvane_cf_bool(&on, value)) {
                // Not fatal: the switches stay as they were and loading goes on. But what was
                // meant is unknown, so the writer's refusal is kept for the uploads to see:
                // guessing "off" would send in plaintext what may have been meant for TLS.
                say_allowed(k, value, lineno, "true or false");
                fprintf(stderr, k.message, lineno);
                if ((k.bit & TOLVANE_CF_UNIVERSE_WRITER_SSL) != 0) {
                    u->writer_ssl_refused = true;
                    u->valid |= TOLVANE_CF_UNIVERSE_WRITER_SSL_REFUSED;
                }
                return;
            }
            set_switches(u, k.bit, on);
            break;
        }
        case kind::refusal:
            return;
    }
    u->valid |= k.bit;
}

template <typename F>
void copy_field(U *to, const U *from, F member) {
    to->*member = from->*member;
}
void copy_field(U *, const U *, std::monostate) {}

void close_block(unsigned int lineno) {
    if (under_construction == nullptr)
        tolvane_fatal("error: universe configuration block at line %u is empty.\n", lineno);
    if (under_construction->name == nullptr)
        tolvane_fatal("error: universe configuration block at line %u is missing name.\n", lineno);
    tolvane_cf_insert_universe(under_construction);
    under_construction = nullptr;
}
}  // namespace

void tolvane_cf_universe_reset(void) {
    SLIST_INIT(&universes);
    SLIST_INIT(&tokens);
    under_construction = nullptr;
    current = {};
}

void tolvane_cf_universe_current_set(const char *name, const tolvane_cf_read_failure *unread) {
    current.name = name;
    current.unread = unread != nullptr ? *unread : tolvane_cf_read_failure{};
}

tolvane_cf_universe_t *tolvane_cf_create_universe(void) {
    auto *u = static_cast<tolvane_cf_universe_t *>(tolvane_cf_alloc(sizeof(tolvane_cf_universe_t)));
    for (const universe_key &k : universe_keys) {
        if (k.initially) u->*std::get<flag_field>(k.member) = true;
    }
    return u;
}

void tolvane_cf_insert_universe(tolvane_cf_universe_t *u) {
    tolvane_cf_universe_t *existing;
    SLIST_FOREACH(existing, &universes, linkage) {
        if (strcmp(existing->name, u->name) == 0) break;
    }
    if (existing == nullptr) {
        SLIST_INSERT_HEAD(&universes, u, linkage);
        return;
    }
    // A later definition amends the earlier one with exactly the keys it gave.
    for (const universe_key &k : universe_keys) {
        if ((u->valid & k.bit) != 0)
            std::visit([&](auto member) { copy_field(existing, u, member); }, k.member);
    }
}

void tolvane_cf_server_add(struct tolvane_cf_server_list *list, tolvane_cf_server_type_t type,
                           const char *address, int port, uint32_t flags) {
    if (port < 1 || port > 65534) tolvane_errx(1, "error: Invalid port '%d'\n", port);
    auto *s = static_cast<tolvane_cf_server_t *>(tolvane_cf_alloc(sizeof(tolvane_cf_server_t)));
    s->address = tolvane_cf_strdup(address);
    s->service = tolvane_cf_asprintf("%d", port);
    s->display =
        tolvane_cf_asprintf(strchr(address, ':') != nullptr ? "[%s]:%d" : "%s:%d", address, port);
    s->type = type;
    s->flags = flags;
    SLIST_INSERT_HEAD(list, s, linkage);
}

void tolvane_cf_server(struct tolvane_cf_server_list *list, const char *value,
                       unsigned int lineno) {
    const char *entry = value;
    while (true) {
        const char *end = strchr(entry, ' ');
        size_t len = end != nullptr ? static_cast<size_t>(end - entry) : strlen(entry);
        tolvane_cf_server_type_t type = TOLVANE_CF_SERVER_RAW;
        const char *host = entry;
        if (len >= 7 && strncmp(host, "http://", 7) == 0) {
            type = TOLVANE_CF_SERVER_HTTP;
            host += 7;
        } else if (len >= 8 && strncmp(host, "https://", 8) == 0) {
            type = TOLVANE_CF_SERVER_HTTPS;
            host += 8;
        }
        const char *stop = entry + len;
        // An IPv6 address is written in brackets ("[::1]:4000"), since its own colons would
        // otherwise be taken for the port's.
        const char *address_end = nullptr;
        if (host < stop && *host == '[') {
            address_end =
                static_cast<const char *>(memchr(host, ']', static_cast<size_t>(stop - host)));
            if (address_end == nullptr || address_end == host + 1 ||
                memchr(host + 1, '[', static_cast<size_t>(address_end - host - 1)) != nullptr ||
                (address_end + 1 < stop && address_end[1] != ':'))
                tolvane_fatal("error: parse error at configuration file line %u.\n", lineno);
            host++;
        }
        const char *search = address_end != nullptr ? address_end : host;
        auto *colon =
            static_cast<const char *>(memchr(search, ':', static_cast<size_t>(stop - search)));
        if (address_end == nullptr) address_end = colon;
        if (colon == nullptr)
            tolvane_fatal("error: configuration file is missing port number at line %u.\n", lineno);
        if (colon + 1 == stop)
            tolvane_fatal("error: parse error at configuration file line %u.\n", lineno);
        // The port is read as strtol reads it: whatever follows the digits (a path) is ignored.
        std::string port_text(colon + 1, stop);
        // Range-checked before narrowing, so a huge number cannot wrap into a valid port.
        long port = strtol(port_text.c_str(), nullptr, 10);
        if (port < 1 || port > 65534)
            tolvane_fatal("error: invalid port number at configuration file line %u.\n", lineno);
        char *address = tolvane_cf_strndup(host, static_cast<size_t>(address_end - host));
        tolvane_cf_server_add(list, type, address, static_cast<int>(port), 0);
        if (end == nullptr) break;
        entry = end + 1;
    }
}

void tolvane_cf_universe(char *line, size_t length, unsigned int lineno) {
    if (line == nullptr) {
        close_block(lineno);
        return;
    }
    if (under_construction == nullptr) under_construction = tolvane_cf_create_universe();
    char *key, *value;
    tolvane_cf_kv(&key, &value, line, length, lineno);
    const universe_key *k = find_key(key);
    if (k == nullptr) {
        fprintf(stderr, "error: universe block unknown key '%s' at line %u.\n", key, lineno);
        return;
    }
    read_value(under_construction, *k, value, lineno);
}

void tolvane_cf_token_add(const char *project, const char *text, unsigned int lineno) {
    char where[32] = " in the JSON configuration";
    if (lineno > 0) snprintf(where, sizeof where, " at line %u", lineno);
    size_t n = strlen(text);
    if (n != 64) {
        // What most often makes a good token too long: a file saved with CRLF line ends, or a
        // blank after the value.
        const char *ending = n == 0                ? ""
                             : text[n - 1] == '\r' ? ", the last a carriage return"
                             : text[n - 1] == ' ' || text[n - 1] == '\t' ? ", the last a blank"
                                                                         : "";
        tolvane_errx(1,
                     "error: wrong length token for project \"%s\"%s: %zu characters%s, not 64\n",
                     project, where, n, ending);
    }
    auto *t = static_cast<tolvane_cf_token_t *>(tolvane_cf_alloc(sizeof(tolvane_cf_token_t)));
    t->name = tolvane_cf_strdup(project);
    if (!cr_sha256_from_string(&t->sha256, text))
        tolvane_errx(1,
                     "error: invalid token string for project \"%s\"%s: not 64 hexadecimal "
                     "digits\n",
                     project, where);
    SLIST_INSERT_HEAD(&tokens, t, linkage);
}

void tolvane_cf_token(char *line, size_t length, unsigned int lineno) {
    if (line == nullptr) return;
    char *key, *value;
    tolvane_cf_kv(&key, &value, line, length, lineno);
    tolvane_cf_token_add(key, value, lineno);
}

tolvane_cf_universe_t *tolvane_cf_universe_get(const char *name) {
    if (name == nullptr) {
        tolvane_cf_read_failure_print(&current.unread);
        name = current.name;
        if (name == nullptr) return SLIST_FIRST(&universes);
    }
    tolvane_cf_universe_t *u;
    SLIST_FOREACH(u, &universes, linkage) {
        if (strcmp(u->name, name) == 0) return u;
    }
    return nullptr;
}

tolvane_cf_universe_t *tolvane_cf_universe_next(tolvane_cf_universe_t *universe) {
    return universe == nullptr ? SLIST_FIRST(&universes) : SLIST_NEXT(universe, linkage);
}

tolvane_cf_server_t *tolvane_cf_writer_next(tolvane_cf_universe_t *universe,
                                            tolvane_cf_server_t *server) {
    return server == nullptr ? SLIST_FIRST(&universe->writer) : SLIST_NEXT(server, linkage);
}

tolvane_cf_server_type_t tolvane_cf_server_type(const tolvane_cf_server_t *server) {
    return server->type;
}

void tolvane_cf_server_get(const tolvane_cf_server_t *server, const char **address,
                           const char **service) {
    *address = server->address;
    *service = server->service;
}

bool tolvane_cf_server_ssl_get(const tolvane_cf_server_t *server, bool fallback) {
    if (server->flags & TOLVANE_CF_SERVER_F_SSL_EXPLICIT)
        return (server->flags & TOLVANE_CF_SERVER_F_SSL) != 0;
    return fallback;
}

bool tolvane_cf_universe_ssl_writer(const tolvane_cf_universe_t *u) {
    return u->writer_ssl;
}
bool tolvane_cf_writer_ssl_refused(const tolvane_cf_universe_t *u, const tolvane_cf_server_t *s) {
    return (s->flags & TOLVANE_CF_SERVER_F_SSL_EXPLICIT) == 0 && u->writer_ssl_refused;
}
bool tolvane_cf_universe_ssl_verify_writer_get(const tolvane_cf_universe_t *u) {
    return u->write_ssl_verify;
}
const char *tolvane_cf_universe_ssl_ca_writer_get(const tolvane_cf_universe_t *u) {
    return u->write_ssl_ca;
}
const char *tolvane_cf_universe_ssl_method_writer_get(const tolvane_cf_universe_t *u) {
    return u->write_ssl_method;
}
const char *tolvane_cf_universe_ssl_certificate_writer_get(const tolvane_cf_universe_t *u) {
    return u->write_ssl_certificate;
}
bool tolvane_cf_universe_curl_insecure_get(const tolvane_cf_universe_t *u) {
    return u->curl_insecure;
}
const char *tolvane_cf_universe_curl_sslversion_get(const tolvane_cf_universe_t *u) {
    return u->curl_sslversion;
}
const char *tolvane_cf_universe_curl_cainfo_get(const tolvane_cf_universe_t *u) {
    return u->curl_cainfo;
}
const char *tolvane_cf_universe_curl_capath_get(const tolvane_cf_universe_t *u) {
    return u->curl_capath;
}
const char *tolvane_cf_universe_curl_proxy_get(const tolvane_cf_universe_t *u) {
    return u->curl_proxy;
}
int64_t tolvane_cf_universe_curl_proxyport_get(const tolvane_cf_universe_t *u) {
    return u->curl_proxyport;
}
bool tolvane_cf_universe_curl_httpproxytunnel_get(const tolvane_cf_universe_t *u) {
    return u->curl_httpproxytunnel;
}
bool tolvane_cf_universe_curl_ssl_verifypeer_get(const tolvane_cf_universe_t *u) {
    return u->curl_ssl_verifypeer;
}
bool tolvane_cf_universe_curl_ssl_verifyhost_get(const tolvane_cf_universe_t *u) {
    return u->curl_ssl_verifyhost;
}
bool tolvane_cf_universe_curl_verbose_get(const tolvane_cf_universe_t *u) {
    return u->curl_verbose;
}

tolvane_cf_token_t *tolvane_cf_token_get(const char *name) {
    tolvane_cf_token_t *t;
    SLIST_FOREACH(t, &tokens, linkage) {
        if (strcmp(t->name, name) == 0) return t;
    }
    return nullptr;
}

const cr_sha256_t *tolvane_cf_token_sha256(const tolvane_cf_token_t *token) {
    return &token->sha256;
}
