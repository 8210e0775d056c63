// SPDX-License-Identifier: MIT
#include "daemon/channel.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include "common/record.h"

namespace {

// The tag of the lines that say why a channel did not open; operators and
// the manual know them by it.
constexpr char kOpenTag[] = "mevrakt_open";

int on_client_data(void *link, const uint8_t *data, int length)
{
  return nbr14522_write(static_cast<nbr14522_link *>(link), data, length);
}

int on_client_gone(void *link)
{
  return nbr14522_disconnect(static_cast<nbr14522_link *>(link));
}

// Each client is numbered at its accept, and the link learns the number
// before the client's first command, so that every command and the response
// to it carry the client they belong to.
int on_client_new(void *context)
{
  const auto *channel = static_cast<const mevrakt_channel *>(context);
  return nbr14522_session(channel->link, tcp_server_session(channel->server));
}

// On the link thread: the response goes back tagged with the client whose
// command it answers; the server drops it if that client has been replaced.
int on_meter_response(void *context, const uint8_t *data, int length)
{
  const auto *channel = static_cast<const mevrakt_channel *>(context);
  return tcp_server_send(channel->server, nbr14522_rsp_session(channel->link), data, length);
}

// How long a head-end that vanished without closing holds the channel when
// the settings do not say: what serial device servers use by default.
constexpr uint32_t kAliveCheckMinutes = 7;
constexpr uint32_t kIdleTimeoutMax = 86400;

// Says that the channel's key `name` has a value that cannot be right.
// Returns false, for the caller to return.
bool bad_value(const channel_settings *cfg, const char *name, const char *value, const say_sink *sink)
{
  say(sink, LOG_ERR, "%s - bad value for %s%s: \"%s\", channel on %s not opened", kOpenTag,
      cfg->key_prefix ? cfg->key_prefix : "MOD_MEVRAKT_PROTn_", name, value, cfg->device);
  return false;
}

// Reads the channel's optional access and liveness keys into the server's
// policy and the link's command filter. Returns false after saying the first
// one that cannot be read, with its key and its value.
bool read_access(const channel_settings *cfg, channel_plan *plan, const say_sink *sink)
{
  auto refuse = [cfg, sink](const char *name, const char *value) { return bad_value(cfg, name, value, sink); };
  tcp_server_policy *policy = &plan->policy;
  policy->alive_check_s = kAliveCheckMinutes * 60;
  if (cfg->allow && !address_list_parse(cfg->allow, &policy->allow))
    return refuse("ALLOW", cfg->allow);
  socklen_t length;
  if (cfg->listen && !address_parse(cfg->listen, 0, &policy->listen, &length))
    return refuse("LISTEN", cfg->listen);
  uint32_t minutes;
  if (cfg->alive_check) {
    if (!settings_parse_number(cfg->alive_check, 99, &minutes))
      return refuse("ALIVE_CHECK", cfg->alive_check);
    policy->alive_check_s = minutes * 60;
  }
  if (cfg->idle_timeout && !settings_parse_number(cfg->idle_timeout, kIdleTimeoutMax, &policy->idle_timeout_s))
    return refuse("IDLE_TIMEOUT", cfg->idle_timeout);
  plan->filter = cfg->commands != nullptr;
  if (cfg->commands && !settings_parse_codes(cfg->commands, plan->codes))
    return refuse("COMMANDS", cfg->commands);
  uint32_t echo = 0;
  if (cfg->echo && !settings_parse_number(cfg->echo, 1, &echo))
    return refuse("ECHO", cfg->echo);
  plan->echo = echo != 0;
  return true;
}

// Whether the device numbers `rdev` are a terminal's: 1 yes, 0 no, -1 when
// nothing here can tell (a device is then given the benefit of the doubt).
// The kernel's table of terminal drivers (/proc/tty/drivers: name, node,
// major, minor or minor range, type) says it; where /proc hides it, the
// device's class in sysfs does, except for pseudo-terminals, which have none.
int is_terminal_device(dev_t rdev)
{
  FILE *drivers = fopen("/proc/tty/drivers", "re");
  if (drivers) {
    char line[256];
    int found = 0;
    while (!found && fgets(line, sizeof line, drivers)) {
      char name[64], node[64], minors[32], type[64];
      unsigned number, first, last;
      if (sscanf(line, "%63s %63s %u %31s %63s", name, node, &number, minors, type) != 5 || number != major(rdev))
        continue;
      const int n = sscanf(minors, "%u-%u", &first, &last);
      if (n == 1)
        last = first;
      // /dev/tty (the opener's own terminal, which a daemon has none of),
      // consoles and masters are terminals, but no meter's line.
      found = n >= 1 && minor(rdev) >= first && minor(rdev) <= last &&
              (strcmp(type, "serial") == 0 || strcmp(type, "pty:slave") == 0);
    }
    fclose(drivers);
    return found;
  }
  // The same, by the kernel's fixed numbers: /dev/tty, the console and
  // ptmx (major 5), and the virtual consoles (major 4 below 64).
  if (major(rdev) == 5 || (major(rdev) == 4 && minor(rdev) < 64))
    return 0;
  char path[64], target[PATH_MAX];
  snprintf(path, sizeof path, "/sys/dev/char/%u:%u/subsystem", major(rdev), minor(rdev));
  const ssize_t n = readlink(path, target, sizeof target - 1);
  if (n < 0)
    return access("/sys/dev/char", F_OK) == 0 ? 0 : -1;
  target[n] = '\0';
  const char *base = strrchr(target, '/');
  return strcmp(base ? base + 1 : target, "tty") == 0;
}

void say_nothing(void *, int, const char *, va_list) {}

// Whether two paths name one device: the same text, or links to one node.
// No path names none; its own open says so.
bool same_device(const char *a, const char *b)
{
  if (!*a || !*b)
    return false;
  if (strcmp(a, b) == 0)
    return true;
  char *real_a = realpath(a, nullptr);
  char *real_b = realpath(b, nullptr);
  const bool same = real_a && real_b && strcmp(real_a, real_b) == 0;
  free(real_a);
  free(real_b);
  return same;
}

// Whether the listening address `a` takes `b`'s too: either listens on every
// address (AF_UNSPEC, or a wildcard written out), or both on the same one.
bool listens_overlap(const sockaddr_storage &a, const sockaddr_storage &b)
{
  auto every = [](const sockaddr_storage &s) {
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(&s);
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&s);
    return s.ss_family == AF_UNSPEC || (s.ss_family == AF_INET && v4->sin_addr.s_addr == htonl(INADDR_ANY)) ||
           (s.ss_family == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr));
  };
  if (every(a) || every(b))
    return true;
  if (a.ss_family != b.ss_family)
    return false;
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in *>(&a)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in *>(&b)->sin_addr.s_addr;
  return memcmp(&reinterpret_cast<const sockaddr_in6 *>(&a)->sin6_addr,
                &reinterpret_cast<const sockaddr_in6 *>(&b)->sin6_addr, sizeof(in6_addr)) == 0;
}

