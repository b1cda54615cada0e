// Whole-process tests of the listing run against the mock module: the exact
// document, and the exact PKCS#11 calls behind it (sessions, searches in
// batches, two-call attribute reads), including modules that fail or break
// the PKCS#11 contract.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper_test.hpp"

namespace mirandel::test {
namespace {

constexpr unsigned long CKA_VALUE = 0x11;
constexpr unsigned long CKF_CLOCK_ON_TOKEN = 0x40;

/// A listing document with one slot entry whose members are given as JSON.
std::string one_slot(const std::string& description, const std::string& label,
                     const std::string& certs) {
  return R"({"slots":[{"description":)" + description + R"(,"token_label":)" + label +
         R"(,"certs":[)" + certs + R"(]}],"error":null})" + "\n";
}

/// `"der_hex":"..."` entries for these hex values, comma-separated.
std::string cert_entries(const std::vector<std::string>& hex_values) {
  std::string out;
  for (std::size_t i = 0; i < hex_values.size(); ++i)
    out += (i ? "," : "") + std::string(R"({"der_hex":")") + hex_values[i] + "\"}";
  return out;
}

/// Certificates 3000, 3001, ... for batch tests.
std::vector<std::string> numbered_values(int count) {
  std::vector<std::string> values;
  for (int i = 0; i < count; ++i)
    values.push_back(to_hex(std::string{'\x30', static_cast<char>(i)}));
  return values;
}

class Listing : public HelperProcessTest {
 protected:
  /// Runs a listing on standard output and checks what every listing must:
  /// status 0, nothing on standard error, every session closed before the
  /// unload, no login, C_Finalize as the last call.
  std::string list(MockVariant variant = MockVariant::InterfaceAndFunctionList) {
    const ProcessResult result = run({module(variant)});
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(result.err, "");
    const CallLog calls = log();
    expect_teardown(calls);
    EXPECT_EQ(calls.count("C_Login"), 0u) << calls.text();
    std::size_t opened = 0;
    for (const RecordedCall& call : calls.all("C_OpenSession"))
      if (call.rv == 0) ++opened;
    EXPECT_EQ(calls.count("C_CloseSession"), opened) << calls.text();
    if (!calls.empty()) {
      EXPECT_EQ(calls.names().back(), "UNLOAD") << calls.text();
    }
    return result.out;
  }

