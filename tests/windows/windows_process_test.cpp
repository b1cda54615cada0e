// Whole-process tests that only a Windows build can answer, run from Linux
// against the .exe and the mock DLLs under Wine: Unicode and blank-holding
// paths, raw command lines split by the program itself, and the exact bytes
// of the standard streams.
//
// Environment (besides the MIRANDEL_TEST_* variables of the process tests):
//   MIRANDEL_TEST_WINDOWS_LAUNCHER  host path of mirandel_launcher.exe
//   MIRANDEL_TEST_FOREIGN_MOCK_DIR  host folder of the mock DLLs of the other
//                                   Windows build (x86 for x64, and the reverse)
//   MIRANDEL_TEST_FOREIGN_MACHINE   that build's processor: "x86" or "x64"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "helper_test.hpp"
#include "param_name.hpp"

namespace mirandel::test {
namespace {

namespace fs = std::filesystem;

const std::string USAGE =
    "uso: mirandel-pkcs11-helper <modulo> [output.json] [sign <input.json>]\n";
const std::string LOAD_FAILED =
    R"json({"slots":[],"error":"Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)"})json";
const std::string ONE_SLOT_LISTING =
    "{\"slots\":[{\"description\":\"Lettore\",\"token_label\":\"Citt\xc3\xa0\",\"certs\":"
    "[{\"der_hex\":\"3082aa\"}]}],\"error\":null}";
const Bytes CERT = from_hex("3082aa");
const std::string CERT_HEX = "3082aa";
const std::string SIGNED = R"({"signature":"0a0b","error":null})";
const std::string NOT_READABLE = R"({"signature":null,"error":"Input di firma non leggibile."})";

/// A request for CERT with `pin`.
std::string request(const std::string& pin = "1234") {
  return R"({"pin":")" + pin + R"(","cert_der_hex":")" + CERT_HEX +
         R"(","data_hex":"00","mechanism":"rsa_sha256"})";
}

/// Appends the UTF-16 code units of UTF-8 `text` (well-formed input only).
void append_utf16(std::u16string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1   ? lead
                 : length == 2 ? lead & 0x1F
                 : length == 3 ? lead & 0x0F
                               : lead & 0x07;
    for (std::size_t k = 1; k < length; ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
}

std::u16string utf16(std::string_view text) {
  std::u16string out;
  append_utf16(out, text);
  return out;
}

std::string hex_units(const std::u16string& units) {
  std::string hex;
  char digits[5];
  for (char16_t unit : units) {
    std::snprintf(digits, sizeof digits, "%04x", static_cast<unsigned>(unit));
    hex += digits;
  }
  return hex;
}

class WindowsProcess : public HelperProcessTest {
 protected:
  void SetUp() override {
    HelperProcessTest::SetUp();
    if (!target_uses_windows_paths()) GTEST_SKIP() << "not a Windows build under Wine";
  }

  void one_slot() {
    scenario.slot(1)
        .description(Bytes("Lettore"))
        .label(Bytes("Citt\xc3\xa0"))
        .certificate(CERT)
        .object(MockObject::private_key().sign(true).signature(from_hex("0a0b")));
  }

  /// The mock DLL copied to `relative` inside dir(); its target path.
  std::string module_copy(const std::string& relative) {
    fs::path destination = host_file(relative);
    fs::create_directories(destination.parent_path());
    fs::copy_file(mock_library(MockVariant::InterfaceAndFunctionList), destination);
    return target_path(destination);
  }

  /// Starts the program through the launcher with exactly `command_line`
  /// (program name included), in dir(), with the mock's variables set.
  ProcessResult run_raw(const std::u16string& command_line,
                        std::optional<std::string> input = std::nullopt) {
    const char* launcher = std::getenv("MIRANDEL_TEST_WINDOWS_LAUNCHER");
    EXPECT_TRUE(launcher && *launcher) << "MIRANDEL_TEST_WINDOWS_LAUNCHER is not set";
    scenario.write(dir() / "scenario.txt");
    std::error_code ignored;
    fs::remove(dir() / "calls.log", ignored);
    ProcessOptions options;
    options.environment = {{"MIRANDEL_MOCK_SCENARIO", file("scenario.txt")},
                           {"MIRANDEL_MOCK_LOG", file("calls.log")}};
    options.input = std::move(input);
    options.working_directory = dir();
    std::vector<std::string> argv = launcher_prefix();
    argv.push_back(launcher ? launcher : "");
    argv.push_back(target_path(helper_executable()));
    argv.push_back(hex_units(command_line));
    ProcessResult result = run_process(argv, options);
    EXPECT_FALSE(result.exec_failed) << result.describe();
    EXPECT_FALSE(result.timed_out) << result.describe();
    EXPECT_LT(result.exit_code, 120) << "the launcher failed: " << result.describe();
    return result;
  }
};

// ---- Paths that need Unicode or hold blanks ----------------------------------

TEST_F(WindowsProcess, SignsWithModuleRequestAndOutputInUnicodeDirectories) {
  one_slot();
  const std::string module = module_copy("Citt\xc3\xa0 \xc3\xa8/modulo \xf0\x9f\x94\x91.dll");
  write_file("richiesta \xc3\xa0.json", request());
  const std::string output = "Citt\xc3\xa0 \xc3\xa8/firma \xe2\x82\xac.json";

  ProcessResult result = run({module, file(output), "sign", file("richiesta \xc3\xa0.json")});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(read_file(output), SIGNED);
  const CallLog calls = log();
  EXPECT_EQ(calls.count("LOAD"), 1u) << calls.text();
  EXPECT_EQ(calls.count("C_Sign"), 2u) << calls.text();
  // FreeLibrary ran, not process exit. (The mock's narrow fopen cannot open
  // this path, so no watch: the order is proven by the ASCII-path tests.)
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.entries().back().line, "UNLOAD") << calls.text();
}

