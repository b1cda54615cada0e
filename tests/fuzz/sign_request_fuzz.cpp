// Feeds arbitrary bytes to the request checks: every input must end in a
// SignRequest, whose data is what the reader's data_hex decodes to, or in one
// of the three request messages, never in a crash.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "codec/hex.hpp"
#include "codec/json_reader.hpp"
#include "fuzz_support.hpp"
#include "signing/request.hpp"

using mirandel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto result = mirandel::check_sign_request(std::span(data, size));
  if (result) {
    // The request's name selected the entry that carries it.
    const mirandel::SignMechanism* entry = mirandel::find_sign_mechanism(result->mechanism.name);
    require(entry != nullptr && entry->hashing == result->mechanism.hashing);
    // The data, decoded in place inside the request, matches a plain decoding
    // of the text the reader found.
    auto in = mirandel::codec::parse_sign_in(std::span(data, size));
    require(in.has_value());
    auto expected = mirandel::codec::hex_decode(in->data_hex);
    require(expected && expected->size() == result->data.size());
    for (std::size_t i = 0; i < expected->size(); ++i)
      require((*expected)[i] == result->data.data()[i]);
    return 0;
  }
  const std::string_view message = result.error();
  require(message == "Input di firma non leggibile." || message == "Input di firma non valido." ||
          message.starts_with("Meccanismo non supportato: "));
  return 0;
}
