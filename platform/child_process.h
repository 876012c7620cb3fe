// platform/child_process.h: starting a program as a child process, without a shell, on the
// descriptors the caller chooses as its standard streams, and waiting for it to end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nodrel::platform {

// Descriptors the child gets as its standard input, output and error; -1 leaves it the parent's.
struct ChildStreams {
  int input = -1;
  int output = -1;
  int error = -1;
};

// Starts `program` (a path: no search of PATH) with `argv` as its argument vector, argv[0]
// included. Every other descriptor should be close-on-exec (makePipe's are), or the child
// inherits it. When the exec fails the child writes its errno to `startErrorFd` (when >= 0)
// and exits with status 127. Returns the child's pid, or -1 with errno set when fork fails.
pid_t startChild(const std::string& program, const std::vector<std::string>& argv,
                 ChildStreams streams, int startErrorFd = -1);

// Waits for the child, through interruptions; its raw wait status, or -1 when it cannot be had.
int waitForChild(pid_t pid);

// The exit status a shell would report for a raw wait status: the exit code, 128 plus the
// signal for a child that a signal ended, -1 otherwise.
int exitStatusOf(int waitStatus);

}  // namespace nodrel::platform
