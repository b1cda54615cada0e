// Whole-file reading and writing on POSIX.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.hpp"
#include "platform/io_posix.hpp"

namespace mirandel::platform {

namespace {

/// Opens `path`, retrying when a signal interrupts the open. -1 on failure.
int open_retrying(const std::filesystem::path& path, int flags, mode_t mode = 0) noexcept {
  for (;;) {
    int fd = ::open(path.c_str(), flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

/// Closes a descriptor when the scope ends, whichever way it ends.
class DescriptorCloser {
 public:
  explicit DescriptorCloser(int fd) noexcept : fd_(fd) {}
  DescriptorCloser(const DescriptorCloser&) = delete;
  DescriptorCloser& operator=(const DescriptorCloser&) = delete;
  ~DescriptorCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  /// Closes now and reports whether close succeeded.
  bool close() noexcept {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace

bool write_file(const std::filesystem::path& path, std::string_view bytes) {
  if (path.empty()) return false;
  // 0666 lets the umask decide, as for any file the user creates.
  int fd = open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  DescriptorCloser closer(fd);
  iovec part = {const_cast<char*>(bytes.data()), bytes.size()};
  bool complete = posix::write_all(fd, &part, 1);
  // A failing close can report a write that never reached the disk. It is not
  // retried after EINTR: on Linux the descriptor is gone either way.
  if (!closer.close()) complete = false;
  return complete;
}

bool read_file(const std::filesystem::path& path, SecretBytes& out) {
  if (path.empty()) return false;
  int fd = open_retrying(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  DescriptorCloser closer(fd);
  // A directory, for one, opens but does not read.
  return posix::read_all(fd, out);
}

}  // namespace mirandel::platform
