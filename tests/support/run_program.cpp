#include "tests/support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/child_process.h"
#include "platform/file_descriptor.h"
#include "tests/support/temp_home.h"

namespace nodrel::testing {

ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::string& input) {
  const std::string path = program.string();
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());

  platform::FileDescriptor inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (!platform::makePipe(inRead, inWrite) || !platform::makePipe(outRead, outWrite) ||
      !platform::makePipe(errRead, errWrite)) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid =
      platform::startChild(path, argv, {inRead.get(), outWrite.get(), errWrite.get()});
  if (pid < 0) throw std::runtime_error("fork failed");
  inRead.reset();
  outWrite.reset();
  errWrite.reset();
  // The child may stop reading early; its closed pipe must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  fcntl(inWrite.get(), F_SETFL, O_NONBLOCK);

  ProgramRun run;
  std::size_t written = 0;
  int inFd = inWrite.release();
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  pollfd fds[3] = {
      {outRead.release(), POLLIN, 0}, {errRead.release(), POLLIN, 0}, {inFd, POLLOUT, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 3, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
  const int status = platform::waitForChild(pid);
  run.status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

ProgramRun runNodrel(const std::vector<std::string>& args, const std::string& input) {
  return runProgram(binaryPath("cli/nodrel"), args, input);
}

ProgramRun runApp(const std::vector<std::string>& args) {
  return runProgram(binaryPath("app/nodrel-app"), args, "");
}

namespace {

std::string fileText(const std::filesystem::path& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[65536];
  ssize_t n = 0;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

}  // namespace

RunningProgram::RunningProgram(const std::filesystem::path& program,
                               const std::vector<std::string>& args,
                               const std::filesystem::path& outputDirectory)
    : outPath_(outputDirectory / (program.filename().string() + ".out")),
      errPath_(outputDirectory / (program.filename().string() + ".err")) {
  const std::string path = program.string();
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());
  const platform::FileDescriptor out(
      open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const platform::FileDescriptor err(
      open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  platform::FileDescriptor inRead, inWrite;
  if (!out.valid() || !err.valid() || !platform::makePipe(inRead, inWrite)) {
    throw std::runtime_error("cannot start " + path);
  }
  pid_ = platform::startChild(path, argv, {inRead.get(), out.get(), err.get()});
  if (pid_ < 0) throw std::runtime_error("fork failed");
  input_ = inWrite.release();
  signal(SIGPIPE, SIG_IGN);
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0) finish();
}

bool RunningProgram::send(const std::string& line) {
  if (input_ < 0) return false;
  const std::string bytes = line + "\n";
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(input_, bytes.data() + written, bytes.size() - written);
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

void RunningProgram::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

ProgramRun RunningProgram::finish() {
  ProgramRun run;
  if (input_ >= 0) close(input_);
  input_ = -1;
  if (pid_ > 0) {
    const int status = platform::waitForChild(pid_);
    run.status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  run.out = fileText(outPath_);
  run.err = fileText(errPath_);
  return run;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace nodrel::testing
