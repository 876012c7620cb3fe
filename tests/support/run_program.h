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

// The built command line, run as a hook or its user runs it: `nodrel args...` fed `input`.
ProgramRun runNodrel(const std::vector<std::string>& args, const std::string& input = "");
// The built companion stand-in, `nodrel-app args...`, with nothing on its standard input.
ProgramRun runApp(const std::vector<std::string>& args);

// A program left running while the test does other work, as the server runs beside the hook
// commands: the test writes lines to its standard input, and its output goes to two files in
// `outputDirectory` (so a full pipe never stops it). finish() closes its input and waits.
class RunningProgram {
 public:
  RunningProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::filesystem::path& outputDirectory);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  // Writes the line and a line feed; false once the program no longer reads.
  bool send(const std::string& line);
  // Closes standard input, waits for the exit and returns what it wrote.
  ProgramRun finish();
  // Closes standard input only: the program reads to its end and goes on.
  void closeInput();
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int input_ = -1;
  std::filesystem::path outPath_;
  std::filesystem::path errPath_;
};

// The lines of a stream's text, without their line feeds (a last line without one counts).
std::vector<std::string> splitLines(const std::string& text);

}  // namespace nodrel::testing
