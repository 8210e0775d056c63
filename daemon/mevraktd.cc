// SPDX-License-Identifier: MIT
// mevraktd: joins up to two meters, each on a serial line, to the AMR
// head-end, each through a TCP port of its own, and answers "status 1",
// "status 2", "trace 1", "trace 2" and "metrics" on a local shell socket.
// Configured by the settings file (its fixed path, or -c FILE); stops on
// SIGTERM or SIGINT. Its options (help, version, the settings check) are
// answered before anything else happens: they log nothing and take no lock,
// line, port or socket.
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

const char USAGE[] = "usage: mevraktd [-c FILE] [-t | -h | -V]\n";

const char HELP[] =
    "\n"
    "Joins up to two electricity meters, each on a serial line read with\n"
    "NBR 14522, to an AMR head-end, each through a TCP port of its own. Without\n"
    "an option it runs the gateway: it reads its settings once, stays in the\n"
    "foreground, logs through syslog (ident mevraKT), answers mevraktsh on\n"
    "/var/run/mevraKT.socket and stops on SIGTERM or SIGINT.\n"
    "\n"
    "  -c, --settings FILE  read the settings from FILE instead of\n"
    "                       /opt/mevraKT/etc/settings (also with --check)\n"
    "  -t, --check          check the settings as a start would, opening\n"
    "                       nothing: what is wrong in the file, and one line\n"
    "                       per channel on what it would do or why it would not\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n"
    "\n"
    "Exit status: 0 when stopped by a signal or with no channel enabled; 1 when\n"
    "channels are enabled and none could be opened, or another mevraktd runs;\n"
    "2 for a bad argument. With --check: 0 when the file was read with no\n"
    "unknown key and every enabled channel would open, else 1.\n";

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

// The settings check prints what is wrong with the file as it is said, and
// each channel's verdict on a line of its own.
struct check_line {
  int channel;  // 0: the file
};

void say_checked(void *context, int, const char *format, va_list args)
{
  const int channel = static_cast<const check_line *>(context)->channel;
  if (channel)
    dprintf(STDOUT_FILENO, "channel %d: ", channel);
  vdprintf(STDOUT_FILENO, format, args);
  dprintf(STDOUT_FILENO, "\n");
}

// Reads the settings at `path` as a start would and checks each channel by
// the daemon's own rules, opening nothing. Returns 0 when every enabled
// channel would open and the file has nothing to say against it, 1
// otherwise: a file that cannot be read, or an unknown key of this daemon,
// counts as a fault, although the daemon would start all the same.
int check_settings(const char *path)
{
  check_line file_line = {0};
  const say_sink file_sink = {say_checked, &file_line};
  mevrakt_settings settings{};
  int status = mevrakt_settings_read(&settings, path, &file_sink) > 0 ? 1 : 0;
  int enabled = 0;
  const channel_settings *channels[] = {&settings.channel1, &settings.channel2};
  for (int i = 0; i < 2; i++) {
    check_line line = {i + 1};
    const say_sink sink = {say_checked, &line};
    const channel_verdict verdict = channel_check(channels[i], &sink, i > 0 ? channels[0] : nullptr);
    enabled += verdict != CHANNEL_DISABLED;
    if (verdict == CHANNEL_REFUSED)
      status = 1;
  }
  if (settings.file_read && enabled == 0)
    dprintf(STDOUT_FILENO, "no channel enabled: mevraktd would start and stop at once\n");
  mevrakt_settings_free(&settings);
  return status;
}

// What the command line asks for.
struct run_options {
  const char *settings = MEVRAKT_SETTINGS_PATH;
  bool check = false;
};

// Reads the command line into `run`. Returns -1 to go on, or the exit
// status of an option answered here (help, version, a bad argument).
int options(int argc, char **argv, run_options *run)
{
  auto is = [](const char *option, const char *brief, const char *full) {
    return strcmp(option, brief) == 0 || strcmp(option, full) == 0;
  };
  const char *error = nullptr;
  const char *option = nullptr;
  bool settings_given = false;
  for (int i = 1; i < argc && !error; i++) {
    option = argv[i];
    const bool alone = argc == 2;
    if (is(option, "-h", "--help") && alone) {
      dprintf(STDOUT_FILENO, "%s%s", USAGE, HELP);
      return 0;
    }
    if (is(option, "-V", "--version") && alone) {
      dprintf(STDOUT_FILENO, "mevraktd (mevraKT) %s\n", MEVRAKT_VERSION);
      return 0;
    }
    const bool check = is(option, "-t", "--check");
    const bool settings = is(option, "-c", "--settings");
    if (is(option, "-h", "--help") || is(option, "-V", "--version")) {
      error = "goes alone";
    } else if ((check && run->check) || (settings && settings_given)) {
      error = "given twice";
    } else if (check) {
      run->check = true;
    } else if (!settings) {
      error = "unknown argument";
    } else if (i + 1 == argc || !*argv[i + 1]) {
      error = "needs a file";
    } else {
      run->settings = argv[++i];
      settings_given = true;
    }
  }
  if (!error)
    return -1;
  dprintf(STDERR_FILENO, "mevraktd: '%s' %s\n%sRun 'mevraktd --help' for details.\n", option, error, USAGE);
  return 2;
}

}  // namespace

int main(int argc, char **argv)
{
  run_options run;
  const int answered = options(argc, argv, &run);
  if (answered >= 0)
    return answered;
  if (run.check)
    return check_settings(run.settings);

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
  mevrakt_settings_read(&settings, run.settings);

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
  mevrakt_channel *channel2 = channel_open(&settings.channel2, &settings.channel1);
  // Enabled channels of which none opened are a failure, so that a service
  // manager starts the daemon again: the adapter or the address may be late.
  // An ENABLED that is no number counts as enabled: its channel is refused.
  auto wanted = [](const channel_settings &cfg) { return cfg.enabled || cfg.bad_enabled; };
  const bool failed = (wanted(settings.channel1) || wanted(settings.channel2)) && !channel1 && !channel2;
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
