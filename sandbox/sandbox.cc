// SPDX-License-Identifier: MIT
// mevrakt-sandbox: runs one command where the fixed paths of our programs
// (/opt/mevraKT, /run, /var/run, /dev/log and the TCP ports of the settings)
// belong to that command alone, so tests, the demo and benchmarks can run the
// real programs without touching the host or each other.
//
//   mevrakt-sandbox [--log FILE] [--settings FILE] [--keep-net] [--root DIR] -- COMMAND [ARGS...]
//
// Three processes take part. The caller's process stays outside: it forwards
// SIGTERM and SIGINT and ends with the sandbox's status. Its child is PID 1 of
// a new PID namespace: it builds the private view of the filesystem, serves
// /dev/log, starts the command and exits with the command's status as soon as
// the command ends; the kernel then kills whatever the command left behind.
// Setup failures exit with 125, naming the step that failed.
//
// --settings FILE is read at once and copied to /opt/mevraKT/etc/settings.
// --log FILE is where /dev/log's messages go, one line each; it is opened
// inside, so the default /run/mevrakt-sandbox.log is private and ends with
// the sandbox, while a path under /tmp (shared with the host) outlives it.
// --keep-net stays in the caller's network, for tools that talk in from it.
// --root DIR makes DIR the command's whole file system, read-only, with the
// sandbox's own /dev, /proc, /run (and /var/run), /opt and an empty /tmp in
// place of DIR's entries of those names: nothing of the host's but what DIR
// holds and the shared pseudo-terminals. A static program's proof that it
// needs nothing from the system; COMMAND is a path inside DIR.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int SETUP_FAILED = 125;
constexpr char USAGE[] =
    "usage: mevrakt-sandbox [--log FILE] [--settings FILE] [--keep-net] [--root DIR] -- COMMAND [ARGS...]\n";

struct options {
  std::string log = "/run/mevrakt-sandbox.log";
  bool have_settings = false;
  std::string settings;  // the file's content, read before the host view is hidden
  bool keep_net = false;
  std::string root;  // empty: the host's file system
  char **command = nullptr;
};

volatile pid_t init_pid = -1;

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char *format, ...)
{
  int err = errno;
  char what[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(what, sizeof what, format, ap);
  va_end(ap);
  fprintf(stderr, "mevrakt-sandbox: cannot %s: %s\n", what, strerror(err));
  _exit(SETUP_FAILED);
}

int exit_code(int status)
{
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return SETUP_FAILED;
}

bool read_all(const char *path, std::string &out)
{
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      out.append(buf, static_cast<size_t>(n));
  int err = errno;
  close(fd);
  errno = err;
  return n == 0;
}

bool write_all(const char *path, const std::string &text, int flags, mode_t mode)
{
  int fd = open(path, O_WRONLY | O_CLOEXEC | flags, mode);
  if (fd < 0)
    return false;
  ssize_t n = write(fd, text.data(), text.size());
  int err = errno;
  close(fd);
  errno = err;
  return n == static_cast<ssize_t>(text.size());
}

options parse(int argc, char **argv)
{
  options o;
  int i = 1;
  for (; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--") {
      i++;
      break;
    }
    if (a == "--keep-net") {
      o.keep_net = true;
    } else if (a == "--root" && i + 1 < argc) {
      o.root = argv[++i];
    } else if (a == "--log" && i + 1 < argc) {
      o.log = argv[++i];
    } else if (a == "--settings" && i + 1 < argc) {
      o.have_settings = true;
      if (!read_all(argv[++i], o.settings))
        fail("read settings file %s", argv[i]);
    } else if (a[0] != '-') {
      break;
    } else {
      fprintf(stderr, "mevrakt-sandbox: unknown option %s\n%s", argv[i], USAGE);
      _exit(SETUP_FAILED);
    }
  }
  if (i >= argc) {
    fprintf(stderr, "mevrakt-sandbox: no command given\n%s", USAGE);
    _exit(SETUP_FAILED);
  }
  o.command = argv + i;
  // The command learns the log's path from its environment and may change
  // directory, so the path must not depend on where it was given.
  if (o.log[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
      fail("resolve log path %s", o.log.c_str());
    o.log = std::string(cwd) + "/" + o.log;
  }
  if (!o.root.empty()) {
    char *real = realpath(o.root.c_str(), nullptr);
    struct stat st;
    if (!real || stat(real, &st) != 0 || !S_ISDIR(st.st_mode))
      fail("use %s as the root", o.root.c_str());
    o.root = real;
    free(real);
  }
  return o;
}

// Without root, a user namespace in which the caller is root gives the
// rights to create the other namespaces and to mount inside them.
void enter_user_namespace()
{
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER) != 0)
    fail("create a user namespace (are unprivileged user namespaces allowed here?)");
  // The kernel accepts a gid_map from an unprivileged writer only once
  // setgroups is denied; kernels older than 3.19 lack the file.
  if (!write_all("/proc/self/setgroups", "deny", O_TRUNC, 0) && errno != ENOENT)
    fail("write /proc/self/setgroups");
  if (!write_all("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1", O_TRUNC, 0))
    fail("write /proc/self/uid_map");
  if (!write_all("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1", O_TRUNC, 0))
    fail("write /proc/self/gid_map");
}

