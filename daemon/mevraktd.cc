// SPDX-License-Identifier: MIT
// mevraktd: joins up to two meters, each on a serial line, to the AMR
// head-end, each through a TCP port of its own, and answers "status 1",
// "status 2", "trace 1", "trace 2" and "metrics" on a local shell socket.
// Configured by the settings file; stops on SIGTERM or SIGINT. Its options
// (help, version, the settings check) are answered before anything else
// happens: they log nothing and take no lock, line, port or socket.
//
// The main thread only starts and stops things: the channels' link, notifier
// and server threads and the shell thread do all the work in between.

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include "daemon/channel.h"
#include "daemon/report.h"
#include "daemon/settings.h"
#include "mevrakt_version.h"
#include "shell/shell.h"

namespace {

// Held locked for the daemon's whole run: a second instance on the same
// board finds it taken and leaves before it touches any line or port. Init
// scripts find the running daemon's pid in it.
constexpr const char *kPidPath = "/var/run/mevraktd.pid";

const char USAGE[] = "usage: mevraktd [-t | -h | -V]\n";

const char HELP[] =
    "\n"
    "Joins up to two electricity meters, each on a serial line read with\n"
    "NBR 14522, to an AMR head-end, each through a TCP port of its own. Without\n"
    "an option it runs the gateway: it reads /opt/mevraKT/etc/settings once,\n"
    "stays in the foreground, logs through syslog (ident mevraKT), answers\n"
    "mevraktsh on /var/run/mevraKT.socket and stops on SIGTERM or SIGINT.\n"
    "\n"
    "  -t, --check    check the settings as a start would, opening nothing: one\n"
    "                 line per channel on what it would do or what is wrong\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "\n"
    "Exit status: 0 when stopped by a signal or with no channel enabled; 1 when\n"
    "channels are enabled and none could be opened, or another mevraktd runs;\n"
    "2 for a bad argument. With --check: 0 when every enabled channel would\n"
    "open, else 1.\n";

volatile sig_atomic_t stop_requested;
volatile sig_atomic_t hangups;

void on_stop(int)
{
  stop_requested = 1;
}

void on_hangup(int)
{
  hangups = hangups + 1;
}

// Takes the instance lock and writes our pid into it. Returns the locked
// descriptor; -1 when the file cannot be used (logged; the daemon runs on
// without it); or -2 when another instance holds it (logged).
int instance_lock()
{
  const int fd = open(kPidPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    syslog(LOG_ERR, "open(%s) error: %s", kPidPath, strerror(errno));
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
    const int error = errno;
    char pid[24] = "";
    const ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
    pid[n > 0 ? n : 0] = '\0';
    pid[strcspn(pid, "\n")] = '\0';
    close(fd);
    if (error == EWOULDBLOCK) {
      syslog(LOG_ERR, "already running as pid %s (%s is locked), not started", pid[0] ? pid : "?", kPidPath);
      return -2;
    }
    syslog(LOG_ERR, "flock(%s) error: %s", kPidPath, strerror(error));
    return -1;
  }
  char pid[24];
  const int n = snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) < 0 || pwrite(fd, pid, static_cast<size_t>(n), 0) != n)
    syslog(LOG_ERR, "write(%s) error: %s", kPidPath, strerror(errno));
  return fd;
}

