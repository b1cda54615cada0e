// Whole-file reading and writing on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

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

/// fsync, retrying when a signal interrupts it. A file system that cannot
/// sync (EINVAL) is not a failure: the data went as far as it can.
bool fsync_retrying(int fd) noexcept {
  for (;;) {
    if (::fsync(fd) == 0) return true;
    if (errno == EINVAL) return true;
    if (errno != EINTR) return false;
  }
}

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

/// Writes all of `bytes` to `fd` and closes it. False if anything failed,
/// a failing close included: it can report a write that never reached the
/// disk. close is not retried after EINTR: on Linux the descriptor is gone
/// either way.
bool write_and_close(int fd, std::string_view bytes, bool sync) noexcept {
  DescriptorCloser closer(fd);
  iovec part = {const_cast<char*>(bytes.data()), bytes.size()};
  bool complete = posix::write_all(fd, &part, 1);
  if (complete && sync) complete = fsync_retrying(fd);
  if (!closer.close()) complete = false;
  return complete;
}

/// Opens `path` itself, created or truncated, and writes it. Descriptor 1 is
/// the real standard output while it is opened, so /dev/stdout means what
/// the caller meant.
bool write_in_place(const std::filesystem::path& path, std::string_view bytes) {
  int fd;
  {
    posix::RealStandardOutput real_stdout;
    // 0666 lets the umask decide, as for any file the user creates.
    fd = open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  if (fd < 0) return false;
  return write_and_close(fd, bytes, false);
}

/// A same-folder name no other run picks: our process id and a counter,
/// stirred with the clock, in hexadecimal, behind a dot that hides it from
/// plain listings.
std::filesystem::path temporary_name(const std::filesystem::path& folder, unsigned attempt) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t stir = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^
                       (static_cast<std::uint64_t>(now.tv_sec) << 20) ^ attempt;
  char name[64];
  std::snprintf(name, sizeof name, ".mirandel-pkcs11-helper.%ld.%08x.tmp",
                static_cast<long>(::getpid()), static_cast<unsigned>(stir >> 32));
  return folder / name;
}

/// Writes a new file beside `path` and renames it over `path` in one step,
/// so that `path` holds either its old contents or all of the new ones. The
/// new file gets the permission bits of `existing`, if given. Only our own
/// temporary file is ever removed. When the folder takes no new file, the
/// target is written in place instead, if it can be.
bool replace_file(const std::filesystem::path& path, std::string_view bytes,
                  const struct stat* existing) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  const mode_t mode = existing ? (existing->st_mode & 0777) : 0666;
  std::filesystem::path temporary;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 64; ++attempt) {
    temporary = temporary_name(folder, attempt);
    fd = open_retrying(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM || errno == EROFS) return write_in_place(path, bytes);
    return false;
  }
  // The umask applies at creation; an existing file's bits are kept exactly.
  if (existing) static_cast<void>(::fchmod(fd, mode));
  if (!write_and_close(fd, bytes, true) || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool write_file(const std::filesystem::path& path, std::string_view bytes) {
  if (path.empty()) return false;
  struct stat target;
  if (::lstat(path.c_str(), &target) == 0) {
    // Symbolic links, devices, pipes and the like are written in place; a
    // directory then fails to open.
    if (!S_ISREG(target.st_mode)) return write_in_place(path, bytes);
    // A file we could not have written in place is not replaced either.
    if (::access(path.c_str(), W_OK) != 0) return false;
    return replace_file(path, bytes, &target);
  }
  if (errno != ENOENT || !path.has_filename()) return write_in_place(path, bytes);
  return replace_file(path, bytes, nullptr);
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
