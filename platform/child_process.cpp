#include "platform/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace nodrel::platform {
namespace {

// Only async-signal-safe calls: this runs between fork and exec.
void attach(int from, int to) {
  if (from < 0) return;
  if (from == to) {
    // dup2 onto itself keeps close-on-exec; the stream must survive the exec.
    ::fcntl(to, F_SETFD, 0);
    return;
  }
  ::dup2(from, to);
}

}  // namespace

pid_t startChild(const std::string& program, const std::vector<std::string>& argv,
                 ChildStreams streams, int startErrorFd) {
  // Everything the child needs is built before fork.
  std::vector<char*> pointers;
  pointers.reserve(argv.size() + 1);
  for (const auto& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
  pointers.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  attach(streams.input, STDIN_FILENO);
  attach(streams.output, STDOUT_FILENO);
  attach(streams.error, STDERR_FILENO);
  ::execv(program.c_str(), pointers.data());
  if (startErrorFd >= 0) {
    const int error = errno;
    [[maybe_unused]] ssize_t ignored = ::write(startErrorFd, &error, sizeof error);
  }
  ::_exit(127);
}

int waitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int exitStatusOf(int waitStatus) {
  if (waitStatus < 0) return -1;
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

}  // namespace nodrel::platform
