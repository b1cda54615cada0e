// Whole-process tests of how the document reaches the caller: a module that
// prints to standard output, standard streams closed at start, a slow
// non-blocking pipe, existing files written in place, new files shown only
// whole, output files that cannot be written whole, special files, and
// concurrent runs. The exit status says whether a whole document
// arrived where the caller asked for it.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "helper_test.hpp"

extern char** environ;

namespace mirandel::test {
namespace {

namespace fs = std::filesystem;

const Bytes CERT = from_hex("3082010a02820101");

/// The listing document of one mock slot (id 1) holding `certs`.
std::string listing_of(const std::vector<Bytes>& certs) {
  std::string document =
      R"({"slots":[{"description":"Mock slot 1","token_label":"Mock token 1","certs":[)";
  for (std::size_t i = 0; i < certs.size(); ++i)
    document += (i ? "," : "") + std::string(R"({"der_hex":")") + to_hex(certs[i]) + "\"}";
  return document + "]}],\"error\":null}";
}

/// `count` certificates of `size` bytes each, told apart by their first byte.
std::vector<Bytes> big_certificates(std::size_t count, std::size_t size, char fill = 'x') {
  std::vector<Bytes> certs;
  for (std::size_t i = 0; i < count; ++i) {
    certs.push_back(Bytes(size, fill));
    certs.back()[0] = static_cast<char>(i);
  }
  return certs;
}

class Delivery : public HelperProcessTest {
 protected:
  void one_slot(const std::vector<Bytes>& certs = {CERT}) {
    MockSlot& slot = scenario.slot(1);
    for (const Bytes& cert : certs) slot.certificate(cert);
  }

  /// Skips a test that needs the program to see this machine's own files
  /// (/dev, FIFOs, descriptors, resource limits) natively.
  bool native() const { return !target_uses_windows_paths(); }

  /// The environment that points the mock at this test's scenario and log.
  ProcessOptions mock_options() {
    scenario.write(host_file("scenario.txt"));
    std::error_code ignored;
    fs::remove(host_file("calls.log"), ignored);
    ProcessOptions options;
    options.environment = {{"MIRANDEL_MOCK_SCENARIO", file("scenario.txt")},
                           {"MIRANDEL_MOCK_LOG", file("calls.log")}};
    options.working_directory = dir();
    return options;
  }

  /// The program's command line behind `wrapper` (a shell or prlimit).
  static std::vector<std::string> wrapped(std::vector<std::string> wrapper,
                                          const std::vector<std::string>& arguments) {
    for (const std::string& word : launcher_prefix()) wrapper.push_back(word);
    wrapper.push_back(helper_executable().string());
    wrapper.insert(wrapper.end(), arguments.begin(), arguments.end());
    return wrapper;
  }

  /// Runs the program with the shell redirections `redirections` applied
  /// (e.g. ">&-" closes standard output).
  ProcessResult run_redirected(const std::string& redirections,
                               const std::vector<std::string>& arguments) {
    ProcessOptions options = mock_options();
    return run_process(wrapped({"/bin/sh", "-c", "exec \"$@\" " + redirections, "sh"}, arguments),
                       options);
  }
};

// ---- A module that prints to standard output ---------------------------------

TEST_F(Delivery, KeepsAModulesStandardOutputOutOfTheListing) {
  one_slot();
  scenario.stdout_chatter();
  const ProcessResult result = run({module()});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, listing_of({CERT}) + "\n");
  // (Without the line feeds, which a Windows C runtime writes as CR LF.)
  for (const char* line : {"chatter C_Initialize printf", "chatter C_Initialize write",
                           "chatter C_GetSlotList printf", "chatter C_GetSlotList write"})
    EXPECT_NE(result.err.find(line), std::string::npos) << line << result.describe();
}

TEST_F(Delivery, KeepsAModulesStandardOutputOutOfTheSignature) {
  scenario.slot(1).certificate(CERT).object(
      MockObject::private_key().sign(true).signature(from_hex("5151")));
  scenario.stdout_chatter();
  write_file("request.json", R"({"pin":"1234","cert_der_hex":")" + to_hex(CERT) +
                                 R"(","data_hex":"6869","mechanism":"rsa_sha256"})");
  const ProcessResult result = run({module(), "", "sign", "request.json"});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, "{\"signature\":\"5151\",\"error\":null}\n");
  for (const char* line :
       {"chatter C_Initialize printf", "chatter C_Sign printf", "chatter C_Sign write"})
    EXPECT_NE(result.err.find(line), std::string::npos) << line << result.describe();
}

