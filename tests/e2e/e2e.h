// SPDX-License-Identifier: MIT
// Support for end-to-end tests: test binaries that run the real programs
// inside mevrakt-sandbox and watch them from the outside, through their log
// lines, their processes and the files and sockets they serve.
//
// Linking mevrakt_e2e_support gives the binary its main(): outside the
// sandbox it starts itself again inside one (`mevrakt-sandbox -- argv...`),
// so ctest and gtest_discover_tests need nothing special. Test suites whose
// name ends in "OnHost" are the exception: they run in the caller's own
// world, to check from there what a sandbox leaves behind.
//
// Everything here is for the test's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

namespace e2e {

using std::chrono::milliseconds;

/// Whether this process runs inside mevrakt-sandbox.
bool in_sandbox();

/// The sandbox's log file (where /dev/log lands); empty outside a sandbox.
std::string log_path();

/// The mevrakt-sandbox program this binary was built with, unless the
/// environment names another in MEVRAKT_SANDBOX_BIN.
std::string sandbox_binary();

/// Replaces the file at `path` with `text`. Returns whether all was written.
bool write_file(const std::string &path, const std::string &text);

/// The whole content of the file at `path`; empty if it cannot be read.
std::string read_file(const std::string &path);

/// Waits until the main thread of process `pid` sleeps until a signal comes
/// (in sigsuspend or pause), as a daemon does once its handlers are in place,
/// or until the deadline. Returns whether it came to that. It asks the
/// kernel where the thread sleeps, which holds under user-mode emulation too.
bool waits_for_signal(pid_t pid, milliseconds timeout = milliseconds(10000));

/// One log line as glibc sends it: "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
struct syslog_line {
  int priority = -1;  // LOG_ERR, LOG_NOTICE, ... (facility removed); -1 if absent
  int facility = -1;  // LOG_DAEMON, LOG_USER, ...; -1 if absent
  std::string ident;
  long pid = -1;      // -1 when the line carries none
  std::string text;   // what follows "ident[pid]: "
  std::string raw;    // the line as written
};

/// Splits one line of the log file into its parts.
syslog_line parse_syslog_line(const std::string &raw);

/// Follows a log file written by the sandbox's /dev/log sink.
class syslog_tail {
 public:
  explicit syslog_tail(std::string path = log_path());
  ~syslog_tail();
  syslog_tail(const syslog_tail &) = delete;
  syslog_tail &operator=(const syslog_tail &) = delete;

  /// Forgets the lines seen so far; later calls see only what comes after.
  void clear();

  /// Every line since the last clear().
  std::vector<syslog_line> lines();

  /// Number of lines whose text equals `text` (at `priority` unless -1).
  int count(const std::string &text, int priority = -1);

  /// Number of lines whose text starts with `prefix`.
  int count_prefix(const std::string &prefix);

  /// Number of lines whose text contains `part`.
  int count_containing(const std::string &part);

  /// Waits until `n` lines' text equals `text` (at `priority` unless -1), or
  /// until the deadline. Returns whether they came.
  bool wait_for(const std::string &text, int priority = -1, int n = 1,
                milliseconds timeout = milliseconds(5000));

  /// Waits for a line whose text starts with `prefix`. Returns whether it came.
  bool wait_for_prefix(const std::string &prefix, int priority = -1,
                       milliseconds timeout = milliseconds(5000));

  /// All lines since the last clear(), for failure messages.
  std::string dump();

 private:
  void read_new();
  template <typename Pred>
  bool wait_until(Pred done, milliseconds timeout);

  std::string path_;
  int inotify_ = -1;
  off_t offset_ = 0;
  std::string partial_;
  std::vector<syslog_line> lines_;
};

struct process_options {
  bool pipe_stdin = false;       // write_stdin() feeds the program
  bool capture_stdout = false;   // output() collects what it prints
  bool stderr_to_stdout = false; // with capture_stdout: its errors too
};

/// A program run by the test. The destructor kills and reaps it if it still
/// runs, so a failing test leaves nothing behind.
class process {
 public:
  process() = default;
  ~process();
  process(const process &) = delete;
  process &operator=(const process &) = delete;

