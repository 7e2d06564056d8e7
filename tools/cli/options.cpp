#include "cli/options.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "tlog/json.h"

namespace ledger::cli {

using tlog::display;
namespace {

// An option word split into the option it names and its attached value.
struct OptionWord {
  std::string_view name;                  // as given: "--jobs", "-j"
  std::optional<std::string_view> value;  // after '=', or after a short form
  const OptionSpec* option = nullptr;     // nullptr: not found
};

OptionWord match_option(std::string_view word, const FindOption& find) {
  if (const auto eq = word.find('='); word.starts_with("--") && eq != std::string_view::npos) {
    const std::string_view name = word.substr(0, eq);
    return {name, word.substr(eq + 1), find(name)};
  }
  if (const OptionSpec* option = find(word)) return {word, std::nullopt, option};
  if (word.size() > 2 && word[1] != '-') {
    const OptionSpec* option = find(word.substr(0, 2));
    if (option != nullptr && option->type != ValueType::kNone) {
      return {word.substr(0, 2), word.substr(2), option};
    }
  }
  return {word, std::nullopt, nullptr};
}

std::unexpected<Failure> not_an_option_of(const CommandSyntax& syntax, std::string_view word,
                                          const FindOption& find_elsewhere) {
  const OptionWord elsewhere = match_option(word, find_elsewhere);
  if (elsewhere.option != nullptr) {
    return usage_error("option " + quoted(elsewhere.name) + " does not apply to " +
                       quoted(syntax.name));
  }
  std::string problem = "unknown option " + quoted(elsewhere.name);
  if (syntax.unknown_option_names_command) problem += " for " + quoted(syntax.name);
  return usage_error(std::move(problem));
}

// The value's number (kNumber) or word index (kWord), or why it is refused.
Result<std::uint64_t> read_value(const OptionSpec& option, std::string_view text) {
  const std::string refused =
      std::string(option.name) + " takes " + std::string(option.wanted) + ", not " + quoted(text);
  switch (option.type) {
    case ValueType::kNumber:
      if (const auto number = parse_whole_number(text, option.min, option.max)) return *number;
      return usage_error(refused);
    case ValueType::kWord: {
      const auto found = std::find(option.words.begin(), option.words.end(), text);
      if (found != option.words.end()) return static_cast<std::uint64_t>(found - option.words.begin());
      return usage_error(refused);
    }
    case ValueType::kText:
      if (option.accepts != nullptr && !option.accepts(text)) {
        return usage_error(std::string(option.name) + " takes " + std::string(option.wanted));
      }
      return 0;
    case ValueType::kNone:
    case ValueType::kPath:
      return 0;
  }
  return 0;
}

Result<void> check_operands(const CommandSyntax& syntax, const std::vector<std::string>& operands) {
  const std::string found = ", found " + std::to_string(operands.size());
  switch (syntax.operands) {
    case OperandCount::kNone:
      if (!operands.empty()) return usage_error("unexpected argument " + quoted(operands[0]));
      break;
    case OperandCount::kOne:
      if (operands.size() != 1) return usage_error("expected one " + std::string(syntax.operand) + found);
      break;
    case OperandCount::kOneOrMore:
      if (operands.empty()) return usage_error("expected at least one " + std::string(syntax.operand) + found);
      break;
  }
  return {};
}

// Standard input can be read once.
Result<void> check_stdin(const CommandSyntax& syntax, const CommandLine& line) {
  std::size_t readers = 0;
  for (const GivenOption& given : line.options) readers += given.option->reads_input && given.text == "-";
  if (syntax.operand_reads_input) {
    readers += static_cast<std::size_t>(std::ranges::count(line.operands, "-"));
  }
  if (readers > 1) return usage_error("only one input can be read from stdin");
  return {};
}

}  // namespace

const GivenOption* CommandLine::find(std::string_view name) const {
  const auto found = std::find_if(options.begin(), options.end(),
                                  [name](const GivenOption& g) { return g.option->name == name; });
  return found == options.end() ? nullptr : &*found;
}

std::optional<std::string> CommandLine::text(std::string_view name) const {
  const GivenOption* given = find(name);
  return given == nullptr ? std::nullopt : std::optional(given->text);
}

std::optional<std::uint64_t> CommandLine::number(std::string_view name) const {
  const GivenOption* given = find(name);
  return given == nullptr ? std::nullopt : std::optional(given->number);
}

std::vector<std::string> CommandLine::texts(std::string_view name) const {
  std::vector<std::string> values;
  for (const GivenOption& given : options) {
    if (given.option->name == name) values.push_back(given.text);
  }
  return values;
}

const OptionSpec* find_option(std::span<const OptionSpec> options, std::string_view name) {
  const auto found = std::find_if(options.begin(), options.end(), [name](const OptionSpec& o) {
    return o.name == name || (!o.alias.empty() && o.alias == name);
  });
  return found == options.end() ? nullptr : &*found;
}

Result<CommandLine> parse_command_line(const CommandSyntax& syntax,
                                       std::span<const std::string_view> words,
                                       const FindOption& find_elsewhere) {
  const FindOption find_here = [&](std::string_view name) {
    return find_option(syntax.options, name);
  };
  CommandLine line;
  bool options_done = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string_view word = words[i];
    if (options_done || word == "-" || !word.starts_with('-')) {
      line.operands.emplace_back(word);
      continue;
    }
    if (word == "--") {
      options_done = true;
      continue;
    }
    OptionWord given = match_option(word, find_here);
    if (given.option == nullptr) return not_an_option_of(syntax, word, find_elsewhere);
    const OptionSpec& option = *given.option;
    if (option.type != ValueType::kNone && !given.value) {
      if (i + 1 == words.size()) return usage_error("option " + quoted(given.name) + " needs a value");
      given.value = words[++i];
    }
    if (option.type == ValueType::kNone && given.value) {
      return usage_error("option " + quoted(given.name) + " takes no value");
    }
    if (!option.repeatable && line.has(option.name)) {
      return usage_error("option " + quoted(option.name) + " is given twice");
    }
    const std::string_view text = given.value.value_or("");
    auto value = read_value(option, text);
    if (!value) return fail(std::move(value).error());
    line.options.push_back({&option, std::string(text), *value});
  }
  if (auto checked = check_operands(syntax, line.operands); !checked) return fail(std::move(checked).error());
  if (auto checked = check_stdin(syntax, line); !checked) return fail(std::move(checked).error());
  return line;
}

std::optional<std::uint64_t> parse_whole_number(std::string_view text, std::uint64_t min,
                                                std::uint64_t max) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::string quoted(std::string_view word) {
  const std::string plain = display(word);
  return plain == word ? "'" + plain + "'" : plain;
}

std::unexpected<Failure> usage_error(std::string problem) {
  return fail(Failure::invalid_argument(std::move(problem)));
}

bool asks_for_help(std::span<const std::string_view> words) {
  for (const std::string_view word : words) {
    if (word == "--") return false;
    if (word == "--help" || word == "-h") return true;
  }
  return false;
}

}  // namespace ledger::cli
