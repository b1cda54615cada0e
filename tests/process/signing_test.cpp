// The signing run against the mock module: the documents byte for byte and
// the PKCS#11 calls the run makes, in order, with their arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "helper_test.hpp"
#include "param_name.hpp"

namespace mirandel::test {
namespace {

const Bytes CERT = from_hex("3082010a02820101");
const Bytes OTHER_CERT = from_hex("30820bad");
constexpr std::string_view DATA_HEX = "68656c6c6f";
constexpr std::string_view NO_KEY = "Chiave privata di firma non trovata sul dispositivo.";
constexpr std::string_view PIN_INCORRECT =
    "The specified PIN is incorrect, i.e., does not match the PIN stored on the token.  More "
    "generally-- when authentication to the token involves something other than a PIN-- the "
    "attempt to authenticate the user has failed.";
constexpr std::string_view DEVICE_REMOVED =
    "The token was removed from its slot during the execution of the function.";
constexpr std::string_view TOKEN_NOT_PRESENT =
    "The token was not present in its slot at the time that the function was invoked.";

std::string request(std::string_view cert_hex, std::string_view data_hex = DATA_HEX,
                    std::string_view mechanism = "rsa_sha256", std::string_view pin = "1234") {
  return R"({"pin":")" + std::string(pin) + R"(","cert_der_hex":")" + std::string(cert_hex) +
         R"(","data_hex":")" + std::string(data_hex) + R"(","mechanism":")" +
         std::string(mechanism) + R"("})";
}

std::string signed_document(std::string_view signature_hex) {
  return R"({"signature":")" + std::string(signature_hex) + R"(","error":null})";
}

std::string failed_document(std::string_view message) {
  return R"({"signature":null,"error":")" + std::string(message) + R"("})";
}

/// The value of a CK_ULONG template entry as the mock logs it: 4 bytes on
/// Windows, 8 on 64-bit POSIX.
std::string ulong_value(unsigned char value) {
  const std::size_t width = target_uses_windows_paths() ? 4 : 8;
  return to_hex(std::string(1, static_cast<char>(value)) + std::string(width - 1, '\0')) + "/" +
         std::to_string(width);
}

/// A CK_ULONG as the mock logs input bytes: little-endian, 4 bytes on
/// Windows, 8 on 64-bit POSIX.
std::string ulong_hex(unsigned long value) {
  const std::size_t width = target_uses_windows_paths() ? 4 : 8;
  Bytes bytes;
  for (std::size_t i = 0; i < width; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return to_hex(bytes);
}

/// The CK_RSA_PKCS_PSS_PARAMS record {hashAlg, mgf, sLen} as the mock logs it:
/// 12 packed bytes on Windows, 24 on Linux.
std::string pss_record(unsigned long hash, unsigned long mgf, unsigned long salt) {
  return ulong_hex(hash) + ulong_hex(mgf) + ulong_hex(salt) + "/" +
         std::to_string(target_uses_windows_paths() ? 12 : 24);
}

constexpr std::string_view USER_NOT_LOGGED_IN =
    "The desired action cannot be performed because the appropriate user (or an appropriate "
    "user) is not logged in.  One example is that a session cannot be logged out unless it is "
    "logged in.  Another example is that a private object cannot be created on a token unless "
    "the session attempting to create it is logged in as the normal user.  A final example is "
    "that cryptographic operations on certain tokens cannot be performed unless the normal user "
    "is logged in.";

std::string certificate_search() { return "[0x0=" + ulong_value(1) + "]"; }

/// The private-key search: class, CKA_SIGN true, and the id entry if given
/// (as the mock logs it: "01/1", "null/0").
std::string key_search(std::optional<std::string> id = std::nullopt) {
  std::string text = "[0x0=" + ulong_value(3) + ",0x108=01/1";
  if (id) text += ",0x102=" + *id;
  return text + "]";
}

/// A signing key that answers a fixed signature, so the document tells which key signed.
MockObject key(std::string_view id_hex, std::string_view signature_hex) {
  MockObject object = MockObject::private_key().sign(true).signature(from_hex(signature_hex));
  if (!id_hex.empty()) object.id(from_hex(id_hex));
  return object;
}

/// Every run writes its document to out.json, and the mock records at unload
/// how much of that file is there by then.
class SigningRun : public HelperProcessTest {
 protected:
  void SetUp() override {
    HelperProcessTest::SetUp();
    scenario.watch(file("out.json"));
  }

  /// Runs a signing with `request_text` from a file; the document written.
  std::string sign(const std::string& request_text) {
    write_file("request.json", request_text);
    ProcessResult result = run({module(), file("out.json"), "sign", file("request.json")});
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    return read_file("out.json").value_or("(no output file)");
  }

  /// The names of the log entries after the slot list was read: the run's
  /// own calls and the UNLOAD line.
  std::vector<std::string> after_start() const {
    const CallLog calls = log();
    std::vector<std::string> names = calls.names();
    const std::optional<std::size_t> start = calls.last_index("C_GetSlotList");
    if (!start) return names;
    return {names.begin() + static_cast<std::ptrdiff_t>(*start) + 1, names.end()};
  }

  /// The module was finalised and unloaded once the whole document was
  /// written.
  void expect_unloaded_after_document() const {
    const CallLog calls = log();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.entries().back().line,
              "UNLOAD watch=" + std::to_string(read_file("out.json").value_or("").size()))
        << calls.text();
    expect_teardown(calls);
  }

  /// The argument `key` of the `index`-th call named `name`.
  std::string argument(std::string_view name, std::size_t index, std::string_view key) const {
    const CallLog calls = log();
    const std::vector<RecordedCall> found = calls.all(name);
    if (index >= found.size()) return "(no call)";
    return found[index].argument(key).value_or("(no argument)");
  }
};

using Names = std::vector<std::string>;

/// Table rows print as their name in test failures.
template <typename Row>
requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

/// A forced return value for the n-th call of one function (1-based, counted
/// over the whole run).
using Force = std::optional<std::pair<std::string, unsigned>>;

