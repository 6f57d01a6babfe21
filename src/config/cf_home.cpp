// Loading: the start-up load order, the configuration file's blocks, the configuration home and
// its JSON configuration, the program's own path, and dropping it all again.
#include "tolvane/config/cf_home.h"

#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/token_cache.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"
#include "tolvane/util/text.h"
#include "tolvane/util/unique.h"

namespace {
struct zeroconf_state {
    char *current_hostname;
    char *current_server_path;
    char *servers_path;
    char *current_server_dir_path;
    char *current_server;
    char *current_universe_path;
    char *current_universe;
    char *json_config_path;
    char *json_config;
    char *ssl_cert_path;
    char *login_tokens_path;
} zeroconf;

const char *confighome_path;
const char *tolvane_binary;
const char *cf_path;

struct block {
    const char *name;
    tolvane_cf_parser_t *parser;
};
const block blocks[] = {
    {"universe", tolvane_cf_universe}, {"general", tolvane_cf_general},
    {"default", tolvane_cf_default},   {"token", tolvane_cf_token},
    {"daemon", tolvane_cf_daemon},
};

struct json_deleter {
    void operator()(json_tokener *t) const { json_tokener_free(t); }
    void operator()(json_object *o) const { json_object_put(o); }
};

constexpr char zeroconf_incomplete[] = "Missing required data for zeroconf.\n";

// The member of that name, if it is present and of the wanted type. A member that is present
// with another type is refused like a missing one, so nothing is ever read through it.
json_object *member(json_object *obj, const char *name, json_type type) {
    json_object *value;
    if (!json_object_object_get_ex(obj, name, &value)) return nullptr;
    if (!json_object_is_type(value, type)) tolvane_errx(1, "%s", zeroconf_incomplete);
    return value;
}

void load_zeroconf_service(json_object *listener, tolvane_cf_server_type_t *type, uint32_t *flags) {
    json_object *protocol;
    if (!json_object_object_get_ex(listener, "protocol", &protocol) ||
        !json_object_is_type(protocol, json_type_string))
        tolvane_errx(1, "Unable to extract service protocol.\n");
    const char *name = json_object_get_string(protocol);
    *flags = TOLVANE_CF_SERVER_F_SSL_EXPLICIT;
    *type = TOLVANE_CF_SERVER_RAW;
    if (strcmp(name, "https") == 0) {
        *type = TOLVANE_CF_SERVER_HTTPS;
    } else if (strcmp(name, "http") == 0) {
        *type = TOLVANE_CF_SERVER_HTTP;
    } else if (strcmp(name, "ssl") == 0) {
        *flags |= TOLVANE_CF_SERVER_F_SSL;
    }
}

void load_zeroconf_universe(const char *name, json_object *endpoints) {
    tolvane_cf_universe_t *u = tolvane_cf_create_universe();
    u->name = tolvane_cf_strdup(name);
    u->curl_cainfo = zeroconf.ssl_cert_path;
    u->read_ssl_certificate = zeroconf.ssl_cert_path;
    tolvane_cf_load_zeroconf_listeners(endpoints, "writer", &u->writer);
    tolvane_cf_load_zeroconf_listeners(endpoints, "post", &u->writer);
    tolvane_cf_load_zeroconf_listeners(endpoints, "reader", &u->reader);
    tolvane_cf_insert_universe(u);
}

// What the configuration home holds decides where uploads go (the current server, its JSON
// configuration and universe), which certificate authority is trusted and which tokens travel.
// So, as ssh does with its own files, none of it is used when another user could have put it
// there: the home, its server directories and each file read must belong to this user or root
// and must not be writable by others. Group-writable is only a warning: with a group of one's
// own (umask 002) it is common and harmless, and refusing it would stop working hosts.
// `follow` is false for the current-server link, whose own owner counts.
void check_trusted(const char *path, bool follow = true) {
    struct stat st;
    if ((follow ? stat(path, &st) : lstat(path, &st)) != 0) return;  // reading says what is wrong
    std::string shown = tolvane_printable(path);
    if (st.st_uid != geteuid() && st.st_uid != 0)
        tolvane_fatal(
            "error: %s belongs to another user (uid %u); tolvane uses only what belongs to you or "
            "root. Fix: chown %u %s\n",
            shown.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()),
            shown.c_str());
    if (S_ISLNK(st.st_mode)) return;  // a link's own mode means nothing
    if (st.st_mode & S_IWOTH)
        tolvane_fatal(
            "error: %s is writable by others, who could send your uploads elsewhere; tolvane "
            "refuses to use it. Fix: chmod o-w %s\n",
            shown.c_str(), shown.c_str());
    if (st.st_mode & S_IWGRP)
        fprintf(stderr,
                "warning: %s is writable by its group, whose members could send your uploads "
                "elsewhere. Fix: chmod g-w %s\n",
                shown.c_str(), shown.c_str());
}

