// Standard streams on POSIX: plain file descriptors, no stdio buffering, no
// translation of any byte.
#include <sys/uio.h>
#include <unistd.h>

#include <csignal>

#include "platform/console.hpp"
#include "platform/io_posix.hpp"

namespace mirandel::platform {

namespace {

/// Writing to a pipe whose reader has gone would raise SIGPIPE and kill the
/// process. The write fails with EPIPE instead, and the caller decides what
/// that means (for the document: exit status 1).
void ignore_broken_pipe() noexcept { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace

bool write_document_to_stdout(std::string_view utf8_document) {
  // The document and its line feed in one write-all operation, without
  // copying the document to append the line feed.
  static const char LINE_FEED = '\n';
  iovec parts[2] = {
      {const_cast<char*>(utf8_document.data()), utf8_document.size()},
      {const_cast<char*>(&LINE_FEED), 1},
  };
  ignore_broken_pipe();
  int out = posix::document_output();
  return out >= 0 && posix::write_all(out, parts, 2);
}

void write_stderr(std::string_view bytes) {
  iovec part = {const_cast<char*>(bytes.data()), bytes.size()};
  ignore_broken_pipe();
  static_cast<void>(posix::write_all(STDERR_FILENO, &part, 1));
}

bool read_stdin(SecretBytes& out) { return posix::read_all(STDIN_FILENO, out); }

}  // namespace mirandel::platform