TEST_F(SigningRun, SignsWithTheKeyOfTheMatchingCertificate) {
  scenario.slot(1)
      .pin(from_hex("70c3af6e"))  // "pïn" in UTF-8
      .object(MockObject::certificate(OTHER_CERT).id(from_hex("02")))
      .object(MockObject::certificate(CERT).id(from_hex("01")))
      .object(MockObject::private_key().sign(true).id(from_hex("02")))
      .object(MockObject::private_key().sign(true).id(from_hex("01")));

  EXPECT_EQ(sign(request(to_hex(CERT), DATA_HEX, "rsa_sha512", R"(p\u00efn)")),
            signed_document("42" + std::string(DATA_HEX)));

  EXPECT_EQ(after_start(),
            (Names{"C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
                   "C_GetAttributeValue", "C_GetAttributeValue", "C_GetAttributeValue",
                   "C_GetAttributeValue", "C_Login", "C_FindObjectsInit", "C_FindObjects",
                   "C_FindObjectsFinal", "C_SignInit", "C_Sign", "C_Sign", "C_Logout",
                   "C_CloseSession", "C_Finalize", "UNLOAD"}));
  EXPECT_EQ(argument("C_OpenSession", 0, "flags"), "0x4");
  EXPECT_EQ(argument("C_FindObjectsInit", 0, "template"), certificate_search());
  EXPECT_EQ(argument("C_GetAttributeValue", 0, "template"), "[0x11=null/0,0x102=null/0]");
  EXPECT_EQ(argument("C_Login", 0, "user"), "1");
  EXPECT_EQ(argument("C_Login", 0, "pin"), "70c3af6e");
  EXPECT_EQ(argument("C_Login", 0, "len"), "4");
  EXPECT_EQ(argument("C_FindObjectsInit", 1, "template"), key_search("01/1"));
  EXPECT_EQ(argument("C_SignInit", 0, "mechanism"), "0x42");
  EXPECT_EQ(argument("C_SignInit", 0, "param"), "null/0");
  EXPECT_EQ(argument("C_SignInit", 0, "key"), "104");
  EXPECT_EQ(argument("C_Sign", 0, "sig"), "null/0");
  EXPECT_EQ(argument("C_Sign", 1, "sig"), "buf/6");
  const std::string data = std::string(DATA_HEX) + "/5";
  EXPECT_EQ(argument("C_Sign", 0, "data"), data);
  EXPECT_EQ(argument("C_Sign", 1, "data"), data);
  EXPECT_EQ(log().all("C_Logout").at(0).rv, 0u);
  expect_unloaded_after_document();
}

TEST_F(SigningRun, ReadsTheRequestFromStandardInput) {
  scenario.slot(1).certificate(CERT).object(key("", "0a0b"));
  ProcessResult result = run({module(), "", "sign", "-"}, request(to_hex(CERT)));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, signed_document("0a0b") + "\n");
  EXPECT_EQ(result.err, "");
}

struct RequestFailure {
  const char* name;
  std::optional<std::string> request;  ///< nullopt: no request file at all
  std::string document;
};

class SigningRequestFailure : public SigningRun,
                              public testing::WithParamInterface<RequestFailure> {};

TEST_P(SigningRequestFailure, NeverLoadsTheModule) {
  scenario.slot(1).certificate(CERT).object(key("", "0a0b"));
  if (GetParam().request) write_file("request.json", *GetParam().request);
  ProcessResult result = run({module(), file("out.json"), "sign", file("request.json")});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file("out.json"), GetParam().document);
  EXPECT_TRUE(log().empty()) << log().text();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SigningRequestFailure,
    testing::Values(RequestFailure{"MissingFile", std::nullopt,
                                   failed_document("Input di firma non leggibile.")},
                    RequestFailure{"BadHex", request("0"),
                                   failed_document("Input di firma non valido.")},
                    RequestFailure{"UnsupportedMechanism", request("", "", R"(rsa\"\\)"),
                                   failed_document(R"(Meccanismo non supportato: rsa\"\\)")}),
    by_name);

TEST_F(SigningRun, ReportsAModuleThatCannotBeLoaded) {
  write_file("request.json", request(""));
  ProcessResult result = run({file("missing.so"), file("out.json"), "sign", file("request.json")});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(
      read_file("out.json"),
      failed_document("Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)"));
}

struct StartFailure {
  const char* name;
  const char* function;
  std::string document;
};

class SigningStartFailure : public SigningRun, public testing::WithParamInterface<StartFailure> {};

TEST_P(SigningStartFailure, ReleasesTheModuleAndOpensNoSession) {
  scenario.slot(1).certificate(CERT).object(key("", "0a0b"));
  scenario.force(GetParam().function).rv(0x32);
  EXPECT_EQ(sign(request(to_hex(CERT))), GetParam().document);
  EXPECT_EQ(log().count("C_OpenSession"), 0u);
  expect_unloaded_after_document();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SigningStartFailure,
    testing::Values(StartFailure{"Initialize", "C_Initialize",
                                 failed_document("Inizializzazione PKCS#11 fallita: "
                                                 "Function::Initialize: PKCS11 error: " +
                                                 std::string(DEVICE_REMOVED))},
                    StartFailure{"SlotList", "C_GetSlotList",
                                 failed_document("Lettura degli slot fallita: "
                                                 "Function::GetSlotList: PKCS11 error: " +
                                                 std::string(DEVICE_REMOVED))}),
    by_name);

TEST_F(SigningRun, FindsNoKeyWithoutSlots) {
  EXPECT_EQ(sign(request(to_hex(CERT))), failed_document(NO_KEY));
  EXPECT_EQ(after_start(), (Names{"C_Finalize", "UNLOAD"}));
  expect_unloaded_after_document();
}

TEST_F(SigningRun, SkipsASlotWhoseSessionCannotBeOpened) {
  scenario.slot(1).certificate(CERT).object(key("", "0101"));
  scenario.slot(2).certificate(CERT).object(key("", "0202"));
  scenario.force("C_OpenSession", 1).rv(0xe0);
  EXPECT_EQ(sign(request(to_hex(CERT))), signed_document("0202"));
  EXPECT_EQ(argument("C_OpenSession", 1, "slot"), "2");
  EXPECT_EQ(log().count("C_CloseSession"), 1u);
}

TEST_F(SigningRun, FindsNoKeyWhenTheOnlySessionCannotBeOpened) {
  scenario.slot(1).certificate(CERT).object(key("", "0101"));
  scenario.force("C_OpenSession").rv(0xe0);
  EXPECT_EQ(sign(request(to_hex(CERT))), failed_document(NO_KEY));
  EXPECT_EQ(after_start(), (Names{"C_OpenSession", "C_Finalize", "UNLOAD"}));
}

// How the private-key search is narrowed by what the certificate scan found.
struct KeyChoice {
  const char* name;
  std::vector<MockObject> objects;
  Force force;  ///< answers CKR_DEVICE_REMOVED
  Bytes request_cert;
  std::string key_template;  ///< as the mock logs it
  std::string signature;
  std::size_t attribute_reads;  ///< C_GetAttributeValue calls
};

class SigningKeyChoice : public SigningRun, public testing::WithParamInterface<KeyChoice> {};

TEST_P(SigningKeyChoice, SearchesWithTheCertificatesIdAndSignsWithTheFirstKey) {
  const KeyChoice& c = GetParam();
  MockSlot& slot = scenario.slot(1);
  for (const MockObject& object : c.objects) slot.object(object);
  if (c.force) scenario.force(c.force->first, c.force->second).rv(0x32);
  EXPECT_EQ(sign(request(to_hex(c.request_cert))), signed_document(c.signature));
  EXPECT_EQ(argument("C_FindObjectsInit", 1, "template"), c.key_template) << log().text();
  EXPECT_EQ(log().count("C_GetAttributeValue"), c.attribute_reads);
  expect_unloaded_after_document();
}

const std::vector<MockObject> TWO_KEYS = {key("0a", "aa"), key("0b", "bb")};

