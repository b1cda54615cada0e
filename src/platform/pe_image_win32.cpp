// Reading the Machine field of a PE image, for the note on a module built
// for another processor.

#include "platform/pe_image_win32.hpp"

#include <windows.h>

#include <array>

#include "platform/dynamic_library.hpp"

namespace mirandel::platform::win32 {

namespace {

std::uint32_t little_endian(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

/// Reads exactly `out.size()` bytes at `offset`; false on any shortfall.
bool read_at(HANDLE file, std::uint32_t offset, std::span<std::uint8_t> out) {
  LARGE_INTEGER position{};
  position.QuadPart = offset;
  DWORD got = 0;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
         ReadFile(file, out.data(), static_cast<DWORD>(out.size()), &got, nullptr) &&
         got == out.size();
}

}  // namespace

std::optional<std::uint32_t> pe_header_offset(std::span<const std::uint8_t> dos_header) {
  if (dos_header.size() != DOS_HEADER_BYTES || dos_header[0] != 'M' || dos_header[1] != 'Z')
    return std::nullopt;
  const std::uint32_t offset = little_endian(dos_header.subspan(0x3C, 4));
  if (offset < DOS_HEADER_BYTES) return std::nullopt;
  return offset;
}

std::optional<std::uint16_t> pe_machine(std::span<const std::uint8_t> pe_header) {
  if (pe_header.size() != PE_MACHINE_BYTES || pe_header[0] != 'P' || pe_header[1] != 'E' ||
      pe_header[2] != 0 || pe_header[3] != 0)
    return std::nullopt;
  return static_cast<std::uint16_t>(little_endian(pe_header.subspan(4, 2)));
}

std::optional<std::uint16_t> foreign_image_machine(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::uint16_t> machine;
  std::array<std::uint8_t, DOS_HEADER_BYTES> dos_header{};
  std::array<std::uint8_t, PE_MACHINE_BYTES> pe_header{};
  // Only a file on a disk is read: a path such as "CON" or a pipe's would
  // wait for input that may never come.
  if (GetFileType(file) == FILE_TYPE_DISK && read_at(file, 0, dos_header)) {
    const std::optional<std::uint32_t> offset = pe_header_offset(dos_header);
    if (offset && read_at(file, *offset, pe_header)) machine = pe_machine(pe_header);
  }
  CloseHandle(file);
  constexpr std::uint16_t OWN_MACHINE = sizeof(void*) == 8 ? PE_MACHINE_X64 : PE_MACHINE_X86;
  if (machine == OWN_MACHINE) return std::nullopt;
  return machine;
}

}  // namespace mirandel::platform::win32
