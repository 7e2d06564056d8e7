#include "ledger/verify.h"

#include <string>
#include <utility>

#include "ledger/chain.h"
#include "ledger/reader.h"

namespace ledger {

namespace {

// Lines up to this length are judged in pairs, the first kept in a copy while
// the second is read; a longer one is judged alone, so that the copy stays
// small (and its entry would be hashed alone anyway).
constexpr std::size_t kPairedLineLimit = 2048;

}  // namespace

Result<bool> verify_ledger_file(std::string_view path) {
  auto reader = LedgerLineReader::open(path);
  if (!reader) return false;
  ChainCheck chain;
  std::string held;  // the first line of a pair
  held.reserve(kPairedLineLimit);
  for (;;) {
    auto line = reader->next_line();
    if (!line) return fail(std::move(line).error());
    if (!line->has_value()) return true;
    if ((*line)->size() > kPairedLineLimit) {
      auto verdict = chain.check(**line);
      if (!verdict) return fail(std::move(verdict).error());
      if (is_break(*verdict)) return false;
      continue;
    }
    held.assign(**line);
    auto next = reader->next_line();
    if (!next || !next->has_value()) {
      // The held line is the last one read: judged first, its break comes
      // before the read failure that follows it.
      auto verdict = chain.check(held);
      if (!verdict) return fail(std::move(verdict).error());
      if (is_break(*verdict)) return false;
      if (!next) return fail(std::move(next).error());
      return true;
    }
    auto verdict = chain.check(held, **next);
    if (!verdict) return fail(std::move(verdict).error());
    if (is_break(*verdict)) return false;
    verdict = chain.check_next();
    if (!verdict) return fail(std::move(verdict).error());
    if (is_break(*verdict)) return false;
  }
}

}  // namespace ledger