/// The start of a PE image for the processor `machine`, and nothing more.
std::string pe_stub(std::uint16_t machine) {
  std::string bytes(0x86, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = '\x80';
  bytes.replace(0x80, 4, std::string("PE\0\0", 4));
  bytes[0x84] = static_cast<char>(machine & 0xFF);
  bytes[0x85] = static_cast<char>(machine >> 8);
  return bytes;
}

const std::string NOTE = "mirandel-pkcs11-helper: il modulo \xc3\xa8 una DLL ";
const std::string FOR_X86 = NOTE +
                            "x86 (32 bit), che solo la versione x86 del programma pu\xc3\xb2 "
                            "caricare (cartella x86 del pacchetto)\n";
const std::string FOR_X64 = NOTE +
                            "x64 (64 bit), che solo la versione x64 del programma pu\xc3\xb2 "
                            "caricare (cartella principale del pacchetto)\n";

/// The mock module as the other Windows build has it (x86 for the x64
/// program and the reverse), and the note it earns: from
/// MIRANDEL_TEST_FOREIGN_MOCK_DIR and MIRANDEL_TEST_FOREIGN_MACHINE ("x86"
/// or "x64", the other build's processor).
std::pair<std::string, std::string> foreign_mock() {
  const char* dir = std::getenv("MIRANDEL_TEST_FOREIGN_MOCK_DIR");
  const char* machine = std::getenv("MIRANDEL_TEST_FOREIGN_MACHINE");
  EXPECT_TRUE(dir && machine) << "MIRANDEL_TEST_FOREIGN_MOCK_DIR and _MACHINE are not set";
  if (!dir || !machine) return {"", ""};
  return {target_path(fs::path(dir) / "mirandel_mock_fl.dll"),
          std::string(machine) == "x86" ? FOR_X86 : FOR_X64};
}

// The document is the same for a missing file and for a module built for
// another processor; only the latter gets a line on standard error.
TEST_F(WindowsProcess, ReportsUnloadableModulesWithTheLoaderText) {
  write_file("testo.dll", "not a library");
  write_file("arm64.dll", pe_stub(0xAA64));
  write_file("troppo corto.dll", pe_stub(0xAA64).substr(0, 0x85));
  fs::create_directories(host_file("cartella.dll"));
  const std::pair<std::string, std::string> foreign = foreign_mock();
  for (const auto& [module, err] : std::vector<std::pair<std::string, std::string>>{
           {file("assente \xc3\xa8.dll"), ""},
           {file("testo.dll"), ""},
           {file("cartella.dll"), ""},
           {file("Citt\xc3\xa0 assente/modulo.dll"), ""},
           {file("troppo corto.dll"), ""},
           {file("arm64.dll"),
            "mirandel-pkcs11-helper: il modulo \xc3\xa8 una DLL per un "
            "processore che nessuna versione del programma supporta; tipo di "
            "macchina PE: 0xaa64\n"},
           foreign,
       }) {
    ProcessResult result = run({module});
    EXPECT_EQ(result.exit_code, 0) << module;
    EXPECT_EQ(result.out, LOAD_FAILED + "\n") << module;
    EXPECT_EQ(result.err, err) << module;
  }
  EXPECT_EQ(log().count("LOAD"), 0u);

  // The signing run starts the module the same way.
  write_file("request.json", request());
  ProcessResult signing = run({foreign.first, file("firma.json"), "sign", file("request.json")});
  EXPECT_EQ(signing.err, foreign.second);
  EXPECT_EQ(read_file("firma.json"),
            R"({"signature":null,"error":"Modulo PKCS#11 non caricabile: libloading error )"
            R"x((LoadLibraryExW failed)"})x");
}

