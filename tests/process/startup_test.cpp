// Whole-process tests of the command line, the output destinations and the
// module start-up (load, discovery, C_Initialize, slot list), run against the
// mock module. Documents, standard error, exit status and the module's call
// log are compared exactly.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "helper_test.hpp"

namespace mirandel::test {
namespace {

const std::string USAGE =
    "uso: mirandel-pkcs11-helper <modulo> [output.json] [sign <input.json>]\n";
const std::string EMPTY_LISTING = R"({"slots":[],"error":null})";
const std::string ONE_SLOT_LISTING =
    R"({"slots":[{"description":"Lettore","token_label":"Token A","certs":[{"der_hex":"3082aa"}]}],"error":null})";

std::string listing_error(const std::string& message) {
  return R"({"slots":[],"error":")" + message + R"("})";
}

const std::string LOAD_FAILED =
    "Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)";
const std::string NO_DISCOVERY =
    "Modulo PKCS#11 non caricabile: Missing PKCS#11 symbol: C_GetFunctionList";

class Startup : public HelperProcessTest {
 protected:
  void one_slot() {
    scenario.slot(1).description("Lettore").label("Token A").certificate(from_hex("3082aa"));
  }

  /// Lists the one-slot token from a fresh scenario changed by `shape`.
  ProcessResult list_with(MockVariant variant, void (*shape)(Scenario&)) {
    scenario = Scenario{};
    one_slot();
    shape(scenario);
    return run({module(variant)});
  }

  /// Whether the module was unloaded once the whole output file was there.
  void expect_unloaded_after_document(const CallLog& calls) {
    expect_unload(calls, std::to_string(read_file("out.json").value_or("").size()));
  }
  void expect_unload(const CallLog& calls, const std::string& watched) {
    const std::vector<RecordedCall> unloads = calls.all("UNLOAD");
    ASSERT_EQ(unloads.size(), 1u) << calls.text();
    EXPECT_EQ(unloads[0].result("watch"), watched) << calls.text();
    EXPECT_EQ(calls.names().back(), "UNLOAD") << calls.text();
    expect_teardown(calls);
  }
};

// ---- Command line ----------------------------------------------------------

TEST_F(Startup, PrintsOnlyTheUsageLineWhenTheModuleArgumentIsMissingOrBlank) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {""},
      {" "},
      {"\t"},
      {" \t  \t"},
      {"\xC2\xA0"},                  // U+00A0 no-break space
      {"\xE3\x80\x80\xE2\x80\xA8"},  // U+3000, U+2028
      {"", "out.json"},
      {" ", "out.json", "sign", "request.json"},
  };
  for (const std::vector<std::string>& args : cases) {
    const ProcessResult result = run(args);
    EXPECT_EQ(result.exit_code, 2) << result.describe();
    EXPECT_EQ(result.err, USAGE);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(log().empty()) << "the module was loaded: " << log().text();
    EXPECT_EQ(other_files(), std::vector<std::string>{}) << "an output file was created";
  }
  EXPECT_EQ(USAGE.size(), 71u);
}

TEST_F(Startup, WritesTheDocumentToStandardOutputWithOneLineFeedWhenNoOutputIsNamed) {
  one_slot();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{module()}, {module(), ""}, {module(), "  \t"}}) {
    const ProcessResult result = run(args);
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(result.out, ONE_SLOT_LISTING + "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(other_files(), std::vector<std::string>{});
  }
}

TEST_F(Startup, WritesTheDocumentToTheOutputFileWithoutALineFeed) {
  one_slot();
  scenario.watch(file("out.json"));
  const ProcessResult result = run({module(), file("out.json")});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(read_file("out.json"), ONE_SLOT_LISTING);
  expect_unloaded_after_document(log());
}

TEST_F(Startup, TruncatesAnExistingLongerOutputFile) {
  write_file("out.json", std::string(4096, 'x') + "\n");
  const ProcessResult result = run({module(), "out.json"});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(read_file("out.json"), EMPTY_LISTING);
}

