// Where EntryFields keeps each text field, for the parser's two paths, which
// walk the fields by their Field. Internal to the core.
#pragma once

#include <string_view>
#include <utility>

#include "ledger/format.h"
#include "ledger/parse_result.h"

namespace ledger::detail {

// The view of text field `field` (is_text_field(field) must hold).
constexpr std::string_view& text_field(EntryFields& fields, Field field) {
  switch (field) {
    case Field::kTimestamp: return fields.timestamp;
    case Field::kPrevHash: return fields.prev_hash;
    case Field::kActor: return fields.actor;
    case Field::kPayload: return fields.payload;
    case Field::kSignature: return fields.signature;
    case Field::kIndex:
    case Field::kDelta: break;
  }
  std::unreachable();
}

}  // namespace ledger::detail
