// bench/nodrel_process.h: the real `nodrel` command line as a host's hooks run it, for the
// benchmarks that time it: a scratch HOME the children inherit, and one run to the exit.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/connection.h"
#include "db/schema.h"
#include "platform/paths.h"

namespace nodrel::bench {

// Makes a fresh HOME under the temporary directory, named `prefix` and this process's id, with
// an empty database of the real schema, and points this process (and so its children) at it.
inline std::filesystem::path makeScratchHome(const std::string& prefix) {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()));
  std::filesystem::create_directories(path);
  setenv("HOME", path.c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");
  std::filesystem::create_directories(platform::NodrelPaths::baseDirectory());
  auto connection = db::Connection::open(platform::NodrelPaths::databaseURL(), {.create = true});
  db::createSchema(connection);
  return path;
}

// Runs `program command` to its exit with `input` on its standard input, its output dropped.
// Returns the exit status, or -1 when the input could not be handed over or it did not exit.
inline int runNodrel(const std::string& program, const char* command, const std::string& input) {
  int in[2];
  if (::pipe(in) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(in[0]);
    ::close(in[1]);
    return -1;
  }
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(devNull, STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    ::close(in[1]);
    ::execl(program.c_str(), program.c_str(), command, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  const bool handedOver = input.empty() || ::write(in[1], input.data(), input.size()) >= 0;
  ::close(in[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!handedOver || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The user and system time, in milliseconds, of the children waited for so far: the difference
// across one run is that run's own processor time, which a busy machine inflates far less than
// its wall time.
inline double childCpuMilliseconds() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

}  // namespace nodrel::bench