void mount_tmpfs(const char *path, const char *data)
{
  if (mount("tmpfs", path, "tmpfs", MS_NOSUID | MS_NODEV, data) != 0)
    fail("mount tmpfs on %s", path);
}

// Puts at `target` what stands at `source` (`st`, as lstat found it): a copy
// of a symlink, or an empty directory or file (of `file_mode`) to mount the
// source over. Returns whether that mount is still to be made.
bool mirror_entry(const std::string &source, const std::string &target, const struct stat &st, mode_t file_mode)
{
  if (S_ISLNK(st.st_mode)) {
    char link[4096];
    ssize_t n = readlink(source.c_str(), link, sizeof link - 1);
    if (n < 0)
      fail("read link %s", source.c_str());
    link[n] = '\0';
    if (symlink(link, target.c_str()) != 0)
      fail("create link %s", target.c_str());
    return false;
  }
  if (S_ISDIR(st.st_mode) ? mkdir(target.c_str(), 0755) != 0 : !write_all(target.c_str(), "", O_CREAT, file_mode))
    fail("create mount point %s", target.c_str());
  return true;
}

// Gives the new /dev the host's entry `name`: device nodes are bind-mounted
// (a node created on a tmpfs of a user namespace cannot be opened), symlinks
// are copied, and what the host lacks stays missing.
void share_dev_entry(const char *name)
{
  std::string source = std::string("/dev/.host/") + name;
  std::string target = std::string("/dev/") + name;
  struct stat st;
  if (lstat(source.c_str(), &st) != 0)
    return;
  if (!mirror_entry(source, target, st, 0666))
    return;
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    fail("bind the host's /dev/%s", name);
}

