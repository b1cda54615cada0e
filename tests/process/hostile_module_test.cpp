// The hostile-module matrix: every PKCS#11 call the program makes fails in
// turn with a representative set of return values, and the module breaks the
// PKCS#11 contract in every way the program can meet (more handles or bytes
// than asked for, null lists and entries, answers that never end, output on
// standard output). Every run must end with exactly the expected document,
// byte for byte, every session closed, the module unloaded before the
// document is written, and nothing else anywhere. The suite also runs in the
// sanitizer build, where any report fails it.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "helper_test.hpp"

namespace mirandel::test {
namespace {

const Bytes CERT = from_hex("3082aa");
constexpr std::string_view SIGNATURE_HEX = "5151";
constexpr std::string_view NO_KEY = "Chiave privata di firma non trovata sul dispositivo.";
constexpr std::string_view NULL_ENTRY = "Calling a NULL function pointer";

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

/// One hostile run.
struct Hostile {
  std::string name;
  Mode mode = Mode::List;
  MockVariant variant = MockVariant::InterfaceAndFunctionList;
  std::function<void(Scenario&)> misbehave;
  std::string document;
  bool closes_sessions = true;  ///< false when C_CloseSession cannot be called
  bool on_stdout = false;       ///< the document goes to standard output
};

void PrintTo(const Hostile& row, std::ostream* out) { *out << row.name; }

/// How a failure of one call shows in the document, given the error text of
/// that call ("Function::Login: PKCS11 error: ...").
using Outcome = std::function<std::string(const std::string& error_text)>;

Outcome fixed(std::string document) {
  return [document](const std::string&) { return document; };
}
Outcome listing_prefix(std::string prefix) {
  return [prefix](const std::string& error) { return listing_error(prefix + error); };
}
Outcome signing_prefix(std::string prefix) {
  return [prefix](const std::string& error) { return signing_error(prefix + error); };
}

/// One call of a normal run (the n-th call of a function) and what its
/// failure leads to.
struct CallSite {
  const char* function;
  unsigned call;
  Outcome outcome;
  MockVariant variant = MockVariant::InterfaceAndFunctionList;
};

const char* function_word(const char* function) { return function + 2; }  // without "C_"

/// The calls of a listing run on the one-slot token, in order.
std::vector<CallSite> listing_calls() {
  const std::string load = "Modulo PKCS#11 non caricabile: ";
  return {
      {"C_GetInterface", 1, listing_prefix(load)},
      {"C_GetFunctionList", 1, listing_prefix(load), MockVariant::FunctionList},
      {"C_Initialize", 1, listing_prefix("Inizializzazione PKCS#11 fallita: ")},
      {"C_GetSlotList", 1, listing_prefix("Lettura degli slot fallita: ")},
      {"C_GetSlotList", 2, listing_prefix("Lettura degli slot fallita: ")},
      {"C_GetSlotInfo", 1,
       fixed(
           R"({"slots":[{"description":null,"token_label":"T","certs":[{"der_hex":"3082aa"}]}],"error":null})")},
      {"C_GetTokenInfo", 1,
       fixed(
           R"({"slots":[{"description":"L","token_label":null,"certs":[{"der_hex":"3082aa"}]}],"error":null})")},
      {"C_OpenSession", 1, fixed(EMPTY_SLOT_LISTING)},
      {"C_FindObjectsInit", 1, fixed(EMPTY_SLOT_LISTING)},
      {"C_FindObjects", 1, fixed(EMPTY_SLOT_LISTING)},
      {"C_FindObjectsFinal", 1, fixed(FULL_LISTING)},
      {"C_GetAttributeValue", 1, fixed(EMPTY_SLOT_LISTING)},
      {"C_GetAttributeValue", 2, fixed(EMPTY_SLOT_LISTING)},
      {"C_CloseSession", 1, fixed(FULL_LISTING)},
  };
}

/// The calls of a signing run on the one-slot token, in order. A failed
/// certificate search or read leaves the token without a matching
/// certificate: the run then logs in on it anyway (a second session) and
/// signs with its first key.
std::vector<CallSite> signing_calls() {
  const std::string load = "Modulo PKCS#11 non caricabile: ";
  const std::string sign = "Firma fallita: ";
  return {
      {"C_GetInterface", 1, signing_prefix(load)},
      {"C_GetFunctionList", 1, signing_prefix(load), MockVariant::FunctionList},
      {"C_Initialize", 1, signing_prefix("Inizializzazione PKCS#11 fallita: ")},
      {"C_GetSlotList", 1, signing_prefix("Lettura degli slot fallita: ")},
      {"C_GetSlotList", 2, signing_prefix("Lettura degli slot fallita: ")},
      {"C_OpenSession", 1, fixed(signing_error(NO_KEY))},
      {"C_FindObjectsInit", 1, fixed(SIGNED)},
      {"C_FindObjects", 1, fixed(SIGNED)},
      // The module keeps the certificate search active, so it refuses the key
      // search (CKR_OPERATION_ACTIVE) on the same session.
      {"C_FindObjectsFinal", 1, fixed(signing_error(NO_KEY))},
      {"C_GetAttributeValue", 1, fixed(SIGNED)},
      {"C_GetAttributeValue", 2, fixed(SIGNED)},
      {"C_Login", 1, signing_prefix("Login fallito (PIN errato?): ")},
      {"C_FindObjectsInit", 2, fixed(signing_error(NO_KEY))},
      {"C_FindObjects", 2, fixed(signing_error(NO_KEY))},
      {"C_FindObjectsFinal", 2, fixed(SIGNED)},
      {"C_SignInit", 1, signing_prefix(sign)},
      {"C_Sign", 1, signing_prefix(sign)},
      {"C_Sign", 2, signing_prefix(sign)},
      {"C_Logout", 1, fixed(SIGNED)},
      {"C_CloseSession", 1, fixed(SIGNED)},
  };
}

/// Every call site of both runs failing with every value of the set.
std::vector<Hostile> failing_calls() {
  std::vector<Hostile> rows;
  for (Mode mode : {Mode::List, Mode::Sign}) {
    for (const CallSite& site : mode == Mode::List ? listing_calls() : signing_calls()) {
      for (const ReturnValueCase& value : RETURN_VALUES) {
        const std::string error = "Function::" + std::string(function_word(site.function)) +
                                  ": PKCS11 error: " + value.text;
        rows.push_back(Hostile{std::string(mode == Mode::List ? "List_" : "Sign_") +
                                   function_word(site.function) + "_" + std::to_string(site.call) +
                                   "_" + value.name,
                               mode, site.variant,
                               [function = std::string(site.function), call = site.call,
                                rv = value.rv](Scenario& s) { s.force(function, call).rv(rv); },
                               site.outcome(error)});
      }
    }
  }
  return rows;
}

/// A null entry for each function the program calls through the table.
std::vector<Hostile> null_entries() {
  struct Entry {
    const char* function;
    std::string listing;
    std::string signing;
  };
  const Entry entries[] = {
      {"C_Initialize",
       listing_error("Inizializzazione PKCS#11 fallita: " + std::string(NULL_ENTRY)),
       signing_error("Inizializzazione PKCS#11 fallita: " + std::string(NULL_ENTRY))},
      {"C_GetSlotList", listing_error("Lettura degli slot fallita: " + std::string(NULL_ENTRY)),
       signing_error("Lettura degli slot fallita: " + std::string(NULL_ENTRY))},
      {"C_GetSlotInfo",
       R"({"slots":[{"description":null,"token_label":"T","certs":[{"der_hex":"3082aa"}]}],"error":null})",
       SIGNED},
      {"C_GetTokenInfo",
       R"({"slots":[{"description":"L","token_label":null,"certs":[{"der_hex":"3082aa"}]}],"error":null})",
       SIGNED},
      {"C_OpenSession", EMPTY_SLOT_LISTING, signing_error(NO_KEY)},
      {"C_CloseSession", FULL_LISTING, SIGNED},
      // Neither search can start: no certificate matches, and no key is found.
      {"C_FindObjectsInit", EMPTY_SLOT_LISTING, signing_error(NO_KEY)},
      {"C_FindObjects", EMPTY_SLOT_LISTING, signing_error(NO_KEY)},
      // No search ever ends, so the key search finds the session busy.
      {"C_FindObjectsFinal", FULL_LISTING, signing_error(NO_KEY)},
      // No certificate can be read: the token is logged in to without a match.
      {"C_GetAttributeValue", EMPTY_SLOT_LISTING, SIGNED},
      {"C_Login", FULL_LISTING,
       signing_error("Login fallito (PIN errato?): " + std::string(NULL_ENTRY))},
      {"C_Logout", FULL_LISTING, SIGNED},
      {"C_SignInit", FULL_LISTING, signing_error("Firma fallita: " + std::string(NULL_ENTRY))},
      {"C_Sign", FULL_LISTING, signing_error("Firma fallita: " + std::string(NULL_ENTRY))},
  };
  std::vector<Hostile> rows;
  for (const Entry& entry : entries) {
    for (Mode mode : {Mode::List, Mode::Sign}) {
      Hostile row;
      row.name = std::string(mode == Mode::List ? "List_Null" : "Sign_Null") +
                 function_word(entry.function);
      row.mode = mode;
      row.misbehave = [function = std::string(entry.function)](Scenario& s) {
        s.null_entry(function);
      };
      row.document = mode == Mode::List ? entry.listing : entry.signing;
      row.closes_sessions = std::string_view(entry.function) != "C_CloseSession";
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

/// Answers that break the contract in other ways.
std::vector<Hostile> contract_breaks() {
  const std::string too_small =
      "Lettura degli slot fallita: Function::GetSlotList: PKCS11 error: The output of the "
      "function is too large to fit in the supplied buffer.";
  const auto endless_slot_list = [](Scenario& s) {
    s.force("C_GetSlotList", 1).run();
    s.force("C_GetSlotList").rv(0x150);
  };
  const std::string missing_symbol =
      "Modulo PKCS#11 non caricabile: Missing PKCS#11 symbol: C_GetFunctionList";
  std::vector<Hostile> rows = {
      {"List_MoreHandlesThanAskedFor", Mode::List, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_FindObjects", 1).count(11); }, EMPTY_SLOT_LISTING},
      // The certificate search fails, so the key is found without it.
      {"Sign_MoreHandlesThanAskedFor", Mode::Sign, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_FindObjects", 1).count(11); }, SIGNED},
      {"Sign_MoreKeysThanAskedFor", Mode::Sign, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_FindObjects", 2).count(0xFFFFFFFFul); }, signing_error(NO_KEY)},
      {"List_MillionsOfSlots", Mode::List, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_GetSlotList").count(3000000); },
       listing_error("Lettura degli slot fallita: Function::GetSlotList: invalid response from "
                     "the PKCS#11 module (slot count too large)")},
      {"List_SlotCountLargerThanTheBuffer", Mode::List, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_GetSlotList", 2).count(7); }, FULL_LISTING},
      {"List_ValueLongerThanItsBuffer", Mode::List, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_GetAttributeValue", 2).len(9999); }, EMPTY_SLOT_LISTING},
      {"Sign_ValueLongerThanItsBuffer", Mode::Sign, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_GetAttributeValue", 2).len(9999); }, SIGNED},
      {"Sign_SignatureLongerThanItsBuffer", Mode::Sign, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_Sign", 2).len(512); },
       signing_error("Firma fallita: Function::Sign: invalid response from the PKCS#11 module "
                     "(signature longer than its buffer)")},
      {"Sign_AbsurdSignatureSize", Mode::Sign, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_Sign", 1).len(0xFFFFFFF0ul); },
       signing_error("Firma fallita: Function::Sign: invalid response from the PKCS#11 module "
                     "(signature too large)")},
      {"List_NullInterface", Mode::List, MockVariant::InterfaceOnly,
       [](Scenario& s) { s.interface_null(); }, listing_error(missing_symbol)},
      {"List_InterfaceWithoutList", Mode::List, MockVariant::InterfaceOnly,
       [](Scenario& s) { s.interface_without_list(); }, listing_error(missing_symbol)},
      {"Sign_NullFunctionList", Mode::Sign, MockVariant::FunctionList,
       [](Scenario& s) { s.function_list_null(); },
       signing_error("Modulo PKCS#11 non caricabile: Function::GetFunctionList: invalid response "
                     "from the PKCS#11 module (null function list)")},
      {"List_EndlessSlotList", Mode::List, MockVariant::InterfaceAndFunctionList, endless_slot_list,
       listing_error(too_small)},
      {"Sign_EndlessSlotList", Mode::Sign, MockVariant::InterfaceAndFunctionList, endless_slot_list,
       signing_error(too_small)},
      {"List_EndlessSearch", Mode::List, MockVariant::InterfaceAndFunctionList,
       [](Scenario& s) { s.force("C_FindObjects").count(10); }, EMPTY_SLOT_LISTING},
  };
  // A module that prints to standard output while the program runs: the
  // document on standard output stays whole and alone.
  for (Mode mode : {Mode::List, Mode::Sign}) {
    Hostile row;
    row.name = mode == Mode::List ? "List_StdoutChatter" : "Sign_StdoutChatter";
    row.mode = mode;
    row.misbehave = [](Scenario& s) { s.stdout_chatter(); };
    row.document = mode == Mode::List ? FULL_LISTING : SIGNED;
    row.on_stdout = true;
    rows.push_back(std::move(row));
  }
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
  EXPECT_EQ(calls.count("C_Finalize"), 0u) << calls.text();
  EXPECT_EQ(calls.count("LOAD"), 1u) << calls.text();
  ASSERT_EQ(calls.count("UNLOAD"), 1u) << calls.text();
  EXPECT_EQ(calls.names().back(), "UNLOAD") << calls.text();
  // Unloaded before the document was written (the mock looked for it then).
  if (!row.on_stdout) {
    EXPECT_EQ(calls.entries().back().line, "UNLOAD watch=absent");
  }
}

std::string row_name(const testing::TestParamInfo<Hostile>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(FailingCalls, HostileModule, testing::ValuesIn(failing_calls()), row_name);
INSTANTIATE_TEST_SUITE_P(NullEntries, HostileModule, testing::ValuesIn(null_entries()), row_name);
INSTANTIATE_TEST_SUITE_P(ContractBreaks, HostileModule, testing::ValuesIn(contract_breaks()),
                         row_name);

}  // namespace
}  // namespace mirandel::test
