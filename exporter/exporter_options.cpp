#include "exporter/exporter_options.h"

#include <arpa/inet.h>
#include <pwd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/option_check.h"
#include "runtime/version.h"

namespace {

struct OptionDef {
  const char *name;
  bool takes_value;
};

constexpr OptionDef OPTIONS[] = {
    {"--listen", true}, {"--textfile", true}, {"--interval", true},
    {"--once", false},  {"--format", true},   {"--state-file", true},
    {"--help", false},  {"--version", false}, {"--trust-user", true},
};
constexpr int OPTION_COUNT = sizeof OPTIONS / sizeof OPTIONS[0];

// The same table for the suite's unknown-option check.
constexpr std::array<OptionSpec, OPTION_COUNT + 1> OPTION_SPECS = [] {
  std::array<OptionSpec, OPTION_COUNT + 1> specs{};
  for (int i = 0; i < OPTION_COUNT; i++)
    specs[i] = {OPTIONS[i].name, nullptr, OPTIONS[i].takes_value ? 1 : 0};
  return specs;
}();

// The value of each option as given (null: absent; flags get "").
struct Given {
  const char *value[OPTION_COUNT];
};

int option_index(const char *arg, size_t len) {
  for (int i = 0; i < OPTION_COUNT; i++)
    if (strlen(OPTIONS[i].name) == len && strncmp(OPTIONS[i].name, arg, len) == 0)
      return i;
  return -1;
}

bool collect(int argc, char **argv, Given *g, char *why, unsigned why_size) {
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (strcmp(arg, "-h") == 0)
      arg = "--help";
    const char *eq = strncmp(arg, "--", 2) == 0 ? strchr(arg, '=') : nullptr;
    int k = option_index(arg, eq != nullptr ? static_cast<size_t>(eq - arg) : strlen(arg));
    if (k < 0) {
      snprintf(why, why_size, "unknown option '%s' (see --help)", argv[i]);
      return false;
    }
    if (g->value[k] != nullptr) {
      snprintf(why, why_size, "%s given twice", OPTIONS[k].name);
      return false;
    }
    if (!OPTIONS[k].takes_value) {
      if (eq != nullptr) {
        snprintf(why, why_size, "%s takes no value", OPTIONS[k].name);
        return false;
      }
      g->value[k] = "";
    } else if (eq != nullptr) {
      g->value[k] = eq + 1;
    } else if (i + 1 < argc) {
      g->value[k] = argv[++i];
    } else {
      snprintf(why, why_size, "%s needs a value", OPTIONS[k].name);
      return false;
    }
  }
  return true;
}

const char *given(const Given &g, const char *name) {
  return g.value[option_index(name, strlen(name))];
}

// A decimal number in [lo, hi], nothing else (no sign, no spaces, no suffix).
bool parse_number(const char *text, unsigned long lo, unsigned long hi, unsigned long *out) {
  if (text[0] < '0' || text[0] > '9')
    return false;
  errno = 0;
  char *end = nullptr;
  unsigned long v = strtoul(text, &end, 10);
  if (*end != '\0' || errno != 0 || v < lo || v > hi)
    return false;
  *out = v;
  return true;
}

// "[ADDR]:PORT": ":PORT" (every address), "IPv4:PORT" or "[IPv6]:PORT",
// numeric addresses only; port 0 takes any free port.  Written in
// civetweb's form.
bool parse_listen(const char *text, char *out, size_t size) {
  const char *colon = strrchr(text, ':');
  unsigned long port = 0;
  if (colon == nullptr || !parse_number(colon + 1, 0, 65535, &port))
    return false;
  char addr[64];
  size_t len = static_cast<size_t>(colon - text);
  if (len >= sizeof addr)
    return false;
  memcpy(addr, text, len);
  addr[len] = '\0';
  unsigned char bin[16];
  if (len == 0) {
    snprintf(out, size, "%lu", port);
  } else if (addr[0] == '[' && addr[len - 1] == ']') {
    addr[len - 1] = '\0';
    if (inet_pton(AF_INET6, addr + 1, bin) != 1)
      return false;
    snprintf(out, size, "[%s]:%lu", addr + 1, port);
  } else {
    if (inet_pton(AF_INET, addr, bin) != 1)
      return false;
    snprintf(out, size, "%s:%lu", addr, port);
  }
  return true;
}

bool check_modes(const Given &g, ExporterOptions *o, char *why, unsigned why_size) {
  const char *listen = given(g, "--listen");
  const char *textfile = given(g, "--textfile");
  bool once = given(g, "--once") != nullptr;
  if ((listen != nullptr) + (textfile != nullptr) + once > 1) {
    snprintf(why, why_size, "--listen, --textfile and --once exclude each other");
    return false;
  }
  if (given(g, "--format") != nullptr && !once) {
    snprintf(why, why_size, "--format goes with --once");
    return false;
  }
  if (given(g, "--interval") != nullptr && textfile == nullptr) {
    snprintf(why, why_size, "--interval goes with --textfile");
    return false;
  }
  o->mode = once ? MODE_ONCE : textfile != nullptr ? MODE_TEXTFILE : MODE_LISTEN;
  if (listen != nullptr && !parse_listen(listen, o->listen, sizeof o->listen)) {
    snprintf(why, why_size, "invalid value '%s' for --listen (expected [ADDR]:PORT)", listen);
    return false;
  }
  if (textfile != nullptr && textfile[0] == '\0') {
    snprintf(why, why_size, "--textfile needs a path");
    return false;
  }
  const size_t length = textfile != nullptr ? strlen(textfile) : 0;
  if (textfile != nullptr && (length < 5 || strcmp(textfile + length - 5, ".prom") != 0)) {
    snprintf(why, why_size, "--textfile %s: node_exporter reads only files ending in .prom",
             textfile);
    return false;
  }
  o->textfile = textfile;
  if (listen != nullptr)
    o->listen_text = listen;
  return true;
}