// Keeps a bind mount's locked flags when it is remounted: a user namespace
// may add restrictions to a mount it did not make, never drop one.
unsigned long mount_flags(const char *path)
{
  struct statvfs sv;
  if (statvfs(path, &sv) != 0)
    return 0;
  constexpr unsigned long pairs[][2] = {{ST_NOSUID, MS_NOSUID},         {ST_NODEV, MS_NODEV},
                                        {ST_NOEXEC, MS_NOEXEC},         {ST_NOATIME, MS_NOATIME},
                                        {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
  unsigned long flags = 0;
  for (auto &p : pairs)
    if (sv.f_flag & p[0])
      flags |= p[1];
  return flags;
}

// A fresh /dev holds only what our programs and tests use, plus a /dev/log
// of our own: the host's /dev may lack /dev/log and is not ours to change.
// The host's /dev stays reachable, read-only, at /dev/.host.
//
// Pseudo-terminals: /dev/pts is the host's devpts, so a pty opened inside or
// outside has the same path on both sides. Opening a ptmx node finds its
// devpts by looking up "pts" beside the node within the node's own mount, so
// a bind-mounted ptmx finds none; /dev/ptmx is therefore a link to
// .host/ptmx (ptys opened through it may show up under /dev/.host/pts, e.g.
// in ttyname, while ptsname names /dev/pts).
void build_dev()
{
  // The host's /dev goes aside before the tmpfs covers it: a recursive bind
  // made afterwards would carry the tmpfs along. Recursive, as a user
  // namespace may not bind a mount without the mounts on top of it.
  const char *staging = "/run/.host-dev";
  if (mkdir(staging, 0755) != 0 || mount("/dev", staging, nullptr, MS_BIND | MS_REC, nullptr) != 0)
    fail("bind the host's /dev on %s", staging);
  mount_tmpfs("/dev", "mode=0755");
  if (mkdir("/dev/.host", 0755) != 0 || mount(staging, "/dev/.host", nullptr, MS_MOVE, nullptr) != 0)
    fail("move the host's /dev to /dev/.host");
  rmdir(staging);

  for (const char *name : {"null", "zero", "full", "random", "urandom", "tty", "pts"})
    share_dev_entry(name);
  unsigned long locked = mount_flags("/dev/.host");
  if (mount(nullptr, "/dev/.host", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | locked, nullptr) != 0)
    fail("make /dev/.host read-only");
  if (symlink(access("/dev/.host/ptmx", F_OK) == 0 ? ".host/ptmx" : "pts/ptmx", "/dev/ptmx") != 0)
    fail("create link /dev/ptmx");

  if (mkdir("/dev/shm", 01777) != 0)
    fail("create /dev/shm");
  mount_tmpfs("/dev/shm", "mode=1777");
  const char *links[][2] = {{"/proc/self/fd", "/dev/fd"},
                            {"/proc/self/fd/0", "/dev/stdin"},
                            {"/proc/self/fd/1", "/dev/stdout"},
                            {"/proc/self/fd/2", "/dev/stderr"}};
  for (auto &l : links)
    if (symlink(l[0], l[1]) != 0)
      fail("create link %s", l[1]);
}

void build_filesystem(const options &o)
{
  // A mount namespace starts as a copy whose mounts are still peers of the
  // host's where / is shared (as systemd sets it up): every mount below
  // would then appear on the host too. Private first, then mount.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    fail("make mounts private");
  mount_tmpfs("/run", "mode=0755");
  struct stat st;
  if (lstat("/var/run", &st) == 0 && S_ISDIR(st.st_mode))
    mount_tmpfs("/var/run", "mode=0755");
  mount_tmpfs("/opt", "mode=0755");
  if (mkdir("/opt/mevraKT", 0755) != 0 || mkdir("/opt/mevraKT/etc", 0755) != 0)
    fail("create /opt/mevraKT/etc");
  if (o.have_settings && !write_all("/opt/mevraKT/etc/settings", o.settings, O_CREAT | O_TRUNC, 0644))
    fail("write /opt/mevraKT/etc/settings");
  build_dev();
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    fail("mount a fresh /proc");
}

// Makes a read-only bind of `source` at `target`, which must exist.
void bind_read_only(const char *source, const char *target)
{
  if (mount(source, target, nullptr, MS_BIND | MS_REC, nullptr) != 0)
    fail("bind %s on %s", source, target);
  unsigned long locked = mount_flags(target);
  if (mount(nullptr, target, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | locked, nullptr) != 0)
    fail("make %s read-only", target);
}

// Builds the new root on a tmpfs at /run/.root: DIR's entries bound
// read-only, and the sandbox's own /dev, /proc and /opt moved in. Then
// makes it the root and lets go of the host's, so that not even a path
// through "/.." leads out.
void enter_root(const std::string &dir)
{
  const std::string top = "/run/.root";
  if (mkdir(top.c_str(), 0755) != 0)
    fail("create %s", top.c_str());
  mount_tmpfs(top.c_str(), "mode=0755");

  constexpr const char *own[] = {"dev", "proc", "run", "opt", "tmp", "var"};
  DIR *d = opendir(dir.c_str());
  if (!d)
    fail("read %s", dir.c_str());
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    bool ours = name == "." || name == "..";
    for (const char *o : own)
      ours = ours || name == o;
    if (ours)
      continue;
    std::string source = dir + "/" + name;
    std::string target = top + "/" + name;
    struct stat st;
    if (lstat(source.c_str(), &st) != 0)
      fail("look at %s", source.c_str());
    if (mirror_entry(source, target, st, 0644))
      bind_read_only(source.c_str(), target.c_str());
  }
  closedir(d);

  for (const char *o : own)
    if (std::string(o) != "var" && mkdir((top + "/" + o).c_str(), 0755) != 0)
      fail("create %s/%s", top.c_str(), o);
  if (mkdir((top + "/var").c_str(), 0755) != 0 || symlink("../run", (top + "/var/run").c_str()) != 0)
    fail("create %s/var/run", top.c_str());
  for (const char *o : {"dev", "proc", "opt"})
    if (mount(("/" + std::string(o)).c_str(), (top + "/" + o).c_str(), nullptr, MS_MOVE, nullptr) != 0)
      fail("move /%s into the new root", o);
  mount_tmpfs((top + "/run").c_str(), "mode=0755");
  mount_tmpfs((top + "/tmp").c_str(), "mode=1777");

  // pivot_root with both arguments ".": the old root ends up on top of the
  // new one, and detaching it leaves the new one alone.
  if (chdir(top.c_str()) != 0 || syscall(SYS_pivot_root, ".", ".") != 0)
    fail("make %s the root", top.c_str());
  if (umount2(".", MNT_DETACH) != 0 || chdir("/") != 0)
    fail("let go of the host's root");
}

void loopback_up()
{
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct ifreq ifr {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) != 0)
    fail("read the flags of lo");
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
    fail("bring up lo");
  close(s);
}

int serve_dev_log()
{
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, "/dev/log");
  if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    fail("bind /dev/log");
  chmod("/dev/log", 0666);  // programs may drop root and still log
  return s;
}

