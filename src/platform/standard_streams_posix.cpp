// The standard streams around a foreign module, on POSIX descriptors.
#include "platform/standard_streams.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/io_posix.hpp"

namespace mirandel::platform {

namespace {

/// Set once by guard_standard_streams, before any module code runs; read
/// only afterwards, on the one thread.
struct Streams {
  bool guarded = false;
  int document = STDOUT_FILENO;  ///< the real standard output, or -1
  int real_stdout = -1;          ///< what descriptor 1 was (a socket if closed)
};
Streams g_streams;

bool is_open(int fd) noexcept { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

/// Opens the null device; being the lowest free descriptor, it becomes `fd`.
void open_null_as(int fd) noexcept {
  for (;;) {
    int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 || errno != EINTR) {
      if (opened >= 0 && opened != fd) ::close(opened);
      return;
    }
  }
}

bool point_at(int from, int to) noexcept {
  for (;;) {
    if (::dup2(from, to) == to) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

void guard_standard_streams() noexcept {
  // In this order, so that every lower descriptor is taken when one is
  // opened: open() then returns exactly the one that was closed.
  bool stdout_was_open = true;
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (is_open(fd)) continue;
    if (fd == STDOUT_FILENO) stdout_was_open = false;
    open_null_as(fd);
  }
  // For a closed standard output, the stand-in restored while an output path
  // is opened is a socket: /dev/stdout and /proc/self/fd/1 then fail to
  // open, where the null device would take the document and look like a
  // delivery.
  int saved = stdout_was_open ? -1 : ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (saved < 0) saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (saved < 0) return;  // no spare descriptor: keep writing to descriptor 1
  if (!point_at(STDERR_FILENO, STDOUT_FILENO)) {
    ::close(saved);
    return;
  }
  g_streams.guarded = true;
  g_streams.real_stdout = saved;
  // A caller that closed standard output gets no document there: writing it
  // to the null device would look like a delivery.
  g_streams.document = stdout_was_open ? saved : -1;
}

namespace posix {

int document_output() noexcept { return g_streams.document; }

RealStandardOutput::RealStandardOutput() noexcept {
  if (g_streams.guarded) restored_ = point_at(g_streams.real_stdout, STDOUT_FILENO);
}

RealStandardOutput::~RealStandardOutput() {
  if (restored_) static_cast<void>(point_at(STDERR_FILENO, STDOUT_FILENO));
}

}  // namespace posix

}  // namespace mirandel::platform
