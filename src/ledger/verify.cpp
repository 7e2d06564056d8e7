#include "ledger/verify.h"

#include <utility>

#include "ledger/chain.h"
#include "ledger/reader.h"

namespace ledger {

Result<bool> verify_ledger_file(std::string_view path) {
  auto reader = LedgerLineReader::open(path);
  if (!reader) return false;
  ChainCheck chain;
  for (;;) {
    auto line = reader->next_line();
    if (!line) return fail(std::move(line).error());
    if (!line->has_value()) return true;
    auto verdict = chain.check(**line);
    if (!verdict) return fail(std::move(verdict).error());
    if (is_break(*verdict)) return false;
  }
}

}  // namespace ledger