TEST_F(Delivery, WritesOnlyTheDocumentToAnOutputFileWhileAModuleChatters) {
  one_slot();
  scenario.stdout_chatter();
  const ProcessResult result = run({module(), "out.json"});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(read_file("out.json"), listing_of({CERT}));
}

// ---- Standard streams closed at start -----------------------------------------

TEST_F(Delivery, NeverWritesTheDocumentIntoAFileTheModuleOpenedInPlaceOfStandardOutput) {
  if (!native()) GTEST_SKIP() << "closed descriptors reach a Windows program differently";
  one_slot();
  scenario.stdout_chatter(file("module.log"));
  const ProcessResult result = run_redirected(">&-", {module()});
  // Nowhere to deliver: no document, and the status says so.
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(read_file("module.log"), "mock log opened\n");
}

TEST_F(Delivery, WritesTheFileWhenEveryStandardStreamWasClosed) {
  if (!native()) GTEST_SKIP() << "closed descriptors reach a Windows program differently";
  one_slot();
  scenario.stdout_chatter(file("module.log"));
  const ProcessResult result = run_redirected("<&- >&- 2>&-", {module(), "out.json"});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(read_file("out.json"), listing_of({CERT}));
  EXPECT_EQ(read_file("module.log"), "mock log opened\n");
}

TEST_F(Delivery, ReportsStandardOutputClosedAtStartAsAnOutputPath) {
  if (!native()) GTEST_SKIP() << "Linux paths of standard output";
  one_slot();
  for (const char* path : {"/dev/stdout", "/proc/self/fd/1"}) {
    const ProcessResult result = run_redirected(">&-", {module(), path});
    EXPECT_EQ(result.exit_code, 1) << path << result.describe();
  }
}

// ---- A non-blocking pipe read slowly ------------------------------------------

