// A strict, single-pass JSON reader that knows one record: the signing
// request. Everything it does not keep it skips without recursion, so a
// hostile document cannot exhaust the call stack however deep it nests.
#include "codec/json_reader.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "codec/hex.hpp"
#include "codec/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mirandel::codec {
namespace {

/// The four kept fields, in the order of the array form.
enum Field : int { PIN = 0, CERT_DER_HEX = 1, DATA_HEX = 2, MECHANISM = 3, FIELD_COUNT = 4 };

constexpr std::array<std::string_view, FIELD_COUNT> FIELD_NAMES = {"pin", "cert_der_hex",
                                                                   "data_hex", "mechanism"};

constexpr std::uint64_t ONES = 0x0101010101010101ull;
constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

/// True when some byte of `word` is zero (exact: no false positives).
constexpr bool has_zero_byte(std::uint64_t word) {
  return ((word - ONES) & ~word & HIGH_BITS) != 0;
}

/// True when some byte of `word` needs a closer look inside a string: a
/// double quote, a backslash, a control byte, or (when `stop_at_non_ascii`)
/// a byte of 0x80 and above.
constexpr bool has_string_special(std::uint64_t word, bool stop_at_non_ascii) {
  const bool quote = has_zero_byte(word ^ (ONES * '"'));
  const bool backslash = has_zero_byte(word ^ (ONES * '\\'));
  // Bytes below 0x20; bytes of 0x80 and above never register here.
  const bool control = ((word - ONES * 0x20) & ~word & HIGH_BITS) != 0;
  const bool non_ascii = stop_at_non_ascii && (word & HIGH_BITS) != 0;
  return quote || backslash || control || non_ascii;
}

/// The four whitespace bytes of JSON; nothing else counts.
bool is_json_whitespace(std::uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

bool is_digit(std::uint8_t b) { return b >= '0' && b <= '9'; }

/// Where a kept string's bytes are: a run of the input, or (when it held
/// escapes) a run of the text buffer. Offsets rather than pointers, because
/// the text buffer moves when it grows.
struct Slice {
  bool in_text_buffer = false;
  std::size_t offset = 0;
  std::size_t length = 0;
};

/// One reading of one request: position, fields so far, and scratch space.
class Reader {
 public:
  Reader(std::span<const std::uint8_t> input, SecretBytes& scratch)
      : bytes_(input.data()), size_(input.size()), text_(scratch) {
    text_.clear();
  }

  /// Reads the whole input as one request in either form.
  std::expected<SignInView, JsonReadError> read_document() {
    skip_whitespace();
    if (at_end()) return failure();
    bool read = false;
    if (bytes_[pos_] == '{') {
      read = read_object();
    } else if (bytes_[pos_] == '[') {
      read = read_array();
    }
    if (!read) return failure();
    skip_whitespace();
    if (!at_end()) return failure();
    // The scratch buffer only grows from here on, so views of it stay valid.
    return SignInView{view_of(fields_[PIN]), view_of(fields_[CERT_DER_HEX]),
                      view_of(fields_[DATA_HEX]), view_of(fields_[MECHANISM])};
  }

 private:
  bool at_end() const { return pos_ >= size_; }

  std::unexpected<JsonReadError> failure() const { return std::unexpected(JsonReadError{pos_}); }

  void skip_whitespace() {
    while (pos_ < size_ && is_json_whitespace(bytes_[pos_])) ++pos_;
  }

  /// Consumes `b` when it is the next byte.
  bool accept(std::uint8_t b) {
    if (pos_ < size_ && bytes_[pos_] == b) {
      ++pos_;
      return true;
    }
    return false;
  }

  /// Reads the object form from its "{"; all four fields must end up set.
  bool read_object() {
    ++pos_;  // '{'
    skip_whitespace();
    if (!accept('}')) {
      while (true) {
        if (!read_member()) return false;
        skip_whitespace();
        if (accept('}')) break;
        if (!accept(',')) return false;
        skip_whitespace();
      }
    }
    for (bool set : have_) {
      if (!set) return false;
    }
    return true;
  }

  /// Reads one member: a kept field, or an extra member whose value is skipped.
  bool read_member() {
    if (!accept('"')) return false;
    Slice name_slice;
    if (!read_kept_string(name_slice)) return false;
    const std::string_view name = view_of(name_slice);
    int field = -1;
    for (int i = 0; i < FIELD_COUNT; ++i) {
      if (name == FIELD_NAMES[i]) field = i;
    }
    skip_whitespace();
    if (!accept(':')) return false;
    skip_whitespace();
    if (field < 0) return skip_value();
    if (have_[field]) return false;
    return read_field(static_cast<Field>(field));
  }

  /// Reads the array form from its "[": exactly four strings.
  bool read_array() {
    ++pos_;  // '['
    for (int i = 0; i < FIELD_COUNT; ++i) {
      skip_whitespace();
      if (i > 0) {
        if (!accept(',')) return false;
        skip_whitespace();
      }
      if (!read_field(static_cast<Field>(i))) return false;
    }
    skip_whitespace();
    return accept(']');
  }

  /// Reads a kept string at the current position into `field`.
  bool read_field(Field field) {
    if (!accept('"')) return false;
    if (!read_kept_string(fields_[field])) return false;
    have_[field] = true;
    return true;
  }

  /// Moves `pos_` past the bytes that need no attention inside a string,
  /// sixteen (SSE2) or eight at a time while whole blocks qualify; the
  /// caller looks at the bytes that remain one by one.
  template <bool STOP_AT_NON_ASCII>
  void skip_plain_string_bytes() {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i last_control = _mm_set1_epi8(0x1F);
    while (size_ - pos_ >= 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes_ + pos_));
      __m128i special =
          _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash));
      if constexpr (STOP_AT_NON_ASCII) {
        // Signed: bytes of 0x80 and above are negative, so below 0x20 too.
        special = _mm_or_si128(special, _mm_cmplt_epi8(block, space));
      } else {
        // Unsigned: a byte is a control byte when min(byte, 0x1F) is itself.
        special = _mm_or_si128(special, _mm_cmpeq_epi8(_mm_min_epu8(block, last_control), block));
      }
      const int mask = _mm_movemask_epi8(special);
      if (mask != 0) {
        pos_ += static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
        return;
      }
      pos_ += 16;
    }
