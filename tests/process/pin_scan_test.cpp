// No copy of the PIN outlives the signing run: the mock searches the whole
// memory of the program's process for the PIN after every C_Logout and once
// more when it is unloaded, which the program does after its last PKCS#11 call
// and the document's delivery. By then the request's PIN has served its
// last login and must be gone too, wherever it was copied on the way (the
// request file's bytes, the JSON reader, the login copy).
//
// While the run still walks the tokens, the request's PIN is legitimately
// alive: at C_Logout exactly one copy may remain, the request's own.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "helper_test.hpp"
#include "param_name.hpp"

namespace mirandel::test {
namespace {

// Distinctive enough never to occur by chance; only whole copies count.
const Bytes PIN = "Mirandel-PIN-scan-5f3a9c-\xc3\xa8";
const Bytes CERT = from_hex("3082aa");

std::string request_text() {
  return R"({"pin":"Mirandel-PIN-scan-5f3a9c-\u00e8","cert_der_hex":"3082aa","data_hex":"00",)"
         R"("mechanism":"rsa_sha256"})";
}

struct PinScanCase {
  const char* name;
  bool from_stdin;
  std::function<void(Scenario&)> setup;
  std::string document;
  std::size_t logouts;
};

void PrintTo(const PinScanCase& c, std::ostream* out) { *out << c.name; }

class PinScan : public HelperProcessTest, public testing::WithParamInterface<PinScanCase> {};

TEST_P(PinScan, LeavesNoCopyOfThePinInMemory) {
  const PinScanCase& c = GetParam();
  scenario.pin_scan(PIN);
  c.setup(scenario);
  write_file("request.json", request_text());
  const ProcessResult result =
      c.from_stdin ? run({module(), "", "sign", "-"}, request_text())
                   : run({module(), file("out.json"), "sign", file("request.json")});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  const std::string document = c.from_stdin ? result.out : read_file("out.json").value_or("");
  EXPECT_EQ(document, c.document + (c.from_stdin ? "\n" : ""));

  const CallLog calls = log();
  const std::vector<RecordedCall> scans = calls.all("PIN-SCAN");
  ASSERT_EQ(scans.size(), c.logouts + 1) << calls.text();
  if (scans.back().result("copies") == "unsupported") GTEST_SKIP() << "no memory search here";
  for (std::size_t i = 0; i + 1 < scans.size(); ++i) {
    EXPECT_EQ(scans[i].result("at"), "C_Logout");
    // The request's own PIN, still needed should another token be tried.
    EXPECT_EQ(scans[i].result("copies"), "1") << scans[i].line;
  }
  EXPECT_EQ(scans.back().result("at"), "unload");
  EXPECT_EQ(scans.back().result("copies"), "0") << scans.back().line;
}

const std::string SIGNED = R"({"signature":"5151","error":null})";

void token_with_key(Scenario& s) {
  s.slot(1).certificate(CERT).object(
      MockObject::private_key().sign(true).signature(from_hex("5151")));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PinScan,
    testing::Values(
        PinScanCase{"SignedFromAFile", false, token_with_key, SIGNED, 1},
        PinScanCase{"SignedFromStandardInput", true, token_with_key, SIGNED, 1},
        PinScanCase{"LoginRefused", false,
                    [](Scenario& s) {
                      token_with_key(s);
                      s.force("C_Login").rv(0xa0);
                    },
                    R"({"signature":null,"error":"Login fallito (PIN errato?): Function::Login: )"
                    R"(PKCS11 error: The specified PIN is incorrect, i.e., does not match the PIN )"
                    R"(stored on the token.  More generally-- when authentication to the token )"
                    R"(involves something other than a PIN-- the attempt to authenticate the )"
                    R"(user has failed."})",
                    0},
        PinScanCase{"SigningRefused", false,
                    [](Scenario& s) {
                      token_with_key(s);
                      s.force("C_Sign", 2).rv(0x5);
                    },
                    R"({"signature":null,"error":"Firma fallita: Function::Sign: PKCS11 error: )"
                    R"(Some horrible, unrecoverable error has occurred.  In the worst case, it is )"
                    R"(possible that the function only partially succeeded, and that the computer )"
                    R"(and/or token is in an inconsistent state."})",
                    1},
        // A key that asks for the PIN again: the second login's copy goes too.
        PinScanCase{"SignedAfterAContextLogin", false,
                    [](Scenario& s) {
                      s.slot(1).certificate(CERT).object(MockObject::private_key()
                                                             .sign(true)
                                                             .attribute(0x202, "\x01")
                                                             .signature(from_hex("5151")));
                    },
                    SIGNED, 1},
        // Two tokens logged in to, neither with a key: the PIN serves twice.
        PinScanCase{"NoKeyOnEitherToken", false,
                    [](Scenario& s) {
                      s.slot(1).object(MockObject::private_key().sign(false));
                      s.slot(2).object(MockObject::private_key().sign(false));
                    },
                    R"({"signature":null,"error":"Chiave privata di firma non trovata sul )"
                    R"(dispositivo."})",
                    2}),
    by_name);

}  // namespace
}  // namespace mirandel::test
