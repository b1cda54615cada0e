// A strict, single-pass JSON reader that knows one record: the signing
// request. Everything it does not keep it skips without recursion, so a
// hostile document cannot exhaust the call stack however deep it nests.
#include "codec/json_reader.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "codec/utf8.hpp"

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

/// The value of a hex digit, or -1 for any other byte.
int hex_digit_value(std::uint8_t b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  return -1;
}

/// The four whitespace bytes of JSON; nothing else counts.
bool is_json_whitespace(std::uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

/// An ASCII decimal digit.
bool is_digit(std::uint8_t b) { return b >= '0' && b <= '9'; }

/// One reading of one request: position, fields so far, and scratch space.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> input)
      : bytes_(input.data()), size_(input.size()) {}

  /// Reads the whole input as one request in either form.
  std::expected<SignIn, JsonReadError> read_document() {
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
    return std::move(result_);
  }

 private:
  /// True once every byte has been consumed.
  bool at_end() const { return pos_ >= size_; }

  /// A failure at the current position.
  std::unexpected<JsonReadError> failure() const { return std::unexpected(JsonReadError{pos_}); }

  /// Moves past JSON whitespace.
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
    std::string_view name;
    if (!read_kept_string(name)) return false;
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
    std::string_view text;
    if (!read_kept_string(text)) return false;
    if (field == PIN) {
      std::string pin(text);
      result_.pin = SecretString(pin);
    } else {
      std::string& target = field == CERT_DER_HEX ? result_.cert_der_hex
                            : field == DATA_HEX   ? result_.data_hex
                                                  : result_.mechanism;
      target.assign(text);
    }
    have_[field] = true;
    return true;
  }

  /// Moves `pos_` past the bytes that need no attention inside a string,
  /// eight at a time while whole words qualify.
  void skip_plain_string_bytes(bool stop_at_non_ascii) {
    while (size_ - pos_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes_ + pos_, 8);
      if (has_string_special(word, stop_at_non_ascii)) break;
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
      const int digit = hex_digit_value(bytes_[pos_]);
      if (digit < 0) return false;
      unit = unit << 4 | static_cast<std::uint32_t>(digit);
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

  /// Adds one decoded byte to the text buffer.
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
  /// its decoded bytes. A string without escapes is a view of the input; one
  /// with escapes is a view of the text buffer, valid until the next string
  /// is read. Raw bytes of 0x80 and above are checked as UTF-8 as they pass,
  /// which is the same as checking the decoded text: escapes only ever
  /// produce complete sequences, so they can neither complete nor break a
  /// raw one.
  bool read_kept_string(std::string_view& text) {
    const std::size_t start = pos_;
    std::size_t run_start = pos_;
    bool escaped = false;
    const std::size_t mark = text_.size();
    while (true) {
      skip_plain_string_bytes(true);
      if (at_end()) return false;
      const std::uint8_t b = bytes_[pos_];
      if (b == '"') {
        if (!escaped) {
          text = std::string_view(reinterpret_cast<const char*>(bytes_ + start), pos_ - start);
        } else {
          text_.append(std::span<const std::uint8_t>(bytes_ + run_start, pos_ - run_start));
          text = text_.view().substr(mark);
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
      skip_plain_string_bytes(false);
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

  /// Moves past a run of digits, possibly empty.
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

  const std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t pos_ = 0;
  SignIn result_;
  std::array<bool, FIELD_COUNT> have_{};
  /// Decoded strings that held escapes, one after another; it may hold the
  /// PIN, so it wipes itself when released.
  SecretBytes text_;
  std::vector<char> skip_stack_;
};

}  // namespace

std::expected<SignIn, JsonReadError> parse_sign_in(std::span<const std::uint8_t> bytes) {
  Reader reader(bytes);
  return reader.read_document();
}

}  // namespace mirandel::codec
