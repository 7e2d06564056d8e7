// Fuzzes the reopen scan over arbitrary file bytes.
//
// load_chain_head reads the file once for its encoding and then parses the
// lines that could be entries from the end backwards, in chunks of a size
// that the target varies. Its result must be exactly that of the plain forward
// scan (every line in order, blank lines skipped, the last line that parses
// wins, a read failure fails unless the file merely ends inside a character):
// the same head and count, or a failure with the same kind and message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "file_support.h"
#include "fuzz_support.h"
#include "ledger/open.h"

namespace ledger::fuzz {
namespace {

std::string show(const Result<ChainHead>& head) {
  if (!head) return "failure: " + head.error().message();
  return "head " + printable(head->head) + ", count " + std::to_string(head->count);
}

std::string show_both(const Result<ChainHead>& fast, const Result<ChainHead>& plain) {
  return "load_chain_head gave " + show(fast) + ", forward scan " + show(plain);
}

}  // namespace
}  // namespace ledger::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ledger::fuzz;
  static ScratchFile scratch;
  scratch.write(std::string_view(reinterpret_cast<const char*>(data), size));
  const auto plain = ledger::testing::forward_scan_chain_head(scratch.path());
  // The default chunk, and a small one that lines and brackets straddle.
  for (const std::size_t chunk : {ledger::kReopenChunkSize, 1 + size % 61}) {
    const auto fast = ledger::load_chain_head(scratch.path(), chunk);
    FUZZ_CHECK(fast.has_value() == plain.has_value(), show_both(fast, plain));
    if (plain) {
      FUZZ_CHECK(*fast == *plain, show_both(fast, plain));
    } else {
      FUZZ_CHECK(fast.error().kind() == plain.error().kind() &&
                     fast.error().message() == plain.error().message(),
                 show_both(fast, plain));
    }
  }
  return 0;
}