TEST_F(Startup, WritesNothingAnywhereWhenTheOutputDirectoryIsMissing) {
  one_slot();
  const ProcessResult result = run({module(), file("missing/out.json")});
  EXPECT_EQ(result.exit_code, 1) << result.describe();  // the document was not delivered
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(other_files(), std::vector<std::string>{});
  EXPECT_EQ(log().count("UNLOAD"), 1u);  // the listing still ran
}

struct ListingArguments {
  const char* name;
  std::vector<std::string> tail;  ///< arguments after the module
  const char* output_file;        ///< where the listing must land
};

TEST_F(Startup, ListsWheneverTheThirdArgumentIsNotExactlySign) {
  one_slot();
  const ListingArguments cases[] = {
      {"sign in position 2 is a file name", {"sign", "request.json"}, "sign"},
      {"upper-case SIGN", {"out.json", "SIGN", "request.json"}, "out.json"},
      {"sign with a trailing blank", {"out.json", "sign ", "request.json"}, "out.json"},
      {"extra arguments ignored", {"out.json", "list", "a", "b", "c"}, "out.json"},
  };
  for (const ListingArguments& c : cases) {
    std::vector<std::string> args = {module()};
    args.insert(args.end(), c.tail.begin(), c.tail.end());
    const ProcessResult result = run(args);
    EXPECT_EQ(result.exit_code, 0) << c.name << "\n" << result.describe();
    EXPECT_EQ(result.out, "") << c.name;
    EXPECT_EQ(read_file(c.output_file), ONE_SLOT_LISTING) << c.name;
    EXPECT_EQ(log().count("C_Login"), 0u) << c.name;
    std::filesystem::remove(host_file(c.output_file));
  }
}

// ---- Loading ---------------------------------------------------------------

TEST_F(Startup, ReportsAModuleThatCannotBeLoaded) {
  write_file("not-a-library.so", "this is text, not a shared library\n");
  const std::vector<std::string> modules = {
      file("missing.so"), file("not-a-library.so"),
      " " + module(),  // the leading blank is part of the path
      file(""),        // a directory
  };
  for (const std::string& path : modules) {
    const ProcessResult result = run({path});
    EXPECT_EQ(result.exit_code, 0) << path << "\n" << result.describe();
    EXPECT_EQ(result.out, listing_error(LOAD_FAILED) + "\n") << path;
    EXPECT_EQ(result.err, "") << path;
    EXPECT_TRUE(log().empty()) << path << "\n" << log().text();
  }
}

TEST_F(Startup, ReportsAModuleWithoutDiscoveryEntryPointsAndUnloadsItFirst) {
  scenario.watch(file("out.json"));
  const ProcessResult result = run({module(MockVariant::NoDiscovery), file("out.json")});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(read_file("out.json"), listing_error(NO_DISCOVERY));
  const CallLog calls = log();
  EXPECT_EQ(calls.names(), (std::vector<std::string>{"LOAD", "UNLOAD"}));
  expect_unloaded_after_document(calls);
}

struct DiscoveryFailure {
  const char* name;
  MockVariant variant;
  const char* function;  ///< the forced call
  unsigned long rv;
  std::string message;
  std::vector<std::string> calls;  ///< the C_* calls expected, in order
};

