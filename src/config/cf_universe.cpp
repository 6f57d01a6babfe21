// Universes, servers and tokens: the universe and token blocks and their accessors.
#include "tolvane/cf_universe.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "tolvane/cf_home.h"
#include "tolvane/fatal.h"
#include "tolvane/misc.h"

namespace {
SLIST_HEAD(, tolvane_cf_universe) universes;
SLIST_HEAD(, tolvane_cf_token) tokens;
tolvane_cf_universe_t *under_construction;

// Copies a text value; ends with the message naming what was copied.
char *copy_text(const char *value, const char *what_fmt, unsigned int lineno) {
    char *copy = tolvane_cf_strdup(value);
    if (copy == nullptr) tolvane_fatal(what_fmt, lineno);
    return copy;
}
}  // namespace

void tolvane_cf_universe_reset(void) {
    SLIST_INIT(&universes);
    SLIST_INIT(&tokens);
    under_construction = nullptr;
}

tolvane_cf_universe_t *tolvane_cf_create_universe(void) {
    auto *u = static_cast<tolvane_cf_universe_t *>(tolvane_cf_alloc(sizeof(tolvane_cf_universe_t)));
    if (u == nullptr) tolvane_errx(1, "error: failed to allocate universe.\n");
    u->curl_ssl_verifypeer = true;
    u->curl_ssl_verifyhost = true;
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
    uint32_t v = u->valid;
#define MERGE(bit, field) \
    if (v & (bit)) existing->field = u->field
    MERGE(TOLVANE_CF_UNIVERSE_USERNAME, username);
    MERGE(TOLVANE_CF_UNIVERSE_PASSWORD, password);
    MERGE(TOLVANE_CF_UNIVERSE_READ_SSL_METHOD, read_ssl_method);
    MERGE(TOLVANE_CF_UNIVERSE_READ_SSL_CERTIFICATE, read_ssl_certificate);
    MERGE(TOLVANE_CF_UNIVERSE_WRITE_SSL_METHOD, write_ssl_method);
    MERGE(TOLVANE_CF_UNIVERSE_WRITE_SSL_CERTIFICATE, write_ssl_certificate);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_SSLVERSION, curl_sslversion);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_CAINFO, curl_cainfo);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_CAPATH, curl_capath);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_PROXY, curl_proxy);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_INSECURE, curl_insecure);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_PROXYPORT, curl_proxyport);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_HTTPPROXYTUNNEL, curl_httpproxytunnel);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYPEER, curl_ssl_verifypeer);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYHOST, curl_ssl_verifyhost);
    MERGE(TOLVANE_CF_UNIVERSE_CURL_VERBOSE, curl_verbose);
    MERGE(TOLVANE_CF_UNIVERSE_READER, reader);
    MERGE(TOLVANE_CF_UNIVERSE_WRITER, writer);
    MERGE(TOLVANE_CF_UNIVERSE_READER_SSL, reader_ssl);
    MERGE(TOLVANE_CF_UNIVERSE_WRITER_SSL, writer_ssl);
#undef MERGE
}

void tolvane_cf_server_add(struct tolvane_cf_server_list *list, tolvane_cf_server_type_t type,
                           const char *address, int port, uint32_t flags) {
    if (port < 1 || port > 65534) tolvane_errx(1, "error: Invalid port '%d'\n", port);
    auto *s = static_cast<tolvane_cf_server_t *>(tolvane_cf_alloc(sizeof(tolvane_cf_server_t)));
    if (s == nullptr) tolvane_errx(1, "error: %s\n", tolvane_strerror(ENOMEM));
    s->address = tolvane_cf_xstrdup(address);
    s->service = tolvane_cf_xasprintf("%d", port);
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
        auto *colon =
            static_cast<const char *>(memchr(host, ':', static_cast<size_t>(stop - host)));
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
        char *address = tolvane_cf_xstrndup(host, static_cast<size_t>(colon - host));
        tolvane_cf_server_add(list, type, address, static_cast<int>(port), 0);
        if (end == nullptr) break;
        entry = end + 1;
    }
}