std::vector<MockObject> with_keys(std::vector<MockObject> certificates) {
  certificates.insert(certificates.end(), TWO_KEYS.begin(), TWO_KEYS.end());
  return certificates;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SigningKeyChoice,
    testing::Values(
        // Two certificates with the same value: the first decides, the second is never read.
        KeyChoice{"FirstOfTwoMatchingCertificates",
                  with_keys({MockObject::certificate(CERT).id(from_hex("0b")),
                             MockObject::certificate(CERT).id(from_hex("0a"))}),
                  std::nullopt, CERT, key_search("0b/1"), "bb", 2},
        KeyChoice{"CertificateNotOnTheToken",
                  {MockObject::certificate(OTHER_CERT).id(from_hex("0b")),
                   MockObject::private_key().sign(false), key("0b", "bb"), key("0a", "aa")},
                  std::nullopt,
                  CERT,
                  key_search(),
                  "bb",
                  2},
        // A match without CKA_ID still decides: a later match with an id is not read.
        KeyChoice{"MatchWithoutId",
                  with_keys({MockObject::certificate(CERT),
                             MockObject::certificate(CERT).id(from_hex("0b"))}),
                  std::nullopt, CERT, key_search(), "aa", 2},
        KeyChoice{"MatchWithEmptyId",
                  {MockObject::certificate(CERT).id(""), key("0a", "aa"),
                   MockObject::private_key().sign(true).id("").signature(from_hex("ee"))},
                  std::nullopt,
                  CERT,
                  key_search("null/0"),
                  "ee",
                  2},
        // An empty certificate matches only a certificate whose value is empty.
        KeyChoice{"EmptyCertificate",
                  with_keys({MockObject::certificate(CERT).id(from_hex("0a")),
                             MockObject::certificate("").id(from_hex("0b"))}),
                  std::nullopt, "", key_search("0b/1"), "bb", 4},
        // A failed certificate search: the key is chosen by class and CKA_SIGN alone.
        KeyChoice{"CertificateSearchFails",
                  with_keys({MockObject::certificate(CERT).id(from_hex("0b"))}),
                  Force{{"C_FindObjectsInit", 1}}, CERT, key_search(), "aa", 0},
        // The first certificate's attributes cannot be read: the next one matches.
        KeyChoice{"UnreadableCertificateSkipped",
                  with_keys({MockObject::certificate(CERT).id(from_hex("0a")),
                             MockObject::certificate(CERT).id(from_hex("0b"))}),
                  Force{{"C_GetAttributeValue", 1}}, CERT, key_search("0b/1"), "bb", 3}),
    by_name);

// A slot that yields no key after the login is logged out and closed, and the
// next slot is tried.
struct NoKeyOnSlot {
  const char* name;
  MockObject slot_one_key;
  Force force;           ///< answers CKR_DEVICE_REMOVED
  Names slot_one_calls;  ///< from C_Login to C_CloseSession
};

class SigningNoKeyOnSlot : public SigningRun, public testing::WithParamInterface<NoKeyOnSlot> {};

