// fork + exec with three pipes, driven by poll so that a child writing a lot
// to both streams while we feed it input can never deadlock.
#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "target.hpp"

extern char** environ;

namespace mirandel::test {
namespace {

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  return Pipe{fds[0], fds[1]};
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> child_environment(const ProcessOptions& options) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    bool replaced = false;
    for (const auto& [key, value] : options.environment)
      if (text.starts_with(key + "=")) replaced = true;
    if (!replaced) env.emplace_back(text);
  }
  for (const auto& [key, value] : options.environment) env.push_back(key + "=" + value);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string ProcessResult::describe() const {
  std::string text = "exit_code=" + std::to_string(exit_code) + " signal=" + std::to_string(signal);
  if (timed_out) text += " TIMED OUT";
  if (exec_failed) text += " EXEC FAILED";
  text += "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
  return text;
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  if (argv.empty()) {
    result.exec_failed = true;
    return result;
  }
  // Writing to a child that has closed its input must give EPIPE, not kill us.
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args = argv;
  std::vector<std::string> env = child_environment(options);
  std::vector<char*> arg_pointers = pointers(args);
  std::vector<char*> env_pointers = pointers(env);
  const std::string directory = options.working_directory.string();

  Pipe in = make_pipe();
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  Pipe status = make_pipe();  // carries errno when exec fails
  const int dev_null = options.input ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  // Before the fork: the child could otherwise write before the reader goes.
  if (options.stdout_reader_gone) close_fd(out.read);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    ::dup2(options.input ? in.read : dev_null, 0);
    ::dup2(out.write, 1);
    ::dup2(err.write, 2);
    if (!directory.empty() && ::chdir(directory.c_str()) != 0) {
      const int code = errno;
      (void)!::write(status.write, &code, sizeof code);
      ::_exit(127);
    }
    ::execvpe(arg_pointers[0], arg_pointers.data(), env_pointers.data());
    const int code = errno;
    (void)!::write(status.write, &code, sizeof code);
    ::_exit(127);
  }

  close_fd(in.read);
  close_fd(out.write);
  close_fd(err.write);
  close_fd(status.write);
  if (dev_null >= 0) ::close(dev_null);
  if (pid < 0) {
    close_fd(in.write);
    close_fd(out.read);
    close_fd(err.read);
    close_fd(status.read);
    result.exec_failed = true;
    return result;
  }

  const std::string input = options.input.value_or("");
  std::size_t written = 0;
  if (!options.input || input.empty()) close_fd(in.write);
  if (in.write >= 0) ::fcntl(in.write, F_SETFL, O_NONBLOCK);

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  char buffer[65536];
  bool reaped = false;
  int wait_status = 0;
  while (out.read >= 0 || err.read >= 0) {
    std::vector<pollfd> fds;
    if (out.read >= 0) fds.push_back({out.read, POLLIN, 0});
    if (err.read >= 0) fds.push_back({err.read, POLLIN, 0});
    if (in.write >= 0) fds.push_back({in.write, POLLOUT, 0});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    // Short waits, so that the child's end is noticed even when a process it
    // started (such as a Wine server) keeps the pipes open.
    const int wait_ms = static_cast<int>(std::min<long long>(left.count(), reaped ? 200 : 100));
    const int ready = ::poll(fds.data(), fds.size(), wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) {
      if (reaped) break;  // the child is gone and nothing more came
      if (::waitpid(pid, &wait_status, WNOHANG) == pid) reaped = true;
      continue;
    }
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in.write) {
        const ssize_t n = ::write(in.write, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) close_fd(in.write);
        if (written == input.size()) close_fd(in.write);
        continue;
      }
      const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
      if (n > 0) {
        (p.fd == out.read ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(p.fd == out.read ? out.read : err.read);
      }
    }
  }
  close_fd(in.write);
  close_fd(out.read);
  close_fd(err.read);

  int exec_errno = 0;
  if (::read(status.read, &exec_errno, sizeof exec_errno) == sizeof exec_errno)
    result.exec_failed = true;
  close_fd(status.read);

  if (!reaped) {
    while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
  }
  if (WIFEXITED(wait_status)) {
    result.exit_code = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    result.signal = WTERMSIG(wait_status);
  }
  return result;
}

ProcessResult run_helper(const std::vector<std::string>& arguments, const ProcessOptions& options) {
  std::vector<std::string> argv = launcher_prefix();
  argv.push_back(helper_executable().string());
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_process(argv, options);
}

}  // namespace mirandel::test