// Whether `cfg` would take the line or the port of `before`, were that one
// to open: the second open would fail at best, and two channels would fight
// over one meter at worst. Says which.
bool takes_from(const channel_settings *cfg, const channel_plan *plan, const channel_settings *before,
                const say_sink *sink)
{
  const say_sink quiet = {say_nothing, nullptr};
  channel_plan first;
  if (!before || channel_plan_read(before, &first, &quiet) != CHANNEL_READY)
    return false;
  if (same_device(cfg->device, before->device)) {
    say(sink, LOG_ERR, "%s - device already taken by channel %d, channel on %s not opened", kOpenTag,
        before->number, cfg->device);
    return true;
  }
  if (cfg->port == before->port && listens_overlap(plan->policy.listen, first.policy.listen)) {
    say(sink, LOG_ERR, "%s - TCP port %u already taken by channel %d, channel on %s not opened", kOpenTag,
        cfg->port, before->number, cfg->device);
    return true;
  }
  return false;
}

// The capability's bit in /proc's capability masks, as the kernel numbers
// it; named here, for a C library such as musl comes without the kernel's
// headers.
constexpr unsigned kCapNetBindService = 10;

// The lowest port that a process without CAP_NET_BIND_SERVICE may take.
uint32_t unprivileged_port_start()
{
  unsigned start = 1024;
  if (FILE *file = fopen("/proc/sys/net/ipv4/ip_unprivileged_port_start", "re")) {
    if (fscanf(file, "%u", &start) != 1)
      start = 1024;
    fclose(file);
  }
  return start;
}

// Whether this process may take ports below that, told by its effective
// capabilities; where /proc hides them, it is taken that it may.
bool may_bind_privileged()
{
  FILE *status = fopen("/proc/self/status", "re");
  if (!status)
    return true;
  char line[128];
  unsigned long long caps = ~0ull;
  while (fgets(line, sizeof line, status) && sscanf(line, "CapEff: %llx", &caps) != 1) {
  }
  fclose(status);
  return (caps >> kCapNetBindService) & 1;
}

// Says why the enabled channel `cfg` does not run, in one line that names
// it: the lines before it say so in the words of the part that failed,
// which know neither the channel nor, for a TCP port, its number.
void not_running(const channel_settings *cfg, const char *why, int error = 0)
{
  char port[16];
  snprintf(port, sizeof port, "%u", cfg->port);
  const bool privileged = error == EACCES && cfg->port < unprivileged_port_start();
  syslog(LOG_ERR, "channel %d on %s, TCP port %s, not running: %s%s%s%s", cfg->number, cfg->device,
         cfg->bad_port ? cfg->bad_port : port, why, error ? ": " : "", error ? strerror(error) : "",
         privileged ? " (a port below 1024 needs CAP_NET_BIND_SERVICE)" : "");
}

}  // namespace