void tolvane_cf_universe(char *line, size_t length, unsigned int lineno) {
    if (line == nullptr) {
        if (under_construction == nullptr)
            tolvane_fatal("error: universe configuration block at line %u is empty.\n", lineno);
        if (under_construction->name == nullptr)
            tolvane_fatal("error: universe configuration block at line %u is missing name.\n",
                          lineno);
        tolvane_cf_insert_universe(under_construction);
        under_construction = nullptr;
        return;
    }
    if (under_construction == nullptr) under_construction = tolvane_cf_create_universe();
    tolvane_cf_universe_t *u = under_construction;
    char *key, *value;
    tolvane_cf_kv(&key, &value, line, length, lineno);

    static const char method_fmt[] =
        "error: failed to allocate ssl method name for configuration file line %u.\n";
    static const char certificate_fmt[] =
        "error: failed to allocate ssl certificate filename for configuration file line %u.\n";
    struct text_key {
        const char *key;
        char *tolvane_cf_universe::*field;
        uint32_t bit;
        const char *fail_fmt;
    };
    static const text_key text_keys[] = {
        {"read.ssl.method", &tolvane_cf_universe::read_ssl_method,
         TOLVANE_CF_UNIVERSE_READ_SSL_METHOD, method_fmt},
        {"read.ssl.certificate", &tolvane_cf_universe::read_ssl_certificate,
         TOLVANE_CF_UNIVERSE_READ_SSL_CERTIFICATE, certificate_fmt},
        {"write.ssl.method", &tolvane_cf_universe::write_ssl_method,
         TOLVANE_CF_UNIVERSE_WRITE_SSL_METHOD, method_fmt},
        {"write.ssl.certificate", &tolvane_cf_universe::write_ssl_certificate,
         TOLVANE_CF_UNIVERSE_WRITE_SSL_CERTIFICATE, certificate_fmt},
        {"curl.sslversion", &tolvane_cf_universe::curl_sslversion,
         TOLVANE_CF_UNIVERSE_CURL_SSLVERSION,
         "error: failed to allocate cURL ssl version name for configuration file line %u.\n"},
        {"curl.cainfo", &tolvane_cf_universe::curl_cainfo, TOLVANE_CF_UNIVERSE_CURL_CAINFO,
         "error: failed to allocate cURL CA filename for configuration file line %u.\n"},
        {"curl.capath", &tolvane_cf_universe::curl_capath, TOLVANE_CF_UNIVERSE_CURL_CAPATH,
         "error: failed to allocate cURL CA path name for configuration file line %u.\n"},
        {"curl.proxy", &tolvane_cf_universe::curl_proxy, TOLVANE_CF_UNIVERSE_CURL_PROXY,
         "error: failed to allocate cURL proxy name for configuration file line %u.\n"},
    };
    struct bool_key {
        const char *key;
        bool tolvane_cf_universe::*field;
        uint32_t bit;
        const char *message;
    };
    static const bool_key bool_keys[] = {
        {"curl.insecure", &tolvane_cf_universe::curl_insecure, TOLVANE_CF_UNIVERSE_CURL_INSECURE,
         "error: invalid curl.insecure value.\n"},
        {"curl.httpproxytunnel", &tolvane_cf_universe::curl_httpproxytunnel,
         TOLVANE_CF_UNIVERSE_CURL_HTTPPROXYTUNNEL, "error: invalid http proxy tunnel value.\n"},
        {"curl.ssl_verifypeer", &tolvane_cf_universe::curl_ssl_verifypeer,
         TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYPEER, "error: invalid verify peer value.\n"},
        {"curl.ssl_verifyhost", &tolvane_cf_universe::curl_ssl_verifyhost,
         TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYHOST, "error: invalid verify host value.\n"},
        {"curl.verbose", &tolvane_cf_universe::curl_verbose, TOLVANE_CF_UNIVERSE_CURL_VERBOSE,
         "error: invalid cURL verbose value.\n"},
    };

    if (strcmp(key, "name") == 0) {
        u->name = copy_text(
            value, "error: failed to allocate universe name for configuration file line %u.\n",
            lineno);
        return;
    }
    if (strcmp(key, "read") == 0 || strcmp(key, "write") == 0) {
        bool write = key[0] == 'w';
        tolvane_cf_server(write ? &u->writer : &u->reader, value, lineno);
        u->valid |= write ? TOLVANE_CF_UNIVERSE_WRITER : TOLVANE_CF_UNIVERSE_READER;
        return;
    }
    bool read_ssl = strcmp(key, "read.ssl.enabled") == 0;
    bool write_ssl = strcmp(key, "write.ssl.enabled") == 0;
    if (strcmp(key, "ssl") == 0) read_ssl = write_ssl = true;
    if (read_ssl || write_ssl) {
        bool on;
        if (!tolvane_cf_bool(&on, value)) {
            // Not fatal: the flags stay as they were and loading goes on.
            fputs("error: invalid SSL value.\n", stderr);
            return;
        }
        if (read_ssl) {
            u->reader_ssl = on;
            u->valid |= TOLVANE_CF_UNIVERSE_READER_SSL;
        }
        if (write_ssl) {
            u->writer_ssl = on;
            u->valid |= TOLVANE_CF_UNIVERSE_WRITER_SSL;
        }
        return;
    }
    for (const text_key &k : text_keys) {
        if (strcmp(key, k.key) == 0) {
            u->*k.field = copy_text(value, k.fail_fmt, lineno);
            u->valid |= k.bit;
            return;
        }
    }
    for (const bool_key &k : bool_keys) {
        if (strcmp(key, k.key) == 0) {
            if (!tolvane_cf_bool(&(u->*k.field), value)) tolvane_fatal("%s", k.message);
            u->valid |= k.bit;
            return;
        }
    }
    if (strcmp(key, "curl.proxyport") == 0) {
        long port;
        if (!tolvane_cf_long(&port, value)) tolvane_fatal("error: invalid proxy port value.\n");
        u->curl_proxyport = port;
        u->valid |= TOLVANE_CF_UNIVERSE_CURL_PROXYPORT;
        return;
    }
    if (strcmp(key, "username") == 0 || strcmp(key, "password") == 0) {
        bool user = key[0] == 'u';
        char *copy = tolvane_cf_strdup(value);
        if (copy == nullptr) tolvane_fatal("error: Failed to allocate memory.\n");
        (user ? u->username : u->password) = copy;
        u->valid |= user ? TOLVANE_CF_UNIVERSE_USERNAME : TOLVANE_CF_UNIVERSE_PASSWORD;
        return;
    }
    fprintf(stderr, "error: universe block unknown key '%s' at line %u.\n", key, lineno);
}

