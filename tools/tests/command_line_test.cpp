// The command line as a whole: usage errors, help, and the built program run
// with its real standard streams.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/command.h"
#include "command_fixture.h"
#include "support.h"

namespace ledger::cli {

namespace {

using testing::CommandTest;
using testing::Ran;
using testing::run_cli;

TEST(CommandLineTest, UsageErrors) {
  const struct {
    std::vector<std::string> args;
    std::string problem;
  } cases[] = {
      {{}, "no command given"},
      {{"verfiy", "f"}, "unknown command 'verfiy'"},
      {{"verify"}, "expected at least one FILE, found 0"},
      {{"checkpoint", "a", "b"}, "expected one FILE, found 2"},
      {{"export", "a", "b"}, "expected one FILE, found 2"},
      {{"verify", "--since", "checkpoint", "a", "b"}, "--since takes one FILE, found 2"},
      {{"export", "--json", "f"}, "option '--json' does not apply to 'export'"},
      {{"export", "--jobs", "2", "f"}, "option '--jobs' does not apply to 'export'"},
      {{"verify", "--format", "csv", "f"}, "option '--format' does not apply to 'verify'"},
      {{"export", "--format", "xml", "f"}, "--format takes jsonl or csv, not 'xml'"},
      {{"export", "--from", "0", "f"}, "--from takes a line number (a whole number from 1), not '0'"},
      {{"export", "--from", "5", "--to", "4", "f"}, "--from 5 is after --to 4"},
      {{"head", "--strict", "f"}, "option '--strict' does not apply to 'head'"},
      {{"verify", "--jobs"}, "option '--jobs' needs a value"},
      {{"verify", "--jobs", "0", "f"}, "--jobs takes a whole number from 1 to 256, not '0'"},
      {{"verify", "-j257", "f"}, "--jobs takes a whole number from 1 to 256, not '257'"},
      {{"verify", "--jobs=two", "f"}, "--jobs takes a whole number from 1 to 256, not 'two'"},
      {{"verify", "--json=yes", "f"}, "option '--json' takes no value"},
      {{"verify", "--json", "--quiet", "f"}, "--json and --quiet exclude each other"},
      {{"verify", "--verbose", "f"}, "unknown option '--verbose'"},
      {{"head", "--since", "checkpoint", "f"}, "option '--since' does not apply to 'head'"},
      {{"head", "-j", "2", "f"}, "option '-j' does not apply to 'head'"},
      {{"head", "--live", "f"}, "option '--live' does not apply to 'head'"},
      {{"verify", "--live=yes", "f"}, "option '--live' takes no value"},
      {{"--help", "verfiy"}, "unexpected argument 'verfiy'"},
      {{"--version", "verify"}, "unexpected argument 'verify'"},
      {{"verify", "--origin", "o", "f"}, "option '--origin' does not apply to 'verify'"},
      {{"verify", "--key", "k", "f"}, "option '--key' does not apply to 'verify'"},
      {{"checkpoint", "--origin", "", "f"},
       "--origin takes a non-empty line of UTF-8 text without control characters"},
      {{"checkpoint", "--origin", "a\nb", "f"},
       "--origin takes a non-empty line of UTF-8 text without control characters"},
      {{"verify", "--pub", "p", "f"}, "--pub checks the signature of a --since checkpoint"},
      {{"keygen", "--name", "n", "--key", "k"}, "keygen needs --name, --key and --pub"},
      {{"keygen", "--name", "n", "--key", "k", "--pub", "k"}, "--key and --pub name the same file"},
      {{"keygen", "--size", "2"}, "unknown option '--size' for 'keygen'"},
      {{"prove", "--checkpoint", "c", "f"}, "prove takes one of --entry N and --from OLD"},
      {{"prove", "--entry", "1", "--from", "o", "--checkpoint", "c", "f"},
       "prove takes one of --entry N and --from OLD"},
      {{"prove", "--entry", "-1", "--checkpoint", "c", "f"}, "--entry takes a whole number, not '-1'"},
      {{"prove", "--entry", "1", "f"}, "prove needs --checkpoint"},
      {{"prove", "--entry", "1", "--entry", "2", "--checkpoint", "c", "f"},
       "option '--entry' is given twice"},
      {{"check-proof", "p"}, "check-proof needs --checkpoint"},
      {{"check-proof", "--checkpoint", "c"}, "expected one PROOF, found 0"},
      {{"check-proof", "-", "--checkpoint", "-", "--from", "-"}, "only one input can be read from stdin"},
  };
  for (const auto& c : cases) {
    const Ran ran = run_cli(c.args);
    EXPECT_EQ(ran.status, kExitError) << c.problem;
    EXPECT_EQ(ran.out, "") << c.problem;
    EXPECT_EQ(ran.err, "quorvel-ledger: " + c.problem + " (see 'quorvel-ledger --help')\n");
  }
  // "--" ends the options; "-" is a file name.
  EXPECT_EQ(run_cli({"verify", "--", "--json"}).err,
            "quorvel-ledger: --json: cannot open: No such file or directory (os error 2)\n");
  EXPECT_EQ(run_cli({"--version"}).out,
            "quorvel-ledger " QUORVEL_LEDGER_VERSION " (checkpoint form v2)\n");
  EXPECT_EQ(run_cli({"-V"}).out, run_cli({"--version"}).out);
}

TEST(CommandLineTest, Help) {
  const Ran overview = run_cli({"--help"});
  EXPECT_EQ(overview.status, kExitIntact);
  EXPECT_TRUE(overview.out.starts_with("usage: quorvel-ledger verify "));
  for (const char* command :
       {"verify", "checkpoint", "head", "export", "keygen", "prove", "check-proof"}) {
    SCOPED_TRACE(command);
    // The overview names every command; each has its own help, however asked,
    // whatever else is on the line.
    EXPECT_NE(overview.out.find(std::string("\n") + command + " "), std::string::npos);
    const Ran help = run_cli({command, "--help"});
    EXPECT_EQ(help.status, kExitIntact);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.substr(0, help.out.find(' ', 22)),
              std::string("usage: quorvel-ledger ") + command);
    EXPECT_NE(help.out.find("exit status:"), std::string::npos);
    EXPECT_EQ(run_cli({"--help", command}).out, help.out);
    EXPECT_EQ(run_cli({command, "--jobs=3", "-h", "--bogus", "a", "b"}).out, help.out);
  }
}

// Runs the built program with `input` on its standard input and its standard
// output going to `out_path`; returns the exit status and standard error.
std::pair<int, std::string> run_binary(const std::vector<std::string>& args,
                                       const std::string& input, const std::string& out_path,
                                       const std::string& err_path, const std::string& in_path) {
  {
    std::FILE* in = std::fopen(in_path.c_str(), "wb");
    std::fwrite(input.data(), 1, input.size(), in);
    std::fclose(in);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> argv;
  std::string program = QUORVEL_LEDGER_BINARY;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testing::read_file(err_path)};
}

TEST_F(CommandTest, TheProgram) {
  const std::string out = write("out.txt", "");
  const std::string err = path("err.txt");
  const std::string in = path("in.txt");
  // A checkpoint read from standard input.
  const std::string checkpoint = run_cli({"checkpoint", clean_}).out;
  auto [status, errors] = run_binary({"verify", "--since", "-", clean_}, checkpoint, out, err, in);
  EXPECT_EQ(status, kExitIntact);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(testing::read_file(out), run_cli({"verify", "--since", write("checkpoint", checkpoint), clean_}).out);
  // A report that cannot be written is not a success.
  for (const char* command : {"verify", "export"}) {
    std::tie(status, errors) = run_binary({command, clean_}, "", "/dev/full", err, in);
    EXPECT_EQ(status, kExitError) << command;
    EXPECT_EQ(errors, "quorvel-ledger: cannot write the output: No space left on device\n");
  }
}

}  // namespace
}  // namespace ledger::cli
