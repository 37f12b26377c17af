#include "platform/pulse/proc_exe_names.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse/proc_processes.h"
#include "platform/pulse/pulse_audio_platform.h"

namespace kolvex::pulse {
namespace {

namespace fs = std::filesystem;

// Copies of real programs, under chosen names.
struct Folder {
  Folder() {
    char name[] = "/tmp/proc_exe_names_XXXXXX";
    path = mkdtemp(name);
  }
  ~Folder() { fs::remove_all(path); }
  fs::path copy(const char* program, const char* name) const {
    fs::copy_file(program, path / name);
    return path / name;
  }
  fs::path path;
};

// A real process, killed and reaped when it goes.
class Child {
 public:
  explicit Child(const fs::path& program, std::vector<std::string> args = {"1000"},
                 int input = -1) {
    args.insert(args.begin(), program.filename());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, 0);
    EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { stop(); }
  std::uint32_t pid() const { return static_cast<std::uint32_t>(pid_); }
  void stop() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
};

std::size_t open_fds() {
  const fs::directory_iterator fds("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

TEST(ProcExeNames, AProcessKeepsItsNameWhileItRunsTheSameFile) {
  const struct {
    const char* change;
    std::function<void(const Folder&)> make;
    const char* fresh;  // what a cache that did not know the process finds afterwards
  } cases[] = {
      {"renamed", [](const Folder& f) { fs::rename(f.path / "zoom", f.path / "zoom.old"); },
       "zoom.old"},
      {"replaced", [](const Folder& f) { fs::rename(f.copy("/bin/true", "new"), f.path / "zoom"); },
       "zoom"},
      {"removed, and a file has the marked name",
       [](const Folder& f) {
         fs::remove(f.path / "zoom");
         std::ofstream(f.path / "zoom (deleted)").put('x');
       },
       "zoom (deleted)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    Folder folder;
    Child child(folder.copy("/bin/sleep", "zoom"));
    ProcExeNames names;
    EXPECT_EQ(names.name(child.pid()), "zoom");
    c.make(folder);
    EXPECT_EQ(names.name(child.pid()), "zoom");
    EXPECT_EQ(names.look_again(child.pid()), "zoom");
    EXPECT_EQ(ProcExeNames().name(child.pid()), c.fresh);
  }
}

TEST(ProcExeNames, AnExecOfAnotherProgramGivesANewNameWhenLookedAtAgain) {
  Folder folder;
  const fs::path second = folder.copy("/bin/sleep", "second");
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  Child child(folder.copy("/bin/sh", "first"), {"-c", "read x; exec \"$0\" 1000", second},
              pipe_fds[0]);
  close(pipe_fds[0]);
  ProcExeNames names;
  EXPECT_EQ(names.name(child.pid()), "first");

  close(pipe_fds[1]);
  const fs::path exe = "/proc/" + std::to_string(child.pid()) + "/exe";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (fs::read_symlink(exe) != second && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  names.begin_poll();
  EXPECT_EQ(names.name(child.pid()), "first");  // a poll reads nothing it knows
  EXPECT_EQ(names.look_again(child.pid()), "second");
  EXPECT_EQ(names.name(child.pid()), "second");
}

// The pid is handed out again for real, which takes the privilege to set the next pid.
TEST(ProcExeNames, APidTakenByAnotherProcessIsLookedAtAfresh) {
  Folder folder;
  const fs::path zoom = folder.copy("/bin/sleep", "zoom"),
                 slack = folder.copy("/bin/sleep", "slack");
  ProcExeNames names;
  std::optional<Child> next;
  for (int attempt = 0; attempt < 50 && !next; ++attempt) {
    Child first(zoom);
    const std::uint32_t pid = first.pid();
    ASSERT_EQ(names.name(pid), "zoom");
    first.stop();
    std::ofstream last_pid("/proc/sys/kernel/ns_last_pid");
    if (!(last_pid << pid - 1 << std::flush)) break;
    next.emplace(slack);
    if (next->pid() != pid) next.reset();  // another process was quicker
  }
  if (!next) GTEST_SKIP() << "the pid could not be handed out again";
  const std::uint32_t pid = next->pid();
  names.begin_poll();
  EXPECT_EQ(names.name(pid), "slack");
  next->stop();
  names.begin_poll();
  EXPECT_EQ(names.name(pid), std::nullopt);
}

TEST(ProcExeNames, HoldsBoundedLinksAndClosesThoseAPollDidNotUse) {
  Folder folder;
  const fs::path zoom = folder.copy("/bin/sleep", "zoom");
  std::deque<Child> children;
  for (std::size_t i = 0; i <= ProcExeNames::MAX_HELD; ++i) children.emplace_back(zoom);
  const auto platform = make_pulse_audio_platform();
  const std::size_t fds = open_fds();
  platform->begin_poll();
  for (const auto& child : children) EXPECT_EQ(platform->executable_name(child.pid()), "zoom");
  EXPECT_EQ(open_fds(), fds + ProcExeNames::MAX_HELD);

  platform->begin_poll();
  EXPECT_EQ(platform->executable_name(children.front().pid()), "zoom");
  EXPECT_EQ(platform->executable_name(children.back().pid()), "zoom");
  EXPECT_EQ(open_fds(), fds + ProcExeNames::MAX_HELD);
  platform->begin_poll();
  EXPECT_EQ(open_fds(), fds + 1);
}

TEST(ProcProcesses, ReadTheInnermostPidAndTheFlatpakInstance) {
  const struct {
    const char* status;
    std::optional<std::uint32_t> pid;
  } statuses[] = {
      {"Name:\tzoom\nNSpid:\t48213\t2\nNSpgid:\t48213\t2\n", 2u},
      {"NSpid:\t4120\n", 4120u},
      {"NSpid:\t1\t7\t300\n", 300u},
      {"Name:\tzoom\nPid:\t4120\n", {}},  // a kernel before 4.1
      {"", {}},
  };
  for (const auto& c : statuses) EXPECT_EQ(innermost_pid(c.status), c.pid) << c.status;

  const struct {
    const char* info;
    const char* instance;
  } infos[] = {
      {"[Application]\nname=us.zoom.Zoom\n\n[Instance]\ninstance-id=3721944918\n", "3721944918"},
      {"[Instance]\r\ninstance-path = /x\r\ninstance-id = 42 \r\n", "42"},
      {"[Application]\ninstance-id=1\n[Instance]\nbranch=stable\n", ""},
      {"", ""},
  };
  for (const auto& c : infos) EXPECT_EQ(flatpak_instance(c.info), c.instance) << c.info;
}

TEST(ExeNameFromLink, IsTheLastComponentOfALinuxPath) {
  const struct {
    const char* target;
    bool exists;
    std::optional<std::string> name;
  } cases[] = {
      {"/usr/bin/pacat", true, "pacat"},
      {"/tmp/t/Zoom.exe", true, "Zoom.exe"},
      {"/opt/МТС ЛИНК.EXE", true, "МТС ЛИНК.EXE"},
      // A backslash is an ordinary character in a Linux file name.
      {"/tmp/C:\\Apps\\zoom.exe", true, "C:\\Apps\\zoom.exe"},
      // Replaced or removed while running: still the program it was started as.
      {"/tmp/t/Zoom.exe (deleted)", false, "Zoom.exe"},
      // ...unless a file really has that name.
      {"/tmp/t/Zoom.exe (deleted)", true, "Zoom.exe (deleted)"},
      {"/", true, {}},
      {"pacat", true, {}},
      // A name that is not UTF-8 is not identified, as Windows leaves out one that does not
      // decode; only the name counts.
      {"/tmp/t/Zoom\xFF.exe", true, {}},
      {"/tmp/t/\x80zoom", true, {}},
      {"/tmp/t/zoom\xC0\xAF", true, {}},
      {"/tmp/t/zoom\xED\xA0\x80", true, {}},
      {"/tmp/\xFF/zoom", true, "zoom"},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exe_name_from_link(c.target, c.exists), c.name) << c.target;
  }
}

}  // namespace
}  // namespace kolvex::pulse
