#include "emit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>

namespace mirandel {
namespace {

namespace fs = std::filesystem;

/// A fresh directory per test, removed afterwards.
class EmitDocument : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    directory_ = fs::temp_directory_path() / (std::string("mirandel-emit-") + info->name() + "-" +
                                              std::to_string(std::random_device{}()));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  static std::string contents_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path directory_;
};

const ListingDocument LISTING{{{"A", std::nullopt, {{"00ff"}}}}, std::nullopt};
const std::string LISTING_JSON =
    R"({"slots":[{"description":"A","token_label":null,"certs":[{"der_hex":"00ff"}]}],"error":null})";

TEST_F(EmitDocument, CreatesTheOutputFileWithExactlyTheDocument) {
  fs::path out = directory_ / "out.json";
  testing::internal::CaptureStdout();
  emit_document(LISTING, out);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(contents_of(out), LISTING_JSON);
}

TEST_F(EmitDocument, TruncatesALongerExistingFile) {
  fs::path out = directory_ / "out.json";
  std::ofstream(out, std::ios::binary) << std::string(4096, 'x');
  emit_document(SignatureDocument{"0a1b", std::nullopt}, out);
  EXPECT_EQ(contents_of(out), R"({"signature":"0a1b","error":null})");
}

TEST_F(EmitDocument, WritesNothingAnywhereWhenTheDirectoryIsMissing) {
  fs::path out = directory_ / "missing" / "out.json";
  testing::internal::CaptureStdout();
  emit_document(LISTING, out);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(directory_ / "missing"));
}

TEST_F(EmitDocument, WritesNothingWhenTheOutputIsADirectory) {
  testing::internal::CaptureStdout();
  emit_document(LISTING, directory_);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(fs::is_directory(directory_));
}

TEST_F(EmitDocument, PrintsTheDocumentAndOneLineFeedWithoutAnOutputPath) {
  testing::internal::CaptureStdout();
  emit_document(SignatureDocument{std::nullopt, "Input di firma non leggibile."}, std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "{\"signature\":null,\"error\":\"Input di firma non leggibile.\"}\n");
}

TEST_F(EmitDocument, DeliversTheFallbackWhenSerialisationThrows) {
  fs::path out = directory_ / "out.json";
  std::ofstream(out, std::ios::binary) << "old contents that must go";
  emit_serialised([]() -> std::string { throw std::bad_alloc(); }, out);
  EXPECT_EQ(contents_of(out), FALLBACK_DOCUMENT);

  testing::internal::CaptureStdout();
  emit_serialised([]() -> std::string { throw std::length_error("too long"); }, std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(FALLBACK_DOCUMENT) + "\n");
}

TEST(FallbackDocument, IsValidJsonWithoutEscaping) {
  // The reason is inserted without escaping, so it must need none.
  constexpr std::string_view prefix = R"({"error":")";
  constexpr std::string_view suffix = R"("})";
  ASSERT_TRUE(FALLBACK_DOCUMENT.starts_with(prefix));
  ASSERT_TRUE(FALLBACK_DOCUMENT.ends_with(suffix));
  std::string_view reason = FALLBACK_DOCUMENT.substr(
      prefix.size(), FALLBACK_DOCUMENT.size() - prefix.size() - suffix.size());
  EXPECT_FALSE(reason.empty());
  std::string escaped;
  append_json_string(escaped, reason);
  EXPECT_EQ(escaped, "\"" + std::string(reason) + "\"");
}

}  // namespace
}  // namespace mirandel