#endif
    while (size_ - pos_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes_ + pos_, 8);
      if (has_string_special(word, STOP_AT_NON_ASCII)) break;
      pos_ += 8;
    }
  }

  /// Reads four hex digits after "\u".
  bool read_code_unit(std::uint32_t& unit) {
    if (size_ - pos_ < 4) {
      pos_ = size_;
      return false;
    }
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t digit = hex_digit_value(bytes_[pos_]);
      if (digit == NOT_A_HEX_DIGIT) return false;
      unit = unit << 4 | digit;
      ++pos_;
    }
    return true;
  }

  /// The byte a one-letter escape stands for, or -1 for an unknown letter
  /// ('u' is handled by the callers).
  static int simple_escape(std::uint8_t letter) {
    switch (letter) {
      case '"':
        return '"';
      case '\\':
        return '\\';
      case '/':
        return '/';
      case 'b':
        return 0x08;
      case 'f':
        return 0x0C;
      case 'n':
        return 0x0A;
      case 'r':
        return 0x0D;
      case 't':
        return 0x09;
      default:
        return -1;
    }
  }

  /// Decodes the escape after a backslash (at `pos_`) into the text buffer.
  bool decode_escape() {
    if (at_end()) return false;
    const std::uint8_t letter = bytes_[pos_];
    if (letter != 'u') {
      const int byte = simple_escape(letter);
      if (byte < 0) return false;
      ++pos_;
      append_byte(static_cast<std::uint8_t>(byte));
      return true;
    }
    ++pos_;
    std::uint32_t unit = 0;
    if (!read_code_unit(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      pos_ -= 4;  // a lone low surrogate: blame its first digit
      return false;
    }
    std::uint32_t code_point = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (!accept('\\') || !accept('u')) return false;
      std::uint32_t low = 0;
      if (!read_code_unit(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) {
        pos_ -= 4;
        return false;
      }
      code_point = 0x10000 + (unit - 0xD800) * 0x400 + (low - 0xDC00);
    }
    append_code_point(code_point);
    return true;
  }

  void append_byte(std::uint8_t b) {
    *text_.prepare(1) = b;
    text_.commit(1);
  }

  /// Adds the UTF-8 encoding of `c` to the text buffer.
  void append_code_point(std::uint32_t c) {
    std::uint8_t out[4];
    std::size_t n = 0;
    if (c < 0x80) {
      out[n++] = static_cast<std::uint8_t>(c);
    } else if (c < 0x800) {
      out[n++] = static_cast<std::uint8_t>(0xC0 | c >> 6);
      out[n++] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out[n++] = static_cast<std::uint8_t>(0xE0 | c >> 12);
      out[n++] = static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F));
      out[n++] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    } else {
      out[n++] = static_cast<std::uint8_t>(0xF0 | c >> 18);
      out[n++] = static_cast<std::uint8_t>(0x80 | (c >> 12 & 0x3F));
      out[n++] = static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F));
      out[n++] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    }
    text_.append(std::span<const std::uint8_t>(out, n));
  }

  /// Reads a string whose opening quote has been consumed and sets `text` to
  /// where its decoded bytes are: in the input for a string without escapes,
  /// in the text buffer for one with escapes. Raw bytes of 0x80 and above
  /// are checked as UTF-8 as they pass, which is the same as checking the
  /// decoded text: escapes only ever produce complete sequences, so they can
  /// neither complete nor break a raw one.
  bool read_kept_string(Slice& text) {
    const std::size_t start = pos_;
    std::size_t run_start = pos_;
    bool escaped = false;
    const std::size_t mark = text_.size();
    while (true) {
      skip_plain_string_bytes<true>();
      if (at_end()) return false;
      const std::uint8_t b = bytes_[pos_];
      if (b == '"') {
        if (!escaped) {
          text = Slice{false, start, pos_ - start};
        } else {
          text_.append(std::span<const std::uint8_t>(bytes_ + run_start, pos_ - run_start));
          text = Slice{true, mark, text_.size() - mark};
        }
        ++pos_;
        return true;
      }
      if (b == '\\') {
        text_.append(std::span<const std::uint8_t>(bytes_ + run_start, pos_ - run_start));
        escaped = true;
        ++pos_;
        if (!decode_escape()) return false;
        run_start = pos_;
      } else if (b < 0x20) {
        return false;
      } else if (b >= 0x80) {
        const std::size_t length =
            utf8_sequence_length(std::span<const std::uint8_t>(bytes_ + pos_, size_ - pos_));
        if (length == 0) return false;
        pos_ += length;
      } else {
        ++pos_;
      }
    }
  }

  /// Skips a string whose opening quote has been consumed: control bytes and
  /// escapes are checked, surrogates and UTF-8 are not.
  bool skip_string() {
    while (true) {
      skip_plain_string_bytes<false>();
      if (at_end()) return false;
      const std::uint8_t b = bytes_[pos_];
      if (b == '"') {
        ++pos_;
        return true;
      }
      if (b < 0x20) return false;
      ++pos_;
      if (b != '\\') continue;
      if (at_end()) return false;
      const std::uint8_t letter = bytes_[pos_];
      if (letter == 'u') {
        ++pos_;
        std::uint32_t unit = 0;
        if (!read_code_unit(unit)) return false;
      } else if (simple_escape(letter) >= 0) {
        ++pos_;
      } else {
        return false;
      }
    }
  }

  /// Moves past `word` ("true", "false" or "null"), which must follow exactly.
  bool skip_literal(std::string_view word) {
    if (size_ - pos_ < word.size()) {
      // Blame the first byte that differs, or the end of the input.
      while (pos_ < size_ && bytes_[pos_] == static_cast<std::uint8_t>(word[0])) {
        ++pos_;
        word.remove_prefix(1);
      }
      return false;
    }
    for (char c : word) {
      if (bytes_[pos_] != static_cast<std::uint8_t>(c)) return false;
      ++pos_;
    }
    return true;
  }

  void skip_digits() {
    while (pos_ < size_ && is_digit(bytes_[pos_])) ++pos_;
  }

  /// Moves past a number; its value is never computed, so any size is fine.
  bool skip_number() {
    accept('-');
    if (at_end() || !is_digit(bytes_[pos_])) return false;
    if (bytes_[pos_] == '0') {
      ++pos_;
      if (pos_ < size_ && is_digit(bytes_[pos_])) return false;
    } else {
      skip_digits();
    }
    if (accept('.')) {
      if (at_end() || !is_digit(bytes_[pos_])) return false;
      skip_digits();
    }
    if (accept('e') || accept('E')) {
      if (!accept('+')) accept('-');
      if (at_end() || !is_digit(bytes_[pos_])) return false;
      skip_digits();
    }
    return true;
  }

  /// Skips an object member's name and colon; the value is left for the
  /// caller.
  bool skip_member_name() {
    if (!accept('"')) return false;
    if (!skip_string()) return false;
    skip_whitespace();
    if (!accept(':')) return false;
    return true;
  }

  /// Skips one value of any type. Open arrays and objects are kept on a heap
  /// stack, one byte per level, never on the call stack.
  bool skip_value() {
    std::vector<char>& open = skip_stack_;
    open.clear();
    while (true) {
      // A value is expected here.
      skip_whitespace();
      if (at_end()) return false;
      const std::uint8_t b = bytes_[pos_];
      bool scalar = true;
      switch (b) {
        case 't':
          if (!skip_literal("true")) return false;
          break;
        case 'f':
          if (!skip_literal("false")) return false;
          break;
        case 'n':
          if (!skip_literal("null")) return false;
          break;
        case '"':
          ++pos_;
          if (!skip_string()) return false;
          break;
        case '[':
        case '{':
          ++pos_;
          open.push_back(static_cast<char>(b));
          skip_whitespace();
          if (at_end()) return false;
          if (bytes_[pos_] == (b == '[' ? ']' : '}')) {
            ++pos_;
            open.pop_back();
          } else {
            scalar = false;
            if (b == '{') {
              skip_whitespace();
              if (!skip_member_name()) return false;
            }
          }
          break;
        default:
          if (b != '-' && !is_digit(b)) return false;
          if (!skip_number()) return false;
          break;
      }
      if (!scalar) continue;  // the first element or member value follows

      // A value has ended: close brackets until a "," asks for another.
      while (true) {
        if (open.empty()) return true;
        skip_whitespace();
        if (at_end()) return false;
        const char innermost = open.back();
        const std::uint8_t c = bytes_[pos_];
        if (c == (innermost == '[' ? ']' : '}')) {
          ++pos_;
          open.pop_back();
          continue;
        }
        if (c != ',') return false;
        ++pos_;
        if (innermost == '{') {
          skip_whitespace();
          if (!skip_member_name()) return false;
        }
        break;
      }
    }
  }

  /// The text of a slice; valid until the text buffer grows again.
  std::string_view view_of(const Slice& slice) const {
    const std::uint8_t* base = slice.in_text_buffer ? text_.data() : bytes_;
    if (slice.length == 0) return {};
    return {reinterpret_cast<const char*>(base + slice.offset), slice.length};
  }

  const std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::array<Slice, FIELD_COUNT> fields_{};
  std::array<bool, FIELD_COUNT> have_{};
  /// Decoded strings that held escapes, one after another; it may hold the
  /// PIN, so it wipes itself when released.
  SecretBytes& text_;
  std::vector<char> skip_stack_;
};

}  // namespace

std::expected<SignInView, JsonReadError> parse_sign_in_view(std::span<const std::uint8_t> bytes,
                                                            SecretBytes& scratch) {
  Reader reader(bytes, scratch);
  return reader.read_document();
}

std::expected<SignIn, JsonReadError> parse_sign_in(std::span<const std::uint8_t> bytes) {
  SecretBytes scratch;
  std::expected<SignInView, JsonReadError> view = parse_sign_in_view(bytes, scratch);
  if (!view) return std::unexpected(view.error());
  SignIn in;
  in.pin = SecretString(view->pin);
  in.cert_der_hex.assign(view->cert_der_hex);
  in.data_hex.assign(view->data_hex);
  in.mechanism.assign(view->mechanism);
  return in;
}

}  // namespace mirandel::codec