// The current-server link: the text after the last "/" of its target names the server; a
// missing link, or a target without "/", names none.
void read_current_server() {
    check_trusted(confighome_path);
    zeroconf.current_server_path = tolvane_cf_asprintf("%s/current_server", confighome_path);
    check_trusted(zeroconf.current_server_path, false);
    char *target;
    if (!tolvane_readlink(&target, zeroconf.current_server_path)) return;
    std::unique_ptr<char, void (*)(void *)> guard(target, free);
    const char *slash = strrchr(target, '/');
    if (slash != nullptr) tolvane_cf_current_server_update(slash + 1);
}

void read_json_config() {
    if (zeroconf.json_config_path == nullptr) return;
    check_trusted(zeroconf.servers_path);
    check_trusted(zeroconf.current_server_dir_path);
    check_trusted(zeroconf.json_config_path);
    check_trusted(zeroconf.ssl_cert_path);
    if (tolvane_cf_file_as_string(&zeroconf.json_config, zeroconf.json_config_path))
        tolvane_cf_load_zeroconf(zeroconf.json_config);
}

// Read with everything else, but a failed read is printed only when a null name asks for the
// current universe (tolvane_cf_universe_get): a command that never chooses a universe reports
// nothing, and every message of loading comes before it.
void read_current_universe() {
    if (zeroconf.current_universe_path == nullptr) return;
    check_trusted(zeroconf.current_universe_path);
    char *text;
    tolvane_cf_read_failure unread;
    if (tolvane_cf_file_read(&text, zeroconf.current_universe_path, &unread))
        zeroconf.current_universe = tolvane_cf_trim(text);
    tolvane_cf_universe_current_set(zeroconf.current_universe, &unread);
}
}  // namespace

tolvane_cf_parser_t *tolvane_cf_parser_get(const char *name) {
    for (const block &b : blocks) {
        if (strcmp(b.name, name) == 0) return b.parser;
    }
    return tolvane_cf_skip;
}

void tolvane_cf_load_user_config(const char *path) {
    char chosen[4096];
    tolvane::unique_file f(tolvane_cf_select(chosen, sizeof chosen, path));
    tolvane_cf_reading_set(chosen);
    tolvane_cf_read_blocks(f.get(), tolvane_cf_parser_get);
    tolvane_cf_reading_set(nullptr);
    cf_path = tolvane_cf_strdup(chosen);
}

const char *tolvane_cf_path_get(void) {
    return cf_path;
}

void tolvane_cf_load_zeroconf_listeners(json_object *endpoints, const char *name,
                                        struct tolvane_cf_server_list *list) {
    json_object *listeners = member(endpoints, name, json_type_array);
    if (listeners == nullptr) return;
    size_t n = json_object_array_length(listeners);
    for (size_t i = 0; i < n; i++) {
        json_object *listener = json_object_array_get_idx(listeners, i);
        if (listener == nullptr) break;  // a JSON null ends the list
        json_object *port;
        if (!json_object_object_get_ex(listener, "port", &port) &&
            !json_object_object_get_ex(listener, "service", &port))
            tolvane_errx(1, "Unable to extract service port.\n");
        if (!json_object_is_type(port, json_type_int))
            tolvane_errx(1, "Unable to extract service port.\n");
        tolvane_cf_server_type_t type;
        uint32_t flags;
        load_zeroconf_service(listener, &type, &flags);
        // Checked before narrowing, so a huge number cannot wrap into a valid port.
        int64_t value = json_object_get_int64(port);
        if (value < 1 || value > 65534)
            tolvane_errx(1, "error: Invalid port '%lld'\n", static_cast<long long>(value));
        tolvane_cf_server_add(list, type,
                              zeroconf.current_hostname ? zeroconf.current_hostname : "",
                              static_cast<int>(value), flags);
    }
}

