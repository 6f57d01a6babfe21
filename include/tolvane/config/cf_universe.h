// Universes (named tenants with their writer and reader servers and transfer settings),
// servers and project tokens: the universe and token blocks, the merge rule, and the accessors
// the uploaders read.
#pragma once

#include <sys/queue.h>

#include <cstdint>

#include "tolvane/config/cf.h"
#include "tolvane/util/crypto.h"

typedef enum {
    TOLVANE_CF_SERVER_RAW = 0,
    TOLVANE_CF_SERVER_HTTP = 1,
    TOLVANE_CF_SERVER_HTTPS = 2,
} tolvane_cf_server_type_t;

enum : uint32_t {
    TOLVANE_CF_SERVER_F_SSL_EXPLICIT = 0x1,  // the server makes its own TLS choice
    TOLVANE_CF_SERVER_F_SSL = 0x2,           // and that choice is TLS
};

struct tolvane_cf_server {
    char *address;  // a name or an address; an IPv6 address without its brackets
    char *service;  // decimal port
    char *display;  // "address:port", the address in brackets when it holds a ":"
    tolvane_cf_server_type_t type;
    uint32_t flags;
    SLIST_ENTRY(tolvane_cf_server) linkage;
};
typedef struct tolvane_cf_server tolvane_cf_server_t;
SLIST_HEAD(tolvane_cf_server_list, tolvane_cf_server);

// Bits of tolvane_cf_universe.valid: the fields given explicitly. Each belongs to one key of the
// universe block (its table in cf_universe.cpp); "ssl" gives both switch bits, and a refused
// value for the writer's switch gives WRITER_SSL_REFUSED.
enum : uint32_t {
    TOLVANE_CF_UNIVERSE_USERNAME = 0x1,
    TOLVANE_CF_UNIVERSE_PASSWORD = 0x2,
    TOLVANE_CF_UNIVERSE_READ_SSL_METHOD = 0x4,
    TOLVANE_CF_UNIVERSE_READ_SSL_CERTIFICATE = 0x8,
    TOLVANE_CF_UNIVERSE_WRITE_SSL_METHOD = 0x10,
    TOLVANE_CF_UNIVERSE_WRITE_SSL_CERTIFICATE = 0x20,
    TOLVANE_CF_UNIVERSE_CURL_SSLVERSION = 0x40,
    TOLVANE_CF_UNIVERSE_CURL_CAINFO = 0x80,
    TOLVANE_CF_UNIVERSE_CURL_CAPATH = 0x100,
    TOLVANE_CF_UNIVERSE_CURL_PROXY = 0x200,
    TOLVANE_CF_UNIVERSE_CURL_INSECURE = 0x400,
    TOLVANE_CF_UNIVERSE_CURL_PROXYPORT = 0x800,
    TOLVANE_CF_UNIVERSE_CURL_HTTPPROXYTUNNEL = 0x1000,
    TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYPEER = 0x2000,
    TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYHOST = 0x4000,
    TOLVANE_CF_UNIVERSE_CURL_VERBOSE = 0x8000,
    TOLVANE_CF_UNIVERSE_READER = 0x10000,
    TOLVANE_CF_UNIVERSE_WRITER = 0x20000,
    TOLVANE_CF_UNIVERSE_READER_SSL = 0x40000,
    TOLVANE_CF_UNIVERSE_WRITER_SSL = 0x80000,
    TOLVANE_CF_UNIVERSE_WRITE_SSL_VERIFY = 0x100000,
    TOLVANE_CF_UNIVERSE_WRITE_SSL_CA = 0x200000,
    TOLVANE_CF_UNIVERSE_WRITER_SSL_REFUSED = 0x400000,
};

// The read_*, reader* and credential fields are parsed, merged and kept for the block's full key
// set, but this version only writes: nothing reads them.
struct tolvane_cf_universe {
    char *name;
    char *username;              // unread
    char *password;              // unread
    char *read_ssl_method;       // unread
    char *read_ssl_certificate;  // unread
    char *write_ssl_method;
    char *write_ssl_certificate;
    char *curl_sslversion;
    char *curl_cainfo;
    char *curl_capath;
    char *curl_proxy;
    bool curl_insecure;
    int64_t curl_proxyport;
    bool curl_httpproxytunnel;
    bool curl_ssl_verifypeer;
    bool curl_ssl_verifyhost;
    bool curl_verbose;
    struct tolvane_cf_server_list reader;  // unread
    struct tolvane_cf_server_list writer;
    bool reader_ssl;  // unread
    bool writer_ssl;
    bool write_ssl_verify;    // verify the session protocol's server certificate
    char *write_ssl_ca;       // trust anchors for that: a PEM file or a hashed directory
    bool writer_ssl_refused;  // a value for the writer's TLS switch was refused
    uint32_t valid;
    SLIST_ENTRY(tolvane_cf_universe) linkage;
};
typedef struct tolvane_cf_universe tolvane_cf_universe_t;

