// Whole-file reading and writing on POSIX.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <utility>

#include "platform/file_io.hpp"
#include "platform/io_posix.hpp"

namespace mirandel::platform {

namespace {

/// Opens `path` relative to `folder`, retrying when a signal interrupts the
/// open. -1 on failure.
int open_retrying(int folder, const char* path, int flags, mode_t mode = 0) noexcept {
  for (;;) {
    int fd = ::openat(folder, path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
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
/// either way. Nothing is synced: the caller reads the document the moment
/// we exit.
bool write_and_close(int fd, std::string_view bytes) noexcept {
  DescriptorCloser closer(fd);
  iovec part = {const_cast<char*>(bytes.data()), bytes.size()};
  bool complete = posix::write_all(fd, &part, 1);
  if (!closer.close()) complete = false;
  return complete;
}

/// Whether `fd` is the very file open as the real standard output (same
/// device and inode) and that was opened for appending, as `>> log` does.
bool appends_to_standard_output(int fd) noexcept {
  const int real = posix::document_output();
  struct stat ours {};
  struct stat theirs {};
  if (real < 0 || ::fstat(fd, &ours) != 0 || ::fstat(real, &theirs) != 0) return false;
  if (ours.st_dev != theirs.st_dev || ours.st_ino != theirs.st_ino) return false;
  const int status = ::fcntl(real, F_GETFL);
  return status >= 0 && (status & O_APPEND) != 0;
}

/// Waits for a write lock on the whole of `fd`: an open file description
/// lock, advisory, so readers and holders of the file go on undisturbed
/// while other runs writing the same file wait their turn.
bool lock_whole_file(int fd) noexcept {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLKW, &whole) == 0) return true;
    if (errno != EINTR) return false;
  }
}

/// How often a file found removed or replaced once locked is opened again.
constexpr int REOPENINGS = 8;

/// Opens `path` itself with `flags` added to O_WRONLY and writes it. A
/// regular file is locked (lock_whole_file) and only then truncated, so
/// that concurrent runs leave one whole document; one found gone from its
/// path once locked (another run's rename replaced it, or its failed
/// creation removed it) is opened again. Standard output opened for
/// appending keeps what it holds. With O_EXCL in `flags` the file is ours,
/// and a failed write removes it. When the open fails, its errno goes to
/// `open_error` (if given). Descriptor 1 is the real standard output while
/// it is opened, so /dev/stdout means what the caller meant (and fails to
/// open when that was closed at start).
bool write_in_place(const OutputFile& output, int flags, std::string_view bytes,
                    int* open_error = nullptr) {
  for (int opening = 0;; ++opening) {
    int fd;
    bool appending = false;
    {
      posix::RealStandardOutput real_stdout;
      // 0666 lets the umask decide, as for any file the user creates.
      fd =
          open_retrying(output.folder(), output.path().c_str(), O_WRONLY | O_CLOEXEC | flags, 0666);
      if (open_error) *open_error = fd < 0 ? errno : 0;
      if (fd >= 0) appending = appends_to_standard_output(fd);
    }
    if (fd < 0) return false;
    DescriptorCloser closer(fd);
    struct stat file {};
    if (::fstat(fd, &file) != 0) return false;
    if (S_ISREG(file.st_mode)) {
      if (!lock_whole_file(fd) || ::fstat(fd, &file) != 0) return false;
      if (file.st_nlink == 0 && opening + 1 < REOPENINGS) {
        flags &= ~(O_CREAT | O_EXCL);
        continue;
      }
      // A file that cannot be truncated but is empty (some of /proc) is
      // written all the same.
      if (!appending && ::ftruncate(fd, 0) != 0 && file.st_size != 0) return false;
    }
    if (appending && ::fcntl(fd, F_SETFL, O_APPEND) != 0) return false;
    iovec part = {const_cast<char*>(bytes.data()), bytes.size()};
    bool complete = posix::write_all(fd, &part, 1);
    if (!complete && (flags & O_EXCL) != 0) {
      // Removed while still locked, and only while the path still names
      // it, so that nobody finds it partial and nobody else's file goes.
      struct stat named {};
      if (::fstatat(output.folder(), output.path().c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          named.st_dev == file.st_dev && named.st_ino == file.st_ino &&
          ::unlinkat(output.folder(), output.path().c_str(), 0) == 0)
        return false;
    }
    if (!closer.close()) complete = false;
    return complete;
  }
}

// ---- Removing the temporary file when a signal ends the run ------------------

/// The signals that end a run and can be caught.
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

/// The temporary file a signal handler removes: a path built before it is
/// armed, read by the handler with async-signal-safe calls only.
struct PendingTemporary {
  volatile sig_atomic_t armed = 0;
  int folder = AT_FDCWD;
  char path[PATH_MAX] = {};
};
PendingTemporary g_pending;

extern "C" void remove_temporary_and_end(int signal) {
  if (g_pending.armed) ::unlinkat(g_pending.folder, g_pending.path, 0);
  // SA_RESETHAND has put back the default action, and SA_NODEFER leaves the
  // signal unblocked: raising it again ends the process as it would have.
  ::raise(signal);
}

/// While it lives, a temporary file it holds is removed before SIGTERM,
/// SIGINT or SIGHUP ends the process (for those whose action is the
/// default). The file is created and renamed with these signals blocked, so
/// the handler never misses it or removes a file after the rename.
class TemporaryFile {
 public:
  explicit TemporaryFile(int folder) noexcept {
    g_pending.folder = folder;
    ::sigemptyset(&ending_);
    for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
      struct sigaction current {};
      if (::sigaction(ENDING_SIGNALS[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
        continue;
      struct sigaction handler {};
      handler.sa_handler = remove_temporary_and_end;
      handler.sa_flags = SA_RESETHAND | SA_NODEFER;
      ::sigemptyset(&handler.sa_mask);
      installed_[i] = ::sigaction(ENDING_SIGNALS[i], &handler, nullptr) == 0;
      ::sigaddset(&ending_, ENDING_SIGNALS[i]);
    }
  }
  ~TemporaryFile() {
    if (g_pending.armed) remove();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i)
      if (installed_[i]) ::sigaction(ENDING_SIGNALS[i], &fallback, nullptr);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  /// Creates `path` (shorter than PATH_MAX) exclusively. The descriptor, or
  /// -1 with errno set.
  int create(const char* path) noexcept {
    Blocked blocked(ending_);
    std::snprintf(g_pending.path, sizeof g_pending.path, "%s", path);
    int fd = open_retrying(g_pending.folder, g_pending.path,
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    g_pending.armed = fd >= 0;
    return fd;
  }

  /// Renames the file over `target`; errno set on failure.
  bool rename_to(const char* target) noexcept {
    Blocked blocked(ending_);
    if (::renameat(g_pending.folder, g_pending.path, g_pending.folder, target) != 0) return false;
    g_pending.armed = 0;
    return true;
  }

  void remove() noexcept {
    Blocked blocked(ending_);
    ::unlinkat(g_pending.folder, g_pending.path, 0);
    g_pending.armed = 0;
  }

 private:
  class Blocked {
   public:
    explicit Blocked(const sigset_t& signals) noexcept {
      ::pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    }
    ~Blocked() {
      int saved = errno;
      ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
      errno = saved;
    }
    Blocked(const Blocked&) = delete;
    Blocked& operator=(const Blocked&) = delete;

   private:
    sigset_t previous_;
  };

  sigset_t ending_;
  bool installed_[std::size(ENDING_SIGNALS)] = {};
};

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

/// Whether creating the target directly may still work where the temporary
/// file could not be made: the folder takes no new name from us, or the
/// temporary name is too long.
bool temporary_refused(int error) noexcept {
  return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG;
}

/// Whether creating the target directly may still work where renaming onto
/// it failed: someone else's file in a sticky folder, a mount point, another
/// file system.
bool rename_refused(int error) noexcept {
  return error == EPERM || error == EBUSY || error == EXDEV;
}

/// Writes a file that does not exist yet: under a temporary name beside it,
/// then renamed into place, so that nobody finds it partial. Should somebody
/// create it meanwhile, the rename replaces theirs: two writers of one path
/// race as they would without us.
bool create_new(const OutputFile& output, std::string_view bytes) {
  const std::filesystem::path& path = output.path();
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  // Created exclusively, so that a failed write removes only our own file;
  // should another run create it first, theirs is written in place.
  const auto create_directly = [&] {
    int open_error = 0;
    const bool written = write_in_place(output, O_CREAT | O_EXCL, bytes, &open_error);
    if (open_error == EEXIST) return write_in_place(output, 0, bytes);
    return written;
  };
  TemporaryFile temporary(output.folder());
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 64; ++attempt) {
    const std::filesystem::path name = temporary_name(folder, attempt);
    if (name.native().size() >= PATH_MAX) return create_directly();
    fd = temporary.create(name.c_str());
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return temporary_refused(errno) && create_directly();
  if (!write_and_close(fd, bytes)) {
    temporary.remove();
    return false;
  }
  if (temporary.rename_to(path.c_str())) return true;
  const int error = errno;
  temporary.remove();
  return rename_refused(error) && create_directly();
}

}  // namespace

OutputFile::OutputFile(const std::filesystem::path& path) : path_(path), folder_(AT_FDCWD) {
  if (!path_.is_relative()) return;
  const int folder = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) folder_ = folder;
}

OutputFile::~OutputFile() {
  if (folder_ >= 0) ::close(folder_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)), folder_(std::exchange(other.folder_, AT_FDCWD)) {}

bool write_file(const OutputFile& output, std::string_view bytes) {
  if (output.path().empty()) return false;
  // Whatever exists is written in place. It is opened without O_CREAT,
  // which a sticky folder may refuse for someone else's file even when that
  // is writable. Symbolic links are followed; a directory fails to open.
  int open_error = 0;
  const bool written = write_in_place(output, 0, bytes, &open_error);
  if (open_error != ENOENT) return written;
  // A dangling symbolic link: its target is created, as by any writer.
  struct stat link;
  if (::fstatat(output.folder(), output.path().c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 ||
      !output.path().has_filename())
    return write_in_place(output, O_CREAT, bytes);
  return create_new(output, bytes);
}

bool read_file(const std::filesystem::path& path, SecretBytes& out) {
  if (path.empty()) return false;
  int fd = open_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  DescriptorCloser closer(fd);
  // A directory, for one, opens but does not read.
  return posix::read_all(fd, out);
}

}  // namespace mirandel::platform