channel_verdict channel_plan_read(const channel_settings *cfg, channel_plan *plan, const say_sink *sink,
                                  const channel_settings *before)
{
  // A value that is no number is refused rather than read as 0: "yes" or
  // "1 # on" would leave the channel off, and "40O1" listen on port 40.
  if (cfg->bad_enabled && !bad_value(cfg, "ENABLED", cfg->bad_enabled, sink))
    return CHANNEL_REFUSED;
  if (!cfg->enabled) {
    say(sink, LOG_NOTICE, "disabled on %s", cfg->device);
    return CHANNEL_DISABLED;
  }
  if (cfg->bad_port && !bad_value(cfg, "PORT", cfg->bad_port, sink))
    return CHANNEL_REFUSED;
  // Port 0 would listen wherever the system chose, and a number above 65535
  // on some other port: either way not where the head-end looks.
  if (cfg->port == 0 || cfg->port > 65535) {
    say(sink, LOG_ERR, "%s - TCP port %u out of range (1 to 65535), channel on %s not opened", kOpenTag, cfg->port,
        cfg->device);
    return CHANNEL_REFUSED;
  }
  *plan = channel_plan{};
  if (!read_access(cfg, plan, sink) || takes_from(cfg, plan, before, sink))
    return CHANNEL_REFUSED;
  return CHANNEL_READY;
}

bool channel_device_check(const char *path, const say_sink *sink)
{
  struct stat st;
  const char *error = nullptr;
  if (stat(path, &st) < 0 || faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) < 0)
    error = strerror(errno);
  else if (!S_ISCHR(st.st_mode) || is_terminal_device(st.st_rdev) == 0)
    error = "not a serial line";
  if (!error)
    return true;
  say(sink, LOG_ERR, "open(%s) error: %s", path, error);
  return false;
}

channel_verdict channel_check(const channel_settings *cfg, const say_sink *sink, const channel_settings *before)
{
  channel_plan plan;
  const channel_verdict verdict = channel_plan_read(cfg, &plan, sink, before);
  if (verdict != CHANNEL_READY)
    return verdict;
  if (!channel_device_check(cfg->device, sink))
    return CHANNEL_REFUSED;
  // The check may run with rights that the service has not: the shipped
  // unit drops every capability, so a low port is worth a word even when
  // this process could take it.
  const uint32_t start = unprivileged_port_start();
  const bool may = cfg->port >= start || may_bind_privileged();
  if (may)
    say(sink, LOG_NOTICE, "would run on %s, listening on TCP port %u", cfg->device, cfg->port);
  if (cfg->port < start)
    say(sink, may ? LOG_NOTICE : LOG_ERR,
        "TCP port %u is below %u: listening on it needs CAP_NET_BIND_SERVICE, which %s; the systemd unit "
        "drops it unless a drop-in gives it back (mevraktd(8), Ports below 1024)",
        cfg->port, start, may ? "this check has" : "this check lacks");
  return may ? CHANNEL_READY : CHANNEL_REFUSED;
}

mevrakt_channel *channel_open(const channel_settings *cfg, const channel_settings *before)
{
  channel_plan plan;
  const channel_verdict verdict = channel_plan_read(cfg, &plan, nullptr, before);
  if (verdict == CHANNEL_REFUSED)
    not_running(cfg, "refused by its settings");
  if (verdict != CHANNEL_READY)
    return nullptr;
  auto *channel = record_alloc<mevrakt_channel>();
  if (!channel) {
    syslog(LOG_ERR, "%s - not enough memory", kOpenTag);
    not_running(cfg, "not enough memory");
    return nullptr;
  }
  snprintf(channel->echo_key, sizeof channel->echo_key, "%sECHO",
           cfg->key_prefix ? cfg->key_prefix : "MOD_MEVRAKT_PROTn_");
  const nbr14522_line line = {plan.echo, channel->echo_key};
  channel->link = nbr14522_open(cfg->device, &channel->trace, &line);
  if (!channel->link) {
    channel_close(channel);
    not_running(cfg, "its serial line did not open");
    return nullptr;
  }
  if (plan.filter)
    nbr14522_allow_commands(channel->link, plan.codes);
  channel->server = tcp_server_open(cfg->port, &plan.policy, &channel->trace);
  if (!channel->server) {
    const int error = errno;
    channel_close(channel);
    not_running(cfg, "its TCP port did not open", error);
    return nullptr;
  }

  const nbr14522_rsp_cb to_client = {on_meter_response, channel};
  nbr14522_set_rsp_handler(channel->link, &to_client);
  const tcp_server_callbacks from_client = {on_client_new, channel,        on_client_gone,
                                            channel->link, on_client_data, channel->link};
  tcp_server_set_callbacks(channel->server, &from_client);

  syslog(LOG_NOTICE, "running on %s, listening on TCP port %u", cfg->device, cfg->port);
  return channel;
}

void channel_close(mevrakt_channel *channel)
{
  if (!channel)
    return;
  // The link thread hands responses to the server: stop it before the server
  // goes, so that none can reach a freed server. The server then goes first,
  // so that no client data reaches a link being released.
  nbr14522_stop(channel->link);
  tcp_server_close(channel->server);
  nbr14522_close(channel->link);
  record_free(channel);
}