  /// Slot 1 ("L", token "T") with the certificates 0102 and 03.
  void two_certificates() {
    scenario.slot(1)
        .description("L")
        .label("T")
        .certificate(from_hex("0102"))
        .certificate(from_hex("03"));
  }
};

// ---- Slot descriptions and token labels -------------------------------------------

struct TextCase {
  const char* name;
  Bytes raw;         ///< field bytes (the mock pads them with blanks)
  std::string json;  ///< the member's value in the document
};

TEST_F(Listing, DecodesTrimsAndEscapesDescriptionsAndLabels) {
  const TextCase cases[] = {
      {"plain", "Lettore A", R"("Lettore A")"},
      {"all blanks", "", "null"},
      {"leading blanks trimmed", "   Token", R"("Token")"},
      {"NUL padding kept", std::string("Tok") + std::string(29, '\0'),
       "\"Tok" +
           [] {
             std::string s;
             for (int i = 0; i < 29; ++i) s += R"(\u0000)";
             return s;
           }() +
           "\""},
      {"invalid byte",
       "A\xFF"
       "B",
       "\"A\xEF\xBF\xBD"
       "B\""},
      {"truncated sequence at the end", "Tok\xE2\x82", "\"Tok\xEF\xBF\xBD\""},
      {"surrogate encoding", "x\xED\xA0\x80y", "\"x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDy\""},
      {"accented letters as raw UTF-8", "Citt\xC3\xA0 \xC3\xA8 s\xC3\xAC",
       "\"Citt\xC3\xA0 \xC3\xA8 s\xC3\xAC\""},
      {"four-byte character", "\xF0\x9F\x94\x91 key", "\"\xF0\x9F\x94\x91 key\""},
      {"trailing tab trimmed", "Tok\t", R"("Tok")"},
      {"Unicode white space trimmed", "\xE3\x80\x80Tok\xC2\xA0", R"("Tok")"},
      {"only white space", "\t\xC2\xA0\xE2\x80\x83", "null"},
      {"quote and backslash escaped", "a\"b\\c", R"("a\"b\\c")"},
      {"control characters escaped",
       "a\x1b"
       "b\nc\x7f/d",
       "\"a\\u001bb\\nc\x7f/d\""},
  };
  for (const TextCase& c : cases) {
    scenario = Scenario{};
    scenario.slot(1).description(c.raw).label(c.raw);
    EXPECT_EQ(list(), one_slot(c.json, c.json, "")) << c.name;
  }
}

struct ClockCase {
  const char* name;
  unsigned long flags;
  Bytes utc_time;
  bool label_listed;
};

TEST_F(Listing, DropsOnlyTheLabelWhenTheTokenClockCannotBeRead) {
  const ClockCase cases[] = {
      {"clock with blank time", CKF_CLOCK_ON_TOKEN, "", false},
      {"clock with zero bytes", CKF_CLOCK_ON_TOKEN, std::string(16, '\0'), false},
      {"clock with separators", CKF_CLOCK_ON_TOKEN, "2024-01-01T12:00", false},
      {"clock with a valid time", CKF_CLOCK_ON_TOKEN, "2024010112000000", true},
      {"clock with a plus sign", CKF_CLOCK_ON_TOKEN, "+024010112000000", true},
      {"no clock, blank time", 0x40C, "", true},
      {"no clock, garbage time", 0x40C, std::string(16, '\xFF'), true},
  };
  for (const ClockCase& c : cases) {
    scenario = Scenario{};
    scenario.slot(1)
        .description("Lettore")
        .label("Token")
        .token_flags(c.flags)
        .utc_time(c.utc_time)
        .certificate(from_hex("3082"));
    EXPECT_EQ(list(), one_slot(R"("Lettore")", c.label_listed ? R"("Token")" : "null",
                               cert_entries({"3082"})))
        << c.name;
  }
}

// ---- Searching and reading certificates ------------------------------------------------

struct BatchCase {
  int objects;
  std::size_t find_calls;
};

TEST_F(Listing, FetchesHandlesInBatchesOfTenUntilAShortBatch) {
  for (const BatchCase c : {BatchCase{0, 1}, BatchCase{1, 1}, BatchCase{7, 1}, BatchCase{10, 2},
                            BatchCase{11, 2}, BatchCase{20, 3}, BatchCase{25, 3}}) {
    scenario = Scenario{};
    MockSlot& slot = scenario.slot(1).description("L").label("T");
    const std::vector<std::string> values = numbered_values(c.objects);
    for (const std::string& value : values) slot.certificate(from_hex(value));
    EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", cert_entries(values))) << c.objects;
    const CallLog calls = log();
    const std::vector<RecordedCall> finds = calls.all("C_FindObjects");
    ASSERT_EQ(finds.size(), c.find_calls) << c.objects << "\n" << calls.text();
    for (const RecordedCall& find : finds) {
      EXPECT_EQ(find.argument("max"), "10") << find.line;
      EXPECT_EQ(find.argument("list"), "buf/10") << find.line;  // zero-filled every time
    }
    EXPECT_EQ(calls.count("C_FindObjectsFinal"), 1u);
    // The search is finished before any attribute is read.
    if (c.objects > 0) {
      EXPECT_LT(*calls.last_index("C_FindObjectsFinal"), *calls.first_index("C_GetAttributeValue"));
    }
  }
}

TEST_F(Listing, ReadsEachValueWithASizeQueryThenAZeroFilledBufferOfThatSize) {
  scenario.slot(1)
      .description("L")
      .label("T")
      .object(MockObject::certificate(from_hex("3082010a")).handle(0x7000))
      .object(MockObject::certificate("").handle(0x7001))
      .object(MockObject::certificate(std::string(3000, '\xAB')).handle(0x7002));
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")",
                             cert_entries({"3082010a", "", to_hex(std::string(3000, '\xAB'))})));
  const std::vector<RecordedCall> reads = log().all("C_GetAttributeValue");
  ASSERT_EQ(reads.size(), 6u) << log().text();
  const char* expected[][2] = {
      {"28672", "[0x11=null/0]"}, {"28672", "[0x11=buf/4]"},
      {"28673", "[0x11=null/0]"}, {"28673", "[0x11=null/0]"},  // length 0: null pointer again
      {"28674", "[0x11=null/0]"}, {"28674", "[0x11=buf/3000]"},
  };
  for (std::size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].argument("object"), expected[i][0]) << reads[i].line;
    EXPECT_EQ(reads[i].argument("template"), expected[i][1]) << reads[i].line;
    EXPECT_EQ(reads[i].argument("session"), "5001") << reads[i].line;
  }
  for (const RecordedCall& call : log().entries())
    EXPECT_EQ(call.line.find("buf!"), std::string::npos) << "buffer not zero-filled: " << call.line;
}