void tolvane_cf_load_zeroconf(const char *text) {
    std::unique_ptr<json_tokener, json_deleter> tok(json_tokener_new());
    if (!tok) tolvane_errx(1, "Unable to initialize json tokener.\n");
    std::unique_ptr<json_object, json_deleter> root(
        json_tokener_parse_ex(tok.get(), text, static_cast<int>(strnlen(text, INT32_MAX))));
    if (!root) {
        tolvane_errx(1, "Invalid JSON in %s: %s.\n",
                     zeroconf.json_config_path ? zeroconf.json_config_path : "(null)",
                     json_tokener_error_desc(json_tokener_get_error(tok.get())));
    }
    json_object *universes, *endpoints, *project_tokens;
    if (!json_object_object_get_ex(root.get(), "universes", &universes) ||
        !json_object_object_get_ex(root.get(), "endpoints", &endpoints) ||
        !json_object_object_get_ex(root.get(), "project_tokens", &project_tokens))
        tolvane_errx(1, "%s", zeroconf_incomplete);
    if (!json_object_is_type(universes, json_type_array) ||
        !json_object_is_type(endpoints, json_type_object) ||
        !json_object_is_type(project_tokens, json_type_object))
        tolvane_errx(1, "%s", zeroconf_incomplete);

    size_t n = json_object_array_length(universes);
    for (size_t i = 0; i < n; i++) {
        json_object *name = json_object_array_get_idx(universes, i);
        if (name == nullptr) break;
        if (!json_object_is_type(name, json_type_string))
            tolvane_errx(1, "Invalid universe identifier.\n");
        load_zeroconf_universe(json_object_get_string(name), endpoints);
    }
    json_object_object_foreach(project_tokens, universe, projects) {
        if (!json_object_is_type(projects, json_type_object))
            tolvane_errx(1, "%s", zeroconf_incomplete);
        json_object_object_foreach(projects, project, token) {
            if (!json_object_is_type(token, json_type_string))
                tolvane_errx(1, "Universe \"%s\", project %s: bad token.\n", universe, project);
            tolvane_cf_token_add(project, json_object_get_string(token), 0);
        }
    }
}

void tolvane_cf_current_server_update(const char *server) {
    zeroconf.current_server = tolvane_cf_strdup(server);
    // "host:port", or "[address]:port" for an IPv6 address.
    zeroconf.current_hostname = server[0] == '['
                                    ? tolvane_cf_strndup(server + 1, strcspn(server + 1, "]"))
                                    : tolvane_cf_strndup(server, strcspn(server, ":"));
    zeroconf.servers_path = tolvane_cf_asprintf("%s/servers", confighome_path);
    zeroconf.current_server_dir_path = tolvane_cf_asprintf("%s/%s", zeroconf.servers_path, server);
    const char *dir = zeroconf.current_server_dir_path;
    zeroconf.json_config_path = tolvane_cf_asprintf("%s/config.json", dir);
    zeroconf.current_universe_path = tolvane_cf_asprintf("%s/current_universe", dir);
    zeroconf.ssl_cert_path = tolvane_cf_asprintf("%s/%s", dir, "cert.pem");
    zeroconf.login_tokens_path = tolvane_cf_asprintf("%s/login_tokens", dir);
    zeroconf.json_config = nullptr;
    zeroconf.current_universe = nullptr;
    tolvane_cf_universe_current_set(nullptr, nullptr);
}

const char *tolvane_cf_current_server_get(void) {
    return zeroconf.current_server;
}

const char *tolvane_cf_current_universe_get(void) {
    return zeroconf.current_universe;
}

const char *tolvane_cf_confighome_path_get(void) {
    assert(confighome_path != nullptr);
    return confighome_path;
}

void tolvane_cf_load(const char *confighome, const char *cf) {
    assert(confighome_path == nullptr);
    zeroconf = {};
    confighome_path = tolvane_cf_resolve(confighome != nullptr ? confighome : "~/.tolvane");
    tolvane_cf_init_default_values();
    read_current_server();
    read_json_config();
    tolvane_cf_load_user_config(cf);
    tolvane_cf_resolve_values();
    read_current_universe();
    if (zeroconf.login_tokens_path != nullptr) {
        check_trusted(zeroconf.login_tokens_path);
        tolvane_token_cache_load_path(zeroconf.login_tokens_path);
    }
}

void tolvane_cf_reset(void) {
    tolvane_cf_universe_reset();
    tolvane_cf_blocks_reset();
    zeroconf = {};
    confighome_path = nullptr;
    tolvane_binary = nullptr;
    cf_path = nullptr;
    tolvane_token_cache_reset();
    tolvane_cf_store_free();
}

void tolvane_cf_tolvane_binary_name_set(const char *path) {
    assert(path != nullptr && tolvane_binary == nullptr);
    if (path[0] == '/') {
        tolvane_binary = path;
        return;
    }
    if (strchr(path, '/') == nullptr) {
        // Found through PATH, so the working directory has nothing to do with it, and a file of
        // that name there must never run in its place: the daemon re-runs the very file the
        // kernel started. Without /proc it stays unknown, and only the daemon, which needs it,
        // refuses to start.
        char exe[4096];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof exe) return;
        exe[n] = '\0';
        tolvane_binary = tolvane_cf_strdup(exe);
        return;
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) tolvane_fatal("error: failed retrieve cwd.\n");
    tolvane_binary = tolvane_cf_asprintf("%s/%s", cwd, path);
}

const char *tolvane_cf_tolvane_binary_name_get(void) {
    return tolvane_binary;
}
