// The general, daemon and default blocks and the injection of per-command default options.
#include "tolvane/config/cf_blocks.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tolvane/util/fatal.h"

namespace {
struct general_settings {
    const char *viewer;  // checked and kept, but unread: the command that used it is retired
    struct {
        const char *path;
        int timeout;
        const char *put_args;
    } stacklore;
    struct {
        const char *path;  // expanded (a bad value is fatal) and kept, but unread
    } cache;
    int daemon_timeout;   // seconds without upload progress before a child is ended
    uint64_t max_rate;    // bytes per second an upload may use; 0 for no limit
    int connect_timeout;  // seconds for TCP connect, TLS handshake and session greeting
} general;

SLIST_HEAD(, tolvane_cf_watcher) watchers;
int watcher_id;
SLIST_HEAD(, tolvane_cf_project) projects;

// A whole number of seconds from 1 to a day, for the time limits.
int seconds_or_fatal(const char *key, const char *value, unsigned int lineno) {
    char *end;
    errno = 0;
    long n = strtol(value, &end, 10);
    if (end == value || *tolvane_cf_ltrim(end) != '\0' || errno != 0 || n < 1 || n > 86400)
        tolvane_fatal(
            "error: invalid %s value \"%s\" at line %u; it takes a whole number of seconds from "
            "1 to 86400.\n",
            key, value, lineno);
    return static_cast<int>(n);
}

void check_viewer(const char *value, unsigned int lineno) {
    const char *p = strchr(value, '%');
    if (p == nullptr)
        tolvane_fatal("error: missing required format string for viewer at line %u.\n", lineno);
    for (; p != nullptr; p = strchr(p + 2, '%')) {
        if (p[1] == '\0')
            tolvane_fatal("error: malformed format string in viewer option at line %u.\n", lineno);
        if (p[1] != 's') tolvane_fatal("error: format string must be %%s at line %u.\n", lineno);
    }
}
}  // namespace

void tolvane_cf_blocks_reset(void) {
    general = {};
    SLIST_INIT(&watchers);
    watcher_id = 0;
    // The option arrays grow by reallocation and so live outside the configuration store.
    tolvane_cf_project *p;
    SLIST_FOREACH(p, &projects, linkage) {
        struct tolvane_cf_default *d;
        SLIST_FOREACH(d, &p->defaults, linkage) free(d->argv);
    }
    SLIST_INIT(&projects);
}

void tolvane_cf_init_default_values(void) {
    general.stacklore.timeout = 600;
    general.stacklore.path = "/opt/stacklore/bin/quorvex";
    general.viewer = "/opt/stacklore/bin/vistrel %s";
    general.stacklore.put_args = "-u";
    general.cache.path = "~/.tolvane/cache";
    general.daemon_timeout = 60;
    general.max_rate = 0;
    general.connect_timeout = 30;
}

void tolvane_cf_resolve_values(void) {
    general.cache.path = tolvane_cf_resolve(general.cache.path);
}

void tolvane_cf_general(char *line, size_t length, unsigned int lineno) {
    if (line == nullptr) return;
    char *key, *value;
    tolvane_cf_kv(&key, &value, line, length, lineno);
    if (strcmp(key, "viewer") == 0) {
        check_viewer(value, lineno);
        general.viewer = tolvane_cf_strdup(value);
    } else if (strcmp(key, "stacklore.path") == 0) {
        general.stacklore.path = tolvane_cf_strdup(value);
    } else if (strcmp(key, "stacklore.timeout") == 0) {
        int timeout = static_cast<int>(strtol(value, nullptr, 10));
        if (timeout < 0)
            tolvane_fatal("error: invalid timeout (%d)  at line %u.\n", timeout, lineno);
        general.stacklore.timeout = timeout;
    } else if (strcmp(key, "stacklore.put_args") == 0) {
        general.stacklore.put_args = tolvane_cf_strdup(value);
    } else if (strcmp(key, "daemon.timeout") == 0) {
        general.daemon_timeout = seconds_or_fatal(key, value, lineno);
    } else if (strcmp(key, "upload.connect_timeout") == 0) {
        general.connect_timeout = seconds_or_fatal(key, value, lineno);
    } else if (strcmp(key, "upload.max_rate") == 0) {
        if (!tolvane_cf_rate(value, &general.max_rate))
            tolvane_fatal("error: invalid upload.max_rate value \"%s\" at line %u; %s\n", value,
                          lineno, TOLVANE_CF_RATE_FORM);
    } else if (strcmp(key, "cache.path") == 0) {
        general.cache.path = tolvane_cf_strdup(value);
    } else {
        fprintf(stderr, "warning: ignoring unknown option '%s' at line %u.\n", key, lineno);
    }
}

tolvane_cf_watcher_t *tolvane_cf_watcher_get(const char *name) {
    tolvane_cf_watcher_t *w;
    SLIST_FOREACH(w, &watchers, linkage) {
        if (strcmp(w->name, name) == 0) return w;
    }
    w = static_cast<tolvane_cf_watcher_t *>(tolvane_cf_alloc(sizeof(tolvane_cf_watcher_t)));
    w->name = tolvane_cf_strdup(name);
    w->id = watcher_id++;
    SLIST_INSERT_HEAD(&watchers, w, linkage);
    return w;
}