  /// Starts `argv` (argv[0] looked up in PATH). Returns whether it started.
  bool start(const std::vector<std::string> &argv, const process_options &options = {});

  pid_t pid() const { return pid_; }

  /// Feeds the program's stdin. Returns whether all was written.
  bool write_stdin(const std::string &text);
  void close_stdin();

  /// Collects output until it contains `text` or the deadline passes.
  /// Returns whether it appeared.
  bool wait_output(const std::string &text, milliseconds timeout = milliseconds(5000));

  /// Collects output until the program's stdout closes (it and every process
  /// that inherited it are gone) or the deadline passes. Returns whether it closed.
  bool read_to_end(milliseconds timeout = milliseconds(5000));

  /// What the program printed so far (with capture_stdout).
  const std::string &output() const { return output_; }

  /// Waits for the program to end. Returns whether it ended.
  bool wait(milliseconds timeout = milliseconds(5000));

  /// Whether the program still runs (reaps it if it has ended).
  bool running();

  /// Exit status, 128 + n after signal n, or -1 while it runs.
  int exit_status() const { return status_; }

  /// Sends `sig`. Returns whether it was sent.
  bool signal(int sig);

  /// Sends `sig`, waits up to `grace`, then kills with SIGKILL. Returns the
  /// exit status.
  int stop(int sig = SIGTERM, milliseconds grace = milliseconds(5000));

  /// User plus system CPU time from /proc/PID/stat, in clock ticks; -1 if
  /// the program is gone.
  long cpu_ticks() const;

  /// Number of open descriptors in /proc/PID/fd; -1 if the program is gone.
  int fd_count() const;

 private:
  bool read_some(int timeout_ms);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int status_ = -1;
  std::string output_;
};

/// Where the daemon reads its settings; inside the sandbox /opt is private.
constexpr const char *settings_path = "/opt/mevraKT/etc/settings";

/// The meter simulator at `binary`, run with `options` on a pty of its own as
/// a technician would run it; `path` is the pty it printed, empty if it did
/// not start.
struct simulated_meter {
  simulated_meter(const char *binary, std::vector<std::string> options);
  process proc;
  std::string path;
};

/// A settings file for the daemon's two channels.
std::string channel_settings(unsigned enabled1, const std::string &device1, unsigned port1, unsigned enabled2,
                             const std::string &device2, unsigned port2);

/// CPU time of every thread of `pid` so far, in nanoseconds (scheduler
/// statistics: far finer than clock ticks); 0 if the process is gone.
long long cpu_ns(pid_t pid);

/// Writes `settings` where the daemon reads them and starts the daemon at
/// `daemon_bin` in `daemon`, or the one that MEVRAKT_DAEMON names, so that a
/// scenario's figures can be taken from another build too. Returns whether
/// both worked.
bool start_daemon(process &daemon, const char *daemon_bin, const std::string &settings);

/// Sends one request to the daemon's shell on a connection of its own.
/// Returns the answer as far as it came before the daemon closed the
/// connection or the deadline passed; empty if the daemon cannot be reached.
std::string shell_request(const std::string &request, milliseconds timeout = milliseconds(5000));

/// The value of the series `name` (e.g. `mevrakt_commands_ok_total{channel="1"}`)
/// in the metrics text `metrics`; -1 when it is not there.
long long metric(const std::string &metrics, const std::string &name);

/// Reads from `fd` until `n` bytes came, the peer closed or the deadline
/// passed. Returns what came.
std::vector<uint8_t> receive(int fd, size_t n, milliseconds timeout = milliseconds(5000));

/// What a program run to its end left behind.
struct run_result {
  int status;          // as process::exit_status(); -1 if it did not start or end
  std::string output;  // what it printed
};

/// Runs `argv` to its end, collecting its standard output and, unless
/// `options` say otherwise, its errors; waits up to `timeout` for its output
/// to close and as long again for its end.
run_result run(const std::vector<std::string> &argv, process_options options = {false, true, true},
               milliseconds timeout = milliseconds(20000));

}  // namespace e2e