struct tolvane_cf_token {
    char *name;  // project
    cr_sha256_t sha256;
    SLIST_ENTRY(tolvane_cf_token) linkage;
};
typedef struct tolvane_cf_token tolvane_cf_token_t;

// Block parsers.
tolvane_cf_parser_t tolvane_cf_universe;
tolvane_cf_parser_t tolvane_cf_token;

// Model operations, shared with the JSON configuration.
tolvane_cf_universe_t *tolvane_cf_create_universe(void);
void tolvane_cf_insert_universe(tolvane_cf_universe_t *universe);
void tolvane_cf_server(struct tolvane_cf_server_list *list, const char *value, unsigned int lineno);
void tolvane_cf_server_add(struct tolvane_cf_server_list *list, tolvane_cf_server_type_t type,
                           const char *address, int port, uint32_t flags);
// A token is a secret: a refused one is described (its length, what it ends in), never shown.
// `lineno` is the configuration file's line, 0 for the JSON configuration.
void tolvane_cf_token_add(const char *project, const char *text, unsigned int lineno);

// The configuration home's current universe, which a null name selects, and how reading its
// file failed (null: no failure); tolvane_cf_load sets both. The failure is printed each time a
// null name asks for the current universe, so only commands that choose one report it.
void tolvane_cf_universe_current_set(const char *name, const tolvane_cf_read_failure *unread);
// Forgets every universe, token and the current universe; part of tolvane_cf_reset.
void tolvane_cf_universe_reset(void);

// Accessors.
// The universe of that name; with a null name, the current universe, or the one inserted last
// under a new name when there is no current universe.
tolvane_cf_universe_t *tolvane_cf_universe_get(const char *name);
// Every universe, from the one inserted last: null starts, null ends.
tolvane_cf_universe_t *tolvane_cf_universe_next(tolvane_cf_universe_t *universe);
tolvane_cf_server_t *tolvane_cf_writer_next(tolvane_cf_universe_t *universe,
                                            tolvane_cf_server_t *server);
tolvane_cf_server_type_t tolvane_cf_server_type(const tolvane_cf_server_t *server);
void tolvane_cf_server_get(const tolvane_cf_server_t *server, const char **address,
                           const char **service);
bool tolvane_cf_server_ssl_get(const tolvane_cf_server_t *server, bool fallback);
bool tolvane_cf_universe_ssl_writer(const tolvane_cf_universe_t *universe);
// True when the server leaves the TLS choice to the universe and the universe's was refused:
// such a server must not be used, with TLS or without.
bool tolvane_cf_writer_ssl_refused(const tolvane_cf_universe_t *universe,
                                   const tolvane_cf_server_t *server);
bool tolvane_cf_universe_ssl_verify_writer_get(const tolvane_cf_universe_t *universe);
const char *tolvane_cf_universe_ssl_ca_writer_get(const tolvane_cf_universe_t *universe);
const char *tolvane_cf_universe_ssl_method_writer_get(const tolvane_cf_universe_t *universe);
const char *tolvane_cf_universe_ssl_certificate_writer_get(const tolvane_cf_universe_t *universe);
bool tolvane_cf_universe_curl_insecure_get(const tolvane_cf_universe_t *universe);
const char *tolvane_cf_universe_curl_sslversion_get(const tolvane_cf_universe_t *universe);
const char *tolvane_cf_universe_curl_cainfo_get(const tolvane_cf_universe_t *universe);
const char *tolvane_cf_universe_curl_capath_get(const tolvane_cf_universe_t *universe);
const char *tolvane_cf_universe_curl_proxy_get(const tolvane_cf_universe_t *universe);
int64_t tolvane_cf_universe_curl_proxyport_get(const tolvane_cf_universe_t *universe);
bool tolvane_cf_universe_curl_httpproxytunnel_get(const tolvane_cf_universe_t *universe);
bool tolvane_cf_universe_curl_ssl_verifypeer_get(const tolvane_cf_universe_t *universe);
bool tolvane_cf_universe_curl_ssl_verifyhost_get(const tolvane_cf_universe_t *universe);
bool tolvane_cf_universe_curl_verbose_get(const tolvane_cf_universe_t *universe);
tolvane_cf_token_t *tolvane_cf_token_get(const char *name);
const cr_sha256_t *tolvane_cf_token_sha256(const tolvane_cf_token_t *token);