/// Starts the program with standard output on a pipe whose write end is
/// non-blocking, reads it only after a pause and then in small pieces, and
/// returns what arrived and the exit status.
std::pair<std::string, int> run_with_slow_nonblocking_pipe(const std::vector<std::string>& argv,
                                                           const ProcessOptions& options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {"", -1};
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  std::vector<std::string> env_strings;
  for (char** entry = environ; *entry; ++entry) env_strings.emplace_back(*entry);
  for (const auto& [key, value] : options.environment) env_strings.push_back(key + "=" + value);
  std::vector<char*> env;
  for (std::string& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> arg_pointers;
  for (std::string& s : args) arg_pointers.push_back(s.data());
  arg_pointers.push_back(nullptr);
  const std::string directory = options.working_directory.string();

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 2);
    if (::chdir(directory.c_str()) != 0) ::_exit(126);
    ::execvpe(arg_pointers[0], arg_pointers.data(), env.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  // Long enough for the program to fill the pipe and meet EAGAIN.
  std::this_thread::sleep_for(std::chrono::milliseconds(target_uses_windows_paths() ? 3000 : 500));
  std::string out;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (;;) {
    pollfd readable = {fds[0], POLLIN, 0};
    if (::poll(&readable, 1, 1000) < 0 && errno != EINTR) break;
    const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got == 0) break;
    if (got > 0) out.append(buffer, static_cast<std::size_t>(got));
    if (got < 0 && errno != EINTR && errno != EAGAIN) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(Delivery, DeliversAWholeLargeListingThroughASlowNonBlockingPipe) {
  const std::vector<Bytes> certs = big_certificates(12, 20000);  // a 480 KB document
  one_slot(certs);
  const ProcessOptions options = mock_options();
  const auto [out, status] = run_with_slow_nonblocking_pipe(wrapped({}, {module()}), options);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.size(), listing_of(certs).size() + 1);
  EXPECT_TRUE(out == listing_of(certs) + "\n") << "the document arrived cut or changed";
}

// ---- Output files that cannot be written whole ---------------------------------

TEST_F(Delivery, ReportsAFullDeviceWithStatusOne) {
  if (!native()) GTEST_SKIP() << "/dev/full is a Linux device";
  one_slot();
  const ProcessResult result = run({module(), "/dev/full"});
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST_F(Delivery, LeavesAnExistingFilePartialAndNoNewFileWhenAFileSizeLimitStopsTheWrite) {
  if (!native()) GTEST_SKIP() << "resource limits are set on the Linux process";
  const std::vector<Bytes> certs = big_certificates(4, 5000);  // a 40 KB document
  one_slot(certs);
  write_file("old.json", "old document");
  const ProcessOptions options = mock_options();
  for (const std::string name : {"old.json", "new.json"}) {
    const ProcessResult result =
        run_process(wrapped({"prlimit", "--fsize=16384", "--"}, {module(), name}), options);
    EXPECT_EQ(result.signal, 0) << "killed by a signal: " << result.describe();
    EXPECT_EQ(result.exit_code, 1) << result.describe();
  }
  // Written in place as far as the limit let it.
  EXPECT_EQ(read_file("old.json"), listing_of(certs).substr(0, 16384));
  EXPECT_EQ(read_file("new.json"), std::nullopt);
  EXPECT_EQ(hidden_names(dir()), std::vector<std::string>{}) << "a temporary file was left";
}

TEST_F(Delivery, ReportsADirectoryAsOutputWithStatusOne) {
  one_slot();
  fs::create_directory(host_file("folder"));
  const ProcessResult result = run({module(), "folder"});
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_TRUE(fs::is_directory(host_file("folder")));
  EXPECT_TRUE(fs::is_empty(host_file("folder")));
  EXPECT_EQ(hidden_names(dir()), std::vector<std::string>{});
}

TEST_F(Delivery, WritesAnExistingFileInPlaceKeepingItsIdentity) {
  one_slot();
  write_file("out.json", std::string(100000, 'o'));
  fs::create_hard_link(host_file("out.json"), host_file("link.json"));
  if (native()) fs::permissions(host_file("out.json"), fs::perms(0640));
  const bool as_root = ::geteuid() == 0;
  if (as_root) {
    ASSERT_EQ(::chown(host_file("out.json").c_str(), 1, 2), 0);
  }
  struct stat before {};
  ASSERT_EQ(::stat(host_file("out.json").c_str(), &before), 0);
  // A caller that holds the file open, as Python's NamedTemporaryFile or
  // mkstemp do, reads the document through its handle.
  std::ifstream held(host_file("out.json"), std::ios::binary);
  const ProcessResult result = run({module(), "out.json"});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), listing_of({CERT}));
  EXPECT_EQ(read_file("link.json"), listing_of({CERT}));
  struct stat after {};
  ASSERT_EQ(::stat(host_file("out.json").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  if (native()) {
    EXPECT_EQ(after.st_mode & 07777, 0640u);
  }
  if (as_root) {
    EXPECT_EQ(std::pair(after.st_uid, after.st_gid), std::pair(uid_t{1}, gid_t{2}));
  }
  EXPECT_EQ(hidden_names(dir()), std::vector<std::string>{});
}

TEST_F(Delivery, WritesAnotherUsersWritableFileInAStickyFolder) {
  if (!native() || ::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  one_slot();
  fs::permissions(dir(), fs::perms(0711));
  fs::create_directory(host_file("shared"));
  fs::permissions(host_file("shared"), fs::perms(01777));
  write_file("shared/out.json", "old document");
  fs::permissions(host_file("shared/out.json"), fs::perms(0666));
  const ProcessOptions options = mock_options();
  const ProcessResult result =
      run_process(wrapped({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"},
                          {module(), file("shared/out.json")}),
                  options);
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(read_file("shared/out.json"), listing_of({CERT}));
}

TEST_F(Delivery, WritesARelativePathWhereItWasWhenAModuleChangesTheWorkingDirectory) {
  one_slot();
  fs::create_directory(host_file("elsewhere"));
  scenario.chdir(file("elsewhere"));
  const ProcessResult result = run({module(), "out.json"});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(read_file("out.json"), listing_of({CERT}));
  EXPECT_TRUE(fs::is_empty(host_file("elsewhere")));
}

TEST_F(Delivery, CreatesAPathNearTheLengthLimitDirectly) {
  if (!native()) GTEST_SKIP() << "Linux path limits";
  one_slot();
  // 16 folders of 254 characters and a short name: 4,086 bytes, too long
  // for a temporary name beside it. Made and removed by descriptor, since
  // the absolute path is past the limit.
  const std::string folder(254, 'd');
  std::string relative;
  std::vector<int> folders = {::open(dir().c_str(), O_PATH | O_DIRECTORY)};
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(::mkdirat(folders.back(), folder.c_str(), 0755), 0);
    folders.push_back(::openat(folders.back(), folder.c_str(), O_PATH | O_DIRECTORY));
    relative += folder + "/";
  }
  relative += "o.json";
  ASSERT_EQ(relative.size(), 4086u);
  const ProcessResult result = run({module(), relative});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  const fs::path last = fs::path("/proc/self/fd") / std::to_string(folders.back());
  EXPECT_EQ(read_whole(last / "o.json"), listing_of({CERT}));
  ::unlinkat(folders.back(), "o.json", 0);
  // A write cut short by a file-size limit removes the file it created.
  const ProcessResult cut =
      run_process(wrapped({"prlimit", "--fsize=16", "--"}, {module(), relative}), mock_options());
  EXPECT_EQ(cut.exit_code, 1) << cut.describe();
  EXPECT_EQ(read_whole(last / "o.json"), std::nullopt) << "a partial file was left";
  for (std::size_t i = folders.size() - 1; i > 0; --i) {
    ::close(folders[i]);
    ::unlinkat(folders[i - 1], folder.c_str(), AT_REMOVEDIR);
  }
  ::close(folders[0]);
}

/// Makes a folder refuse new entries while it lives: chmod 0555, or for root
/// (whom permissions do not stop) the immutable attribute.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const fs::path& folder) : folder_(folder) {
    if (::geteuid() != 0) {
      fs::permissions(folder_, fs::perms(0555));
      active_ = true;
      return;
    }
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      active_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (fd >= 0) ::close(fd);
  }
  ~ReadOnlyFolder() {
    if (!active_) return;
    if (::geteuid() != 0) {
      fs::permissions(folder_, fs::perms(0755));
      return;
    }
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) ::close(fd);
  }
  /// False when this file system cannot make the folder read-only for us.
  bool active() const { return active_; }

 private:
  fs::path folder_;
  bool active_ = false;
};