TEST_F(Listing, SearchesOnlyForCertificatesInAReadOnlySessionWithoutLogin) {
  scenario.slot(1)
      .description("L")
      .label("T")
      .certificate(from_hex("01"))
      .object(MockObject::certificate(from_hex("02")).only_after_login())
      .object(MockObject::private_key().sign(true).value(from_hex("03")))
      .object(MockObject::of_class(0).value(from_hex("04")))
      .certificate(from_hex("01"));  // the same value twice: listed twice
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", cert_entries({"01", "01"})));
  const CallLog calls = log();
  EXPECT_EQ(calls.all("C_OpenSession").at(0).line,
            "C_OpenSession slot=1 flags=0x4 app=null notify=null session=set -> 0x0 session=5001 "
            "via=if");
  EXPECT_EQ(calls.all("C_FindObjectsInit").at(0).argument("template"),
            "[0x0=" + to_hex(std::string("\1\0\0\0\0\0\0\0", target_ulong_bytes())) + "/" +
                std::to_string(target_ulong_bytes()) + "]");
}

TEST_F(Listing, OmitsObjectsWhoseValueIsSensitiveMissingOrUnreadable) {
  scenario.slot(1)
      .description("L")
      .label("T")
      .certificate(from_hex("01"))
      .object(MockObject::certificate(from_hex("02")).sensitive(CKA_VALUE))
      .object(MockObject::of_class(1))  // a certificate without CKA_VALUE
      .certificate(from_hex("05"))
      .certificate(from_hex("06"))
      .certificate(from_hex("07"));
  // Reads, in order: 01 (1, 2), 02 (3), no value (4), 05 (5), 06 (6, 7), 07 (8, 9).
  scenario.force("C_GetAttributeValue", 5).rv(0x82);   // 05: object handle invalid
  scenario.force("C_GetAttributeValue", 7).rv(0x150);  // 06: the fill answers too small
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", cert_entries({"01", "07"})));
  EXPECT_EQ(log().count("C_GetAttributeValue"), 9u) << log().text();
}

// ---- Failures inside a slot ----------------------------------------------------------

struct SlotFailureCase {
  const char* name;
  void (*shape)(Scenario&);
  std::string expected;
  std::vector<std::string> absent_calls;  ///< calls that must not be made
};

