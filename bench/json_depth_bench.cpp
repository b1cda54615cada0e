// Reports how long the request reader takes to skip an extra member nested
// N levels deep, and the process's peak resident memory. A figure, not a
// test: run it through scripts/bench.sh.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/json_reader.hpp"

int main(int argc, char** argv) {
  const std::size_t depth = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
  const std::string head =
      R"({"pin":"1234","cert_der_hex":"00","data_hex":"01","mechanism":"rsa_sha256","x":)";
  std::string input;
  input.reserve(head.size() + 2 * depth + 1);
  input += head;
  input.append(depth, '[');
  input.append(depth, ']');
  input += '}';

  struct rusage before {};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  const auto parsed = mirandel::codec::parse_sign_in(
      std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  struct rusage after {};
  getrusage(RUSAGE_SELF, &after);

  std::printf("depth %zu: %s in %.3f s; input %.1f MB; peak RSS %.1f MB (%.1f MB before parsing)\n",
              depth, parsed ? "accepted" : "REFUSED", elapsed.count(), input.size() / 1e6,
              after.ru_maxrss / 1e3, before.ru_maxrss / 1e3);
  return parsed ? 0 : 1;
}
