// The hostile-module matrix: every PKCS#11 call the program makes fails in
// turn with a representative set of return values, and the module breaks the
// PKCS#11 contract in every way the program can meet (more handles or bytes
// than asked for, null lists and entries, answers that never end, output on
// standard output). Every run must end with exactly the expected document,
// byte for byte, every session closed, the module finalised (C_Finalize
// last, whatever it answers) and unloaded after the document is written, and
// nothing else anywhere. The suite also runs in the
// sanitizer build, where any report fails it.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "helper_test.hpp"
#include "param_name.hpp"

namespace mirandel::test {
namespace {

const Bytes CERT = from_hex("3082aa");
constexpr std::string_view SIGNATURE_HEX = "5151";
constexpr std::string_view NO_KEY = "Chiave privata di firma non trovata sul dispositivo.";
constexpr std::string_view NULL_ENTRY = "Calling a NULL function pointer";

// The prefixes of the error messages, one for each step of a run.
const std::string LOAD = "Modulo PKCS#11 non caricabile: ";
const std::string INITIALISATION = "Inizializzazione PKCS#11 fallita: ";
const std::string SLOTS = "Lettura degli slot fallita: ";
const std::string LOGIN = "Login fallito (PIN errato?): ";
const std::string SIGN = "Firma fallita: ";

const std::string FULL_LISTING =
    R"({"slots":[{"description":"L","token_label":"T","certs":[{"der_hex":"3082aa"}]}],"error":null})";
const std::string EMPTY_SLOT_LISTING =
    R"({"slots":[{"description":"L","token_label":"T","certs":[]}],"error":null})";
const std::string SIGNED = R"({"signature":"5151","error":null})";

std::string listing_error(std::string_view message) {
  return R"({"slots":[],"error":")" + std::string(message) + R"("})";
}
std::string signing_error(std::string_view message) {
  return R"({"signature":null,"error":")" + std::string(message) + R"("})";
}

/// One return value of the representative set and its text.
struct ReturnValueCase {
  const char* name;
  unsigned long rv;
  std::string text;
};

const ReturnValueCase RETURN_VALUES[] = {
    {"GeneralError", 0x5,
     "Some horrible, unrecoverable error has occurred.  In the worst case, it is possible that "
     "the function only partially succeeded, and that the computer and/or token is in an "
     "inconsistent state."},
    {"DeviceRemoved", 0x32,
     "The token was removed from its slot during the execution of the function."},
    {"Vendor", 0x80000001, "CKR_VENDOR_DEFINED(0x80000001)"},
    {"Unlisted", 0x4, "Unknown error code: 0x4"},
};

enum class Mode { List, Sign };

std::string row_prefix(Mode mode) { return mode == Mode::List ? "List_" : "Sign_"; }

struct Hostile {
  std::string name;
  Mode mode = Mode::List;
  std::function<void(Scenario&)> misbehave;
  std::string document;
  MockVariant variant = MockVariant::InterfaceAndFunctionList;
  bool closes_sessions = true;  ///< false when C_CloseSession cannot be called
  bool on_stdout = false;       ///< the document goes to standard output
};

void PrintTo(const Hostile& row, std::ostream* out) { *out << row.name; }

/// A misbehaviour met in a listing run and in a signing run, which become
/// the rows List_<name> and Sign_<name>.
struct InBothModes {
  std::string name;
  std::function<void(Scenario&)> misbehave;
  std::string listing;
  std::string signing;
  bool closes_sessions = true;
  bool on_stdout = false;
};

void add_rows(std::vector<Hostile>& rows, const InBothModes& both) {
  for (Mode mode : {Mode::List, Mode::Sign}) {
    Hostile row{row_prefix(mode) + both.name, mode, both.misbehave,
                mode == Mode::List ? both.listing : both.signing};
    row.closes_sessions = both.closes_sessions;
    row.on_stdout = both.on_stdout;
    rows.push_back(std::move(row));
  }
}

/// How a failing call shows in the document: the run's error document with
/// `prefix` before the call's error text, or, when the run goes on without
/// the call, a `document` that does not depend on the error.
struct Outcome {
  std::string prefix;
  std::optional<std::string> document;

