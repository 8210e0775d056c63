// SPDX-License-Identifier: MIT
#include "daemon/channel.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
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

// Reads the channel's optional access and liveness keys into the server's
// policy and the link's command filter. Returns false after saying the first
// one that cannot be read, with its key and its value.
bool read_access(const channel_settings *cfg, channel_plan *plan, const say_sink *sink)
{
  auto refuse = [cfg, sink](const char *name, const char *value) {
    say(sink, LOG_ERR, "%s - bad value for %s%s: \"%s\", channel on %s not opened", kOpenTag,
        cfg->key_prefix ? cfg->key_prefix : "MOD_MEVRAKT_PROTn_", name, value, cfg->device);
    return false;
  };
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
      char name[64], node[64], minors[32];
      unsigned number, first, last;
      if (sscanf(line, "%63s %63s %u %31s", name, node, &number, minors) != 4 || number != major(rdev))
        continue;
      const int n = sscanf(minors, "%u-%u", &first, &last);
      if (n == 1)
        last = first;
      found = n >= 1 && minor(rdev) >= first && minor(rdev) <= last;
    }
    fclose(drivers);
    return found;
  }
  char path[64], target[PATH_MAX];
  snprintf(path, sizeof path, "/sys/dev/char/%u:%u/subsystem", major(rdev), minor(rdev));
  const ssize_t n = readlink(path, target, sizeof target - 1);
  if (n < 0)
    return access("/sys/dev/char", F_OK) == 0 ? 0 : -1;
  target[n] = '\0';
  const char *base = strrchr(target, '/');
  return strcmp(base ? base + 1 : target, "tty") == 0;
}

}  // namespace

channel_verdict channel_plan_read(const channel_settings *cfg, channel_plan *plan, const say_sink *sink)
{
  if (!cfg->enabled) {
    say(sink, LOG_NOTICE, "disabled on %s", cfg->device);
    return CHANNEL_DISABLED;
  }
  // Port 0 would listen wherever the system chose, and a number above 65535
  // on some other port: either way not where the head-end looks.
  if (cfg->port == 0 || cfg->port > 65535) {
    say(sink, LOG_ERR, "%s - TCP port %u out of range (1 to 65535), channel on %s not opened", kOpenTag, cfg->port,
        cfg->device);
    return CHANNEL_REFUSED;
  }
  *plan = channel_plan{};
  return read_access(cfg, plan, sink) ? CHANNEL_READY : CHANNEL_REFUSED;
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

channel_verdict channel_check(const channel_settings *cfg, const say_sink *sink)
{
  channel_plan plan;
  const channel_verdict verdict = channel_plan_read(cfg, &plan, sink);
  if (verdict != CHANNEL_READY)
    return verdict;
  if (!channel_device_check(cfg->device, sink))
    return CHANNEL_REFUSED;
  say(sink, LOG_NOTICE, "would run on %s, listening on TCP port %u", cfg->device, cfg->port);
  return CHANNEL_READY;
}

mevrakt_channel *channel_open(const channel_settings *cfg)
{
  channel_plan plan;
  if (channel_plan_read(cfg, &plan, nullptr) != CHANNEL_READY)
    return nullptr;
  auto *channel = record_alloc<mevrakt_channel>();
  if (!channel) {
    syslog(LOG_ERR, "%s - not enough memory", kOpenTag);
    return nullptr;
  }
  channel->link = nbr14522_open(cfg->device, &channel->trace);
  if (!channel->link) {
    channel_close(channel);
    return nullptr;
  }
  if (plan.filter)
    nbr14522_allow_commands(channel->link, plan.codes);
  channel->server = tcp_server_open(cfg->port, &plan.policy, &channel->trace);
  if (!channel->server) {
    channel_close(channel);
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
