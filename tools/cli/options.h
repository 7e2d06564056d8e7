// The words of a command line after the command: its options, as the command
// table declares them, and its operands. One parser reads them for every
// command:
//
//   --name value, --name=value   an option with its value
//   -j4, -j 4                    a short form, its value attached or not
//   --                           ends the options; every word after it is an operand
//   -                            an operand (standard input, where the command reads it)
//
// Every problem is a usage error whose message quotes the words of the line
// through quoted().
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/failure.h"

namespace ledger::cli {

// What follows an option.
enum class ValueType : std::uint8_t {
  kNone,    // a flag
  kText,    // any text that `accepts` takes
  kPath,    // a file name
  kNumber,  // a whole number from `min` to `max`
  kWord,    // one of `words`
};

struct OptionSpec {
  std::string_view name;       // "--jobs"
  std::string_view alias = {};  // a short form, "-j": "-j 4" and "-j4"
  ValueType type = ValueType::kNone;
  std::string_view metavar = {};  // what the help calls the value: "N"
  // What a wrong value should have been, after "NAME takes ".
  std::string_view wanted = {};
  std::uint64_t min = 0;
  std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  std::span<const std::string_view> words = {};
  bool (*accepts)(std::string_view) = nullptr;  // kText; nullptr takes any text
  bool reads_input = false;  // kPath: the command reads it, "-" being standard input
  bool repeatable = false;   // may be given more than once
  // The help line's left column (default: the name and metavar) and its text;
  // an option without help is described with the one before it.
  std::string_view label = {};
  std::string_view help = {};
};

enum class OperandCount : std::uint8_t { kNone, kOne, kOneOrMore };

struct CommandSyntax {
  std::string_view name;
  std::span<const OptionSpec> options;
  OperandCount operands = OperandCount::kOne;
  std::string_view operand = "FILE";  // what the messages call an operand
  bool operand_reads_input = false;    // an operand "-" is standard input
  // Whether "unknown option" names the command the option is unknown to.
  bool unknown_option_names_command = false;
};

// An option as given: its value's text, and for kNumber its value, for
// kWord the index of its word.
struct GivenOption {
  const OptionSpec* option;
  std::string text;
  std::uint64_t number = 0;
};

// A command line that the parser accepted.
struct CommandLine {
  std::vector<GivenOption> options;  // in the order given
  std::vector<std::string> operands;

  bool has(std::string_view name) const { return find(name) != nullptr; }
  // The value of an option given once; nullopt when it is not given.
  std::optional<std::string> text(std::string_view name) const;
  std::optional<std::uint64_t> number(std::string_view name) const;
  // Every value of a repeatable option, in the order given.
  std::vector<std::string> texts(std::string_view name) const;

 private:
  const GivenOption* find(std::string_view name) const;
};

// Finds an option by its name or short form; nullptr when there is none.
using FindOption = std::function<const OptionSpec*(std::string_view)>;

// Reads `words` (after the command) for the command `syntax` describes;
// `find_elsewhere` finds the options of every command, to tell one of another
// command ("does not apply") from an unknown one.
Result<CommandLine> parse_command_line(const CommandSyntax& syntax,
                                       std::span<const std::string_view> words,
                                       const FindOption& find_elsewhere);

// The option of `options` named `name` (or with that short form), or nullptr.
const OptionSpec* find_option(std::span<const OptionSpec> options, std::string_view name);

// A whole number in decimal from `min` to `max`, nothing else.
std::optional<std::uint64_t> parse_whole_number(std::string_view text, std::uint64_t min,
                                                std::uint64_t max);

// A word of the command line in a message: quoted, and escaped when not plain.
std::string quoted(std::string_view word);

// A usage error saying `problem`.
std::unexpected<Failure> usage_error(std::string problem);

// Whether `words` (after the command) ask for the command's help: "--help" or
// "-h" before any "--". It wins over anything else on the line, errors included.
bool asks_for_help(std::span<const std::string_view> words);

}  // namespace ledger::cli
