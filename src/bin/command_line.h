#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kolvex {

// Callers start the detector without arguments and must keep working whatever they pass, so
// only the two questions below are answered and every other argument is ignored.
enum class StartRequest { run, help, version };

// The first argument that asks a question decides; `arguments` excludes the program name.
StartRequest read_command_line(std::span<const char* const> arguments);

struct ProgramInfo {
  std::string_view name;
  // Where docs/events.md is found next to an installed program, as the end of a sentence that
  // begins "The events are described in docs/events.md,".
  std::string_view docs_location;
};

std::string help_text(const ProgramInfo& program);
// "<name> <version>\n", the version being the build's project version.
std::string version_text(const ProgramInfo& program);

// Answers --help or --version on standard output and exits with status 0; returns when the
// detector is to run. A standard output that cannot be written is a fault (exit status 101).
void answer_command_line(int argc, const char* const* argv, const ProgramInfo& program);

}  // namespace kolvex
