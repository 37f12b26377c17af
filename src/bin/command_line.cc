#include "bin/command_line.h"

#include <cstdlib>
#include <optional>

#include "output/diagnostics.h"
#include "output/std_stream.h"

namespace kolvex {

StartRequest read_command_line(std::span<const char* const> arguments) {
  for (const char* argument : arguments) {
    const std::string_view text = argument != nullptr ? argument : "";
    if (text == "--help" || text == "-h") return StartRequest::help;
    if (text == "--version") return StartRequest::version;
  }
  return StartRequest::run;
}

std::string help_text(const ProgramInfo& program) {
  std::string text = "Usage: ";
  text += program.name;
  text +=
      " [--help | --version]\n"
      "\n"
      "Watches which processes use a microphone and writes what changes as JSON, one\n"
      "object per line, on standard output until it is terminated. Standard error\n"
      "carries messages for people, not for parsing.\n"
      "\n"
      "  -h, --help   print this help and exit\n"
      "  --version    print the name and version and exit\n"
      "\n"
      "Any other argument is ignored. Exit status 1: start-up failed. Exit status 101:\n"
      "the program could not go on, for example because the reader of its standard\n"
      "output went away; start it again after a pause.\n"
      "\n"
      "The events are described in docs/events.md,\n";
  text += program.docs_location;
  text += ".\n";
  return text;
}

std::string version_text(const ProgramInfo& program) {
  std::string text(program.name);
  text += ' ';
  text += KOLVEX_VERSION;
  text += '\n';
  return text;
}

void answer_command_line(int argc, const char* const* argv, const ProgramInfo& program) {
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  const StartRequest request = read_command_line(arguments.subspan(arguments.empty() ? 0 : 1));
  if (request == StartRequest::run) return;
  const std::string text =
      request == StartRequest::help ? help_text(program) : version_text(program);
  if (std::optional<OsError> error = write_std_stream(StdStream::out, text)) {
    exit_with_fault(write_failure_text(StdStream::out, *error));
  }
  std::exit(0);
}

}  // namespace kolvex
