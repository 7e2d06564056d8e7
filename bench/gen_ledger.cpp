// Writes a valid ledger of N entries quickly, from a seed, for the benchmarks:
// actors of about 8 characters, payloads of 40 to 100, deltas with up to 17
// significant digits, timestamps 100 ns apart with varying fractions.
//
//   gen_ledger OUTPUT ENTRIES [SEED]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "ledger/digest.h"
#include "ledger/entry.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUTPUT ENTRIES [SEED]\n", argv[0]);
    return 2;
  }
  const unsigned long long entries = std::strtoull(argv[2], nullptr, 10);
  std::mt19937_64 random(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789 _-.,:;ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  auto text = [&](std::size_t length) {
    std::string s(length, ' ');
    for (auto& c : s) c = kLetters[random() % (sizeof kLetters - 1)];
    return s;
  };
  ledger::EntryHasher hasher;
  std::string head(ledger::GENESIS_BLOCK_HASH);
  std::string line;
  std::int64_t seconds = 1796700000;
  std::uint32_t nanos = 0;
  char timestamp[ledger::kMaxTimestampLength];
  for (unsigned long long i = 0; i < entries; ++i) {
    nanos += 100 * static_cast<std::uint32_t>(1 + random() % 50'000);
    if (nanos >= 1'000'000'000) {
      nanos -= 1'000'000'000;
      ++seconds;
    }
    const std::string_view ts(timestamp, ledger::write_ledger_timestamp(timestamp, seconds, nanos));
    const std::string actor = text(6 + random() % 5);
    const std::string payload = text(40 + random() % 61);
    const double delta = static_cast<double>(static_cast<std::int64_t>(random() % 2'000'000) - 1'000'000) /
                         static_cast<double>(1 + random() % 1000);
    auto digest = hasher.digest(head, ts, actor, delta, payload);
    if (!digest) return 1;
    const std::string_view signature(digest->data(), digest->size());
    line.clear();
    ledger::append_entry_json(line, {i, ts, head, actor, delta, payload, signature});
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), out);
    head.assign(signature);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
