// Whole-buffer reads and writes on POSIX descriptors.

#include "platform/io_posix.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace mirandel::platform::posix {

namespace {

/// Waits, without a time limit, until a non-blocking `fd` can take more
/// bytes, as a blocking one would. False when the descriptor is not valid
/// or poll fails; a reader that has gone shows in the next write (EPIPE).
bool wait_until_writable(int fd) noexcept {
  pollfd watched = {fd, POLLOUT, 0};
  for (;;) {
    int ready = ::poll(&watched, 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    return (watched.revents & POLLNVAL) == 0;
  }
}

}  // namespace

bool write_all(int fd, iovec* parts, int count) noexcept {
  while (count > 0) {
    if (parts[0].iov_len == 0) {
      ++parts;
      --count;
      continue;
    }
    ssize_t written = ::writev(fd, parts, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!wait_until_writable(fd)) return false;
        continue;
      }
      return false;
    }
    if (written == 0) return false;  // no progress is possible
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
  return true;
}

bool read_all(int fd, SecretBytes& out) {
  constexpr std::size_t CHUNK = 4096;
  for (;;) {
    std::uint8_t* target = out.prepare(CHUNK);
    ssize_t got = ::read(fd, target, CHUNK);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    out.commit(static_cast<std::size_t>(got));
  }
}

}  // namespace mirandel::platform::posix