TEST_F(Startup, ReportsAFailingDiscoveryCallWithoutTryingTheOther) {
  const DiscoveryFailure cases[] = {
      {"C_GetInterface refuses although C_GetFunctionList works",
       MockVariant::InterfaceAndFunctionList,
       "C_GetInterface",
       0x54,
       "Modulo PKCS#11 non caricabile: Function::GetInterface: PKCS11 error: The requested "
       "function is not supported by this Cryptoki library.  Even unsupported functions in the "
       "Cryptoki API should have a \xE2\x80\x9Cstub\xE2\x80\x9D in the library; this stub should "
       "simply return the value CKR_FUNCTION_NOT_SUPPORTED.",
       {"C_GetInterface"}},
      {"C_GetFunctionList fails",
       MockVariant::FunctionList,
       "C_GetFunctionList",
       0x5,
       "Modulo PKCS#11 non caricabile: Function::GetFunctionList: PKCS11 error: Some horrible, "
       "unrecoverable error has occurred.  In the worst case, it is possible that the function "
       "only partially succeeded, and that the computer and/or token is in an inconsistent state.",
       {"C_GetFunctionList"}},
      {"C_GetFunctionList answers a vendor code",
       MockVariant::FunctionList,
       "C_GetFunctionList",
       0x80000123,
       "Modulo PKCS#11 non caricabile: Function::GetFunctionList: PKCS11 error: "
       "CKR_VENDOR_DEFINED(0x80000123)",
       {"C_GetFunctionList"}},
  };
  for (const DiscoveryFailure& c : cases) {
    scenario = Scenario{};
    scenario.slot(1).certificate("c");
    scenario.force(c.function).rv(c.rv);
    scenario.watch(file("out.json"));
    const ProcessResult result = run({module(c.variant), file("out.json")});
    EXPECT_EQ(result.exit_code, 0) << c.name << "\n" << result.describe();
    EXPECT_EQ(read_file("out.json"), listing_error(c.message)) << c.name;
    const CallLog calls = log();
    EXPECT_EQ(calls.call_names(), c.calls) << c.name << "\n" << calls.text();
    expect_unloaded_after_document(calls);
    std::filesystem::remove(host_file("out.json"));
  }
}

/// A change to the scenario's discovery shape.
using Shape = void (*)(Scenario&);

template <int Major, int Minor>
void interface_version(Scenario& s) {
  s.interface_version(Major, Minor);
}
void unchanged(Scenario&) {}
void interface_null(Scenario& s) { s.interface_null(); }
void interface_without_list(Scenario& s) { s.interface_without_list(); }
void function_list_null(Scenario& s) { s.function_list_null(); }

struct LayoutCase {
  const char* name;
  Shape shape;
  const char* via;  ///< the list every later call must come through
  MockVariant variant = MockVariant::InterfaceAndFunctionList;
};

// The list the program copied is seen in the log: the mock hands out a
// different set of function pointers through each discovery call, and each
// list is allocated with exactly the entries its version has, so copying more
// than the chosen layout's entries is an overread (caught under ASan).
TEST_F(Startup, UsesTheListOfTheDiscoveryCallThatGaveAUsableOne) {
  const LayoutCase cases[] = {
      {"2.40 module", unchanged, "fl", MockVariant::FunctionList},
      {"3.2 interface", interface_version<3, 2>, "if"},
      {"3.0 interface", interface_version<3, 0>, "if"},
      {"3.1 interface", interface_version<3, 1>, "if"},
      {"3.5 interface", interface_version<3, 5>, "if"},
      {"4.0 interface", interface_version<4, 0>, "if"},
      {"4.1 interface", interface_version<4, 1>, "if"},
      {"3.0 interface only", interface_version<3, 0>, "if", MockVariant::InterfaceOnly},
      {"2.40 interface", interface_version<2, 40>, "fl"},
      {"null interface", interface_null, "fl"},
      {"interface without a list", interface_without_list, "fl"},
  };
  for (const LayoutCase& c : cases) {
    const ProcessResult result = list_with(c.variant, c.shape);
    EXPECT_EQ(result.exit_code, 0) << c.name << "\n" << result.describe();
    EXPECT_EQ(result.out, ONE_SLOT_LISTING + "\n") << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    const CallLog calls = log();
    const bool needs_function_list = std::string(c.via) == "fl";
    EXPECT_EQ(calls.count("C_GetFunctionList"), needs_function_list ? 1u : 0u) << c.name << "\n"
                                                                               << calls.text();
    for (const RecordedCall& call : calls.entries()) {
      if (call.name == "C_GetInterface" || call.name == "C_GetFunctionList") {
        EXPECT_EQ(call.via, "export") << c.name << ": " << call.line;
      } else if (call.name.starts_with("C_")) {
        EXPECT_EQ(call.via, c.via) << c.name << ": " << call.line;
      }
    }
  }
}

