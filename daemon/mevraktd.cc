// mevraktd: joins up to two meters, each on a serial line, to the AMR
// head-end, each through a TCP port of its own, and answers "status 1",
// "status 2", "trace 1", "trace 2" and "metrics" on a local shell socket.
// Takes no arguments; configured by the settings file; stops on SIGTERM or
// SIGINT.
//
// The main thread only starts and stops things: the channels' link, notifier
// and server threads and the shell thread do all the work in between.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include "daemon/mevrakt.h"
#include "daemon/report.h"
#include "daemon/settings.h"
#include "shell/shell.h"

namespace {

// Held locked for the daemon's whole run: a second instance on the same
// board finds it taken and leaves before it touches any line or port. Init
// scripts find the running daemon's pid in it.
constexpr const char *kPidPath = "/var/run/mevraktd.pid";

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

}  // namespace

int main()
{
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

  mevrakt_channel *channel1 = mevrakt_open(&settings.prot1);
  mevrakt_channel *channel2 = mevrakt_open(&settings.prot2);
  if (channel1 || channel2) {
    mevrakt_channels channels = {{channel1, channel2}};
    const shell_cmd commands[] = {
        {"status 1", mevrakt_status, channel1},
        {"status 2", mevrakt_status, channel2},
        {"trace 1", mevrakt_trace, channel1},
        {"trace 2", mevrakt_trace, channel2},
        {"metrics", mevrakt_metrics, &channels},
        {nullptr, nullptr, nullptr},
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
    mevrakt_close(channel2);
    mevrakt_close(channel1);
  }
  mevrakt_settings_free(&settings);

  syslog(LOG_NOTICE, "stopped");
  closelog();
  if (lock >= 0) {
    unlink(kPidPath);
    close(lock);
  }
  return 0;
}
