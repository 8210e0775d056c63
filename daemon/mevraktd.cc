// mevraktd: joins up to two meters, each on a serial line, to the AMR
// head-end, each through a TCP port of its own, and answers "status 1" and
// "status 2" on a local shell socket. Takes no arguments; configured by the
// settings file; stops on SIGTERM.
//
// The main thread only starts and stops things: the channels' link, notifier
// and server threads and the shell thread do all the work in between.

#include <csignal>

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include "daemon/mevrakt.h"
#include "daemon/settings.h"
#include "shell/shell.h"

namespace {

void on_term(int)
{
}

}  // namespace

int main()
{
  setsid();
  openlog("mevraKT", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(LOG_NOTICE, "started");

  // Writes to a peer that has gone (an AMR client, a shell client) must fail,
  // not end the daemon.
  signal(SIGPIPE, SIG_IGN);

  mevrakt_settings settings{};
  mevrakt_settings_read(&settings);

  // Threads inherit the signal mask of the thread that creates them: start
  // them all with SIGTERM blocked, so that once the handler is in place only
  // this thread takes it.
  sigset_t term, unblocked;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &unblocked);

  mevrakt_channel *channel1 = mevrakt_open(&settings.prot1);
  mevrakt_channel *channel2 = mevrakt_open(&settings.prot2);
  if (channel1 || channel2) {
    const shell_cmd commands[] = {
        {"status 1", mevrakt_status, channel1},
        {"status 2", mevrakt_status, channel2},
        {nullptr, nullptr, nullptr},
    };
    shell *shell = shell_open(SHELL_SOCKET_PATH, commands);

    // A SIGTERM that came while starting ends the process here, as it would
    // have then; from now on it only ends the wait.
    pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    struct sigaction action {};
    action.sa_handler = on_term;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    // Unmasks and waits in one step, so a SIGTERM cannot slip in between.
    sigsuspend(&unblocked);

    shell_close(shell);
    mevrakt_close(channel2);
    mevrakt_close(channel1);
  }
  mevrakt_settings_free(&settings);

  syslog(LOG_NOTICE, "stopped");
  closelog();
  return 0;
}