TEST_F(Listing, KeepsTheSlotWhenSomethingInsideItFails) {
  const std::string all_certs = cert_entries({"01", "02"});
  const SlotFailureCase cases[] = {
      {"C_GetSlotInfo fails",
       [](Scenario& s) { s.force("C_GetSlotInfo").rv(0x3); },
       one_slot("null", R"("T")", all_certs),
       {}},
      {"C_GetTokenInfo fails",
       [](Scenario& s) { s.force("C_GetTokenInfo").rv(0xE0); },
       one_slot(R"("L")", "null", all_certs),
       {}},
      {"C_OpenSession fails",
       [](Scenario& s) { s.force("C_OpenSession").rv(0xE1); },
       one_slot(R"("L")", R"("T")", ""),
       {"C_FindObjectsInit", "C_CloseSession"}},
      {"C_FindObjectsInit fails",
       [](Scenario& s) { s.force("C_FindObjectsInit").rv(0x5); },
       one_slot(R"("L")", R"("T")", ""),
       {"C_FindObjects", "C_FindObjectsFinal"}},
      {"C_FindObjects fails",
       [](Scenario& s) { s.force("C_FindObjects").rv(0x30); },
       one_slot(R"("L")", R"("T")", ""),
       {"C_GetAttributeValue"}},
      {"C_FindObjectsFinal fails",
       [](Scenario& s) { s.force("C_FindObjectsFinal").rv(0x5); },
       one_slot(R"("L")", R"("T")", all_certs),
       {}},
      {"C_CloseSession fails",
       [](Scenario& s) { s.force("C_CloseSession").rv(0xB3); },
       one_slot(R"("L")", R"("T")", all_certs),
       {}},
      {"C_GetSlotInfo is null",
       [](Scenario& s) { s.null_entry("C_GetSlotInfo"); },
       one_slot("null", R"("T")", all_certs),
       {"C_GetSlotInfo"}},
      {"C_GetTokenInfo is null",
       [](Scenario& s) { s.null_entry("C_GetTokenInfo"); },
       one_slot(R"("L")", "null", all_certs),
       {"C_GetTokenInfo"}},
      {"C_OpenSession is null",
       [](Scenario& s) { s.null_entry("C_OpenSession"); },
       one_slot(R"("L")", R"("T")", ""),
       {"C_OpenSession", "C_FindObjectsInit", "C_CloseSession"}},
      {"C_FindObjectsInit is null",
       [](Scenario& s) { s.null_entry("C_FindObjectsInit"); },
       one_slot(R"("L")", R"("T")", ""),
       {"C_FindObjectsInit", "C_FindObjectsFinal"}},
      {"C_FindObjects is null",
       [](Scenario& s) { s.null_entry("C_FindObjects"); },
       one_slot(R"("L")", R"("T")", ""),
       {"C_FindObjects", "C_GetAttributeValue"}},
      {"C_FindObjectsFinal is null",
       [](Scenario& s) { s.null_entry("C_FindObjectsFinal"); },
       one_slot(R"("L")", R"("T")", all_certs),
       {"C_FindObjectsFinal"}},
      {"C_GetAttributeValue is null",
       [](Scenario& s) { s.null_entry("C_GetAttributeValue"); },
       one_slot(R"("L")", R"("T")", ""),
       {"C_GetAttributeValue"}},
      {"C_CloseSession is null",
       [](Scenario& s) { s.null_entry("C_CloseSession"); },
       one_slot(R"("L")", R"("T")", all_certs),
       {"C_CloseSession"}},
  };
  for (const SlotFailureCase& c : cases) {
    scenario = Scenario{};
    scenario.slot(1)
        .description("L")
        .label("T")
        .certificate(from_hex("01"))
        .certificate(from_hex("02"));
    c.shape(scenario);
    const ProcessResult result = run({module()});
    EXPECT_EQ(result.exit_code, 0) << c.name << "\n" << result.describe();
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(result.out, c.expected) << c.name;
    const CallLog calls = log();
    for (const std::string& absent : c.absent_calls)
      EXPECT_EQ(calls.count(absent), 0u) << c.name << ": " << absent << "\n" << calls.text();
    // A search that was started is always finished, even when it failed.
    const bool search_started =
        !calls.all("C_FindObjectsInit").empty() && calls.all("C_FindObjectsInit")[0].rv == 0u;
    const bool final_present = c.name != std::string("C_FindObjectsFinal is null");
    EXPECT_EQ(calls.count("C_FindObjectsFinal"), search_started && final_present ? 1u : 0u)
        << c.name << "\n"
        << calls.text();
    EXPECT_EQ(calls.names().back(), "UNLOAD") << c.name;
    expect_teardown(calls);
  }
}

TEST_F(Listing, DiscardsTheFirstBatchWhenTheSecondFails) {
  MockSlot& slot = scenario.slot(1).description("L").label("T");
  for (const std::string& value : numbered_values(25)) slot.certificate(from_hex(value));
  scenario.force("C_FindObjects", 2).rv(0x30);
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", ""));
  const CallLog calls = log();
  EXPECT_EQ(calls.count("C_FindObjects"), 2u);
  EXPECT_EQ(calls.count("C_FindObjectsFinal"), 1u);
  EXPECT_GT(*calls.first_index("C_FindObjectsFinal"), *calls.last_index("C_FindObjects"));
  EXPECT_EQ(calls.count("C_GetAttributeValue"), 0u);
}

// ---- Several slots -------------------------------------------------------------------

