#include "audit/entry_lines.h"

#include <utility>

#include "audit/range_reader.h"
#include "ledger/chain.h"
#include "ledger/utf8.h"

namespace ledger::audit {

EntryLinesOutcome read_entry_lines(
    const platform::File& file,
    const std::function<bool(const EntryMark& mark, const EntryFields& entry, std::string_view text)>&
        on_entry,
    const std::atomic<bool>* cancel) {
  EntryLinesOutcome out;
  RangeReader reader(file, 0, RangeReader::kNoLimit, RangeReader::kDefaultBufferSize,
                     RangeReader::kNoLimit, cancel);
  EntryFields fields;
  ParseFailure failure{ParseError::kNoValue, 0};
  for (std::uint64_t line = 1;; ++line) {
    auto status = reader.next();
    if (!status) {
      out.failure = std::move(status).error();
      return out;
    }
    if (*status == LineStatus::kEnd) return out;
    const std::string_view text = reader.line();
    if (*status == LineStatus::kInvalidUtf8) {
      out.break_found = unparsed_line_break(reader, line, BreakKind::kInvalidUtf8,
                                            valid_utf8_prefix(text) + 1);
      return out;
    }
    const LineKind kind = classify_line(text, fields, failure);
    if (kind == LineKind::kBlank) continue;
    if (kind == LineKind::kNotEntry) {
      out.break_found = unparsed_line_break(reader, line, BreakKind::kNotEntry, failure.offset + 1);
      out.break_found->parse_error = failure.code;
      return out;
    }
    const EntryMark mark{line, reader.line_offset(), reader.position(), fields.index,
                         reader.line_terminated()};
    if (!on_entry(mark, fields, text)) return out;
  }
}

}  // namespace ledger::audit