TEST_P(SigningNoKeyOnSlot, LogsOutClosesAndTriesTheNextSlot) {
  const NoKeyOnSlot& c = GetParam();
  scenario.slot(1).object(MockObject::certificate(CERT).id(from_hex("01"))).object(c.slot_one_key);
  scenario.slot(2).object(MockObject::certificate(CERT).id(from_hex("01"))).object(key("01", "22"));
  if (c.force) scenario.force(c.force->first, c.force->second).rv(0x32);

  EXPECT_EQ(sign(request(to_hex(CERT))), signed_document("22"));

  const Names names = after_start();
  const auto login = std::find(names.begin(), names.end(), "C_Login");
  const auto close = std::find(names.begin(), names.end(), "C_CloseSession");
  ASSERT_TRUE(login != names.end() && close != names.end()) << log().text();
  EXPECT_EQ(Names(login, close + 1), c.slot_one_calls);
  EXPECT_EQ(argument("C_OpenSession", 1, "slot"), "2");
  EXPECT_EQ(log().count("C_Logout"), 2u);
  EXPECT_EQ(log().count("C_CloseSession"), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SigningNoKeyOnSlot,
    testing::Values(NoKeyOnSlot{"KeyMayNotSign",
                                MockObject::private_key().sign(false).id(from_hex("01")),
                                std::nullopt,
                                {"C_Login", "C_FindObjectsInit", "C_FindObjects",
                                 "C_FindObjectsFinal", "C_Logout", "C_CloseSession"}},
                    NoKeyOnSlot{"KeySearchCannotStart",
                                key("01", "11"),
                                Force{{"C_FindObjectsInit", 2}},
                                {"C_Login", "C_FindObjectsInit", "C_Logout", "C_CloseSession"}},
                    NoKeyOnSlot{"KeySearchFails",
                                key("01", "11"),
                                Force{{"C_FindObjects", 2}},
                                {"C_Login", "C_FindObjectsInit", "C_FindObjects",
                                 "C_FindObjectsFinal", "C_Logout", "C_CloseSession"}}),
    by_name);

TEST_F(SigningRun, FindsNoKeyWhenNoSlotHasOne) {
  scenario.slot(1).certificate(CERT).object(MockObject::private_key().sign(false));
  EXPECT_EQ(sign(request(to_hex(CERT))), failed_document(NO_KEY));
  EXPECT_EQ(log().count("C_Logout"), 1u);
  expect_unloaded_after_document();
}

TEST_F(SigningRun, StopsAtAWrongPinWithoutLoggingOutOrTryingTheNextSlot) {
  scenario.slot(1).certificate(CERT).object(key("", "11"));
  scenario.slot(2).pin("0000").certificate(CERT).object(key("", "22"));
  EXPECT_EQ(sign(request(to_hex(CERT), DATA_HEX, "rsa_sha256", "0000")),
            failed_document("Login fallito (PIN errato?): Function::Login: PKCS11 error: " +
                            std::string(PIN_INCORRECT)));
  EXPECT_EQ(after_start(),
            (Names{"C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
                   "C_GetAttributeValue", "C_GetAttributeValue", "C_Login", "C_CloseSession",
                   "C_Finalize", "UNLOAD"}));
  expect_unloaded_after_document();
}

// The PIN goes only to tokens that hold the requested certificate; tokens
// without it are searched without logging in. Only when no token holds it are
// the tokens logged in to one after the other.
struct PinDestination {
  const char* name;
  std::vector<std::vector<MockObject>> slots;  ///< slot i + 1 holds slots[i]
  std::string document;
  std::vector<std::string> login_slots;  ///< the slot of each C_Login, in order
};

class SigningPinDestination : public SigningRun,
                              public testing::WithParamInterface<PinDestination> {};

TEST_P(SigningPinDestination, LogsInOnlyWhereTheCertificateIs) {
  const PinDestination& c = GetParam();
  for (std::size_t i = 0; i < c.slots.size(); ++i) {
    MockSlot& slot = scenario.slot(i + 1);
    for (const MockObject& object : c.slots[i]) slot.object(object);
  }
  EXPECT_EQ(sign(request(to_hex(CERT))), c.document);

  // Sessions are handed out in order: the slot of a session is that of the
  // C_OpenSession that returned it.
  const CallLog calls = log();
  std::vector<std::pair<std::string, std::string>> session_slots;
  for (const RecordedCall& open : calls.all("C_OpenSession"))
    session_slots.emplace_back(open.result("session").value_or("?"),
                               open.argument("slot").value_or("?"));
  std::vector<std::string> login_slots;
  for (const RecordedCall& login : calls.all("C_Login")) {
    const std::string session = login.argument("session").value_or("");
    for (const auto& [handle, slot] : session_slots)
      if (handle == session) login_slots.push_back(slot);
  }
  EXPECT_EQ(login_slots, c.login_slots) << calls.text();
  EXPECT_EQ(calls.count("C_OpenSession"), calls.count("C_CloseSession"));
  expect_unloaded_after_document();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SigningPinDestination,
    testing::Values(
        PinDestination{"CertificateOnTheSecondToken",
                       {{MockObject::certificate(OTHER_CERT).id(from_hex("01")), key("01", "11")},
                        {MockObject::certificate(CERT).id(from_hex("02")), key("02", "22")}},
                       signed_document("22"),
                       {"2"}},
        // The first holder has no key that may sign: the next holder is
        // tried, the token between them never sees the PIN.
        PinDestination{"SkipsTokensWithoutTheCertificateBetweenHolders",
                       {{MockObject::certificate(CERT).id(from_hex("01")),
                         MockObject::private_key().sign(false).id(from_hex("01"))},
                        {key("", "22")},
                        {MockObject::certificate(CERT).id(from_hex("03")), key("03", "33")}},
                       signed_document("33"),
                       {"1", "3"}},
        PinDestination{"NoKeyOnTheOnlyHolder",
                       {{key("", "11")},
                        {MockObject::certificate(CERT).id(from_hex("02")),
                         MockObject::private_key().sign(false).id(from_hex("02"))}},
                       failed_document(NO_KEY),
                       {"2"}},
        // No token holds the certificate: every token is tried in order.
        PinDestination{
            "NoTokenHoldsTheCertificate",
            {{MockObject::certificate(OTHER_CERT), MockObject::private_key()}, {key("", "22")}},
            signed_document("22"),
            {"1", "2"}}),
    by_name);

TEST_F(SigningRun, NeverSendsThePinToATokenWithoutTheCertificate) {
  scenario.slot(1).pin("1111").certificate(OTHER_CERT).object(key("", "11"));
  scenario.slot(2).pin("2222").certificate(CERT).object(key("", "22"));
  EXPECT_EQ(sign(request(to_hex(CERT), DATA_HEX, "rsa_sha256", "2222")), signed_document("22"));
  EXPECT_EQ(after_start(), (Names{"C_OpenSession",
                                  "C_FindObjectsInit",
                                  "C_FindObjects",
                                  "C_FindObjectsFinal",
                                  "C_GetAttributeValue",
                                  "C_GetAttributeValue",
                                  "C_CloseSession",
                                  "C_OpenSession",
                                  "C_FindObjectsInit",
                                  "C_FindObjects",
                                  "C_FindObjectsFinal",
                                  "C_GetAttributeValue",
                                  "C_GetAttributeValue",
                                  "C_Login",
                                  "C_FindObjectsInit",
                                  "C_FindObjects",
                                  "C_FindObjectsFinal",
                                  "C_SignInit",
                                  "C_Sign",
                                  "C_Sign",
                                  "C_Logout",
                                  "C_CloseSession",
                                  "C_Finalize",
                                  "UNLOAD"}));
}

// Without a token that holds the certificate, the walk logs in on every token
// whose session opened, in order, without reading certificates again.
TEST_F(SigningRun, TriesEveryOpenedTokenWhenNoneHoldsTheCertificate) {
  scenario.slot(1).certificate(OTHER_CERT).object(MockObject::private_key().sign(false));
  scenario.slot(2).object(key("", "22"));
  scenario.slot(3).object(key("", "33"));
  scenario.force("C_OpenSession", 2).rv(0xe0);
  EXPECT_EQ(sign(request(to_hex(CERT))), signed_document("33"));
  EXPECT_EQ(after_start(),
            (Names{"C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
                   "C_GetAttributeValue", "C_GetAttributeValue", "C_CloseSession",
                   "C_OpenSession",  // slot 2 cannot be opened
                   "C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
                   "C_CloseSession",
                   // The walk with the PIN: slot 1, then slot 3.
                   "C_OpenSession", "C_Login", "C_FindObjectsInit", "C_FindObjects",
                   "C_FindObjectsFinal", "C_Logout", "C_CloseSession", "C_OpenSession", "C_Login",
                   "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_SignInit",
                   "C_Sign", "C_Sign", "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"}));
  EXPECT_EQ(argument("C_OpenSession", 3, "slot"), "1");
  EXPECT_EQ(argument("C_OpenSession", 4, "slot"), "3");
  EXPECT_EQ(argument("C_FindObjectsInit", 2, "template"), key_search());
}

constexpr std::string_view GENERAL_ERROR =
    "Some horrible, unrecoverable error has occurred.  In the worst case, it is possible that "
    "the function only partially succeeded, and that the computer and/or token is in an "
    "inconsistent state.";

const Names SIGNED_AT_ONCE = {"C_SignInit",     "C_Sign",     "C_Sign", "C_Logout",
                              "C_CloseSession", "C_Finalize", "UNLOAD"};

// Signing failures end the run: logged out, closed, no further slot.
struct SignFailure {
  const char* name;
  MockObject slot_one_key;
  Force force;
  unsigned long rv;  ///< the forced answer
  std::string message;
  Names tail;  ///< from C_SignInit on
  std::string_view mechanism = "rsa_sha256";
};

class SigningSignFailure : public SigningRun, public testing::WithParamInterface<SignFailure> {};

TEST_P(SigningSignFailure, IsReportedAfterLogoutAndClose) {
  const SignFailure& c = GetParam();
  scenario.slot(1).certificate(CERT).object(c.slot_one_key);
  scenario.slot(2).certificate(CERT).object(key("", "22"));
  if (c.force) scenario.force(c.force->first, c.force->second).rv(c.rv);

  EXPECT_EQ(sign(request(to_hex(CERT), DATA_HEX, c.mechanism)), failed_document(c.message));

  const Names names = after_start();
  const auto sign_init = std::find(names.begin(), names.end(), "C_SignInit");
  ASSERT_NE(sign_init, names.end()) << log().text();
  EXPECT_EQ(Names(sign_init, names.end()), c.tail);
  EXPECT_EQ(log().count("C_OpenSession"), 1u);
  expect_unloaded_after_document();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SigningSignFailure,
    testing::Values(
        SignFailure{
            "SignInitRefusesTheMechanism",
            key("", "11").mechanisms({0x41}),
            std::nullopt,
            0,
            "Firma fallita: Function::SignInit: PKCS11 error: An invalid mechanism was "
            "specified to the cryptographic operation.  This error code is an appropriate "
            "return value if an unknown mechanism was specified or if the mechanism "
            "specified cannot be used in the selected token with the selected function.",
            // The raw mechanism is tried and refused too; the first answer is reported.
            {"C_SignInit", "C_SignInit", "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"}},
        SignFailure{"SizeQueryFails",
                    key("", "11"),
                    Force{{"C_Sign", 1}},
                    0x32,
                    "Firma fallita: Function::Sign: PKCS11 error: " + std::string(DEVICE_REMOVED),
                    {"C_SignInit", "C_Sign", "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"}},
        SignFailure{
            "FillFails",
            key("", "11"),
            Force{{"C_Sign", 2}},
            0xe0,
            "Firma fallita: Function::Sign: PKCS11 error: " + std::string(TOKEN_NOT_PRESENT),
            {"C_SignInit", "C_Sign", "C_Sign", "C_Logout", "C_CloseSession", "C_Finalize",
             "UNLOAD"}},
        SignFailure{"VendorDefinedValue",
                    key("", "11"),
                    Force{{"C_Sign", 2}},
                    0x80000001,
                    "Firma fallita: Function::Sign: PKCS11 error: CKR_VENDOR_DEFINED(0x80000001)",
                    {"C_SignInit", "C_Sign", "C_Sign", "C_Logout", "C_CloseSession", "C_Finalize",
                     "UNLOAD"}},
        // Only CKR_MECHANISM_INVALID leads to the raw mechanism.
        SignFailure{
            "NoFallbackOnOtherRefusals",
            key("", "11"),
            Force{{"C_SignInit", 1}},
            0x32,
            "Firma fallita: Function::SignInit: PKCS11 error: " + std::string(DEVICE_REMOVED),
            {"C_SignInit", "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"}},
        SignFailure{"OddLengthEcdsaSignature", key("", "0102030405").mechanisms({0x1044}),
                    std::nullopt, 0,
                    "Firma fallita: Function::Sign: invalid response from the PKCS#11 module "
                    "(ECDSA signature of odd or zero length)",
                    SIGNED_AT_ONCE, "ecdsa_sha256"},
        // Zero r is an invalid response even when the certificate says nothing.
        SignFailure{
            "EcdsaSignatureWithZeroR",
            key("", std::string(64, '0') + std::string(62, '0') + "07").mechanisms({0x1044}),
            std::nullopt, 0,
            "Firma fallita: Function::Sign: invalid response from the PKCS#11 module "
            "(ECDSA signature with r or s equal to zero)",
            SIGNED_AT_ONCE, "ecdsa_sha256"},
        // C_Sign's CKR_GENERAL_ERROR leads to the raw mechanism; refused, the
        // first failure is reported.
        SignFailure{"SignFailsAndNoRawMechanism",
                    key("", "11"),
                    Force{{"C_Sign", 1}},
                    0x5,
                    "Firma fallita: Function::Sign: PKCS11 error: " + std::string(GENERAL_ERROR),
                    {"C_SignInit", "C_Sign", "C_SignInit", "C_Logout", "C_CloseSession",
                     "C_Finalize", "UNLOAD"}},
        SignFailure{"ContextLoginFails",
                    key("", "11").attribute(0x202, "\x01"),
                    Force{{"C_Login", 2}},
                    0xa0,
                    "Login fallito (PIN errato?): Function::Login: PKCS11 error: " +
                        std::string(PIN_INCORRECT),
                    {"C_SignInit", "C_Sign", "C_SignInit", "C_Login", "C_Logout", "C_CloseSession",
                     "C_Finalize", "UNLOAD"}},
        SignFailure{
            "SignInitFailsBeforeTheContextLogin",
            key("", "11").attribute(0x202, "\x01"),
            Force{{"C_SignInit", 2}},
            0x32,
            "Firma fallita: Function::SignInit: PKCS11 error: " + std::string(DEVICE_REMOVED),
            {"C_SignInit", "C_Sign", "C_SignInit", "C_Logout", "C_CloseSession", "C_Finalize",
             "UNLOAD"}},
        // The context login is made once: a second refusal is reported as it is.
        SignFailure{
            "RefusedAgainAfterTheContextLogin",
            key("", "11").attribute(0x202, "\x01"),
            Force{{"C_Login", 2}},
            0x0,
            "Firma fallita: Function::Sign: PKCS11 error: " + std::string(USER_NOT_LOGGED_IN),
            {"C_SignInit", "C_Sign", "C_SignInit", "C_Login", "C_Sign", "C_Logout",
             "C_CloseSession", "C_Finalize", "UNLOAD"}}),
    by_name);

// Each mechanism name: the token's hashing mechanism first, the raw one over
// the program's digest when the token answers CKR_MECHANISM_INVALID, and a
// context-specific login when C_Sign answers CKR_USER_NOT_LOGGED_IN.
struct MechanismRun {
  const char* name;
  std::string_view mechanism;
  MockObject key;
  Force force;  ///< answers CKR_USER_NOT_LOGGED_IN
  std::string signature;
  Names tail;                          ///< from the first C_SignInit on
  std::vector<std::string> sign_init;  ///< "<mechanism> <param>" of each C_SignInit
  std::string signed_data;             ///< the data of the last C_Sign, hex
  unsigned long last_sign_init_rv = 0;
};

class SigningMechanism : public SigningRun, public testing::WithParamInterface<MechanismRun> {};

TEST_P(SigningMechanism, TriesTheTokensHashingFirst) {
  const MechanismRun& c = GetParam();
  scenario.slot(1).certificate(CERT).object(c.key);
  if (c.force) scenario.force(c.force->first, c.force->second).rv(0x101);
  EXPECT_EQ(sign(request(to_hex(CERT), DATA_HEX, c.mechanism)), signed_document(c.signature));

  const Names names = after_start();
  const auto first = std::find(names.begin(), names.end(), "C_SignInit");
  EXPECT_EQ(Names(first, names.end()), c.tail) << log().text();
  std::vector<std::string> sign_init;
  for (const RecordedCall& call : log().all("C_SignInit"))
    sign_init.push_back(call.argument("mechanism").value_or("?") + " " +
                        call.argument("param").value_or("?"));
  EXPECT_EQ(sign_init, c.sign_init);
  EXPECT_EQ(log().all("C_SignInit").back().rv, c.last_sign_init_rv);
  const std::vector<RecordedCall> signs = log().all("C_Sign");
  ASSERT_FALSE(signs.empty());
  EXPECT_EQ(signs.back().argument("data"),
            c.signed_data + "/" + std::to_string(c.signed_data.size() / 2));
  const std::vector<RecordedCall> logins = log().all("C_Login");
  EXPECT_EQ(logins.front().argument("user"), "1");
  if (logins.size() > 1) {
    EXPECT_EQ(logins.back().argument("user"), "2");
    EXPECT_EQ(logins.back().argument("pin"), "31323334");
  }
  expect_unloaded_after_document();
}

const std::string SHA256_HELLO = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
const std::string SHA384_HELLO =
    "59e1748777448c69de6b800d7a33bbfb9ff1b463e44354c3553bcdb9c666fa90125a3c79f90397bdf5f6a13de82868"
    "4f";
const std::string SHA512_HELLO =
    "9b71d224bd62f3785d96d46ad3ea3d73319bfbc2890caadae2dff72519673ca72323c3d99ba5c11d7c7acc6e14b8c5"
    "da0c4663475c2e5c3adef46f73bcdec043";
const std::string DIGEST_INFO_SHA256 = "3031300d060960864801650304020105000420" + SHA256_HELLO;
const std::string DIGEST_INFO_SHA384 = "3041300d060960864801650304020205000430" + SHA384_HELLO;
const std::string DIGEST_INFO_SHA512 = "3051300d060960864801650304020305000440" + SHA512_HELLO;
const Names SIGNED_AFTER_FALLBACK = {"C_SignInit", "C_SignInit",     "C_Sign",     "C_Sign",
                                     "C_Logout",   "C_CloseSession", "C_Finalize", "UNLOAD"};
// r has its high bit set (a zero goes before it), s has leading zeros (dropped).
const std::string R_AND_S = std::string(64, 'f') + std::string(62, '0') + "01";
const std::string R_AND_S_DER = "3026022100" + std::string(64, 'f') + "020101";
const MockObject ALWAYS_AUTHENTICATE =
    MockObject::private_key().sign(true).attribute(0x202, "\x01");

INSTANTIATE_TEST_SUITE_P(
    Table, SigningMechanism,
    testing::Values(
        MechanismRun{"RsaSha256FallsBackToRawPkcs1",
                     "rsa_sha256",
                     MockObject::private_key().sign(true).mechanisms({0x1}),
                     std::nullopt,
                     "01" + DIGEST_INFO_SHA256,
                     SIGNED_AFTER_FALLBACK,
                     {"0x40 null/0", "0x1 null/0"},
                     DIGEST_INFO_SHA256},
        MechanismRun{"RsaSha384FallsBackToRawPkcs1",
                     "rsa_sha384",
                     MockObject::private_key().sign(true).mechanisms({0x1}),
                     std::nullopt,
                     "01" + DIGEST_INFO_SHA384,
                     SIGNED_AFTER_FALLBACK,
                     {"0x41 null/0", "0x1 null/0"},
                     DIGEST_INFO_SHA384},
        MechanismRun{"RsaSha512FallsBackToRawPkcs1",
                     "rsa_sha512",
                     MockObject::private_key().sign(true).mechanisms({0x1}),
                     std::nullopt,
                     "01" + DIGEST_INFO_SHA512,
                     SIGNED_AFTER_FALLBACK,
                     {"0x42 null/0", "0x1 null/0"},
                     DIGEST_INFO_SHA512},
        MechanismRun{"PssSha256OnTheToken",
                     "rsa_pss_sha256",
                     MockObject::private_key().sign(true).mechanisms({0x43, 0xd}),
                     std::nullopt,
                     "43" + std::string(DATA_HEX),
                     SIGNED_AT_ONCE,
                     {"0x43 " + pss_record(0x250, 2, 32)},
                     std::string(DATA_HEX)},
        MechanismRun{"PssSha384FallsBackToRawPss",
                     "rsa_pss_sha384",
                     MockObject::private_key().sign(true).mechanisms({0xd}),
                     std::nullopt,
                     "0d" + SHA384_HELLO,
                     SIGNED_AFTER_FALLBACK,
                     {"0x44 " + pss_record(0x260, 3, 48), "0xd " + pss_record(0x260, 3, 48)},
                     SHA384_HELLO},
        MechanismRun{"PssSha512OnTheToken",
                     "rsa_pss_sha512",
                     MockObject::private_key().sign(true).mechanisms({0x45}),
                     std::nullopt,
                     "45" + std::string(DATA_HEX),
                     SIGNED_AT_ONCE,
                     {"0x45 " + pss_record(0x270, 4, 64)},
                     std::string(DATA_HEX)},
        MechanismRun{"EcdsaSha256FallsBackToRawEcdsa",
                     "ecdsa_sha256",
                     key("", R_AND_S).mechanisms({0x1041}),
                     std::nullopt,
                     R_AND_S_DER,
                     SIGNED_AFTER_FALLBACK,
                     {"0x1044 null/0", "0x1041 null/0"},
                     SHA256_HELLO},
        MechanismRun{"EcdsaSha512OnTheToken",
                     "ecdsa_sha512",
                     key("", R_AND_S).mechanisms({0x1046}),
                     std::nullopt,
                     R_AND_S_DER,
                     SIGNED_AT_ONCE,
                     {"0x1046 null/0"},
                     std::string(DATA_HEX)},
        MechanismRun{"ContextLoginForAnAlwaysAuthenticateKey",
                     "rsa_sha256",
                     ALWAYS_AUTHENTICATE,
                     std::nullopt,
                     "40" + std::string(DATA_HEX),
                     {"C_SignInit", "C_Sign", "C_SignInit", "C_Login", "C_Sign", "C_Sign",
                      "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"},
                     {"0x40 null/0", "0x40 null/0"},
                     std::string(DATA_HEX)},
        // After a fallback the operation begins again with the raw mechanism.
        MechanismRun{
            "ContextLoginAfterTheFallback",
            "ecdsa_sha384",
            MockObject(ALWAYS_AUTHENTICATE).signature(from_hex(R_AND_S)).mechanisms({0x1041}),
            std::nullopt,
            R_AND_S_DER,
            {"C_SignInit", "C_SignInit", "C_Sign", "C_SignInit", "C_Login", "C_Sign", "C_Sign",
             "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"},
            {"0x1045 null/0", "0x1041 null/0", "0x1041 null/0"},
            SHA384_HELLO},
        // A module that keeps the refused operation refuses the new C_SignInit;
        // the login and the signature go to the operation it kept.
        MechanismRun{"ContextLoginForTheOperationTheModuleKept",
                     "rsa_sha256",
                     MockObject(ALWAYS_AUTHENTICATE).keeps_refused_operation(),
                     std::nullopt,
                     "40" + std::string(DATA_HEX),
                     {"C_SignInit", "C_Sign", "C_SignInit", "C_Login", "C_Sign", "C_Sign",
                      "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"},
                     {"0x40 null/0", "0x40 null/0"},
                     std::string(DATA_HEX),
                     0x90},
        // The fill call may be the one that asks for the PIN.
        MechanismRun{"ContextLoginWhenTheFillCallAsks",
                     "rsa_pss_sha256",
                     MockObject::private_key().sign(true).mechanisms({0x43}),
                     Force{{"C_Sign", 2}},
                     "43" + std::string(DATA_HEX),
                     {"C_SignInit", "C_Sign", "C_Sign", "C_SignInit", "C_Login", "C_Sign", "C_Sign",
                      "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"},
                     {"0x43 " + pss_record(0x250, 2, 32), "0x43 " + pss_record(0x250, 2, 32)},
                     std::string(DATA_HEX)}),
    by_name);

// A module that brings its own OpenSSL (a libcrypto.so.1.0.0 beside it, or
// linked in) gets its own EVP_sha256 throughout, in a listing and in a
// signing through the program's digest; the program's libcrypto.so.3 is
// loaded only for that digest, and never where a module can see its symbols.
// Each line: where the mock looked, whose EVP_sha256 it got, libcrypto.so.3.
TEST_F(SigningRun, LeavesTheModulesOwnOpenSslAlone) {
  if (target_uses_windows_paths()) GTEST_SKIP() << "libcrypto is the Linux build's";
  scenario.slot(1).certificate(CERT).object(MockObject::private_key().sign(true).mechanisms({0x1}));
  write_file("request.json", request(to_hex(CERT)));
  const std::string before_signing =
      "C_Initialize own absent\nC_GetSlotList own absent\n"
      "C_GetSlotList own absent\n";
  for (MockVariant variant : {MockVariant::OwnLibcrypto, MockVariant::LinkedCrypto}) {
    for (bool signs : {false, true}) {
      std::vector<std::string> arguments = {module(variant), file("out.json")};
      if (signs) arguments.insert(arguments.end(), {"sign", file("request.json")});
      const ProcessResult result = run(arguments);
      const std::string where = module(variant) + (signs ? " signing" : " listing");
      EXPECT_EQ(result.exit_code, 0) << where << "\n" << result.describe();
      EXPECT_EQ(read_file("out.json"),
                signs ? signed_document("01" + DIGEST_INFO_SHA256)
                      : R"({"slots":[{"description":"Mock slot 1","token_label":"Mock token 1",)"
                        R"("certs":[{"der_hex":"3082010a02820101"}]}],"error":null})")
          << where;
      std::string seen;
      for (const RecordedCall& probe : log().all("CRYPTO"))
        seen += probe.result("at").value_or("?") + " " + probe.result("evp_sha256").value_or("?") +
                " " + probe.result("libcrypto.so.3").value_or("?") + "\n";
      EXPECT_EQ(seen,
                before_signing + (signs ? "C_Sign own loaded\nC_Sign own loaded\n" : std::string()))
          << where;
    }
  }
}

/// Keys and certificates made with openssl on first use, once per test
/// program, and signatures of DATA_HEX's bytes made with them.
class OpensslKeys {
 public:
  static const OpensslKeys& get() {
    static const OpensslKeys keys;
    return keys;
  }
  Bytes rsa_certificate, ec_certificate;
  Bytes rsa_sha256, other_rsa_sha256;  ///< PKCS#1 v1.5; the other key's too
  Bytes ec_sha256_der;                 ///< ECDSA-Sig-Value

 private:
  OpensslKeys() {
    std::ofstream(path("data"), std::ios::binary) << from_hex(DATA_HEX);
    rsa_certificate = make_certificate("rsa", "rsa:2048");
    make_certificate("other", "rsa:2048");
    openssl({"genpkey", "-genparam", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-out", path("p256")},
            "p256");
    ec_certificate = make_certificate("ec", "ec:" + path("p256"));
    rsa_sha256 = sign("rsa");
    other_rsa_sha256 = sign("other");
    ec_sha256_der = sign("ec");
  }
  std::string path(const std::string& name) const { return (dir_.path() / name).string(); }
  Bytes openssl(std::vector<std::string> arguments, const std::string& output) const {
    arguments.insert(arguments.begin(), "openssl");
    const ProcessResult result = run_process(arguments, {});
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    return read_whole(path(output)).value_or("");
  }
  Bytes make_certificate(const std::string& name, const std::string& key) const {
    return openssl(
        {"req", "-x509", "-newkey", key, "-nodes", "-keyout", path(name + ".key"), "-subj",
         "/CN=" + name, "-days", "1", "-outform", "DER", "-out", path(name + ".der")},
        name + ".der");
  }
  Bytes sign(const std::string& name) const {
    return openssl({"dgst", "-sha256", "-sign", path(name + ".key"), "-out", path(name + ".sig"),
                    path("data")},
                   name + ".sig");
  }
  TempDir dir_{"mirandel-openssl-"};
};

/// DER SEQUENCE { INTEGER r, INTEGER s } of P-256 (short lengths) as r ‖ s.
Bytes r_and_s(const Bytes& der) {
  Bytes out;
  for (std::size_t at = 2; at + 2 <= der.size();) {
    const std::size_t length = static_cast<unsigned char>(der[at + 1]);
    Bytes integer = der.substr(at + 2, length);
    while (integer.size() > 32 && integer.front() == '\0') integer.erase(0, 1);
    out += Bytes(32 - integer.size(), '\0') + integer;
    at += 2 + length;
  }
  return out;
}

/// Which signature a mechanism gives: openssl's with the certificate's key,
/// openssl's with another key, or bytes that are no signature.
enum class Made : std::uint8_t { Good, Other, Bad };

// With a certificate whose key the program can read, every signature is
// checked against it before it goes out; the raw mechanism recovers from a
// hashing mechanism that fails or signs wrongly.
struct Verification {
  const char* name;
  std::string_view mechanism;  ///< rsa_sha256 or ecdsa_sha256
  bool known_certificate;      ///< the certificate openssl made; else opaque bytes
  Made hashing, raw;
  std::optional<Made> signed_with;     ///< nullopt: the signature does not verify
  Names tail;                          ///< from the first C_SignInit on
  std::vector<std::string> sign_init;  ///< mechanism of each C_SignInit
  Force force = std::nullopt;          ///< answers CKR_GENERAL_ERROR
  bool always_authenticate = false;
};

class SigningVerification : public SigningRun, public testing::WithParamInterface<Verification> {};

TEST_P(SigningVerification, SendsOnlySignaturesThatVerify) {
  const Verification& c = GetParam();
  const OpensslKeys& keys = OpensslKeys::get();
  const bool ecdsa = c.mechanism.starts_with("ecdsa");
  // ECDSA: the token answers r ‖ s, the document carries DER.
  const auto made = [&](Made which) -> Bytes {
    if (which == Made::Bad) return ecdsa ? from_hex(R_AND_S) : from_hex("0bad");
    if (ecdsa) return keys.ec_sha256_der;
    return which == Made::Good ? keys.rsa_sha256 : keys.other_rsa_sha256;
  };
  const auto token = [&](Made which) {
    return ecdsa && which != Made::Bad ? r_and_s(made(which)) : made(which);
  };
  const unsigned long hashing = ecdsa ? 0x1044 : 0x40, raw = ecdsa ? 0x1041 : 0x1;
  MockObject key = c.always_authenticate ? ALWAYS_AUTHENTICATE : MockObject::private_key();
  key.sign(true)
      .mechanisms({hashing, raw})
      .signature_for(hashing, token(c.hashing))
      .signature_for(raw, token(c.raw));
  const Bytes cert = !c.known_certificate ? CERT
                     : ecdsa              ? keys.ec_certificate
                                          : keys.rsa_certificate;
  scenario.slot(1).certificate(cert).object(key);
  if (c.force) scenario.force(c.force->first, c.force->second).rv(0x5);

  EXPECT_EQ(sign(request(to_hex(cert), DATA_HEX, c.mechanism)),
            c.signed_with ? signed_document(to_hex(made(*c.signed_with)))
                          : failed_document("Firma fallita: Function::Sign: invalid response from "
                                            "the PKCS#11 module (the signature does not verify "
                                            "against the certificate)"));
  const Names names = after_start();
  EXPECT_EQ(Names(std::find(names.begin(), names.end(), "C_SignInit"), names.end()), c.tail)
      << log().text();
  std::vector<std::string> sign_init;
  for (const RecordedCall& call : log().all("C_SignInit"))
    sign_init.push_back(call.argument("mechanism").value_or("?"));
  EXPECT_EQ(sign_init, c.sign_init);
  // The raw mechanism signs the host's digest (behind its DigestInfo for RSA).
  const std::string digest = ecdsa ? SHA256_HELLO : DIGEST_INFO_SHA256;
  if (c.sign_init.back() == "0x1" || c.sign_init.back() == "0x1041")
    EXPECT_EQ(log().all("C_Sign").back().argument("data"),
              digest + "/" + std::to_string(digest.size() / 2));
  expect_unloaded_after_document();
}

const Names SIGNED_TWICE = {"C_SignInit", "C_Sign",   "C_Sign",         "C_SignInit", "C_Sign",
                            "C_Sign",     "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"};

INSTANTIATE_TEST_SUITE_P(
    Table, SigningVerification,
    testing::Values(
        Verification{"ValidSignature",
                     "rsa_sha256",
                     true,
                     Made::Good,
                     Made::Bad,
                     Made::Good,
                     SIGNED_AT_ONCE,
                     {"0x40"}},
        Verification{"InvalidFromHashingValidFromRaw",
                     "rsa_sha256",
                     true,
                     Made::Other,
                     Made::Good,
                     Made::Good,
                     SIGNED_TWICE,
                     {"0x40", "0x1"}},
        // The key under the certificate's CKA_ID belongs to another certificate.
        Verification{"InvalidFromBoth",
                     "rsa_sha256",
                     true,
                     Made::Other,
                     Made::Other,
                     std::nullopt,
                     SIGNED_TWICE,
                     {"0x40", "0x1"}},
        Verification{"SignFailsOnTheHashingMechanism",
                     "rsa_sha256",
                     true,
                     Made::Bad,
                     Made::Good,
                     Made::Good,
                     {"C_SignInit", "C_Sign", "C_SignInit", "C_Sign", "C_Sign", "C_Logout",
                      "C_CloseSession", "C_Finalize", "UNLOAD"},
                     {"0x40", "0x1"},
                     Force{{"C_Sign", 1}}},
        // Opaque certificate bytes: nothing to check against, nothing retried.
        Verification{"OpaqueCertificate",
                     "rsa_sha256",
                     false,
                     Made::Other,
                     Made::Good,
                     Made::Other,
                     SIGNED_AT_ONCE,
                     {"0x40"}},
        // r ‖ s is checked before it becomes DER; openssl's DER is minimal too.
        Verification{"EcdsaInvalidFromHashingValidFromRaw",
                     "ecdsa_sha256",
                     true,
                     Made::Bad,
                     Made::Good,
                     Made::Good,
                     SIGNED_TWICE,
                     {"0x1044", "0x1041"}},
        // A key that asks for the PIN at every signature: one context login per attempt.
        Verification{"AlwaysAuthenticateKeyThroughBothAttempts",
                     "rsa_sha256",
                     true,
                     Made::Other,
                     Made::Good,
                     Made::Good,
                     {"C_SignInit", "C_Sign", "C_SignInit", "C_Login", "C_Sign", "C_Sign",
                      "C_SignInit", "C_Sign", "C_SignInit", "C_Login", "C_Sign", "C_Sign",
                      "C_Logout", "C_CloseSession", "C_Finalize", "UNLOAD"},
                     {"0x40", "0x40", "0x1", "0x1"},
                     std::nullopt,
                     true}),
    by_name);

// An empty PIN asks the token whether its reader has a keypad; only then
// does C_Login get a null PIN, for the user's login and the context login.
struct PinPad {
  const char* name;
  unsigned long token_flags;
  std::string_view pin;
  Force force;                   ///< answers CKR_DEVICE_REMOVED
  std::size_t token_info_reads;  ///< C_GetTokenInfo calls
  std::string login_pin;         ///< as the mock logs it, for every C_Login
};

class SigningPinPad : public SigningRun, public testing::WithParamInterface<PinPad> {};

TEST_P(SigningPinPad, GivesCLoginANullPinOnlyForAKeypadAndAnEmptyPin) {
  const PinPad& c = GetParam();
  scenario.slot(1)
      .token_flags(c.token_flags)
      .pin(Bytes(c.pin))
      .certificate(CERT)
      .object(MockObject(ALWAYS_AUTHENTICATE).signature(from_hex("11")));
  if (c.force) scenario.force(c.force->first, c.force->second).rv(0x32);
  EXPECT_EQ(sign(request(to_hex(CERT), DATA_HEX, "rsa_sha256", c.pin)), signed_document("11"));
  EXPECT_EQ(log().count("C_GetTokenInfo"), c.token_info_reads);
  const std::vector<RecordedCall> logins = log().all("C_Login");
  ASSERT_EQ(logins.size(), 2u) << log().text();
  for (const RecordedCall& login : logins) {
    EXPECT_EQ(login.argument("pin"), c.login_pin);
    EXPECT_EQ(login.argument("len"), std::to_string(c.pin.size()));
  }
}

constexpr unsigned long PLAIN = 0x40c;
constexpr unsigned long KEYPAD = 0x40c | 0x100;

INSTANTIATE_TEST_SUITE_P(
    Table, SigningPinPad,
    testing::Values(PinPad{"KeypadAndEmptyPin", KEYPAD, "", std::nullopt, 1, "null"},
                    PinPad{"KeypadAndAPin", KEYPAD, "1234", std::nullopt, 0, "31323334"},
                    PinPad{"PlainTokenAndEmptyPin", PLAIN, "", std::nullopt, 1, ""},
                    // A token that cannot tell gets the empty PIN as it is.
                    PinPad{"TokenInfoFails", KEYPAD, "", Force{{"C_GetTokenInfo", 1}}, 1, ""}),
    by_name);

TEST_F(SigningRun, KeepsOnlyTheBytesTheSecondCallReturns) {
  scenario.slot(1).certificate(CERT).object(
      MockObject::private_key().sign(true).signature_pattern(128).size_query(256));
  std::string expected;
  for (int i = 0; i < 128; ++i) expected += to_hex(std::string(1, static_cast<char>(i)));
  EXPECT_EQ(sign(request(to_hex(CERT))), signed_document(expected));
  EXPECT_EQ(argument("C_Sign", 1, "sig"), "buf/256");
  EXPECT_EQ(log().all("C_Sign").at(1).result("siglen"), "128");
}

TEST_F(SigningRun, SignsEmptyDataAsAZeroLengthInput) {
  scenario.slot(1).certificate(CERT).object(MockObject::private_key().sign(true));
  EXPECT_EQ(sign(request(to_hex(CERT), "", "rsa_sha384")), signed_document("41"));
  for (std::size_t call : {0u, 1u}) {
    const std::string data = argument("C_Sign", call, "data");
    EXPECT_TRUE(data == "null/0" || data == "/0") << data;
  }
}

TEST_F(SigningRun, IgnoresFailuresOfLogoutAndCloseSession) {
  scenario.slot(1).certificate(CERT).object(key("", "11"));
  scenario.force("C_Logout").rv(0x32);
  scenario.force("C_CloseSession").rv(0x32);
  EXPECT_EQ(sign(request(to_hex(CERT))), signed_document("11"));
  expect_unloaded_after_document();
}

}  // namespace
}  // namespace mirandel::test