bool check_values(const Given &g, ExporterOptions *o, char *why, unsigned why_size) {
  const char *interval = given(g, "--interval");
  unsigned long v = 0;
  if (interval != nullptr) {
    if (!parse_number(interval, 1, 86400, &v)) {
      snprintf(why, why_size, "invalid value '%s' for --interval (expected 1..86400 seconds)",
               interval);
      return false;
    }
    o->interval_s = static_cast<uint32_t>(v);
  }
  const char *format = given(g, "--format");
  if (format != nullptr) {
    if (strcmp(format, "prometheus") == 0) {
      o->format = FORMAT_PROMETHEUS;
    } else if (strcmp(format, "json") == 0) {
      o->format = FORMAT_JSON;
    } else {
      snprintf(why, why_size, "invalid value '%s' for --format (prometheus or json)", format);
      return false;
    }
  }
  o->state_file = given(g, "--state-file");
  if (o->state_file != nullptr && o->state_file[0] == '\0') {
    snprintf(why, why_size, "--state-file needs a path");
    return false;
  }
  return true;
}

// "USER[,USER...]": names or numeric uids.
bool parse_users(const char *text, ExporterOptions *o, char *why, unsigned why_size) {
  char list[256];
  bool ok = strlen(text) < sizeof list;
  snprintf(list, sizeof list, "%s", text);
  char *save = nullptr;
  for (char *user = strtok_r(list, ",", &save); ok && user != nullptr;
       user = strtok_r(nullptr, ",", &save)) {
    unsigned long uid = 0;
    const bool numeric = parse_number(user, 0, UINT32_MAX - 1, &uid);
    const passwd *pw = numeric ? nullptr : getpwnam(user);
    ok = (numeric || pw != nullptr) && o->trusted_user_count < EXPORTER_MAX_TRUSTED_USERS;
    if (ok)
      o->trusted_users[o->trusted_user_count++] = numeric ? static_cast<uid_t>(uid) : pw->pw_uid;
  }
  if (!ok || o->trusted_user_count == 0) {
    snprintf(why, why_size,
             "invalid value '%s' for --trust-user (expected up to %zu user names or uids)", text,
             EXPORTER_MAX_TRUSTED_USERS);
    return false;
  }
  return true;
}

} // namespace

StatusCode exporter_parse_args(int argc, char **argv, ExporterOptions *out, char *why,
                               unsigned why_size) {
  Given g{};
  ExporterOptions o{};
  o.interval_s = EXPORTER_DEFAULT_INTERVAL_S;
  snprintf(o.listen, sizeof o.listen, "%u", EXPORTER_DEFAULT_PORT);
  o.listen_text = ":10909";
  static_assert(EXPORTER_DEFAULT_PORT == 10909, "the default address text names the port");
  if (!collect(argc, argv, &g, why, why_size) || !check_modes(g, &o, why, why_size) ||
      !check_values(g, &o, why, why_size))
    return ST_INVAL;
  const char *users = given(g, "--trust-user");
  if (users != nullptr && !parse_users(users, &o, why, why_size))
    return ST_INVAL;
  o.help = given(g, "--help") != nullptr;
  o.version = given(g, "--version") != nullptr;
  *out = o;
  return ST_OK;
}

int exporter_warn_unknown(int argc, char **argv) {
  return opt_check_unknown(argc, argv, OPTION_SPECS.data(), 0);
}

void exporter_print_help() {
  printf("zpr_exporter %s - the zpr suite's progress records for Prometheus\n"
         "\n"
         "Usage: zpr_exporter [--listen [ADDR]:PORT] [--state-file PATH]\n"
         "       zpr_exporter --textfile PATH [--interval SECONDS] [--state-file PATH]\n"
         "       zpr_exporter --once [--format prometheus|json] [--state-file PATH]\n"
         "\n"
         "  --listen [ADDR]:PORT  serve /metrics over HTTP (default :%u, every address;\n"
         "                        port 0 picks a free port, printed on standard error)\n"
         "  --textfile PATH       rewrite PATH atomically every --interval seconds, for\n"
         "                        node_exporter's textfile collector (PATH ends in .prom)\n"
         "  --interval SECONDS    textfile period, 1..86400 (default %u)\n"
         "  --once                print one collection on standard output and exit\n"
         "  --format FORMAT       with --once: prometheus (default) or json\n"
         "  --state-file PATH     keep the last run of every job across restarts\n"
         "                        (--once only reads it)\n"
         "  --trust-user USERS    also count the records of these users (names or uids,\n"
         "                        comma-separated: the user the backup tools run as);\n"
         "                        by default only root's and the exporter's own count\n"
         "  --help, --version, --selftest\n"
         "\n"
         "Exit status: 0 stopped by SIGTERM or SIGINT (SIGHUP is logged and ignored), or\n"
         "--once done; 1 cannot listen, or --once cannot write standard output; 2 usage\n"
         "error or a missing directory for --textfile or --state-file.  Errors writing the\n"
         "textfile or the state file are logged once and retried; they never end the program.\n",
         VERSION_STRING, EXPORTER_DEFAULT_PORT, EXPORTER_DEFAULT_INTERVAL_S);
}