  std::string in(Mode mode, const std::string& error_text) const {
    if (document) return *document;
    return mode == Mode::List ? listing_error(prefix + error_text)
                              : signing_error(prefix + error_text);
  }
};

Outcome fails(std::string prefix) { return {std::move(prefix), std::nullopt}; }
Outcome goes_on(std::string document) { return {"", std::move(document)}; }

const std::string NO_SLOT_DESCRIPTION =
    R"({"slots":[{"description":null,"token_label":"T","certs":[{"der_hex":"3082aa"}]}],"error":null})";
const std::string NO_TOKEN_LABEL =
    R"({"slots":[{"description":"L","token_label":null,"certs":[{"der_hex":"3082aa"}]}],"error":null})";

/// One call of a normal run (the n-th call of a function) and what its
/// failure leads to.
struct CallSite {
  const char* function;
  unsigned call;
  Outcome outcome;
  MockVariant variant = MockVariant::InterfaceAndFunctionList;
};

const char* function_word(const char* function) { return function + 2; }  // without "C_"

/// The calls of both runs on the one-slot token, in order: the first five
/// load the module and read the slot list, the same in either run.
std::vector<CallSite> calls_of(Mode mode) {
  std::vector<CallSite> calls = {
      {"C_GetInterface", 1, fails(LOAD)},
      {"C_GetFunctionList", 1, fails(LOAD), MockVariant::FunctionList},
      {"C_Initialize", 1, fails(INITIALISATION)},
      {"C_GetSlotList", 1, fails(SLOTS)},
      {"C_GetSlotList", 2, fails(SLOTS)},
  };
  const std::vector<CallSite> listing = {
      {"C_GetSlotInfo", 1, goes_on(NO_SLOT_DESCRIPTION)},
      {"C_GetTokenInfo", 1, goes_on(NO_TOKEN_LABEL)},
      {"C_OpenSession", 1, goes_on(EMPTY_SLOT_LISTING)},
      {"C_FindObjectsInit", 1, goes_on(EMPTY_SLOT_LISTING)},
      {"C_FindObjects", 1, goes_on(EMPTY_SLOT_LISTING)},
      {"C_FindObjectsFinal", 1, goes_on(FULL_LISTING)},
      {"C_GetAttributeValue", 1, goes_on(EMPTY_SLOT_LISTING)},
      {"C_GetAttributeValue", 2, goes_on(EMPTY_SLOT_LISTING)},
      {"C_CloseSession", 1, goes_on(FULL_LISTING)},
      {"C_Finalize", 1, goes_on(FULL_LISTING)},
  };
  // A failed certificate search or read leaves the token without a matching
  // certificate: the run then logs in on it anyway (a second session) and
  // signs with its first key.
  const std::vector<CallSite> signing = {
      {"C_OpenSession", 1, goes_on(signing_error(NO_KEY))},
      {"C_FindObjectsInit", 1, goes_on(SIGNED)},
      {"C_FindObjects", 1, goes_on(SIGNED)},
      // The module keeps the certificate search active, so it refuses the key
      // search (CKR_OPERATION_ACTIVE) on the same session.
      {"C_FindObjectsFinal", 1, goes_on(signing_error(NO_KEY))},
      {"C_GetAttributeValue", 1, goes_on(SIGNED)},
      {"C_GetAttributeValue", 2, goes_on(SIGNED)},
      {"C_Login", 1, fails(LOGIN)},
      {"C_FindObjectsInit", 2, goes_on(signing_error(NO_KEY))},
      {"C_FindObjects", 2, goes_on(signing_error(NO_KEY))},
      {"C_FindObjectsFinal", 2, goes_on(SIGNED)},
      {"C_SignInit", 1, fails(SIGN)},
      {"C_Sign", 1, fails(SIGN)},
      {"C_Sign", 2, fails(SIGN)},
      {"C_Logout", 1, goes_on(SIGNED)},
      {"C_CloseSession", 1, goes_on(SIGNED)},
      {"C_Finalize", 1, goes_on(SIGNED)},
  };
  const std::vector<CallSite>& rest = mode == Mode::List ? listing : signing;
  calls.insert(calls.end(), rest.begin(), rest.end());
  return calls;
}

/// Every call site of both runs failing with every value of the set.
std::vector<Hostile> failing_calls() {
  std::vector<Hostile> rows;
  for (Mode mode : {Mode::List, Mode::Sign}) {
    for (const CallSite& site : calls_of(mode)) {
      for (const ReturnValueCase& value : RETURN_VALUES) {
        const std::string error = "Function::" + std::string(function_word(site.function)) +
                                  ": PKCS11 error: " + value.text;
        rows.push_back(Hostile{row_prefix(mode) + function_word(site.function) + "_" +
                                   std::to_string(site.call) + "_" + value.name,
                               mode,
                               [function = std::string(site.function), call = site.call,
                                rv = value.rv](Scenario& s) { s.force(function, call).rv(rv); },
                               site.outcome.in(mode, error), site.variant});
      }
    }
  }
  return rows;
}

/// A null entry for each function the program calls through the table.
std::vector<Hostile> null_entries() {
  struct Entry {
    const char* function;
    Outcome listing;
    Outcome signing;
  };
  const Entry entries[] = {
      {"C_Initialize", fails(INITIALISATION), fails(INITIALISATION)},
      {"C_GetSlotList", fails(SLOTS), fails(SLOTS)},
      {"C_GetSlotInfo", goes_on(NO_SLOT_DESCRIPTION), goes_on(SIGNED)},
      {"C_GetTokenInfo", goes_on(NO_TOKEN_LABEL), goes_on(SIGNED)},
      {"C_OpenSession", goes_on(EMPTY_SLOT_LISTING), goes_on(signing_error(NO_KEY))},
      {"C_CloseSession", goes_on(FULL_LISTING), goes_on(SIGNED)},
      // Neither search can start: no certificate matches, and no key is found.
      {"C_FindObjectsInit", goes_on(EMPTY_SLOT_LISTING), goes_on(signing_error(NO_KEY))},
      {"C_FindObjects", goes_on(EMPTY_SLOT_LISTING), goes_on(signing_error(NO_KEY))},
      // No search ever ends, so the key search finds the session busy.
      {"C_FindObjectsFinal", goes_on(FULL_LISTING), goes_on(signing_error(NO_KEY))},
      // No certificate can be read: the token is logged in to without a match.
      {"C_GetAttributeValue", goes_on(EMPTY_SLOT_LISTING), goes_on(SIGNED)},
      {"C_Login", goes_on(FULL_LISTING), fails(LOGIN)},
      {"C_Logout", goes_on(FULL_LISTING), goes_on(SIGNED)},
      {"C_SignInit", goes_on(FULL_LISTING), fails(SIGN)},
      {"C_Sign", goes_on(FULL_LISTING), fails(SIGN)},
      {"C_Finalize", goes_on(FULL_LISTING), goes_on(SIGNED)},
  };
  std::vector<Hostile> rows;
  for (const Entry& entry : entries) {
    add_rows(rows,
             {std::string("Null") + function_word(entry.function),
              [function = std::string(entry.function)](Scenario& s) { s.null_entry(function); },
              entry.listing.in(Mode::List, std::string(NULL_ENTRY)),
              entry.signing.in(Mode::Sign, std::string(NULL_ENTRY)),
              std::string_view(entry.function) != "C_CloseSession"});
  }
  return rows;
}

/// Answers that break the contract in other ways.
std::vector<Hostile> contract_breaks() {
  const std::string missing_symbol = LOAD + "Missing PKCS#11 symbol: C_GetFunctionList";
  std::vector<Hostile> rows = {
      {"Sign_MoreKeysThanAskedFor", Mode::Sign,
       [](Scenario& s) { s.force("C_FindObjects", 2).count(0xFFFFFFFFul); }, signing_error(NO_KEY)},
      {"List_MillionsOfSlots", Mode::List,
       [](Scenario& s) { s.force("C_GetSlotList").count(3000000); },
       listing_error(SLOTS +
                     "Function::GetSlotList: invalid response from the PKCS#11 module (slot count "
                     "too large)")},
      {"List_SlotCountLargerThanTheBuffer", Mode::List,
       [](Scenario& s) { s.force("C_GetSlotList", 2).count(7); }, FULL_LISTING},
      {"Sign_SignatureLongerThanItsBuffer", Mode::Sign,
       [](Scenario& s) { s.force("C_Sign", 2).len(512); },
       signing_error(SIGN +
                     "Function::Sign: invalid response from the PKCS#11 module (signature longer "
                     "than its buffer)")},
      {"Sign_AbsurdSignatureSize", Mode::Sign,
       [](Scenario& s) { s.force("C_Sign", 1).len(0xFFFFFFF0ul); },
       signing_error(SIGN +
                     "Function::Sign: invalid response from the PKCS#11 module (signature too "
                     "large)")},
      {"List_NullInterface", Mode::List, [](Scenario& s) { s.interface_null(); },
       listing_error(missing_symbol), MockVariant::InterfaceOnly},
      {"List_InterfaceWithoutList", Mode::List, [](Scenario& s) { s.interface_without_list(); },
       listing_error(missing_symbol), MockVariant::InterfaceOnly},
      {"Sign_NullFunctionList", Mode::Sign, [](Scenario& s) { s.function_list_null(); },
       signing_error(LOAD +
                     "Function::GetFunctionList: invalid response from the PKCS#11 module (null "
                     "function list)"),
       MockVariant::FunctionList},
      {"List_EndlessSearch", Mode::List, [](Scenario& s) { s.force("C_FindObjects").count(10); },
       EMPTY_SLOT_LISTING},
      // A module that asks for the PIN at every C_Sign, even after the
      // context-specific login: the program logs in that way once, then
      // reports the refusal.
      {"Sign_EndlessLoginRequest", Mode::Sign, [](Scenario& s) { s.force("C_Sign").rv(0x101); },
       signing_error(SIGN +
                     "Function::Sign: PKCS11 error: The desired action cannot be performed because "
                     "the appropriate user (or an appropriate user) is not logged in.  One example "
                     "is that a session cannot be logged out unless it is logged in.  Another "
                     "example is that a private object cannot be created on a token unless the "
                     "session attempting to create it is logged in as the normal user.  A final "
                     "example is that cryptographic operations on certain tokens cannot be "
                     "performed unless the normal user is logged in.")},
  };
  const std::string too_small =
      SLOTS +
      "Function::GetSlotList: PKCS11 error: The output of the function is too large to fit in "
      "the supplied buffer.";
  const InBothModes in_both[] = {
      // The certificate search fails, so the key is found without it.
      {"MoreHandlesThanAskedFor", [](Scenario& s) { s.force("C_FindObjects", 1).count(11); },
       EMPTY_SLOT_LISTING, SIGNED},
      {"ValueLongerThanItsBuffer", [](Scenario& s) { s.force("C_GetAttributeValue", 2).len(9999); },
       EMPTY_SLOT_LISTING, SIGNED},
      {"EndlessSlotList",
       [](Scenario& s) {
         s.force("C_GetSlotList", 1).run();
         s.force("C_GetSlotList").rv(0x150);
       },
       listing_error(too_small), signing_error(too_small)},
      // A module that prints to standard output while the program runs: the
      // document on standard output stays whole and alone.
      {"StdoutChatter", [](Scenario& s) { s.stdout_chatter(); }, FULL_LISTING, SIGNED, true, true},
  };
  for (const InBothModes& both : in_both) add_rows(rows, both);
  return rows;
}

class HostileModule : public HelperProcessTest, public testing::WithParamInterface<Hostile> {
 protected:
  /// The one-slot token: a certificate with CKA_ID 01 and its signing key.
  void token() {
    scenario.slot(1)
        .description("L")
        .label("T")
        .object(MockObject::certificate(CERT).id(from_hex("01")))
        .object(MockObject::private_key()
                    .sign(true)
                    .id(from_hex("01"))
                    .signature(from_hex(SIGNATURE_HEX)));
  }