// ---- Standard streams ---------------------------------------------------------

TEST_F(WindowsProcess, PrintsTheDocumentWithOneBareLineFeed) {
  one_slot();
  ProcessResult result = run({module(MockVariant::InterfaceAndFunctionList)});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, ONE_SLOT_LISTING + "\n");
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1);
  EXPECT_EQ(result.out.find('\r'), std::string::npos);
  EXPECT_EQ(result.err, "");
}

struct CarriageReturnCase {
  const char* name;
  std::string request;
  std::string document;
};

class WindowsRequestBytes : public WindowsProcess,
                            public testing::WithParamInterface<CarriageReturnCase> {};

// A CR inside the PIN string makes the request invalid JSON; a reader that
// dropped CRs (text mode) would sign with the right PIN instead.
TEST_P(WindowsRequestBytes, KeepsEveryCarriageReturnFromStdinAndFromFiles) {
  one_slot();
  ProcessResult piped = run({module(), "", "sign", "-"}, GetParam().request);
  EXPECT_EQ(piped.exit_code, 0) << piped.describe();
  EXPECT_EQ(piped.out, GetParam().document + "\n");

  write_file("request.json", GetParam().request);
  ProcessResult from_file = run({module(), "", "sign", file("request.json")});
  EXPECT_EQ(from_file.out, GetParam().document + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsRequestBytes,
    testing::Values(CarriageReturnCase{"CrInsideThePin", request("12\r34"), NOT_READABLE},
                    CarriageReturnCase{
                        "CrLfBetweenTokens",
                        "{\r\n\"pin\":\"1234\",\r\n\"cert_der_hex\":\"" + CERT_HEX +
                            "\",\r\n\"data_hex\":\"00\",\r\n\"mechanism\":\"rsa_sha256\"\r\n}\r\n",
                        SIGNED}),
    by_name);

// ---- Raw command lines ---------------------------------------------------------

/// Where a raw command line's document should land.
struct RawCase {
  const char* name;
  std::u16string arguments;  ///< after the program name; {M} = quoted module, {D} = dir()
  std::string output;        ///< the file in dir() that receives it; "" for stdout
  std::string document;      ///< what it holds
  bool with_request;         ///< feed the request on standard input
};

/// A listing whose document lands in `output` ("" for stdout).
RawCase listed(const char* name, std::u16string arguments, std::string output) {
  return RawCase{name, std::move(arguments), std::move(output), ONE_SLOT_LISTING, false};
}

std::u16string expand(std::u16string pattern, const std::u16string& module,
                      const std::u16string& directory) {
  for (std::size_t at; (at = pattern.find(u"{M}")) != std::u16string::npos;)
    pattern.replace(at, 3, module);
  for (std::size_t at; (at = pattern.find(u"{D}")) != std::u16string::npos;)
    pattern.replace(at, 3, directory);
  return pattern;
}

class WindowsCommandLine : public WindowsProcess, public testing::WithParamInterface<RawCase> {};

TEST_P(WindowsCommandLine, IsSplitByTheCRuntimeRules) {
  one_slot();
  const RawCase& c = GetParam();
  // A program name with blanks, which must be skipped whole.
  std::u16string command_line = u"\"C:\\Program Files\\Mirandel app\\helper.exe\" ";
  command_line += expand(c.arguments, u"\"" + utf16(module()) + u"\"", utf16(target_path(dir())));
  ProcessResult result =
      run_raw(command_line, c.with_request ? std::optional<std::string>(request()) : std::nullopt);
  const std::string& document = c.document;
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.err, "");
  if (c.output.empty()) {
    EXPECT_EQ(result.out, document + "\n");
    EXPECT_TRUE(other_files().empty());
  } else {
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(other_files(), std::vector<std::string>{c.output});
    EXPECT_EQ(read_file(c.output), document);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsCommandLine,
    testing::Values(listed("QuotedPathWithBlanks", u"{M} \"{D}\\out file.json\"", "out file.json"),
                    listed("QuotesInsideAWord", u"{M} {D}\\out\" \"file.json", "out file.json"),
                    listed("TabsBetweenArguments", u"{M}\t\t\"{D}\\tab.json\"\t", "tab.json"),
                    listed("EvenBackslashesBeforeAQuote", u"{M} {D}\\\\\"a b\".json", "a b.json"),
                    listed("OddBackslashesMakeALiteralQuote", u"{M} {D}\\x \\\"sign\\\"", "x"),
                    listed("NonAsciiName", u"{M} \"{D}\\caff\u00e8 \u20ac.json\"",
                           "caff\xc3\xa8 \xe2\x82\xac.json"),
                    listed("EmptyQuotedOutputMeansStdout", u"{M} \"\"", ""),
                    listed("UnicodeBlankOutputMeansStdout", u"{M} \"\u3000\t\"", ""),
                    RawCase{"SignAssembledFromQuotedPieces", u"{M} \"\" \"\"s\"ig\"n -", "", SIGNED,
                            true},
                    RawCase{"QuotedSignWithoutRequest", u"{M} \"{D}\\o.json\" \"sign\"", "o.json",
                            NOT_READABLE, false},
                    listed("EscapedQuoteIsNotSign", u"{M} \"{D}\\o.json\" sign\\\" -", "o.json")),
    by_name);

TEST_F(WindowsProcess, TreatsAQuotedUnicodeBlankModuleAsMissing) {
  for (const std::u16string& command_line :
       {std::u16string(u"helper.exe"), std::u16string(u"\"helper.exe\"   "),
        std::u16string(u"helper.exe \"\u3000\t\u00a0\" out.json")}) {
    ProcessResult result = run_raw(command_line);
    EXPECT_EQ(result.exit_code, 2) << result.describe();
    EXPECT_EQ(result.err, USAGE);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(other_files().empty());
}

TEST_F(WindowsProcess, PassesALeadingBlankOfTheModulePathToTheLoader) {
  one_slot();
  ProcessResult result = run_raw(u"helper.exe \" " + utf16(module()) + u"\"");
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, LOAD_FAILED + "\n");
  EXPECT_EQ(log().count("LOAD"), 0u);
}

// A lone surrogate (U+D800 alone) cannot be turned into UTF-8. A program that
// converted its path arguments would use U+FFFD in its place; files with that
// name are laid out here as bait. Wine cannot store a lone surrogate in a file
// name, so under Wine the exact path simply fails, as it must.
const std::string REPLACEMENT = "\xef\xbf\xbd";

std::u16string with_lone_surrogate(const std::string& before, const std::string& after) {
  std::u16string text = utf16(before);
  text.push_back(static_cast<char16_t>(0xD800));
  return text + utf16(after);
}

TEST_F(WindowsProcess, HandsALoneSurrogateInTheModulePathToTheLoaderUnchanged) {
  one_slot();
  const std::string bait = module_copy("modulo" + REPLACEMENT + ".dll");
  ProcessResult result = run_raw(
      u"helper.exe \"" + with_lone_surrogate(target_path(dir()) + "\\modulo", ".dll") + u"\"");
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.out, LOAD_FAILED + "\n") << "loaded " << bait << " instead";
  EXPECT_EQ(log().count("LOAD"), 0u);
}

TEST_F(WindowsProcess, HandsALoneSurrogateInTheOutputPathToTheSystemUnchanged) {
  one_slot();
  ProcessResult result =
      run_raw(u"helper.exe \"" + utf16(module()) + u"\" \"" +
              with_lone_surrogate(target_path(dir()) + "\\out", ".json") + u"\"");
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fs::exists(host_file("out" + REPLACEMENT + ".json")));
  // Windows creates the file under its exact name; Wine refuses the name, and
  // the status says the document was not delivered.
  const std::vector<std::string> created = other_files();
  EXPECT_EQ(result.exit_code, created.empty() ? 1 : 0) << result.describe();
  for (const std::string& name : created) EXPECT_EQ(read_file(name), ONE_SLOT_LISTING);
}

}  // namespace
}  // namespace mirandel::test
