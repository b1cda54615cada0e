// Reports what the check of a signature against the certificate costs inside
// the helper, for rsa_sha256: reading the certificate's key, the host digest
// of the data, and the verification, each the median of ROUNDS repetitions
// (the first call, which opens libcrypto, is left out: in the helper the
// module has usually loaded it already). A figure, not a test: run it through
// scripts/bench.sh.
//   verify_bench CERT_DER DATA SIGNATURE_HEX ROUNDS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/hex.hpp"
#include "platform/digest.hpp"
#include "platform/signature_check.hpp"

namespace {

using mirandel::platform::CertificateKey;
using mirandel::platform::DigestAlgorithm;
using mirandel::platform::SignatureScheme;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double median(std::vector<double> values) {
  std::ranges::sort(values);
  return values[values.size() / 2];
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: verify_bench CERT_DER DATA SIGNATURE_HEX ROUNDS\n");
    return 2;
  }
  const std::vector<std::uint8_t> certificate = read_file(argv[1]);
  const std::vector<std::uint8_t> data = read_file(argv[2]);
  const std::string signature_hex = argv[3];
  const auto signature = mirandel::codec::hex_decode(signature_hex);
  const int rounds = std::max(1, std::atoi(argv[4]));
  if (!signature) return 2;

  std::vector<double> reads, digests, verifications;
  double first = 0;
  for (int round = 0; round <= rounds; ++round) {
    auto start = Clock::now();
    const auto key = CertificateKey::from_certificate(certificate);
    const double read = seconds_since(start);
    start = Clock::now();
    const auto digest = mirandel::platform::compute_digest(DigestAlgorithm::Sha256, data);
    const double hashed = seconds_since(start);
    if (!key || !digest) return 1;
    start = Clock::now();
    const bool verified = key->verifies(SignatureScheme::RsaPkcs1, DigestAlgorithm::Sha256,
                                        digest->view(), *signature);
    const double checked = seconds_since(start);
    if (!verified) return 1;
    if (round == 0) {
      first = read + hashed + checked;
      continue;
    }
    reads.push_back(read);
    digests.push_back(hashed);
    verifications.push_back(checked);
  }
  const double read = median(reads), hashed = median(digests), checked = median(verifications);
  std::printf("%.9f %.9f %.9f %.9f %.9f\n", read + hashed + checked, read, hashed, checked, first);
  return 0;
}
