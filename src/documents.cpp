// The compact JSON form of the result documents.
#include "documents.hpp"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/hex.hpp"

namespace mirandel {

namespace {

/// Room reserved before the first byte of a document is written.
constexpr std::size_t INITIAL_CAPACITY = 128;

/// True for the bytes that cannot be copied into a JSON string as they are.
/// Bytes of multi-byte UTF-8 sequences are all >= 0x80 and pass unchanged.
constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

/// The first byte in [from, end) that needs an escape, or `end`. Sixteen
/// bytes at a time where SSE2 is there (the hex of a certificate runs to
/// thousands of bytes without one), then byte by byte.
const char* find_escape(const char* from, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  while (end - from >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    // A byte below 0x20 is one with min(byte, 0x1F) == byte, unsigned.
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                     _mm_cmpeq_epi8(_mm_min_epu8(block, last_control), block));
    const int mask = _mm_movemask_epi8(special);
    if (mask != 0) return from + std::countr_zero(static_cast<unsigned>(mask));
    from += 16;
  }
#endif
  return std::find_if(from, end,
                      [](char c) { return needs_escape(static_cast<unsigned char>(c)); });
}

/// The two-character escape of `c`, or 0 when it takes the \u00XX form.
constexpr char short_escape(unsigned char c) {
  switch (c) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    default:
      return 0;
  }
}

void append_key(std::string& out, std::string_view key) {
  append_json_string(out, key);
  out += ':';
}

/// Appends `"key":` and `value` as a JSON string, or null when it is absent.
void append_optional_member(std::string& out, std::string_view key,
                            const std::optional<std::string>& value) {
  append_key(out, key);
  if (value) {
    append_json_string(out, *value);
  } else {
    out += "null";
  }
}

/// Appends `[...]` with each item written by `append_item`, separated by commas.
template <typename Item, typename AppendItem>
void append_array(std::string& out, const std::vector<Item>& items, AppendItem append_item) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ',';
    append_item(out, items[i]);
  }
  out += ']';
}

void append_cert(std::string& out, const CertEntry& cert) {
  out += '{';
  append_key(out, "der_hex");
  append_json_string(out, cert.der_hex);
  out += '}';
}

void append_slot(std::string& out, const SlotEntry& slot) {
  out += '{';
  append_optional_member(out, "description", slot.description);
  out += ',';
  append_optional_member(out, "token_label", slot.token_label);
  out += ',';
  append_key(out, "certs");
  append_array(out, slot.certs, append_cert);
  out += '}';
}

/// The frame both documents share: `{`, the first member written by
/// `append_first`, then `"error"` and `}`.
template <typename AppendFirst>
std::string serialize_document(AppendFirst append_first, const std::optional<std::string>& error) {
  std::string out;
  out.reserve(INITIAL_CAPACITY);
  out += '{';
  append_first(out);
  out += ',';
  append_optional_member(out, "error", error);
  out += '}';
  return out;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  const char* const end = text.data() + text.size();
  const char* run = text.data();
  while (run != end) {
    // Copy the longest run that needs no escape in one go, then escape the
    // byte that ended it.
    const char* stop = find_escape(run, end);
    out.append(run, stop);
    if (stop == end) break;
    const unsigned char c = static_cast<unsigned char>(*stop);
    out += '\\';
    if (const char e = short_escape(c); e != 0) {
      out += e;
    } else {
      out += "u00";
      out += codec::HEX_DIGITS[c >> 4];
      out += codec::HEX_DIGITS[c & 0xF];
    }
    run = stop + 1;
  }
  out += '"';
}

std::string serialize(const ListingDocument& document) {
  return serialize_document(
      [&document](std::string& out) {
        append_key(out, "slots");
        append_array(out, document.slots, append_slot);
      },
      document.error);
}

std::string serialize(const SignatureDocument& document) {
  return serialize_document(
      [&document](std::string& out) {
        append_optional_member(out, "signature", document.signature);
      },
      document.error);
}

}  // namespace mirandel