void tolvane_cf_daemon(char *line, size_t length, unsigned int lineno) {
    static const char lacks[] =
        "error: daemon configuration at line %u lacks project and option specifiers.\n";
    if (line == nullptr) {
        // Every watcher must be complete by the end of the block that introduced it.
        tolvane_cf_watcher_t *w;
        SLIST_FOREACH(w, &watchers, linkage) {
            if (w->root == nullptr || w->token == nullptr)
                tolvane_fatal("error: daemon entry for [%s] lacks required fields.\n", w->name);
        }
        return;
    }
    char *key, *value;
    tolvane_cf_kv(&key, &value, line, length, lineno);
    char *dot = strchr(key, '.');
    if (dot == nullptr || dot[1] == '\0') tolvane_fatal(lacks, lineno);
    *dot = '\0';
    const char *option = dot + 1;
    tolvane_cf_watcher_t *w = tolvane_cf_watcher_get(key);
    char **field;
    if (strcmp(option, "root") == 0) {
        if (value[0] != '/')
            tolvane_fatal(
                "error: daemon configuration requires absolute paths for root specification "
                "at line %u.\n",
                lineno);
        field = &w->root;
    } else if (strcmp(option, "token") == 0) {
        field = &w->token;
    } else {
        tolvane_fatal(lacks, lineno);
    }
    *field = tolvane_cf_strdup(value);
}

void tolvane_cf_default_create(tolvane_cf_project *project, const char *command, const char *option,
                               const char *value, unsigned int) {
    struct tolvane_cf_default *d;
    SLIST_FOREACH(d, &project->defaults, linkage) {
        if (strcmp(d->command, command) == 0) break;
    }
    if (d == nullptr) {
        d = static_cast<struct tolvane_cf_default *>(
            tolvane_cf_alloc(sizeof(struct tolvane_cf_default)));
        d->command = tolvane_cf_strdup(command);
        if (!cr_array_init(&d->argv, 4))
            tolvane_fatal("error: configuration object allocation failure.\n");
        SLIST_INSERT_HEAD(&project->defaults, d, linkage);
    }
    char *arg = tolvane_cf_asprintf("--%s=%s", option, value);
    if (cr_array_append_offset(&d->argv, arg) < 0)
        tolvane_fatal("error: configuration object allocation failure.\n");
}

void tolvane_cf_default(char *line, size_t length, unsigned int lineno) {
    if (line == nullptr) return;
    char *key, *value;
    tolvane_cf_kv(&key, &value, line, length, lineno);
    char *dot = strchr(key, '.');
    if (dot == nullptr || strchr(value, ' ') != nullptr)
        tolvane_fatal("error: malformed default at line %u.\n", lineno);
    if (value[0] == '\0') tolvane_fatal("error: invalid default at line %u.\n", lineno);
    *dot = '\0';
    // Defaults are filed under the one project record without a name.
    tolvane_cf_project *project = SLIST_FIRST(&projects);
    if (project == nullptr) {
        project = static_cast<tolvane_cf_project *>(tolvane_cf_alloc(sizeof(tolvane_cf_project)));
        SLIST_INSERT_HEAD(&projects, project, linkage);
    }
    tolvane_cf_default_create(project, key, dot + 1, value, lineno);
}

void tolvane_cf_argv(int *argc, char ***argv) {
    tolvane_cf_project *project = SLIST_FIRST(&projects);
    if (project == nullptr) return;
    struct tolvane_cf_default *d;
    SLIST_FOREACH(d, &project->defaults, linkage) {
        if (strcmp(d->command, (*argv)[0]) == 0) break;
    }
    if (d == nullptr || d->argv->length == 0) return;
    size_t count = static_cast<size_t>(*argc) + d->argv->length;
    auto **v = static_cast<char **>(tolvane_cf_alloc((count + 1) * sizeof(char *)));
    if (count > INT32_MAX) tolvane_fatal("error: failed to manipulate default options.\n");
    size_t n = 0;
    v[n++] = (*argv)[0];
    for (unsigned int i = 0; i < d->argv->length; i++)
        v[n++] = const_cast<char *>(static_cast<const char *>(d->argv->value[i]));
    for (int i = 1; i < *argc; i++) v[n++] = (*argv)[i];
    v[n] = nullptr;
    *argv = v;
    *argc = static_cast<int>(count);
}

const char *tolvane_cf_viewer_get(void) {
    return general.viewer;
}
const char *tolvane_cf_stacklore_path_get(void) {
    return general.stacklore.path;
}
int tolvane_cf_stacklore_timeout_get(void) {
    return general.stacklore.timeout;
}
const char *tolvane_cf_stacklore_put_args_get(void) {
    return general.stacklore.put_args;
}
const char *tolvane_cf_cache_path_get(void) {
    return general.cache.path;
}
tolvane_cf_watcher_t *tolvane_cf_watchers_get(void) {
    return SLIST_FIRST(&watchers);
}
tolvane_cf_watcher_t *tolvane_cf_watcher_next(tolvane_cf_watcher_t *w) {
    return SLIST_NEXT(w, linkage);
}
const char *tolvane_cf_watcher_name_get(const tolvane_cf_watcher_t *w) {
    return w->name;
}
const char *tolvane_cf_watcher_root_get(const tolvane_cf_watcher_t *w) {
    return w->root;
}
const char *tolvane_cf_watcher_token_get(const tolvane_cf_watcher_t *w) {
    return w->token;
}
int tolvane_cf_watcher_id_get(const tolvane_cf_watcher_t *w) {
    return w->id;
}
int tolvane_cf_watcher_count(void) {
    return watcher_id;
}

int tolvane_cf_daemon_timeout_get(void) {
    return general.daemon_timeout;
}

uint64_t tolvane_cf_upload_max_rate_get(void) {
    return general.max_rate;
}

int tolvane_cf_upload_connect_timeout_get(void) {
    return general.connect_timeout;
}
