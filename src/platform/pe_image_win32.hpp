// Which processor a library file was built for, read from its PE header.
// Internal to the Windows platform files; the parsing is pure so that it can
// be tested on any bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace mirandel::platform::win32 {

/// The first bytes of a file needed to find its PE header: the DOS header.
inline constexpr std::size_t DOS_HEADER_BYTES = 64;
/// The bytes at the PE header's offset that hold the Machine field: the
/// "PE\0\0" signature, then Machine (little-endian).
inline constexpr std::size_t PE_MACHINE_BYTES = 6;

/// The offset of the PE header that the DOS header `dos_header` names
/// (e_lfanew, at 0x3C), or nullopt when it is not a DOS header ("MZ") of
/// DOS_HEADER_BYTES bytes or names an offset inside itself.
std::optional<std::uint32_t> pe_header_offset(std::span<const std::uint8_t> dos_header);

/// The Machine field of the PE_MACHINE_BYTES bytes at the PE header's
/// offset, or nullopt when they do not start with the "PE\0\0" signature.
std::optional<std::uint16_t> pe_machine(std::span<const std::uint8_t> pe_header);

/// The Machine of the PE image in the file at `path` (a path as
/// LoadLibraryExW is given it) when that differs from this program's own;
/// nullopt when it is the same, or the file cannot be opened or is no PE
/// image.
std::optional<std::uint16_t> foreign_image_machine(const std::wstring& path);

}  // namespace mirandel::platform::win32
