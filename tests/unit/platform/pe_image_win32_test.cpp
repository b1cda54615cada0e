#include "platform/pe_image_win32.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace mirandel::platform::win32 {
namespace {

using Bytes = std::vector<std::uint8_t>;

/// A DOS header naming `offset` as the PE header's, after `magic`.
Bytes dos_header(std::uint32_t offset, char m = 'M', char z = 'Z') {
  Bytes bytes(DOS_HEADER_BYTES, 0);
  bytes[0] = static_cast<std::uint8_t>(m);
  bytes[1] = static_cast<std::uint8_t>(z);
  for (int i = 0; i < 4; ++i) bytes[0x3C + i] = static_cast<std::uint8_t>(offset >> (8 * i));
  return bytes;
}

TEST(PeHeaderOffset, IsReadFromAWholeDosHeaderOnly) {
  EXPECT_EQ(pe_header_offset(dos_header(0x80)), 0x80u);
  EXPECT_EQ(pe_header_offset(dos_header(0x40)), 0x40u);
  EXPECT_EQ(pe_header_offset(dos_header(0x12345678)), 0x12345678u);
  EXPECT_EQ(pe_header_offset(dos_header(0x3C)), std::nullopt) << "inside the DOS header";
  EXPECT_EQ(pe_header_offset(dos_header(0x80, 'Z', 'M')), std::nullopt);
  EXPECT_EQ(pe_header_offset(Bytes{'M', 'Z'}), std::nullopt) << "cut short";
}

TEST(PeMachine, IsTheWordBehindThePeSignature) {
  EXPECT_EQ(pe_machine(Bytes{'P', 'E', 0, 0, 0x4C, 0x01}), 0x014Cu);
  EXPECT_EQ(pe_machine(Bytes{'P', 'E', 0, 0, 0x64, 0x86}), 0x8664u);
  EXPECT_EQ(pe_machine(Bytes{'P', 'E', 0, 1, 0x64, 0x86}), std::nullopt);
  EXPECT_EQ(pe_machine(Bytes{'N', 'E', 0, 0, 0x64, 0x86}), std::nullopt);
  EXPECT_EQ(pe_machine(Bytes{'P', 'E', 0, 0, 0x64}), std::nullopt);
}

}  // namespace
}  // namespace mirandel::platform::win32