TEST_F(Delivery, WritesInPlaceWhenTheFolderTakesNoNewFile) {
  one_slot();
  fs::create_directory(host_file("locked"));
  std::ofstream(host_file("locked") / "out.json", std::ios::binary) << std::string(5000, 'o');
  std::ofstream(host_file("locked") / "other.json", std::ios::binary) << "x";
  {
    ReadOnlyFolder locked(host_file("locked"));
    if (!locked.active()) GTEST_SKIP() << "cannot make a folder read-only here";
    const ProcessResult with_target = run({module(), file("locked/out.json")});
    EXPECT_EQ(with_target.exit_code, 0) << with_target.describe();
    const ProcessResult without_target = run({module(), file("locked/new.json")});
    EXPECT_EQ(without_target.exit_code, 1) << without_target.describe();
  }
  EXPECT_EQ(read_whole(host_file("locked") / "out.json"), listing_of({CERT}));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(host_file("locked")))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"other.json", "out.json"}));
}

// ---- Special files -------------------------------------------------------------

TEST_F(Delivery, WritesASymbolicLinksTargetAndKeepsTheLink) {
  if (!native()) GTEST_SKIP() << "a Linux symbolic link";
  one_slot();
  write_file("target.json", std::string(5000, 'o'));
  fs::create_symlink("target.json", host_file("link.json"));
  const ProcessResult result = run({module(), "link.json"});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_TRUE(fs::is_symlink(host_file("link.json")));
  EXPECT_EQ(fs::read_symlink(host_file("link.json")), "target.json");
  EXPECT_EQ(read_file("target.json"), listing_of({CERT}));
}

TEST_F(Delivery, WritesIntoANamedPipeAndStartsWithoutCoreDumps) {
  if (!native()) GTEST_SKIP() << "a Linux FIFO and /proc";
  const std::vector<Bytes> certs = big_certificates(4, 30000);  // past a pipe's buffer
  one_slot(certs);
  ASSERT_EQ(::mkfifo(host_file("fifo").c_str(), 0600), 0);
  const ProcessOptions options = mock_options();
  std::vector<std::string> argv = wrapped({}, {module(), "fifo"});
  ProcessResult result;
  std::thread runner([&] { result = run_process(argv, options); });
  // The program blocks opening the FIFO until we open it for reading; it
  // has set its limits by then.
  std::string limits;
  for (int i = 0; i < 600 && limits.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (log().count("C_CloseSession") == 0) continue;
    std::error_code error;
    for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
      const std::string cmdline = read_whole(it->path() / "cmdline").value_or("");
      if (cmdline.find(helper_executable().string()) == 0 &&
          fs::equivalent(it->path() / "cwd", dir(), error))
        limits = read_whole(it->path() / "limits").value_or("");
    }
  }
  const std::string document = read_whole(host_file("fifo")).value_or("");
  runner.join();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_TRUE(document == listing_of(certs)) << "the FIFO received " << document.size() << " bytes";
  EXPECT_NE(limits.find("Max core file size        0                    0"), std::string::npos)
      << limits;
}

