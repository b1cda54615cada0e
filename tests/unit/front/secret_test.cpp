#include "secret.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/memory.hpp"

namespace mirandel {
namespace {

TEST(SecureWipe, ZeroesExactlyTheBytesGiven) {
  std::vector<std::uint8_t> bytes(64, 0xAA);
  secure_wipe(bytes.data() + 8, 33);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(bytes[i], i >= 8 && i < 41 ? 0 : 0xAA) << i;
  }
  secure_wipe(bytes.data(), 0);  // nothing to do, nothing touched
  EXPECT_EQ(bytes[0], 0xAA);
}

/// A recognisable byte for every position.
std::uint8_t pattern(std::size_t i) { return static_cast<std::uint8_t>(i * 31 + 7); }

// Growth crosses from heap blocks to pages of their own and grows those; the
// contents must come through every step whole.
TEST(SecretBytes, KeepsItsContentsWhileGrowingPastEveryKindOfBlock) {
  SecretBytes buffer;
  std::size_t written = 0;
  for (std::size_t chunk : {1u, 4095u, 3u, 70000u, 1u << 20, 3u << 20, 5u}) {
    std::vector<std::uint8_t> more(chunk);
    for (std::size_t i = 0; i < chunk; ++i) more[i] = pattern(written + i);
    buffer.append(more);
    written += chunk;
    ASSERT_EQ(buffer.size(), written);
  }
  for (std::size_t i = 0; i < written; ++i) ASSERT_EQ(buffer.data()[i], pattern(i)) << i;
}

TEST(SecretBytes, ReservesExactlyAndReadsIntoTheSpareRoom) {
  SecretBytes buffer;
  buffer.reserve(5000);
  EXPECT_EQ(buffer.spare(), 5000u);
  std::uint8_t* place = buffer.prepare(0);
  std::memcpy(place, "abc", 3);
  buffer.commit(3);
  EXPECT_EQ(buffer.view(), "abc");
  EXPECT_EQ(buffer.spare(), 4997u);
}

TEST(SecretBytes, MovingHandsTheBytesOverAndEmptiesTheSource) {
  SecretBytes source;
  source.append(std::vector<std::uint8_t>{'p', 'i', 'n'});
  const std::uint8_t* block = source.data();
  SecretBytes target(std::move(source));
  EXPECT_EQ(target.view(), "pin");
  EXPECT_EQ(target.data(), block);
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): checked on purpose
  EXPECT_EQ(source.data(), nullptr);
  SecretBytes other;
  other.append(std::vector<std::uint8_t>{'x'});
  other = std::move(target);
  EXPECT_EQ(other.view(), "pin");
  EXPECT_EQ(target.data(), nullptr);
}

TEST(ByteBuffer, ResizesForOverwriteWithoutLosingTheFirstBytes) {
  ByteBuffer buffer;
  std::uint8_t* out = buffer.resize_for_overwrite(4);
  std::memcpy(out, "data", 4);
  out = buffer.resize_for_overwrite(3u << 20);
  EXPECT_EQ(std::memcmp(out, "data", 4), 0);
  EXPECT_EQ(buffer.size(), 3u << 20);
  const std::span<const std::uint8_t> bytes = buffer;
  EXPECT_EQ(bytes.size(), buffer.size());
}

TEST(SecretString, HoldsTheTextAndMovingLeavesNothingInTheSource) {
  for (const std::string& text :
       {std::string(""), std::string("1234"), std::string(5000, 'p'), std::string("p\0n", 3)}) {
    SecretString pin(text);
    EXPECT_EQ(pin.view(), text);
    SecretString moved(std::move(pin));
    EXPECT_EQ(moved.view(), text);
    EXPECT_TRUE(pin.view().empty());  // NOLINT(bugprone-use-after-move): checked on purpose
    SecretString assigned(std::string_view("old"));
    assigned = std::move(moved);
    EXPECT_EQ(assigned.view(), text);
    EXPECT_TRUE(moved.view().empty());  // NOLINT(bugprone-use-after-move)
  }
}

TEST(Pages, AreWritableAndGrowWithTheirContents) {
  for (std::size_t size : {std::size_t{1}, std::size_t{4096}, std::size_t{3} << 20}) {
    auto* block = static_cast<std::uint8_t*>(platform::allocate_pages(size));
    ASSERT_NE(block, nullptr) << size;
    for (std::size_t i = 0; i + 1 < size; i += 4096) block[i] = pattern(i);
    block[size - 1] = 0x42;
    const std::size_t bigger = size * 3;
    if (auto* grown = static_cast<std::uint8_t*>(platform::grow_pages(block, size, bigger))) {
      block = grown;
      for (std::size_t i = 0; i + 1 < size; i += 4096) ASSERT_EQ(block[i], pattern(i)) << size;
      ASSERT_EQ(block[size - 1], 0x42);
      block[bigger - 1] = 1;
      platform::release_pages(block, bigger);
    } else {
      platform::release_pages(block, size);  // the old block is still ours
    }
  }
}

TEST(Pages, LockAndUnlockWhereTheSystemAllows) {
  void* block = platform::allocate_pages(4096);
  ASSERT_NE(block, nullptr);
  if (platform::lock_pages(block, 4096)) platform::unlock_pages(block, 4096);
  EXPECT_FALSE(platform::lock_pages(block, 0));
  platform::release_pages(block, 4096);
}

}  // namespace
}  // namespace mirandel

namespace mirandel {
namespace {

// The request keeps only its decoded data: the bytes move to the front, the
// rest goes, and the source is left empty. Small and page-backed blocks alike.
TEST(SecretBytes, TakesARangeAndLetsGoOfTheRest) {
  for (std::size_t size : {std::size_t{64}, std::size_t{3} << 20}) {
    SecretBytes buffer;
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = pattern(i);
    buffer.append(bytes);
    const std::size_t offset = size / 4;
    const std::size_t length = size / 2 + 1;
    ByteBuffer kept = std::move(buffer).take_range(offset, length);
    EXPECT_EQ(buffer.data(), nullptr);  // NOLINT(bugprone-use-after-move): checked on purpose
    ASSERT_EQ(kept.size(), length);
    for (std::size_t i = 0; i < length; ++i) ASSERT_EQ(kept.data()[i], pattern(offset + i)) << i;
    kept.append(std::vector<std::uint8_t>(5000, 1));  // and it can still grow
    EXPECT_EQ(kept.size(), length + 5000);
  }
  SecretBytes buffer;
  buffer.append(std::vector<std::uint8_t>{1, 2, 3});
  EXPECT_TRUE(std::move(buffer).take_range(1, 0).empty());
}

}  // namespace
}  // namespace mirandel

namespace mirandel {
namespace {

// A small request keeps its block: what lay beyond the kept data (the PIN
// here) can be looked at, and must be gone.
TEST(SecretBytes, WipesEverythingItDoesNotKeep) {
  const std::string request = R"({"data_hex":"0a0b","pin":"segreto-1234"})";
  SecretBytes buffer;
  buffer.append(std::span(reinterpret_cast<const std::uint8_t*>(request.data()), request.size()));
  ByteBuffer kept = std::move(buffer).take_range(request.find("0a0b"), 4);
  ASSERT_EQ(kept.view(), "0a0b");
  const std::string_view rest(reinterpret_cast<const char*>(kept.data()) + 4, request.size() - 4);
  EXPECT_EQ(rest.find("segreto"), std::string_view::npos);
  EXPECT_EQ(rest.find_first_not_of('\0'), std::string_view::npos);
}

}  // namespace
}  // namespace mirandel
