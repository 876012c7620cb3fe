// tests/support/run_program.h: runs one of the built programs as its user would, feeding its
// standard input and collecting both output streams, in the test's environment (its HOME).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace nodrel::testing {

struct ProgramRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `args`; `input` is written to its standard input, which is then closed.
ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::string& input);

// The lines of a stream's text, without their line feeds (a last line without one counts).
std::vector<std::string> splitLines(const std::string& text);

}  // namespace nodrel::testing
