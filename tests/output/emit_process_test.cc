// The event stream as a consumer sees it: a real child process writing into real pipes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef EMIT_PROBE_PATH
#error "EMIT_PROBE_PATH must name the probe executable"
#endif

namespace {

enum class Stdout { read_all, close_at_once, absent };

struct ChildResult {
  int exit_status = -1;
  std::string out;
  std::string err;
};

std::string read_all(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  return text;
}

ChildResult run_probe(Stdout mode, std::vector<std::string> args) {
  int out[2], err[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (mode == Stdout::absent) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  args.insert(args.begin(), EMIT_PROBE_PATH);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  ChildResult result;
  if (mode == Stdout::close_at_once) {
    close(out[0]);
  } else {
    result.out = read_all(out[0]);
    close(out[0]);
  }
  result.err = read_all(err[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

TEST(EmitProcessTest, EveryLineIsOneCompleteEventEndingInOneLineFeed) {
  const ChildResult r = run_probe(Stdout::read_all, {"300", "2000"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  std::size_t lines = 0, start = 0;
  for (std::size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string line = r.out.substr(start, nl - start);
    ASSERT_EQ(line.front(), '{');
    ASSERT_EQ(line.back(), '}');
    ASSERT_NE(line.find("\"n\":" + std::to_string(lines) + ","), std::string::npos);
    ++lines;
  }
  EXPECT_EQ(start, r.out.size());
  EXPECT_EQ(lines, 300u);
}

TEST(EmitProcessTest, AReaderThatHasGoneAwayEndsTheProcessWithAFaultReport) {
  const ChildResult r = run_probe(Stdout::close_at_once, {"50", "10", "5"});
  EXPECT_EQ(r.exit_status, 101);
  EXPECT_NE(r.err.find("'main'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nfailed printing to stdout: Broken pipe (os error 32)\n"),
            std::string::npos)
      << r.err;
}

TEST(EmitProcessTest, AProcessWithoutStandardOutputRunsOnSilently) {
  const ChildResult r = run_probe(Stdout::absent, {"20", "10"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