  /// Every session the module opened was closed.
  void expect_sessions_closed(const CallLog& calls) {
    std::vector<std::string> open;
    for (const RecordedCall& call : calls.entries()) {
      if (call.name == "C_OpenSession" && call.rv == 0u)
        open.push_back(call.result("session").value_or("?"));
      if (call.name == "C_CloseSession") std::erase(open, call.argument("session").value_or(""));
    }
    EXPECT_TRUE(open.empty()) << calls.text();
  }
};

TEST_P(HostileModule, EndsWithTheRightDocumentAndCleansUp) {
  const Hostile& row = GetParam();
  token();
  row.misbehave(scenario);
  std::vector<std::string> arguments = {module(row.variant)};
  if (!row.on_stdout) {
    scenario.watch(file("out.json"));
    arguments.push_back(file("out.json"));
  }
  if (row.mode == Mode::Sign) {
    write_file("request.json", R"({"pin":"1234","cert_der_hex":")" + to_hex(CERT) +
                                   R"(","data_hex":"00","mechanism":"rsa_sha256"})");
    if (row.on_stdout) arguments.push_back("");
    arguments.push_back("sign");
    arguments.push_back(file("request.json"));
  }

  const ProcessResult result = run(arguments);
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  if (row.on_stdout) {
    EXPECT_EQ(result.out, row.document + "\n");
  } else {
    EXPECT_EQ(read_file("out.json"), row.document);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }

  const CallLog calls = log();
  if (row.closes_sessions) expect_sessions_closed(calls);
  expect_teardown(calls, row.name.find("NullFinalize") == std::string::npos);
  EXPECT_EQ(calls.count("LOAD"), 1u) << calls.text();
  ASSERT_EQ(calls.count("UNLOAD"), 1u) << calls.text();
  EXPECT_EQ(calls.names().back(), "UNLOAD") << calls.text();
  // Unloaded once the whole document was written (the mock looked for it
  // then), a module that failed to load included.
  if (!row.on_stdout) {
    EXPECT_EQ(calls.entries().back().line, "UNLOAD watch=" + std::to_string(row.document.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(FailingCalls, HostileModule, testing::ValuesIn(failing_calls()), by_name);
INSTANTIATE_TEST_SUITE_P(NullEntries, HostileModule, testing::ValuesIn(null_entries()), by_name);
INSTANTIATE_TEST_SUITE_P(ContractBreaks, HostileModule, testing::ValuesIn(contract_breaks()),
                         by_name);

}  // namespace
}  // namespace mirandel::test
