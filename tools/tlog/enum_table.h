// Tables of names and messages indexed by an enum whose last enumerator is
// kCount_, the number of the others.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace ledger::tlog {

template <typename Enum>
inline constexpr std::size_t kCountOf = static_cast<std::size_t>(Enum::kCount_);

// One text for each value of `Enum`, in the enum's order.
template <typename Enum>
using EnumTable = std::array<std::string_view, kCountOf<Enum>>;

// True when every entry has a text. An array given fewer initialisers than
// its size still compiles, the rest left empty; asserting this on a table
// makes a value added to its enum without a text fail to compile.
template <std::size_t N>
constexpr bool all_filled(const std::array<std::string_view, N>& table) {
  for (const std::string_view& text : table) {
    if (text.empty()) return false;
  }
  return true;
}

template <typename Enum>
constexpr std::string_view text_of(const EnumTable<Enum>& table, Enum value) {
  return table[static_cast<std::size_t>(value)];
}

}  // namespace ledger::tlog