struct UnusableDiscovery {
  const char* name;
  MockVariant variant;
  Shape shape;
  std::string message_start;
};

TEST_F(Startup, FailsWhenNoUsableListIsOffered) {
  const UnusableDiscovery cases[] = {
      {"2.40 interface and no C_GetFunctionList", MockVariant::InterfaceOnly,
       interface_version<2, 40>, NO_DISCOVERY},
      {"null interface and no C_GetFunctionList", MockVariant::InterfaceOnly, interface_null,
       NO_DISCOVERY},
      {"interface without a list and no C_GetFunctionList", MockVariant::InterfaceOnly,
       interface_without_list, NO_DISCOVERY},
      // Not covered by the PKCS#11 contract: the null list is never read, and
      // loading fails with a text naming C_GetFunctionList.
      {"C_GetFunctionList answers a null list", MockVariant::FunctionList, function_list_null,
       "Modulo PKCS#11 non caricabile: Function::GetFunctionList: "},
  };
  for (const UnusableDiscovery& c : cases) {
    const ProcessResult result = list_with(c.variant, c.shape);
    EXPECT_EQ(result.exit_code, 0) << c.name << "\n" << result.describe();
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_TRUE(result.out.starts_with(R"({"slots":[],"error":")" + c.message_start))
        << c.name << "\n"
        << result.out;
    EXPECT_TRUE(result.out.ends_with("\"}\n")) << c.name << "\n" << result.out;
    if (c.message_start == NO_DISCOVERY) {
      EXPECT_EQ(result.out, listing_error(NO_DISCOVERY) + "\n") << c.name;
    }
    const CallLog calls = log();
    EXPECT_EQ(calls.count("C_Initialize"), 0u) << c.name;
    EXPECT_EQ(calls.names().back(), "UNLOAD") << c.name;
  }
}

// ---- C_Initialize ------------------------------------------------------------

TEST_F(Startup, InitialisesOnceWithOsLockingAndNoMutexCallbacks) {
  one_slot();
  const ProcessResult result = run({module()});
  EXPECT_EQ(result.out, ONE_SLOT_LISTING + "\n");
  const CallLog calls = log();
  const std::vector<RecordedCall> inits = calls.all("C_Initialize");
  ASSERT_EQ(inits.size(), 1u) << calls.text();
  EXPECT_EQ(inits[0].line, "C_Initialize flags=0x2 mutexes=null reserved=null -> 0x0 via=if");
  EXPECT_EQ(calls.call_names().at(1), "C_Initialize");
  expect_teardown(calls);
}

struct InitializeFailure {
  unsigned long rv;
  std::string text;
};

TEST_F(Startup, ReportsAFailedInitialisationAndListsNothing) {
  const InitializeFailure cases[] = {
      {0x191,
       "This value can only be returned by C_Initialize.  It means that the Cryptoki library has "
       "already been initialized (by a previous call to C_Initialize which did not have a "
       "matching C_Finalize call)."},
      {0x4, "Unknown error code: 0x4"},
      {0xFFFFFFFF, "CKR_VENDOR_DEFINED(0xffffffff)"},
  };
  for (const InitializeFailure& c : cases) {
    scenario = Scenario{};
    one_slot();
    scenario.force("C_Initialize").rv(c.rv);
    scenario.watch(file("out.json"));
    const ProcessResult result = run({module(), file("out.json")});
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(read_file("out.json"),
              listing_error("Inizializzazione PKCS#11 fallita: Function::Initialize: PKCS11 "
                            "error: " +
                            c.text));
    const CallLog calls = log();
    EXPECT_EQ(calls.call_names(), (std::vector<std::string>{"C_GetInterface", "C_Initialize"}))
        << calls.text();
    expect_unloaded_after_document(calls);
    std::filesystem::remove(host_file("out.json"));
  }
}

const std::string CANT_LOCK_TEXT =
    "This value can only be returned by C_Initialize.  It means that the type of locking "
    "requested by the application for thread-safety is not available in this library, and so "
    "the application cannot make use of this library in the specified fashion.";

// A module that refuses CKF_OS_LOCKING_OK with CKR_CANT_LOCK is initialised
// once more with a null argument (one thread, no locking needed); the second
// answer is final, and decides whether C_Finalize follows.
TEST_F(Startup, InitialisesWithoutArgumentsWhenTheModuleCannotLock) {
  struct Case {
    const char* name;
    std::optional<unsigned long> second_rv;  ///< nullopt: the real answer
    std::string document;
  };
  const Case cases[] = {
      {"SecondCallSucceeds", std::nullopt, ONE_SLOT_LISTING},
      {"SecondCallCannotLockEither", 0xA,
       listing_error("Inizializzazione PKCS#11 fallita: Function::Initialize: PKCS11 error: " +
                     CANT_LOCK_TEXT)},
      {"SecondCallFailsOtherwise", 0x80000001,
       listing_error("Inizializzazione PKCS#11 fallita: Function::Initialize: PKCS11 error: "
                     "CKR_VENDOR_DEFINED(0x80000001)")},
  };
  for (const Case& c : cases) {
    scenario = Scenario{};
    one_slot();
    scenario.force("C_Initialize", 1).rv(0xA);
    if (c.second_rv) scenario.force("C_Initialize", 2).rv(*c.second_rv);
    const ProcessResult result = run({module()});
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(result.out, c.document + "\n") << c.name;
    const std::vector<RecordedCall> inits = log().all("C_Initialize");
    ASSERT_EQ(inits.size(), 2u) << c.name << "\n" << log().text();
    EXPECT_EQ(inits[0].argument("flags"), "0x2") << c.name;
    EXPECT_EQ(inits[1].argument("args"), "null") << c.name;
    EXPECT_EQ(log().count("C_GetSlotList"), c.second_rv ? 0u : 2u) << c.name;
    EXPECT_EQ(log().names().back(), "UNLOAD") << c.name;
    expect_teardown(log());  // finalised only after the second call succeeded
  }
}

TEST_F(Startup, ReportsANullInitializeEntryWithoutCallingAnything) {
  for (const MockVariant variant : {MockVariant::FunctionList, MockVariant::InterfaceOnly}) {
    scenario = Scenario{};
    one_slot();
    scenario.null_entry("C_Initialize");
    const ProcessResult result = run({module(variant)});
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(
        result.out,
        listing_error("Inizializzazione PKCS#11 fallita: Calling a NULL function pointer") + "\n");
    const CallLog calls = log();
    EXPECT_EQ(calls.count("C_Initialize"), 0u) << calls.text();
    EXPECT_EQ(calls.count("C_GetSlotList"), 0u) << calls.text();
    EXPECT_EQ(calls.names().back(), "UNLOAD");
  }
}

// ---- The slot list -------------------------------------------------------------

TEST_F(Startup, ListsNoSlotWhenNoTokenIsPresentAfterAFillCallWithCountZero) {
  scenario.slot(1).absent();
  const ProcessResult result = run({module()});
  EXPECT_EQ(result.out, EMPTY_LISTING + "\n");
  const std::vector<RecordedCall> lists = log().all("C_GetSlotList");
  ASSERT_EQ(lists.size(), 2u) << log().text();
  EXPECT_EQ(lists[0].line, "C_GetSlotList present=1 list=null/0 count=0 -> 0x0 count=0 via=if");
  EXPECT_EQ(lists[1].line,
            "C_GetSlotList present=1 list=buf/0 count=0 -> 0x0 count=0 slots= via=if");
  EXPECT_EQ(log().count("C_GetSlotInfo"), 0u);
}

TEST_F(Startup, RepeatsTheFillCallWhileTheModuleAnswersBufferTooSmall) {
  scenario.slot(1).description("Primo").label("A");
  scenario.slot(2).description("Secondo").label("B").appears_at(2);  // inserted between the calls
  scenario.slot(3).description("Terzo").label("C").appears_at(3);
  const ProcessResult result = run({module()});
  EXPECT_EQ(result.out, R"({"slots":[{"description":"Primo","token_label":"A","certs":[]},)"
                        R"({"description":"Secondo","token_label":"B","certs":[]},)"
                        R"({"description":"Terzo","token_label":"C","certs":[]}],"error":null})"
                        "\n");
  const std::vector<RecordedCall> lists = log().all("C_GetSlotList");
  ASSERT_EQ(lists.size(), 4u) << log().text();
  EXPECT_EQ(lists[1].argument("list"), "buf/1");
  EXPECT_EQ(lists[1].rv, 0x150u);
  EXPECT_EQ(lists[2].argument("list"), "buf/2");
  EXPECT_EQ(lists[2].rv, 0x150u);
  EXPECT_EQ(lists[3].argument("list"), "buf/3");
  EXPECT_EQ(lists[3].result("slots"), "1,2,3");
}

TEST_F(Startup, TakesOnlyTheIdentifiersTheBufferHoldsWhenTheCountGrowsOnSuccess) {
  scenario.slot(4).description("Solo").label("T");
  scenario.force("C_GetSlotList", 2).count(5);  // claims five, wrote one
  const ProcessResult result = run({module()});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out,
            R"({"slots":[{"description":"Solo","token_label":"T","certs":[]}],"error":null})"
            "\n");
  EXPECT_EQ(log().count("C_GetSlotList"), 2u);
}