// Appends every queued message as one line, with one write each, so a
// reader tailing the file never sees half a line.
void drain_log(int sock, int log_fd)
{
  static char buf[65536 + 1];
  for (;;) {
    ssize_t n = recv(sock, buf, sizeof buf - 1, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return;
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\0'))
      n--;
    for (ssize_t i = 0; i < n; i++)
      if (buf[i] == '\n' || buf[i] == '\0')
        buf[i] = ' ';
    buf[n] = '\n';
    if (write(log_fd, buf, static_cast<size_t>(n) + 1) < 0)
      perror("mevrakt-sandbox: log write");
  }
}

[[noreturn]] void run_init(const options &o, int parent_alive)
{
  // Ending with our parent keeps a killed caller (a test runner's time-out)
  // from leaving the whole sandbox running. The pipe closes the race where
  // the parent died before we asked.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  struct pollfd parent = {parent_alive, POLLIN, 0};
  if (poll(&parent, 1, 0) != 0)
    _exit(SETUP_FAILED);
  close(parent_alive);

  build_filesystem(o);
  if (!o.keep_net)
    loopback_up();
  // Opened before a new root hides the host's paths.
  int log_fd = open(o.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log_fd < 0)
    fail("open log file %s", o.log.c_str());
  if (!o.root.empty())
    enter_root(o.root);
  int sock = serve_dev_log();

  // PID 1 ignores every signal it has no handler for; blocked ones are still
  // queued, and signalfd hands them over in the loop below.
  sigset_t mask;
  sigemptyset(&mask);
  for (int sig : {SIGTERM, SIGINT, SIGCHLD})
    sigaddset(&mask, sig);
  int sigfd = signalfd(-1, &mask, SFD_CLOEXEC);
  if (sigfd < 0)
    fail("create a signalfd");

  pid_t command = fork();
  if (command < 0)
    fail("fork the command");
  if (command == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setenv("MEVRAKT_SANDBOX", "1", 1);
    setenv("MEVRAKT_SANDBOX_LOG", o.log.c_str(), 1);
    execvp(o.command[0], o.command);
    int err = errno;
    fprintf(stderr, "mevrakt-sandbox: cannot run %s: %s\n", o.command[0], strerror(err));
    _exit(err == ENOENT ? 127 : 126);
  }

  for (;;) {
    struct pollfd fds[2] = {{sock, POLLIN, 0}, {sigfd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR)
      fail("wait for the command");
    if (fds[0].revents)
      drain_log(sock, log_fd);
    if (!fds[1].revents)
      continue;
    struct signalfd_siginfo si;
    if (read(sigfd, &si, sizeof si) != sizeof si)
      continue;
    if (si.ssi_signo != SIGCHLD) {
      kill(command, static_cast<int>(si.ssi_signo));
      continue;
    }
    // SIGCHLDs merge, and orphans of the command are ours to reap too.
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      if (pid == command) {
        drain_log(sock, log_fd);
        _exit(exit_code(status));
      }
    }
  }
}

void forward(int sig)
{
  if (init_pid > 0)
    kill(init_pid, sig);
}

}  // namespace

int main(int argc, char **argv)
{
  options o = parse(argc, argv);
  bool own_user_namespace = geteuid() != 0;
  if (own_user_namespace)
    enter_user_namespace();
  int flags = CLONE_NEWNS | CLONE_NEWPID | (o.keep_net ? 0 : CLONE_NEWNET);
  if (unshare(flags) != 0) {
    // Root in a container may lack the right, yet still own a user namespace.
    if (errno != EPERM || own_user_namespace)
      fail("create mount, PID and network namespaces");
    enter_user_namespace();
    if (unshare(flags) != 0)
      fail("create mount, PID and network namespaces");
  }

  // Held until we end; PID 1 sees it close if we die before it is ready.
  int alive[2];
  if (pipe2(alive, O_CLOEXEC) != 0)
    fail("create a pipe");

  // Blocked across the fork so that none is lost before either side is ready.
  sigset_t mask, old;
  sigemptyset(&mask);
  for (int sig : {SIGTERM, SIGINT, SIGCHLD})
    sigaddset(&mask, sig);
  sigprocmask(SIG_BLOCK, &mask, &old);
  pid_t pid = fork();
  if (pid < 0)
    fail("fork PID 1 of the sandbox");
  if (pid == 0) {
    close(alive[1]);
    run_init(o, alive[0]);
  }
  close(alive[0]);
  init_pid = pid;
  struct sigaction sa {};
  sa.sa_handler = forward;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);

  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR)
      fail("wait for PID 1 of the sandbox");
  // Not a return: what runs at exit must start no task, and this process,
  // having left its PID namespace behind, can start none (a leak checker's
  // helper thread would be one).
  _exit(exit_code(status));
}
