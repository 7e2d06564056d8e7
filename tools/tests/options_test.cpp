// The command line's options, as every command reads them: the usage error
// each wrong line gives, exactly, and with exit status 2 before anything is read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/commands.h"
#include "cli/help.h"
#include "support.h"

namespace ledger::cli {
namespace {

using testing::Ran;
using testing::run_cli;

struct UsageCase {
  std::vector<std::string> args;
  std::string problem;  // the message, before " (see ...)"
};

void expect_usage_errors(const std::vector<UsageCase>& cases) {
  for (const auto& c : cases) {
    std::string line;
    for (const auto& word : c.args) line += word + " ";
    SCOPED_TRACE(line);
    const Ran ran = run_cli(c.args);
    EXPECT_EQ(ran.status, kExitError);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, "quorvel-ledger: " + c.problem + " (see 'quorvel-ledger --help')\n");
  }
}

// An option given twice is refused, whatever forms it takes, in every command;
// the files named need not exist, since nothing is read.
TEST(OptionsTest, AnOptionGivenTwiceIsRefused) {
  expect_usage_errors({
      {{"verify", "--since", "x", "--pub", "b", "--pub", "a", "f"}, "option '--pub' is given twice"},
      {{"verify", "--since", "a", "--since=b", "f"}, "option '--since' is given twice"},
      {{"verify", "--json", "--json", "f"}, "option '--json' is given twice"},
      {{"verify", "--strict", "--strict", "f"}, "option '--strict' is given twice"},
      {{"verify", "--live", "--live", "f"}, "option '--live' is given twice"},
      {{"verify", "-q", "--quiet", "f"}, "option '--quiet' is given twice"},
      {{"verify", "-q", "-q", "f"}, "option '--quiet' is given twice"},
      {{"verify", "--jobs", "1", "-j", "2", "f"}, "option '--jobs' is given twice"},
      {{"verify", "-j1", "--jobs=2", "f"}, "option '--jobs' is given twice"},
      {{"verify", "-j", "1", "-j2", "f"}, "option '--jobs' is given twice"},
      {{"verify", "--jobs=1", "--jobs", "2", "f"}, "option '--jobs' is given twice"},
      {{"checkpoint", "--key", "a", "--key", "b", "f"}, "option '--key' is given twice"},
      {{"checkpoint", "--origin", "a", "--origin", "a", "f"}, "option '--origin' is given twice"},
      {{"checkpoint", "-j2", "-j2", "f"}, "option '--jobs' is given twice"},
      {{"head", "--json", "--json", "f"}, "option '--json' is given twice"},
      {{"export", "--format", "csv", "--format", "jsonl", "f"}, "option '--format' is given twice"},
      {{"export", "--from", "1", "--from", "2", "f"}, "option '--from' is given twice"},
      {{"export", "--to", "3", "--to=3", "f"}, "option '--to' is given twice"},
      {{"keygen", "--name", "a", "--name", "b", "--key", "k", "--pub", "p"},
       "option '--name' is given twice"},
      {{"prove", "--entry", "1", "--checkpoint", "a", "--checkpoint=b", "f"},
       "option '--checkpoint' is given twice"},
      {{"check-proof", "p", "--checkpoint", "c", "--pub", "a", "--pub", "b"},
       "option '--pub' is given twice"},
  });
}

// Words of the command line in a message are escaped as file names are: ESC,
// BEL and C1 controls would otherwise reach the terminal raw.
TEST(OptionsTest, ArgumentsInMessagesAreEscaped) {
  expect_usage_errors({
      {{"verify\x1b[2J", "f"}, "unknown command \"verify\\u001b[2J\""},
      {{"verify", "--verbose\x07", "f"}, "unknown option \"--verbose\\u0007\""},
      {{"verify", "--a\xC2\x9B" "31m", "f"}, "unknown option \"--a\\u009b31m\""},
      {{"export", "--format", "csv\x1b]0;x\x07", "f"},
       "--format takes jsonl or csv, not \"csv\\u001b]0;x\\u0007\""},
      {{"export", "--from", "1 2", "f"},
       "--from takes a line number (a whole number from 1), not \"1 2\""},
      {{"verify", "-j\x1b", "f"}, "--jobs takes a whole number from 1 to 256, not \"\\u001b\""},
      {{"--help", "verify\x1b"}, "unexpected argument \"verify\\u001b\""},
      {{"keygen", "--size\x1b", "2"}, "unknown option \"--size\\u001b\" for 'keygen'"},
  });
}

// Standard input can be read once, whichever options or operands name it.
TEST(OptionsTest, OneInputFromStdin) {
  const std::string once = "only one input can be read from stdin";
  expect_usage_errors({
      {{"verify", "--since", "-", "--pub", "-", "f"}, once},
      {{"checkpoint", "--since", "-", "--pub", "-", "f"}, once},
      {{"checkpoint", "--since=-", "--key", "-", "f"}, once},
      {{"checkpoint", "--since", "c", "--pub", "-", "--key", "-", "f"}, once},
      {{"prove", "--from", "-", "--checkpoint", "-", "f"}, once},
      {{"check-proof", "-", "--checkpoint", "-"}, once},
      {{"check-proof", "p", "--checkpoint", "-", "--pub", "-"}, once},
  });
}

// An option of another command does not apply; one of no command is unknown.
TEST(OptionsTest, OptionsOfOtherCommands) {
  expect_usage_errors({
      {{"keygen", "--json"}, "option '--json' does not apply to 'keygen'"},
      {{"prove", "--since", "s", "f"}, "option '--since' does not apply to 'prove'"},
      {{"check-proof", "p", "--entry", "1"}, "option '--entry' does not apply to 'check-proof'"},
      {{"head", "-j2", "f"}, "option '-j' does not apply to 'head'"},
      {{"verify", "-q2", "f"}, "unknown option '-q2'"},
      {{"export", "--to=", "f"}, "--to takes a line number (a whole number from 1), not \"\""},
  });
}

// Each command's help lists every option it takes.
TEST(OptionsTest, EveryOptionIsInItsCommandsHelp) {
  for (const CommandSpec& command : command_table()) {
    const std::string help = *command_help(command.syntax.name);
    for (const OptionSpec& option : command.syntax.options) {
      SCOPED_TRACE(std::string(command.syntax.name) + " " + std::string(option.name));
      // On an option line: "  --jobs N, -j N", "  --from N, --to M", "  --json".
      bool listed = false;
      for (std::size_t at = help.find("\n  -"); at != std::string::npos; at = help.find("\n  -", at + 1)) {
        const std::string line = help.substr(at + 1, help.find('\n', at + 1) - at - 1);
        const std::string name(option.name);
        listed = listed || line.find(name + " ") != std::string::npos ||
                 line.find(name + ",") != std::string::npos;
      }
      EXPECT_TRUE(listed) << help;
    }
  }
}

}  // namespace
}  // namespace ledger::cli