TEST_F(Delivery, WritesToDevStdoutExactlyTheDocumentWhileAModuleChatters) {
  if (!native()) GTEST_SKIP() << "/dev/stdout is a Linux path";
  one_slot();
  scenario.stdout_chatter();
  const ProcessResult result = run({module(), "/dev/stdout"});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, listing_of({CERT}));
  EXPECT_NE(result.err.find("chatter C_GetSlotList write"), std::string::npos);
}

// Standard output named as the output path: appended to when the caller
// opened it for appending, truncated otherwise.
TEST_F(Delivery, AppendsToStandardOutputNamedAsThePathWhenItWasOpenedForAppending) {
  if (!native()) GTEST_SKIP() << "/dev/stdout is a Linux path";
  one_slot();
  for (const auto& [redirection, kept] :
       {std::pair<std::string, std::string>{">> app.log", "LINE1\nLINE2\n"}, {"> app.log", ""}}) {
    write_file("app.log", "LINE1\nLINE2\n");
    const ProcessResult result = run_redirected(redirection, {module(), "/dev/stdout"});
    EXPECT_EQ(result.exit_code, 0) << redirection << result.describe();
    EXPECT_EQ(read_file("app.log"), kept + listing_of({CERT})) << redirection;
  }
}

TEST_F(Delivery, ShowsANewFileOnlyWholeWhileWriting) {
  const std::vector<Bytes> certs = big_certificates(4, 125000);  // a 1 MB document
  one_slot(certs);
  const std::string document = listing_of(certs);
  const ProcessOptions options = mock_options();
  const std::vector<std::string> argv = wrapped({}, {module(), "out.json"});
  std::size_t other_sizes = 0;
  for (int round = 0; round < 2; ++round) {
    fs::remove(host_file("out.json"));
    std::atomic<bool> done = false;
    ProcessResult result;
    std::thread runner([&] {
      result = run_process(argv, options);
      done = true;
    });
    // Whatever a reader finds at the path while the run goes on.
    while (!done) {
      const std::optional<std::string> seen = read_whole(host_file("out.json"));
      if (seen && *seen != document) ++other_sizes;
    }
    runner.join();
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_TRUE(read_file("out.json") == document);
  }
  EXPECT_EQ(other_sizes, 0u) << "a reader saw an empty or partial file " << other_sizes << " times";
}

// ---- Concurrent runs -------------------------------------------------------------

// However many runs write one path at once, new or existing, it ends
// holding one run's whole document, and every run reports its write.
TEST_F(Delivery, LeavesOneWholeDocumentAfterSixConcurrentRunsOnOnePath) {
  constexpr int RUNS = 6;
  // Six scenarios whose listings differ in size and in every byte.
  std::vector<ProcessOptions> options;
  std::vector<std::string> documents;
  for (int i = 0; i < RUNS; ++i) {
    scenario = Scenario();
    const std::vector<Bytes> certs = big_certificates(1 + i % 3, 20000 * (i + 1), 'a' + i);
    one_slot(certs);
    documents.push_back(listing_of(certs));
    const std::string name = "scenario" + std::to_string(i) + ".txt";
    scenario.write(host_file(name));
    ProcessOptions option;
    option.environment = {{"MIRANDEL_MOCK_SCENARIO", file(name)}};
    option.working_directory = dir();
    options.push_back(option);
  }
  const std::vector<std::string> argv = wrapped({}, {module(), "out.json"});
  for (const bool existing : {false, true}) {
    // Under Wine each run takes a second or so: fewer rounds there.
    for (int round = 0; round < (native() ? 10 : 3); ++round) {
      fs::remove(host_file("out.json"));
      if (existing) write_file("out.json", std::string(500000, 'o'));
      std::vector<ProcessResult> results(RUNS);
      std::vector<std::thread> runs;
      for (int i = 0; i < RUNS; ++i)
        runs.emplace_back([&, i] { results[i] = run_process(argv, options[i]); });
      for (std::thread& run : runs) run.join();
      for (const ProcessResult& result : results)
        EXPECT_EQ(result.exit_code, 0) << result.describe();
      const std::string document = read_whole(host_file("out.json")).value_or("");
      EXPECT_TRUE(std::find(documents.begin(), documents.end(), document) != documents.end())
          << (existing ? "existing" : "new") << " path, round " << round << ": " << document.size()
          << " bytes, none of the documents";
    }
  }
  EXPECT_EQ(hidden_names(dir()), std::vector<std::string>{});
}

}  // namespace
}  // namespace mirandel::test
