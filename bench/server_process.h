// bench/server_process.h: one NodrelMCP child as a host runs it, for the benchmarks that time
// the real server: request lines in on its standard input, one response line read back each.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nodrel::bench {

class ServerProcess {
 public:
  // With `home`, the child runs with that HOME (and no XDG_DATA_HOME); else it inherits the
  // environment. Its diagnostics go to /dev/null.
  explicit ServerProcess(const std::optional<std::filesystem::path>& home = std::nullopt) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    // NODREL_BENCH_SERVER names another build of the program, to time a baseline in one run.
    const char* other = std::getenv("NODREL_BENCH_SERVER");
    const std::string program =
        other && *other ? std::string(other) : std::string(NODREL_BINARY_DIR "/server/NodrelMCP");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      const int devNull = open("/dev/null", O_WRONLY);
      dup2(devNull, 2);
      if (home) {
        setenv("HOME", home->c_str(), 1);
        unsetenv("XDG_DATA_HOME");
      }
      execl(program.c_str(), program.c_str(), nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toServer_ = in[1];
    fromServer_ = out[0];
  }
  ~ServerProcess() {
    close(toServer_);
    close(fromServer_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  void send(std::string line) {
    line += '\n';
    for (std::size_t done = 0; done < line.size();) {
      const ssize_t n = write(toServer_, line.data() + done, line.size() - done);
      if (n <= 0) throw std::runtime_error("the server stopped reading");
      done += static_cast<std::size_t>(n);
    }
  }

  std::string receive() {
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      char chunk[65536];
      const ssize_t n = read(fromServer_, chunk, sizeof chunk);
      if (n <= 0) throw std::runtime_error("the server closed its output");
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  std::string call(const std::string& line) {
    send(line);
    return receive();
  }

 private:
  pid_t pid_ = -1;
  int toServer_ = -1;
  int fromServer_ = -1;
  std::string buffer_;
};

// The floor of a tool call's round trip: the median of `count` tools/list round trips to the
// same server, a request that reads nothing.
inline double medianListRoundTripMs(ServerProcess& server, int count = 50);

// The sample at `share` of the sorted samples (0.5 the median, 0.95 the 95th percentile).
inline double percentile(std::vector<double> samples, double share) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1))];
}

inline double medianListRoundTripMs(ServerProcess& server, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto started = std::chrono::steady_clock::now();
    server.call(R"({"jsonrpc":"2.0","id":"floor","method":"tools/list","params":{}})");
    samples.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count());
  }
  return percentile(samples, 0.5);
}

}  // namespace nodrel::bench
