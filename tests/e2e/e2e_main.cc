// SPDX-License-Identifier: MIT
// main() of every end-to-end test binary. Outside a sandbox it runs the
// selected "...OnHost" suites itself, then the rest of the selection in
// `mevrakt-sandbox -- <this binary> <its arguments>`; inside, it just runs
// the tests it was given.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <limits.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/e2e.h"

namespace {

bool on_host(const std::string &suite)
{
  const std::string tail = "OnHost";
  return suite.size() >= tail.size() && suite.compare(suite.size() - tail.size(), tail.size(), tail) == 0;
}

// GoogleTest's own filter syntax: "POSITIVE[-NEGATIVE]", each a list of
// ':'-separated patterns with '*' and '?'.
bool glob(const char *pattern, const char *name)
{
  if (*pattern == '\0')
    return *name == '\0';
  if (*pattern == '*')
    return glob(pattern + 1, name) || (*name && glob(pattern, name + 1));
  return *name && (*pattern == '?' || *pattern == *name) && glob(pattern + 1, name + 1);
}

bool any_glob(const std::string &patterns, const std::string &name)
{
  size_t start = 0;
  for (;;) {
    size_t end = patterns.find(':', start);
    if (glob(patterns.substr(start, end - start).c_str(), name.c_str()))
      return true;
    if (end == std::string::npos)
      return false;
    start = end + 1;
  }
}

bool selected(const std::string &filter, const std::string &name)
{
  size_t dash = filter.find('-');
  std::string positive = filter.substr(0, dash);
  if (positive.empty())
    positive = "*";
  return any_glob(positive, name) && (dash == std::string::npos || !any_glob(filter.substr(dash + 1), name));
}

int run_in_sandbox(const std::vector<std::string> &args, const std::string &filter, bool spawn)
{
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) {
    perror("e2e: cannot find this test binary");
    return 1;
  }
  self[n] = '\0';
  std::string sandbox = e2e::sandbox_binary();
  std::vector<std::string> argv = {sandbox, "--", self};
  argv.insert(argv.end(), args.begin() + 1, args.end());
  argv.push_back("--gtest_filter=" + filter);  // the last one given wins
  std::vector<char *> c_argv;
  for (std::string &a : argv)
    c_argv.push_back(&a[0]);
  c_argv.push_back(nullptr);

  fflush(nullptr);
  pid_t pid = spawn ? fork() : 0;
  if (pid == 0) {
    // Dies with us: a runner that kills this binary on time-out ends the sandbox too.
    if (spawn)
      prctl(PR_SET_PDEATHSIG, SIGKILL);
    execv(sandbox.c_str(), c_argv.data());
    fprintf(stderr, "e2e: cannot run %s: %s\n", sandbox.c_str(), strerror(errno));
    _exit(125);
  }
  int status;
  if (pid < 0 || waitpid(pid, &status, 0) != pid)
    return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char **argv)
{
  std::vector<std::string> args(argv, argv + argc);
  testing::InitGoogleTest(&argc, argv);
  if (e2e::in_sandbox() || GTEST_FLAG_GET(list_tests))
    return RUN_ALL_TESTS();

  std::string filter = GTEST_FLAG_GET(filter);
  std::string host_tests;
  bool sandbox_tests = false;
  testing::UnitTest *unit = testing::UnitTest::GetInstance();
  for (int i = 0; i < unit->total_test_suite_count(); i++) {
    const testing::TestSuite *suite = unit->GetTestSuite(i);
    for (int j = 0; j < suite->total_test_count(); j++) {
      std::string name = std::string(suite->name()) + "." + suite->GetTestInfo(j)->name();
      if (!selected(filter, name))
        continue;
      if (on_host(suite->name()))
        host_tests += (host_tests.empty() ? "" : ":") + name;
      else
        sandbox_tests = true;
    }
  }

  // Sandbox tests keep the caller's selection, less the host suites.
  std::string sandbox_filter = filter + (filter.find('-') == std::string::npos ? "-" : ":") + "*OnHost.*";
  if (host_tests.empty())
    return sandbox_tests ? run_in_sandbox(args, sandbox_filter, false) : RUN_ALL_TESTS();
  GTEST_FLAG_SET(filter, host_tests);
  int failed = RUN_ALL_TESTS();
  if (sandbox_tests)
    failed |= run_in_sandbox(args, sandbox_filter, true);
  return failed;
}
