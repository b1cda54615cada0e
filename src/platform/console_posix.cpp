// Standard streams on POSIX: plain file descriptors, no stdio buffering, no
// translation of any byte.
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/console.hpp"

namespace mirandel::platform {

namespace {

/// Writing to a pipe whose reader has gone would raise SIGPIPE and kill the
/// process. A stream that cannot be written is ignored instead: the write
/// fails with EPIPE, nothing else is attempted, and the exit status stays
/// what the run decided.
void ignore_broken_pipe() noexcept { std::signal(SIGPIPE, SIG_IGN); }

/// Writes every byte of `parts` to `fd`, resuming after partial writes and
/// retrying interrupted ones. Gives up silently on any other failure.
void write_all(int fd, iovec* parts, int count) noexcept {
  ignore_broken_pipe();
  while (count > 0) {
    if (parts[0].iov_len == 0) {
      ++parts;
      --count;
      continue;
    }
    ssize_t written = ::writev(fd, parts, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (written == 0) return;  // no progress is possible
    auto left = static_cast<std::size_t>(written);
    while (count > 0 && left >= parts[0].iov_len) {
      left -= parts[0].iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts[0].iov_base = static_cast<char*>(parts[0].iov_base) + left;
      parts[0].iov_len -= left;
    }
  }
}

}  // namespace

void write_document_to_stdout(std::string_view utf8_document) {
  // The document and its line feed in one write-all operation, without
  // copying the document to append the line feed.
  static const char LINE_FEED = '\n';
  iovec parts[2] = {
      {const_cast<char*>(utf8_document.data()), utf8_document.size()},
      {const_cast<char*>(&LINE_FEED), 1},
  };
  write_all(STDOUT_FILENO, parts, 2);
}

void write_stderr(std::string_view bytes) {
  iovec part = {const_cast<char*>(bytes.data()), bytes.size()};
  write_all(STDERR_FILENO, &part, 1);
}

bool read_stdin(SecretBytes& out) {
  constexpr std::size_t CHUNK = 4096;
  for (;;) {
    std::uint8_t* target = out.prepare(CHUNK);
    ssize_t got = ::read(STDIN_FILENO, target, CHUNK);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    out.commit(static_cast<std::size_t>(got));
  }
}

}  // namespace mirandel::platform
