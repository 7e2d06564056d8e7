#include "ledger/verify.h"

#include <string>
#include <utility>

#include "ledger/digest.h"
#include "ledger/entry.h"
#include "ledger/parser.h"
#include "ledger/reader.h"

namespace ledger {

Result<bool> verify_ledger_file(std::string_view path) {
  auto reader = LedgerLineReader::open(path);
  if (!reader) return false;
  EntryHasher hasher;
  EntryFields entry;
  std::string expected_link(GENESIS_BLOCK_HASH);
  for (;;) {
    auto line = reader->next_line();
    if (!line) return fail(std::move(line).error());
    if (!line->has_value()) return true;
    if (!parse_entry_fields(**line, entry)) {
      // A blank line holds no JSON value, so it never parses; it is skipped.
      if (is_blank_line(**line)) continue;
      return false;
    }
    if (entry.prev_hash != expected_link) return false;
    auto digest = hasher.digest(entry.prev_hash, entry.timestamp, entry.actor, entry.delta_i,
                                entry.payload);
    if (!digest) return fail(std::move(digest).error());
    if (std::string_view(digest->data(), digest->size()) != entry.signature) return false;
    // The signature equals the digest: it becomes the next expected link.
    expected_link.assign(entry.signature);
  }
}

}  // namespace ledger
