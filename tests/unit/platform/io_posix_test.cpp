#include "platform/io_posix.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace mirandel::platform::posix {
namespace {

struct PipeEnds {
  PipeEnds() {
    int fds[2];
    if (::pipe(fds) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~PipeEnds() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  int read = -1;
  int write = -1;
};

TEST(WriteAll, WaitsForASlowReaderOfANonBlockingPipe) {
  PipeEnds pipe;
  ASSERT_GE(pipe.write, 0);
  ASSERT_EQ(::fcntl(pipe.write, F_SETFL, O_NONBLOCK), 0);
  // Many pipe buffers' worth, in two parts so that a resumed writev is tried.
  std::string head(300000, 'h');
  std::string tail(700001, 't');
  std::string received;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    char buffer[1000];
    for (;;) {
      ssize_t got = ::read(pipe.read, buffer, sizeof buffer);
      if (got <= 0) break;
      received.append(buffer, static_cast<std::size_t>(got));
    }
  });
  iovec parts[2] = {{head.data(), head.size()}, {tail.data(), tail.size()}};
  EXPECT_TRUE(write_all(pipe.write, parts, 2));
  ::close(pipe.write);
  pipe.write = -1;
  reader.join();
  EXPECT_TRUE(received == head + tail) << received.size() << " bytes arrived";
}

TEST(WriteAll, FailsWhenTheReaderHasGoneOrTheDescriptorIsClosed) {
  std::signal(SIGPIPE, SIG_IGN);
  PipeEnds pipe;
  ASSERT_GE(pipe.read, 0);
  ::close(pipe.read);
  pipe.read = -1;
  std::string bytes = "{}";
  iovec part = {bytes.data(), bytes.size()};
  EXPECT_FALSE(write_all(pipe.write, &part, 1));
  iovec again = {bytes.data(), bytes.size()};
  EXPECT_FALSE(write_all(-1, &again, 1));
}

}  // namespace
}  // namespace mirandel::platform::posix