void catch_signal(int signo, void (*handler)(int))
{
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

// What the options print is written straight to the descriptors: the stdio
// streams' objects would join the daemon's dynamic symbol table.

// The settings check prints each channel's verdict on its own line.
struct check_line {
  int channel;
};

void say_checked(void *context, int, const char *format, va_list args)
{
  dprintf(STDOUT_FILENO, "channel %d: ", static_cast<const check_line *>(context)->channel);
  vdprintf(STDOUT_FILENO, format, args);
  dprintf(STDOUT_FILENO, "\n");
}

// Reads the settings as a start would and checks each channel by the
// daemon's own rules, opening nothing. Returns 0 when every enabled channel
// would open, 1 otherwise; a file that cannot be read counts as a fault,
// although the daemon would merely start and stop.
int check_settings()
{
  int status = 0;
  FILE *file = fopen(MEVRAKT_SETTINGS_PATH, "re");
  if (!file) {
    dprintf(STDOUT_FILENO, "settings: cannot read %s: %s\n", MEVRAKT_SETTINGS_PATH, strerror(errno));
    status = 1;
  }
  mevrakt_settings settings{};
  mevrakt_settings_read_file(&settings, file);
  if (file)
    fclose(file);
  int enabled = 0;
  const channel_settings *channels[] = {&settings.channel1, &settings.channel2};
  for (int i = 0; i < 2; i++) {
    check_line line = {i + 1};
    const say_sink sink = {say_checked, &line};
    const channel_verdict verdict = channel_check(channels[i], &sink);
    enabled += verdict != CHANNEL_DISABLED;
    if (verdict == CHANNEL_REFUSED)
      status = 1;
  }
  if (file && enabled == 0)
    dprintf(STDOUT_FILENO, "no channel enabled: mevraktd would start and stop at once\n");
  mevrakt_settings_free(&settings);
  return status;
}

// Answers an option; the gateway does not start. Returns the exit status.
int options(int argc, char **argv)
{
  const char *option = argv[1];
  auto is = [option](const char *brief, const char *full) {
    return strcmp(option, brief) == 0 || strcmp(option, full) == 0;
  };
  if (argc == 2 && is("-h", "--help")) {
    dprintf(STDOUT_FILENO, "%s%s", USAGE, HELP);
    return 0;
  }
  if (argc == 2 && is("-V", "--version")) {
    dprintf(STDOUT_FILENO, "mevraktd (mevraKT) %s\n", MEVRAKT_VERSION);
    return 0;
  }
  if (argc == 2 && is("-t", "--check"))
    return check_settings();
  if (argc == 2)
    dprintf(STDERR_FILENO, "mevraktd: unknown argument '%s'\n", option);
  else
    dprintf(STDERR_FILENO, "mevraktd: one option at most\n");
  dprintf(STDERR_FILENO, "%sRun 'mevraktd --help' for details.\n", USAGE);
  return 2;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc > 1)
    return options(argc, argv);

  setsid();
  openlog("mevraKT", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  // The settings are read once; a hangup (a closed terminal, a habit of
  // init scripts) must not end the daemon. It is noted once it waits.
  catch_signal(SIGHUP, on_hangup);

  const int lock = instance_lock();
  if (lock == -2)
    return EXIT_FAILURE;
  syslog(LOG_NOTICE, "started");

  // Writes to a peer that has gone (an AMR client, a shell client) must fail,
  // not end the daemon.
  signal(SIGPIPE, SIG_IGN);

  const int64_t started = time(nullptr);
  mevrakt_settings settings{};
  mevrakt_settings_read(&settings);

  // Threads inherit the signal mask of the thread that creates them: start
  // them all with the stop and hangup signals blocked, so that once the
  // handlers are in place only this thread takes them.
  sigset_t stops, unblocked;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, &unblocked);

  mevrakt_channel *channel1 = channel_open(&settings.channel1);
  mevrakt_channel *channel2 = channel_open(&settings.channel2);
  // Enabled channels of which none opened are a failure, so that a service
  // manager starts the daemon again: the adapter or the address may be late.
  const bool failed = (settings.channel1.enabled || settings.channel2.enabled) && !channel1 && !channel2;
  if (channel1 || channel2) {
    mevrakt_channels channels = {{channel1, channel2}, started};
    const shell_cmd commands[] = {
        {"status 1", mevrakt_status, channel1},  {"status 2", mevrakt_status, channel2},
        {"trace 1", mevrakt_trace, channel1},    {"trace 2", mevrakt_trace, channel2},
        {"metrics", mevrakt_metrics, &channels}, {nullptr, nullptr, nullptr},
    };
    shell *shell = shell_open(SHELL_SOCKET_PATH, commands);

    // A stop signal that came while starting ends the process here, as it
    // would have then; from now on it only ends the wait.
    pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    catch_signal(SIGTERM, on_stop);
    catch_signal(SIGINT, on_stop);
    // Unmasks and waits in one step, so a signal cannot slip in between.
    while (!stop_requested) {
      sigsuspend(&unblocked);
      if (hangups) {
        hangups = 0;
        syslog(LOG_NOTICE, "SIGHUP ignored: the settings are read once, at start");
      }
    }

    shell_close(shell);
    channel_close(channel2);
    channel_close(channel1);
  }
  mevrakt_settings_free(&settings);

  syslog(LOG_NOTICE, "stopped");
  closelog();
  if (lock >= 0) {
    unlink(kPidPath);
    close(lock);
  }
  return failed ? EXIT_FAILURE : EXIT_SUCCESS;
}
