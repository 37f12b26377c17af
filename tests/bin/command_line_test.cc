// What a start asks for: two questions, and everything else ignored so that callers that pass
// arguments of their own keep getting a detector.
#include "bin/command_line.h"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

namespace kolvex {
namespace {

TEST(CommandLineTest, TheFirstQuestionDecidesAndAnythingElseRuns) {
  struct Case {
    std::vector<const char*> arguments;
    StartRequest expected;
  };
  const Case cases[] = {
      {{}, StartRequest::run},
      {{"--help"}, StartRequest::help},
      {{"-h"}, StartRequest::help},
      {{"--version"}, StartRequest::version},
      {{"--verbose", "-v", "-V", "--HELP", "help", "--help=1", "-hv", "--version "},
       StartRequest::run},
      {{"", nullptr, "x", "--version"}, StartRequest::version},
      {{"--version", "--help"}, StartRequest::version},
      {{"-h", "--version"}, StartRequest::help},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_command_line(c.arguments), c.expected) << testing::PrintToString(c.arguments);
  }
}

TEST(CommandLineTest, HelpNamesTheProgramAndTheEventReference) {
  const std::string help = help_text({.name = "prog", .docs_location = "which is beside it"});
  EXPECT_TRUE(help.starts_with("Usage: prog [--help | --version]\n")) << help;
  EXPECT_NE(help.find("docs/events.md,\nwhich is beside it.\n"), std::string::npos) << help;
  EXPECT_EQ(help.find('\r'), std::string::npos);
  EXPECT_TRUE(std::regex_match(version_text({.name = "prog", .docs_location = ""}),
                               std::regex("prog [0-9]+\\.[0-9]+\\.[0-9]+\n")));
}

}  // namespace
}  // namespace kolvex
