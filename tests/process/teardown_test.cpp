// The module's teardown: C_Finalize stops what the module started, and no
// signal disposition the module changed outlives it. Each module here took
// the run down before C_Finalize was called and the dispositions put back.
// The document is delivered before the teardown, and nothing the module does
// in C_Finalize changes it or the status.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "helper_test.hpp"
#include "param_name.hpp"

namespace mirandel::test {
namespace {

const std::string LISTING =
    R"({"slots":[{"description":"L","token_label":"T","certs":[{"der_hex":"3082aa"}]}],"error":null})";

class Teardown : public HelperProcessTest {
 protected:
  void SetUp() override { listing_scenario(); }
  void listing_scenario() {
    scenario = Scenario();
    scenario.slot(1).description("L").label("T").certificate(from_hex("3082aa"));
  }
};

struct Destination {
  MockVariant variant;
  bool to_file;
};

TEST_F(Teardown, DeliversTheWholeDocumentFromAModuleWithAThreadOrSignalHandlers) {
  for (const Destination& row :
       {Destination{MockVariant::Thread, false}, Destination{MockVariant::Thread, true},
        Destination{MockVariant::SignalHandlers, false},
        Destination{MockVariant::SignalHandlers, true}}) {
    const std::string where = module(row.variant) + (row.to_file ? " to a file" : "");
    std::vector<std::string> arguments = {module(row.variant)};
    if (row.to_file) arguments.push_back(file("out.json"));
    const ProcessResult result = run(arguments);
    EXPECT_EQ(result.exit_code, 0) << where << "\n" << result.describe();
    // Wine reports a fault here even when the document got out first.
    EXPECT_EQ(result.err, "") << where;
    EXPECT_EQ(row.to_file ? read_file("out.json").value_or("") : result.out,
              row.to_file ? LISTING : LISTING + "\n")
        << where;
    expect_teardown(log());
  }
}

struct FinalizeFault {
  const char* how;
  const char* output;  ///< "" for standard output, "folder" for a directory
  int status;
};

// The program's time limit on its teardown, which its AddressSanitizer build
// makes longer.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::chrono::seconds TEARDOWN_LIMIT{20};
#else
constexpr std::chrono::seconds TEARDOWN_LIMIT{3};
#endif

// What the caller gets is settled before C_Finalize: a hang ends within the
// time limit, and a crash, abort() or exit(0) there end the run with the
// delivery's status, status 1 included.
TEST_F(Teardown, KeepsTheDeliveredDocumentAndStatusWhateverCFinalizeDoes) {
  std::filesystem::create_directory(host_file("folder"));
  for (const FinalizeFault& row :
       {FinalizeFault{"hang", "", 0}, FinalizeFault{"hang", "out.json", 0},
        FinalizeFault{"crash", "", 0}, FinalizeFault{"crash", "out.json", 0},
        FinalizeFault{"abort", "", 0}, FinalizeFault{"abort", "out.json", 0},
        FinalizeFault{"exit", "", 0}, FinalizeFault{"exit", "out.json", 0},
        FinalizeFault{"exit", "folder", 1}}) {
    const std::string where = std::string(row.how) + " to '" + row.output + "'";
    listing_scenario();
    scenario.finalize(row.how);
    std::filesystem::remove(host_file("out.json"));
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult result = run({module(), *row.output ? file(row.output) : ""});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exit_code, row.status) << where << "\n" << result.describe();
    EXPECT_LT(took, TEARDOWN_LIMIT + std::chrono::seconds(target_uses_windows_paths() ? 6 : 2))
        << where;
    if (row.status == 0) {
      EXPECT_EQ(*row.output ? read_file(row.output).value_or("") : result.out,
                *row.output ? LISTING : LISTING + "\n")
          << where;
    }
    EXPECT_EQ(log().count("FINALIZE"), 1u) << where << log().text();
  }
}

// SIGPIPE and SIGXFSZ are ignored again once the module is gone, whatever it
// set them to: the failed write gives status 1 instead of a kill. Standard
// output named as the output file is written like a file.
TEST_F(Teardown, ReportsAGoneReaderWithStatusOneWhateverTheModuleDidToSigpipe) {
  if (target_uses_windows_paths()) GTEST_SKIP() << "POSIX signals";
  for (MockVariant variant : {MockVariant::SignalHandlers, MockVariant::SignalDefaults}) {
    ProcessOptions options;
    options.stdout_reader_gone = true;
    const ProcessResult result = run({module(variant), "/dev/stdout"}, std::nullopt, options);
    EXPECT_EQ(result.signal, 0) << module(variant) << "\n" << result.describe();
    EXPECT_EQ(result.exit_code, 1) << module(variant) << "\n" << result.describe();
  }
}

TEST_F(Teardown, ReportsAFileSizeLimitWithStatusOneAfterTheModuleResetSigxfsz) {
  if (target_uses_windows_paths()) GTEST_SKIP() << "POSIX signals";
  scenario.slot(2).certificate(Bytes(20000, 'x'));  // a 40 KB document
  scenario.write(host_file("scenario.txt"));
  ProcessOptions options;
  options.environment = {{"MIRANDEL_MOCK_SCENARIO", file("scenario.txt")},
                         {"MIRANDEL_MOCK_LOG", file("calls.log")}};
  options.working_directory = dir();
  const ProcessResult result =
      run_process({"prlimit", "--fsize=16384", "--", helper_executable().string(),
                   module(MockVariant::SignalDefaults), "out.json"},
                  options);
  EXPECT_EQ(result.signal, 0) << result.describe();
  EXPECT_EQ(result.exit_code, 1) << result.describe();
}

}  // namespace
}  // namespace mirandel::test
