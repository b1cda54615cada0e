#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_io.hpp"
#include "test_files.hpp"

namespace mirandel::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileIoPosix, RemovesTheTemporaryFileWhenASignalEndsTheWrite) {
  test::TempDir dir("mirandel-file-io-");
  const fs::path path = dir.path() / "out.json";
  const std::string bytes(std::size_t{256} << 20, 'x');
  // The writer is stopped once its temporary file shows; if that is still
  // there and the target is not, the write is under way: end it then.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(write_file(path, bytes) ? 0 : 1);
    int status = 0;
    bool ended = false;
    while (test::hidden_names(dir.path()).empty() && !ended)
      ended = ::waitpid(pid, &status, WNOHANG) == pid;
    if (ended) {
      fs::remove(path);
      continue;
    }
    ::kill(pid, SIGSTOP);
    ::waitpid(pid, &status, WUNTRACED);
    const bool under_way = !test::hidden_names(dir.path()).empty() && !fs::exists(path);
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGCONT);
    ::waitpid(pid, &status, 0);
    if (!under_way) {
      fs::remove(path);
      continue;
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(test::hidden_names(dir.path()), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(path));
    return;
  }
  FAIL() << "the write was never caught under way";
}

}  // namespace
}  // namespace mirandel::platform
