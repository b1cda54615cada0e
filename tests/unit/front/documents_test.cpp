#include "documents.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "param_name.hpp"

namespace mirandel {
namespace {

using namespace std::string_literals;

struct EscapeCase {
  const char* name;
  std::string text;
  std::string json;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class JsonString : public testing::TestWithParam<EscapeCase> {};

TEST_P(JsonString, EscapesOnlyQuotesBackslashAndControlCharacters) {
  std::string out;
  append_json_string(out, GetParam().text);
  EXPECT_EQ(out, GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonString,
    testing::Values(
        EscapeCase{"Empty", "", R"("")"}, EscapeCase{"PlainAscii", "abc XYZ 09", R"("abc XYZ 09")"},
        EscapeCase{"Quote", "\"", R"("\"")"}, EscapeCase{"Backslash", "\\", R"("\\")"},
        EscapeCase{"Backspace", "\b", R"("\b")"}, EscapeCase{"Tab", "\t", R"("\t")"},
        EscapeCase{"LineFeed", "\n", R"("\n")"}, EscapeCase{"FormFeed", "\f", R"("\f")"},
        EscapeCase{"CarriageReturn", "\r", R"("\r")"}, EscapeCase{"Nul", "\0"s, R"("\u0000")"},
        EscapeCase{"StartOfHeading", "\x01", R"("\u0001")"},
        EscapeCase{"VerticalTab", "\v", R"("\u000b")"}, EscapeCase{"Escape", "\x1b", R"("\u001b")"},
        EscapeCase{"UnitSeparator", "\x1f", R"("\u001f")"}, EscapeCase{"SpaceIsRaw", " ", R"(" ")"},
        EscapeCase{"SolidusIsRaw", "a/b", R"("a/b")"},
        EscapeCase{"DeleteIsRaw", "\x7f", "\"\x7f\""},
        EscapeCase{"AccentedLettersAreRaw", "Perché più città", "\"Perché più città\""},
        EscapeCase{"NonBmpIsRaw", "\U0001F511", "\"\U0001F511\""},
        EscapeCase{"ReplacementCharacterIsRaw", "\ufffd", "\"\ufffd\""},
        EscapeCase{"LineSeparatorIsRaw", "\u2028", "\"\u2028\""},
        EscapeCase{"RunsAroundEscapes", "ab\"cd\\ef\ngh", R"("ab\"cd\\ef\ngh")"},
        EscapeCase{"EscapesBackToBack", "\"\"\\\t\0\x1f"s, R"("\"\"\\\t\u0000\u001f")"},
        EscapeCase{"NulPaddedLabel", "Token\0\0\0"s, R"("Token\u0000\u0000\u0000")"},
        EscapeCase{"LoaderTextWithQuotes", "Modulo: \"C:\\a.dll\"", R"("Modulo: \"C:\\a.dll\"")"}),
    test::by_name);

TEST(JsonString, AppendsAfterWhatIsAlreadyThere) {
  std::string out = "[";
  append_json_string(out, "x");
  EXPECT_EQ(out, R"([")"
                 "x"
                 R"(")");
}

TEST(JsonString, EscapesEveryControlCharacterAndNothingAbove) {
  // The whole byte range: exactly 0x00..0x1F, '"' and '\' change.
  for (int b = 0; b < 256; ++b) {
    std::string out;
    append_json_string(out, std::string(1, static_cast<char>(b)));
    bool escaped = b < 0x20 || b == '"' || b == '\\';
    EXPECT_EQ(out.size() != 3, escaped) << "byte " << b;
  }
}

/// A document and its exact serialisation.
template <typename Document>
struct SerialisationCase {
  const char* name;
  Document document;
  std::string json;
};

template <typename Document>
void PrintTo(const SerialisationCase<Document>& c, std::ostream* os) {
  *os << c.name;
}

using ListingCase = SerialisationCase<ListingDocument>;
using SignatureCase = SerialisationCase<SignatureDocument>;

class ListingSerialisation : public testing::TestWithParam<ListingCase> {};

TEST_P(ListingSerialisation, WritesCompactJsonInFixedOrder) {
  EXPECT_EQ(serialize(GetParam().document), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListingSerialisation,
    testing::Values(
        ListingCase{"ModuleWithoutTokens", {}, R"({"slots":[],"error":null})"},
        ListingCase{
            "OneSlotOneCert",
            {{{"A", std::nullopt, {{"00ff"}}}}, std::nullopt},
            R"({"slots":[{"description":"A","token_label":null,"certs":[{"der_hex":"00ff"}]}],"error":null})"},
        ListingCase{
            "SlotWithoutAnything",
            {{{std::nullopt, std::nullopt, {}}}, std::nullopt},
            R"({"slots":[{"description":null,"token_label":null,"certs":[]}],"error":null})"},
        ListingCase{
            "SeveralSlotsAndCerts",
            {{{"Lettore 1", "Carta", {{"30"}, {""}, {"30"}}}, {"Lettore 2", "Chiavetta è", {}}},
             std::nullopt},
            R"({"slots":[{"description":"Lettore 1","token_label":"Carta","certs":[{"der_hex":"30"},{"der_hex":""},{"der_hex":"30"}]},)"
            R"({"description":"Lettore 2","token_label":"Chiavetta è","certs":[]}],"error":null})"},
        ListingCase{
            "StartUpFailure",
            {{}, "Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)"},
            R"j({"slots":[],"error":"Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)"})j"},
        ListingCase{
            "NulPaddedLabel",
            {{{"R", "L\0\0"s, {}}}, std::nullopt},
            R"({"slots":[{"description":"R","token_label":"L\u0000\u0000","certs":[]}],"error":null})"}),
    test::by_name);

class SignatureSerialisation : public testing::TestWithParam<SignatureCase> {};

TEST_P(SignatureSerialisation, WritesSignatureThenError) {
  EXPECT_EQ(serialize(GetParam().document), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SignatureSerialisation,
    testing::Values(
        SignatureCase{"Success", {"0a1b", std::nullopt}, R"({"signature":"0a1b","error":null})"},
        SignatureCase{
            "KeyNotFound",
            {std::nullopt, "Chiave privata di firma non trovata sul dispositivo."},
            R"({"signature":null,"error":"Chiave privata di firma non trovata sul dispositivo."})"},
        SignatureCase{"MechanismWithQuoteAndBackslash",
                      {std::nullopt, "errore: rsa\"x\\y"},
                      R"({"signature":null,"error":"errore: rsa\"x\\y"})"},
        SignatureCase{"EmptySignature", {"", std::nullopt}, R"({"signature":"","error":null})"}),
    test::by_name);

TEST(ListingSerialisation, CopiesLongCertificatesWhole) {
  // Well past the first 128 bytes of the buffer, so growth is exercised.
  std::string hex(20000, 'a');
  ListingDocument document{{{"D", "L", {{hex}, {hex}}}}, std::nullopt};
  std::string expected = R"({"slots":[{"description":"D","token_label":"L","certs":[{"der_hex":")" +
                         hex + R"("},{"der_hex":")" + hex + R"("}]}],"error":null})";
  EXPECT_EQ(serialize(document), expected);
}

}  // namespace
}  // namespace mirandel
