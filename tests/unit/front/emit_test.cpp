#include "emit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "test_files.hpp"

namespace mirandel {
namespace {

namespace fs = std::filesystem;

class EmitDocument : public testing::Test {
 protected:
  test::TempDir dir_{"mirandel-emit-"};
};

const ListingDocument LISTING{{{"A", std::nullopt, {{"00ff"}}}}, std::nullopt};
const std::string LISTING_JSON =
    R"({"slots":[{"description":"A","token_label":null,"certs":[{"der_hex":"00ff"}]}],"error":null})";

TEST_F(EmitDocument, CreatesTheOutputFileWithExactlyTheDocument) {
  fs::path out = dir_.path() / "out.json";
  testing::internal::CaptureStdout();
  EXPECT_TRUE(emit_document(LISTING, out));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(test::read_whole(out), LISTING_JSON);
}

TEST_F(EmitDocument, TruncatesALongerExistingFile) {
  fs::path out = dir_.path() / "out.json";
  std::ofstream(out, std::ios::binary) << std::string(4096, 'x');
  EXPECT_TRUE(emit_document(SignatureDocument{"0a1b", std::nullopt}, out));
  EXPECT_EQ(test::read_whole(out), R"({"signature":"0a1b","error":null})");
}

TEST_F(EmitDocument, WritesNothingAnywhereWhenTheDirectoryIsMissing) {
  fs::path out = dir_.path() / "missing" / "out.json";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(emit_document(LISTING, out));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(dir_.path() / "missing"));
}

TEST_F(EmitDocument, WritesNothingWhenTheOutputIsADirectory) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(emit_document(LISTING, dir_.path()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(fs::is_directory(dir_.path()));
}

TEST_F(EmitDocument, PrintsTheDocumentAndOneLineFeedWithoutAnOutputPath) {
  testing::internal::CaptureStdout();
  EXPECT_TRUE(emit_document(SignatureDocument{std::nullopt, "Input di firma non leggibile."},
                            std::nullopt));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "{\"signature\":null,\"error\":\"Input di firma non leggibile.\"}\n");
}

TEST_F(EmitDocument, DeliversTheFallbackWhenSerialisationThrows) {
  fs::path out = dir_.path() / "out.json";
  std::ofstream(out, std::ios::binary) << "old contents that must go";
  EXPECT_TRUE(emit_serialised([]() -> std::string { throw std::bad_alloc(); },
                              FALLBACK_LISTING_DOCUMENT, out));
  EXPECT_EQ(test::read_whole(out), FALLBACK_LISTING_DOCUMENT);

  testing::internal::CaptureStdout();
  EXPECT_TRUE(emit_serialised([]() -> std::string { throw std::length_error("too long"); },
                              FALLBACK_SIGNATURE_DOCUMENT, std::nullopt));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            std::string(FALLBACK_SIGNATURE_DOCUMENT) + "\n");
}

// Each last-resort document is exactly what the serialiser makes of a failed
// document of its kind: every member present, the reason needing no escape.
TEST(FallbackDocument, IsAWholeDocumentOfItsKind) {
  constexpr std::string_view reason = "Serializzazione del documento fallita.";
  EXPECT_EQ(FALLBACK_LISTING_DOCUMENT, serialize(ListingDocument{{}, std::string(reason)}));
  EXPECT_EQ(FALLBACK_SIGNATURE_DOCUMENT,
            serialize(SignatureDocument{std::nullopt, std::string(reason)}));
}

}  // namespace
}  // namespace mirandel
