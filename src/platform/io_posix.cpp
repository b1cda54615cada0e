// Whole-buffer reads and writes on POSIX descriptors.

#include "platform/io_posix.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  // A regular file says how long it is: room for all of it plus one byte, so
  // that the read meeting the end finds room and nothing is ever regrown or
  // copied. Anything else (a pipe, a terminal) grows as it comes.
  struct stat status {};
  const bool known = ::fstat(fd, &status) == 0;
  if (known && S_ISREG(status.st_mode) && status.st_size > 0) {
    const auto size = static_cast<std::uintmax_t>(status.st_size);
    if (size < SIZE_MAX / 2) out.reserve(out.size() + static_cast<std::size_t>(size) + 1);
  }
#ifdef F_SETPIPE_SZ
  // A pipe of 64 KiB makes the writer and this reader take turns every
  // 64 KiB; at 1 MiB (the most Linux gives without privileges) a large
  // request crosses in a sixteenth of the turns. Only a hint: the pipe works
  // the same either way.
  if (known && S_ISFIFO(status.st_mode)) static_cast<void>(::fcntl(fd, F_SETPIPE_SZ, 1 << 20));
#endif
  constexpr std::size_t MIN_ROOM = 64 * 1024;
  // Linux moves at most about 2 GiB per read; smaller requests also keep
  // the size within ssize_t everywhere.
  constexpr std::size_t MAX_READ = std::size_t{1} << 30;
  for (;;) {
    std::uint8_t* target = out.prepare(out.spare() == 0 ? MIN_ROOM : 0);
    const std::size_t room = std::min(out.spare(), MAX_READ);
    ssize_t got = ::read(fd, target, room);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    out.commit(static_cast<std::size_t>(got));
  }
}

}  // namespace mirandel::platform::posix