void tolvane_cf_token_add(const char *project, const char *text) {
    if (strlen(text) != 64) tolvane_errx(1, "error: wrong length token '%s'\n", text);
    auto *t = static_cast<tolvane_cf_token_t *>(tolvane_cf_alloc(sizeof(tolvane_cf_token_t)));
    if (t == nullptr) tolvane_errx(1, "error: %s\n", tolvane_strerror(ENOMEM));
    t->name = tolvane_cf_xstrdup(project);
    if (!cr_sha256_from_string(&t->sha256, text))
        tolvane_errx(1, "error: invalid token string '%s'\n", text);
    SLIST_INSERT_HEAD(&tokens, t, linkage);
}

void tolvane_cf_token(char *line, size_t length, unsigned int lineno) {
    if (line == nullptr) return;
    char *key, *value;
    tolvane_cf_kv(&key, &value, line, length, lineno);
    tolvane_cf_token_add(key, value);
}

tolvane_cf_universe_t *tolvane_cf_universe_get(const char *name) {
    if (name == nullptr) {
        name = tolvane_cf_current_universe_get();
        if (name == nullptr) return SLIST_FIRST(&universes);
    }
    tolvane_cf_universe_t *u;
    SLIST_FOREACH(u, &universes, linkage) {
        if (strcmp(u->name, name) == 0) return u;
    }
    return nullptr;
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