struct SlotListFailure {
  unsigned call;
  unsigned long rv;
  std::string text;
};

TEST_F(Startup, ReportsAFailingSlotListAfterUnloadingTheModule) {
  const SlotListFailure cases[] = {
      {1, 0x7,
       "This is a rather generic error code which indicates that the arguments supplied to the "
       "Cryptoki function were in some way not appropriate."},
      {2, 0x32, "The token was removed from its slot during the execution of the function."},
      {2, 0x80000001, "CKR_VENDOR_DEFINED(0x80000001)"},
  };
  for (const SlotListFailure& c : cases) {
    scenario = Scenario{};
    one_slot();
    scenario.force("C_GetSlotList", c.call).rv(c.rv);
    scenario.watch(file("out.json"));
    const ProcessResult result = run({module(), file("out.json")});
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(read_file("out.json"),
              listing_error("Lettura degli slot fallita: Function::GetSlotList: PKCS11 error: " +
                            c.text));
    const CallLog calls = log();
    // Nothing follows the failing call but the teardown.
    EXPECT_EQ(calls.entries().at(calls.entries().size() - 3).name, "C_GetSlotList") << calls.text();
    EXPECT_EQ(calls.count("C_GetSlotList"), c.call) << calls.text();
    expect_unloaded_after_document(calls);
    std::filesystem::remove(host_file("out.json"));
  }
}

