#include "platform/pulse/session_processes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace kolvex::pulse {

void PrintTo(const SessionProcess& p, std::ostream* os) {
  *os << (p.pid ? std::to_string(*p.pid) : "null") << " '" << p.name << "'";
}

namespace {

struct Process {
  std::uint32_t pid;        // as this program sees it
  std::uint32_t inner_pid;  // in its own innermost pid namespace
  std::string name;         // empty: its executable cannot be read (a kernel thread)
  std::string instance;     // its Flatpak instance
};

class Processes final : public ProcessTable {
 public:
  explicit Processes(std::vector<Process> processes) : processes_(std::move(processes)) {}

  std::optional<std::string> name(std::uint32_t pid) override {
    const Process* process = find(pid);
    if (!process || process->name.empty()) return std::nullopt;
    return process->name;
  }
  bool exists(std::uint32_t pid) override { return find(pid) != nullptr; }
  std::vector<std::uint32_t> namesakes(std::uint32_t inner_pid, std::string_view name) override {
    ++searches;
    std::vector<std::uint32_t> found;
    for (const Process& p : processes_) {
      if (p.inner_pid == inner_pid && p.name == name) found.push_back(p.pid);
    }
    return found;
  }
  std::string sandbox_instance(std::uint32_t pid) override {
    const Process* process = find(pid);
    return process ? process->instance : "";
  }

  int searches = 0;

 private:
  const Process* find(std::uint32_t pid) const {
    const auto it = std::ranges::find(processes_, pid, &Process::pid);
    return it == processes_.end() ? nullptr : &*it;
  }
  std::vector<Process> processes_;
};

// The host's view: kthreadd is pid 2 here, as in every namespace's first child; two Flatpak
// apps of one program run as pid 2 of their own namespaces.
const std::vector<Process> HOST = {
    {2, 2, "", ""},
    {4120, 4120, "zoom", ""},
    {48213, 2, "zoom", "1111"},
    {48300, 2, "zoom", "2222"},
    {48400, 2, "discord", "3333"},
};
// The view from inside a sandbox: its own few processes.
const std::vector<Process> SANDBOX = {{1, 1, "bwrap", ""}, {2, 2, "telegram-desktop", ""}};

TEST(FindSessionProcess, TakesAClaimOnlyWhereItChecksOut) {
  using P = SessionProcess;
  const struct {
    const char* what;
    const std::vector<Process>& view;
    std::optional<std::uint32_t> verified;
    ProcessClaim claim;
    SessionProcess found;
  } cases[] = {
      {"the verified pid, whatever is claimed", HOST, 4120u, {1u, "slack", ""}, P{4120u, ""}},
      {"the verified pid of a client that claims nothing", HOST, 48300u, {}, P{48300u, ""}},
      {"a verified pid from outside this sandbox",
       SANDBOX,
       4120u,
       {4120u, "zoom", ""},
       P{{}, "zoom"}},
      {"a claim that checks out", HOST, {}, {4120u, "zoom", ""}, P{4120u, ""}},
      {"a program replaced while it ran", HOST, {}, {4120u, "zoom (deleted)", ""}, P{4120u, ""}},
      {"no program claimed: nothing to check", HOST, {}, {4120u, "", ""}, P{4120u, ""}},
      {"no program claimed, no such process", HOST, {}, {42u, "", ""}, P{42u, ""}},
      {"a sandbox's pid, found in its namespace", HOST, {}, {2u, "discord", ""}, P{48400u, ""}},
      {"two sandboxes told apart by instance", HOST, {}, {2u, "zoom", "2222"}, P{48300u, ""}},
      {"two sandboxes, no instance said", HOST, {}, {2u, "zoom", ""}, P{{}, "zoom"}},
      {"two sandboxes, neither the instance", HOST, {}, {2u, "zoom", "9"}, P{{}, "zoom"}},
      {"a visible pid running another program", HOST, {}, {4120u, "slack", ""}, P{{}, "slack"}},
      {"a host client seen from a sandbox", SANDBOX, {}, {4120u, "zoom", ""}, P{{}, "zoom"}},
      {"a host client naming a sandbox's pid", SANDBOX, {}, {2u, "zoom", ""}, P{{}, "zoom"}},
      {"a process here that cannot be named", HOST, {}, {2u, "slack", ""}, P{}},
      {"no pid, or another host's", HOST, {}, {{}, "zoom", ""}, P{}},
      {"a name that is not UTF-8", SANDBOX, {}, {4120u, "zo\xFFom", ""}, P{}},
  };
  for (const auto& c : cases) {
    Processes processes(c.view);
    EXPECT_EQ(find_session_process(c.verified, c.claim, processes), c.found) << c.what;
  }
}

TEST(SessionProcesses, ChecksAClientOnceWhileItIsListed) {
  Processes processes(HOST);
  SessionProcesses sessions(processes);
  ServerView view;
  view.clients = {{7, {}, {2u, "discord", ""}}, {8, {}, {4120u, "zoom", ""}}};
  const auto of_client = [](std::uint32_t index, std::uint32_t client) {
    SessionValues session;
    session.index = index;
    session.client = client;
    return session;
  };
  view.source_outputs = {of_client(1, 7), of_client(2, 7), of_client(3, 8)};
  view.sink_inputs = {of_client(1, 7)};
  const auto pids = [&view] {
    std::vector<std::optional<std::uint32_t>> found;
    for (const auto* list : {&view.sink_inputs, &view.source_outputs}) {
      for (const SessionValues& s : *list) found.push_back(s.process.pid);
    }
    return found;
  };
  const std::vector<std::optional<std::uint32_t>> expected{48400u, 48400u, 48400u, 4120u};

  sessions.find(view);
  EXPECT_EQ(pids(), expected);
  sessions.find(view);
  EXPECT_EQ(pids(), expected);
  EXPECT_EQ(processes.searches, 1);

  // Gone from the listing, the client is forgotten; a new connection forgets them all.
  const ServerView listed = view;
  view.clients.erase(view.clients.begin());
  sessions.find(view);
  view = listed;
  sessions.find(view);
  EXPECT_EQ(processes.searches, 2);
  sessions.forget_all();
  sessions.find(view);
  EXPECT_EQ(processes.searches, 3);
  EXPECT_EQ(pids(), expected);
}

}  // namespace
}  // namespace kolvex::pulse
