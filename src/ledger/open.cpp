#include "ledger/open.h"

#include "ledger/entry.h"
#include "ledger/parser.h"
#include "ledger/path.h"
#include "ledger/platform.h"
#include "ledger/reader.h"

namespace ledger {

Result<ChainHead> load_chain_head(std::string_view path) {
  ChainHead found{std::string(GENESIS_BLOCK_HASH), 0};
  if (!platform::exists(path)) return found;
  auto reader = LedgerLineReader::open(path);
  if (!reader) return fail(std::move(reader).error());
  LogEntry entry;
  for (;;) {
    auto line = reader->next_line();
    if (!line) return fail(std::move(line).error());
    if (!line->has_value()) return found;
    if (is_blank_line(**line)) continue;
    if (!parse_log_entry_into(**line, entry)) continue;
    std::swap(found.head, entry.signature);
    found.count = entry.index + 1;  // wraps from 2^64 - 1 to 0
  }
}

RecorderState open_recorder(std::string_view log_path) {
  auto validated = validate_log_path(log_path);
  std::string path = validated ? std::move(*validated) : std::string(log_path);
  auto head = load_chain_head(path);
  ChainHead chain = head ? std::move(*head) : ChainHead{std::string(GENESIS_BLOCK_HASH), 0};
  return create_recorder_state(std::move(path), std::move(chain.head), chain.count);
}

}  // namespace ledger