// A module whose fill call keeps answering CKR_BUFFER_TOO_SMALL is given
// sixteen more tries, then fails with that answer.
TEST_F(Startup, GivesUpOnASlotListThatKeepsGrowing) {
  one_slot();
  scenario.force("C_GetSlotList", 1).run();
  scenario.force("C_GetSlotList").rv(0x150);
  scenario.watch(file("out.json"));
  const ProcessResult result = run({module(), file("out.json")});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(read_file("out.json"),
            listing_error("Lettura degli slot fallita: Function::GetSlotList: PKCS11 error: The "
                          "output of the function is too large to fit in the supplied buffer."));
  const CallLog calls = log();
  EXPECT_EQ(calls.count("C_GetSlotList"), 1u + 1u + 16u) << calls.text();
  expect_unloaded_after_document(calls);
}

TEST_F(Startup, RefusesAnAbsurdSlotCountWithoutExhaustingMemory) {
  one_slot();
  scenario.force("C_GetSlotList", 1).count(0xFFFFFFFFul);
  const ProcessResult result = run({module()});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out.starts_with(R"({"slots":[],"error":"Lettura degli slot fallita: )"))
      << result.out;
  EXPECT_EQ(log().names().back(), "UNLOAD");
}

}  // namespace
}  // namespace mirandel::test