TEST_F(Listing, VisitsSlotsInOrderWithOneSessionAtATime) {
  scenario.slot(3).description("Terzo").label("C").certificate(from_hex("03"));
  scenario.slot(1).description("Primo").label("A");
  scenario.slot(2).absent();
  scenario.slot(9).description("Nono").label("I").certificate(from_hex("09"));
  scenario.force("C_OpenSession", 2).rv(0xE1);  // slot 1: no session, still listed
  EXPECT_EQ(list(),
            R"({"slots":[{"description":"Terzo","token_label":"C","certs":[{"der_hex":"03"}]},)"
            R"({"description":"Primo","token_label":"A","certs":[]},)"
            R"({"description":"Nono","token_label":"I","certs":[{"der_hex":"09"}]}],"error":null})"
            "\n");
  const std::vector<std::string> one_cert_slot = {
      "C_GetSlotInfo",       "C_GetTokenInfo",      "C_OpenSession",
      "C_FindObjectsInit",   "C_FindObjects",       "C_FindObjectsFinal",
      "C_GetAttributeValue", "C_GetAttributeValue", "C_CloseSession"};
  std::vector<std::string> expected = {"LOAD", "C_GetInterface", "C_Initialize", "C_GetSlotList",
                                       "C_GetSlotList"};
  expected.insert(expected.end(), one_cert_slot.begin(), one_cert_slot.end());
  expected.insert(expected.end(), {"C_GetSlotInfo", "C_GetTokenInfo", "C_OpenSession"});
  expected.insert(expected.end(), one_cert_slot.begin(), one_cert_slot.end());
  expected.insert(expected.end(), {"C_Finalize", "UNLOAD"});
  const CallLog calls = log();
  EXPECT_EQ(calls.names(), expected) << calls.text();
  const std::vector<RecordedCall> infos = calls.all("C_GetSlotInfo");
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(infos[0].argument("slot"), "3");
  EXPECT_EQ(infos[1].argument("slot"), "1");
  EXPECT_EQ(infos[2].argument("slot"), "9");
  const std::vector<RecordedCall> closes = calls.all("C_CloseSession");
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].argument("session"), "5001");
  EXPECT_EQ(closes[1].argument("session"), "5002");
}

TEST_F(Listing, UnloadsTheModuleAfterTheLastSessionAndAfterWritingTheDocument) {
  scenario.slot(1).description("L").label("T").certificate(from_hex("01"));
  scenario.watch(file("out.json"));
  const ProcessResult result = run({module(), file("out.json")});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(
      read_file("out.json"),
      R"({"slots":[{"description":"L","token_label":"T","certs":[{"der_hex":"01"}]}],"error":null})");
  const CallLog calls = log();
  const std::vector<std::string> names = calls.names();
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[names.size() - 3], "C_CloseSession") << calls.text();
  expect_teardown(calls);
  EXPECT_EQ(calls.all("UNLOAD").at(0).result("watch"),
            std::to_string(read_file("out.json").value_or("").size()))
      << calls.text();
}

// ---- Modules that break the PKCS#11 contract ------------------------------------------------
// These must end in a document, never in a crash or a read past a buffer (the
// suite also runs under AddressSanitizer).

TEST_F(Listing, RefusesASearchBatchWithMoreHandlesThanAskedFor) {
  MockSlot& slot = scenario.slot(1).description("L").label("T");
  for (const std::string& value : numbered_values(12)) slot.certificate(from_hex(value));
  scenario.force("C_FindObjects", 1).count(12);
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", ""));
  EXPECT_EQ(log().count("C_FindObjectsFinal"), 1u) << log().text();
  EXPECT_EQ(log().count("C_GetAttributeValue"), 0u) << log().text();
}

// A module that answers every C_FindObjects with a full batch would keep the
// search going for ever; it is stopped after 65536 handles and the slot lists
// nothing.
TEST_F(Listing, StopsASearchThatNeverEnds) {
  scenario.slot(1).description("L").label("T").certificate(from_hex("3000"));
  scenario.force("C_FindObjects").count(10);
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", ""));
  EXPECT_EQ(log().count("C_FindObjects"), 65536u / 10u + 1u);
  EXPECT_EQ(log().count("C_FindObjectsFinal"), 1u);
  EXPECT_EQ(log().count("C_GetAttributeValue"), 0u);
}

// The second C_GetAttributeValue answering CKR_BUFFER_TOO_SMALL with a still
// larger length is not chased: the value is dropped after two calls.
TEST_F(Listing, DropsAValueWhoseLengthGrowsBetweenTheTwoCalls) {
  two_certificates();
  scenario.force("C_GetAttributeValue", 2).rv(0x150).len(3);
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", cert_entries({"03"})));
  EXPECT_EQ(log().count("C_GetAttributeValue"), 4u) << log().text();
}

TEST_F(Listing, OmitsAValueReportedLongerThanItsBuffer) {
  two_certificates();
  scenario.force("C_GetAttributeValue", 2).len(9999);  // the fill of the first certificate
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", cert_entries({"03"})));
}

TEST_F(Listing, OmitsAValueWithAnAbsurdSizeWithoutAllocatingIt) {
  two_certificates();
  scenario.force("C_GetAttributeValue", 1).len(0xFFFFFFFEul);
  EXPECT_EQ(list(), one_slot(R"("L")", R"("T")", cert_entries({"03"})));
  // No fill call is attempted for the absurd size.
  EXPECT_EQ(log().count("C_GetAttributeValue"), 3u) << log().text();
}

}  // namespace
}  // namespace mirandel::test
