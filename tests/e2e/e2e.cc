// SPDX-License-Identifier: MIT
#include "tests/e2e/e2e.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

extern char **environ;

namespace e2e {

namespace {

using steady = std::chrono::steady_clock;

int ms_left(steady::time_point deadline)
{
  auto left = std::chrono::duration_cast<milliseconds>(deadline - steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

int status_code(int status)
{
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

bool write_all(int fd, const std::string &text)
{
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Spawns argv and returns once the child has run exec, which closes its copy
// of a close-on-exec pipe. Natively posix_spawn returns only after the exec;
// under qemu-user it forks, and a fork of a threaded program there now and
// then hangs before the exec on a lock another thread held. Such a child is
// killed and spawned again: the program under test never ran.
int spawn_and_wait_for_exec(std::vector<char *> &args, const posix_spawn_file_actions_t *actions, pid_t *pid)
{
  for (int attempt = 1;; attempt++) {
    int exec_pipe[2];
    if (pipe2(exec_pipe, O_CLOEXEC) != 0)
      return errno;
    const int err = posix_spawnp(pid, args[0], actions, nullptr, args.data(), environ);
    close(exec_pipe[1]);
    pollfd p{exec_pipe[0], POLLIN, 0};
    const bool exec_ran = err != 0 || poll(&p, 1, 10000) == 1;
    close(exec_pipe[0]);
    if (exec_ran || attempt == 3)
      return err;
    fprintf(stderr, "e2e: %s hung before exec, spawning it again\n", args[0]);
    kill(*pid, SIGKILL);
    waitpid(*pid, nullptr, 0);
  }
}

}  // namespace

bool in_sandbox()
{
  const char *flag = getenv("MEVRAKT_SANDBOX");
  return flag && strcmp(flag, "1") == 0;
}

std::string log_path()
{
  const char *path = getenv("MEVRAKT_SANDBOX_LOG");
  return in_sandbox() && path ? path : "";
}

std::string sandbox_binary()
{
  const char *path = getenv("MEVRAKT_SANDBOX_BIN");
  return path && *path ? path : MEVRAKT_SANDBOX_BIN;
}

bool write_file(const std::string &path, const std::string &text)
{
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  bool ok = write_all(fd, text);
  close(fd);
  return ok;
}

std::string read_file(const std::string &path)
{
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      text.append(buf, static_cast<size_t>(n));
  close(fd);
  return text;
}

bool waits_for_signal(pid_t pid, milliseconds timeout)
{
  const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
  auto deadline = steady::now() + timeout;
  for (;;) {
    int fd = open(wchan.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return false;
    char where[128];
    ssize_t n = read(fd, where, sizeof where - 1);
    close(fd);
    where[n > 0 ? n : 0] = '\0';
    if (strstr(where, "sigsuspend") || strstr(where, "pause"))
      return true;
    if (ms_left(deadline) == 0)
      return false;
    usleep(2000);
  }
}

syslog_line parse_syslog_line(const std::string &raw)
{
  syslog_line l;
  l.raw = raw;
  size_t at = 0;
  if (raw.size() > 2 && raw[0] == '<') {
    size_t end = raw.find('>');
    if (end != std::string::npos) {
      int pri = atoi(raw.c_str() + 1);
      l.priority = LOG_PRI(pri);
      l.facility = LOG_FAC(pri) << 3;
      at = end + 1;
    }
  }
  // "Mmm dd hh:mm:ss " is 16 characters wide.
  if (raw.size() >= at + 16 && raw[at + 3] == ' ' && raw[at + 9] == ':' && raw[at + 15] == ' ')
    at += 16;
  size_t colon = raw.find(": ", at);
  if (colon == std::string::npos) {
    l.text = raw.substr(at);
    return l;
  }
  l.ident = raw.substr(at, colon - at);
  l.text = raw.substr(colon + 2);
  size_t open = l.ident.rfind('[');
  if (open != std::string::npos && l.ident.back() == ']') {
    l.pid = atol(l.ident.c_str() + open + 1);
    l.ident.resize(open);
  }
  return l;
}

syslog_tail::syslog_tail(std::string path) : path_(std::move(path))
{
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ >= 0 && inotify_add_watch(inotify_, path_.c_str(), IN_MODIFY) < 0) {
    close(inotify_);
    inotify_ = -1;
  }
}

syslog_tail::~syslog_tail()
{
  if (inotify_ >= 0)
    close(inotify_);
}

void syslog_tail::read_new()
{
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return;
  char buf[8192];
  ssize_t n;
  while ((n = pread(fd, buf, sizeof buf, offset_)) > 0) {
    offset_ += n;
    partial_.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t start = 0, end;
  while ((end = partial_.find('\n', start)) != std::string::npos) {
    lines_.push_back(parse_syslog_line(partial_.substr(start, end - start)));
    start = end + 1;
  }
  partial_.erase(0, start);
}

template <typename Pred>
bool syslog_tail::wait_until(Pred done, milliseconds timeout)
{
  auto deadline = steady::now() + timeout;
  for (;;) {
    read_new();
    if (done())
      return true;
    int left = ms_left(deadline);
    if (left == 0)
      return false;
    // Without a watch, look again now and then.
    if (inotify_ < 0) {
      usleep(10000);
      continue;
    }
    struct pollfd p = {inotify_, POLLIN, 0};
    if (poll(&p, 1, left) > 0) {
      char events[4096];
      while (read(inotify_, events, sizeof events) > 0) {
      }
    }
  }
}

void syslog_tail::clear()
{
  read_new();
  lines_.clear();
}

std::vector<syslog_line> syslog_tail::lines()
{
  read_new();
  return lines_;
}

int syslog_tail::count(const std::string &text, int priority)
{
  read_new();
  int n = 0;
  for (const syslog_line &l : lines_)
    if (l.text == text && (priority < 0 || l.priority == priority))
      n++;
  return n;
}

int syslog_tail::count_prefix(const std::string &prefix)
{
  read_new();
  int n = 0;
  for (const syslog_line &l : lines_)
    n += l.text.compare(0, prefix.size(), prefix) == 0;
  return n;
}

int syslog_tail::count_containing(const std::string &part)
{
  read_new();
  int n = 0;
  for (const syslog_line &l : lines_)
    n += l.text.find(part) != std::string::npos;
  return n;
}

bool syslog_tail::wait_for(const std::string &text, int priority, int n, milliseconds timeout)
{
  return wait_until([&] { return count(text, priority) >= n; }, timeout);
}

bool syslog_tail::wait_for_prefix(const std::string &prefix, int priority, milliseconds timeout)
{
  return wait_until(
      [&] {
        for (const syslog_line &l : lines_)
          if (l.text.compare(0, prefix.size(), prefix) == 0 && (priority < 0 || l.priority == priority))
            return true;
        return false;
      },
      timeout);
}

std::string syslog_tail::dump()
{
  read_new();
  std::string out = path_ + ":\n";
  for (const syslog_line &l : lines_)
    out += "  " + l.raw + "\n";
  return out;
}

process::~process()
{
  if (running()) {
    kill(pid_, SIGKILL);
    wait(milliseconds(10000));
  }
  for (int fd : {pidfd_, stdin_, stdout_})
    if (fd >= 0)
      close(fd);
}

bool process::start(const std::vector<std::string> &argv, const process_options &options)
{
  if (pid_ >= 0 || argv.empty())
    return false;
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if ((options.pipe_stdin && pipe2(in, O_CLOEXEC) != 0) ||
      (options.capture_stdout && pipe2(out, O_CLOEXEC) != 0))
    return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in[0] >= 0)
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  if (out[1] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (options.stderr_to_stdout)
      posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  }
  std::vector<char *> args;
  for (const std::string &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int err = spawn_and_wait_for_exec(args, &actions, &pid);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {in[0], out[1]})
    if (fd >= 0)
      close(fd);
  if (err != 0) {
    for (int fd : {in[1], out[0]})
      if (fd >= 0)
        close(fd);
    return false;
  }
  pid_ = pid;
  stdin_ = in[1];
  stdout_ = out[0];
  status_ = -1;
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  return true;
}

bool process::write_stdin(const std::string &text)
{
  return stdin_ >= 0 && write_all(stdin_, text);
}

void process::close_stdin()
{
  if (stdin_ >= 0)
    close(stdin_);
  stdin_ = -1;
}

// Waits up to `timeout_ms` for output and appends it. Returns false once
// the pipe has closed.
bool process::read_some(int timeout_ms)
{
  if (stdout_ < 0)
    return false;
  struct pollfd p = {stdout_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0)
    return true;
  char buf[4096];
  ssize_t n = read(stdout_, buf, sizeof buf);
  if (n > 0) {
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && errno == EINTR)
    return true;
  close(stdout_);
  stdout_ = -1;
  return false;
}

bool process::wait_output(const std::string &text, milliseconds timeout)
{
  auto deadline = steady::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    if (!read_some(ms_left(deadline)) || ms_left(deadline) == 0)
      return output_.find(text) != std::string::npos;
  }
  return true;
}

bool process::read_to_end(milliseconds timeout)
{
  auto deadline = steady::now() + timeout;
  while (read_some(ms_left(deadline)))
    if (ms_left(deadline) == 0)
      return false;
  return true;
}

bool process::running()
{
  if (pid_ < 0 || status_ >= 0)
    return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_)
    status_ = status_code(status);
  return r == 0;
}

bool process::wait(milliseconds timeout)
{
  auto deadline = steady::now() + timeout;
  while (running()) {
    int left = ms_left(deadline);
    if (left == 0)
      return false;
    if (pidfd_ >= 0) {
      struct pollfd p = {pidfd_, POLLIN, 0};
      poll(&p, 1, left);
    } else {
      usleep(2000);
    }
  }
  return pid_ >= 0;
}

bool process::signal(int sig)
{
  return running() && kill(pid_, sig) == 0;
}

int process::stop(int sig, milliseconds grace)
{
  if (signal(sig) && !wait(grace) && signal(SIGKILL))
    wait(milliseconds(10000));
  return status_;
}

long process::cpu_ticks() const
{
  std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
  // The command name in parentheses may hold blanks; count fields after it.
  size_t at = stat.rfind(')');
  if (pid_ < 0 || at == std::string::npos)
    return -1;
  unsigned long utime = 0, stime = 0;
  if (sscanf(stat.c_str() + at + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
             &stime) != 2)
    return -1;
  return static_cast<long>(utime + stime);
}

int process::fd_count() const
{
  if (pid_ < 0)
    return -1;
  DIR *dir = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
  if (!dir)
    return -1;
  int n = 0;
  while (struct dirent *e = readdir(dir))
    if (e->d_name[0] != '.')
      n++;
  closedir(dir);
  return n;
}

bool start_daemon(process &daemon, const char *daemon_bin, const std::string &settings)
{
  const char *other = getenv("MEVRAKT_DAEMON");
  return write_file(settings_path, settings) && daemon.start({other && *other ? other : daemon_bin});
}

run_result run(const std::vector<std::string> &argv, process_options options, milliseconds timeout)
{
  options.capture_stdout = true;
  process p;
  if (!p.start(argv, options))
    return {-1, ""};
  p.read_to_end(timeout);
  p.wait(timeout);
  return {p.exit_status(), p.output()};
}

simulated_meter::simulated_meter(const char *binary, std::vector<std::string> options)
{
  options.insert(options.begin(), binary);
  if (proc.start(options, {false, true, false}) && proc.wait_output("\n"))
    path = proc.output().substr(0, proc.output().find('\n'));
}

std::string channel_settings(unsigned enabled1, const std::string &device1, unsigned port1, unsigned enabled2,
                             const std::string &device2, unsigned port2)
{
  std::ostringstream text;
  text << "MOD_MEVRAKT_ENABLED=1\n"
       << "MOD_MEVRAKT_PROT1_ENABLED=" << enabled1 << "\n"
       << "MOD_MEVRAKT_PROT1_DEVICE=\"" << device1 << "\"\n"
       << "MOD_MEVRAKT_PROT1_PORT=" << port1 << "\n"
       << "MOD_MEVRAKT_PROT2_ENABLED=" << enabled2 << "\n"
       << "MOD_MEVRAKT_PROT2_DEVICE=\"" << device2 << "\"\n"
       << "MOD_MEVRAKT_PROT2_PORT=" << port2 << "\n";
  return text.str();
}

long long cpu_ns(pid_t pid)
{
  long long total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (DIR *dir = opendir(tasks.c_str())) {
    while (const dirent *e = readdir(dir)) {
      long long ns = 0;
      std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
      if (e->d_name[0] != '.' && in >> ns)
        total += ns;
    }
    closedir(dir);
  }
  return total;
}

std::string shell_request(const std::string &request, milliseconds timeout)
{
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", "/var/run/mevraKT.socket");
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    const std::vector<uint8_t> got = receive(fd, SIZE_MAX, timeout);
    answer.assign(got.begin(), got.end());
  }
  close(fd);
  return answer;
}

long long metric(const std::string &metrics, const std::string &name)
{
  const std::string key = "\n" + name + " ";
  const size_t at = ("\n" + metrics).find(key);
  return at == std::string::npos ? -1 : atoll(metrics.c_str() + at + key.size() - 1);
}

std::vector<uint8_t> receive(int fd, size_t n, milliseconds timeout)
{
  std::vector<uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < n) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    uint8_t buf[4096];
    ssize_t k;
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1 ||
        (k = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0)) <= 0)
      break;
    got.insert(got.end(), buf, buf + k);
  }
  return got;
}

}  // namespace e2e
