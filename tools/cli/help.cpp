#include "cli/help.h"

#include <algorithm>
#include <array>

namespace ledger::cli {
namespace {

constexpr std::string_view kProgramName = "quorvel-ledger";

constexpr std::string_view kExitStatus =
    "exit status: 0 intact, 1 broken, 2 nothing proven (bad usage, unreadable file or\n"
    "checkpoint, checkpoint of another ledger)\n";

// In the order the overview lists them.
constexpr std::array kCommands = {
    CommandHelp{
        "verify",
        "[--since CHECKPOINT [--pub FILE]] [--jobs N] [--live] [--strict] [--json | --quiet] "
        "FILE...",
        "check the hash chain; name the first failing line and why",
        "Checks each FILE with the rules of verify_integrity() and reports it: the entries and\n"
        "the chain head when intact, else the first failing line, why it fails, and hints at\n"
        "what happened. Several files are reported in the order given, one report each\n"
        "(one JSON object per line with --json); the exit status is the worst of them.\n"
        "Entries on lines a recorder would not write for their values (other spacing,\n"
        "escapes, member order, number spelling) are counted and the first one named.\n"
        "\n"
        "  --since CHECKPOINT  verify FILE and prove that its first entry lines still give\n"
        "                      the checkpoint note's root and chain head (CHECKPOINT is a file;\n"
        "                      - reads stdin); one FILE only. A checkpoint line of the\n"
        "                      earlier form is read too, with a notice that it does not bind\n"
        "                      the entries below it\n"
        "  --pub FILE          the --since note must carry a valid signature by this\n"
        "                      verifier key (a missing or wrong one is a break)\n"
        "  --jobs N, -j N      verify with N threads (1 to 256; default 1), shared by all files\n"
        "  --live              FILE is being written: check the lines ended by a line feed when\n"
        "                      the run starts; note, not judge, a last line without one\n"
        "  --strict            an entry on a line a recorder would not write is a break\n"
        "                      (class non-canonical)\n"
        "  --json              print one JSON object per file instead of text\n"
        "  --quiet, -q         print nothing; only the exit status tells\n"},
    CommandHelp{
        "checkpoint",
        "[--origin ORIGIN] [--key FILE] [--since CHECKPOINT [--pub FILE]] [--jobs N] "
        "[--live] [--strict] [--json | --quiet] FILE",
        "verify, then print a checkpoint note (the Merkle tree head) to keep elsewhere",
        "Verifies FILE as verify does and prints a checkpoint note of it: the root of the\n"
        "Merkle tree over the exact bytes of its entry lines, signed with --key. A later\n"
        "'verify --since' proves that no byte below it changed and nothing was cut or\n"
        "inserted. A broken ledger gets no checkpoint: the break is reported on standard error.\n"
        "\n"
        "  --origin ORIGIN     the note's origin line (default: quorvel-ledger/ and the first\n"
        "                      entry's signature; an empty ledger needs one)\n"
        "  --key FILE          sign the note with this signer key (see keygen)\n"
        "  --since CHECKPOINT  an older note: the checkpoint is made only when FILE still\n"
        "                      gives its root and chain head (- reads stdin)\n"
        "  --pub FILE          the --since note must carry a valid signature by this key\n"
        "  --jobs N, -j N      verify with N threads (1 to 256; default 1)\n"
        "  --live              FILE is being written: the checkpoint covers the lines ended by\n"
        "                      a line feed when the run starts\n"
        "  --strict            an entry on a line a recorder would not write is a break\n"
        "  --json              print one JSON object, the checkpoint and its fields included\n"
        "  --quiet, -q         print nothing; only the exit status tells\n"},
    CommandHelp{"head", "[--json | --quiet] FILE",
                "the chain head and next index a recorder opened on FILE would use",
                "Prints the chain head and the next index exactly as a recorder reopening FILE\n"
                "computes them (the last line that parses as an entry), without checking links\n"
                "or digests. A file a recorder could not read is an error, not a new chain.\n"
                "\n"
                "  --json              print one JSON object instead of text\n"
                "  --quiet, -q         print nothing; only the exit status tells\n"},
    CommandHelp{
        "export",
        "[--format jsonl|csv] [--from N] [--to M] [--live] [--strict] FILE",
        "write the verified entries with their line numbers, as JSON lines or CSV",
        "Verifies FILE from its start and writes each entry that verifies, with its line\n"
        "number and its decoded values, to standard output. At the first line that does not\n"
        "verify it stops: the entries before it have been written, the break is reported on\n"
        "standard error, and the exit status is 1.\n"
        "\n"
        "  --format jsonl|csv  jsonl (default): one JSON object per entry, \"line\" first, then\n"
        "                      the seven members as a recorder writes them; csv: RFC 4180, a\n"
        "                      header row, CR LF record ends. delta_i is the shortest text that\n"
        "                      reads back as the same double\n"
        "  --from N, --to M    write only the entries on lines N to M (line numbers, from 1,\n"
        "                      both included); every line before N is verified all the same,\n"
        "                      and no line after M is read\n"
        "  --live              FILE is being written: stop at the last line feed there was when\n"
        "                      the run started\n"
        "  --strict            an entry on a line a recorder would not write is a break\n"},
    CommandHelp{"keygen", "--name NAME --key FILE --pub FILE",
                "make an Ed25519 key to sign checkpoint notes",
                "Makes a new Ed25519 key for signing checkpoints. Writes the signer key\n"
                "(PRIVATE+KEY+NAME+HASH+KEY; mode 0600) to the --key FILE and the verifier key\n"
                "(NAME+HASH+KEY) to the --pub FILE, and prints the verifier key. Neither file may\n"
                "exist yet. NAME: non-empty, without white space or '+'.\n",
                "exit status: 0 written, 2 nothing written (bad usage, a file that exists or\n"
                "cannot be created)\n"},
    CommandHelp{"prove", "(--entry N | --from OLD) --checkpoint CHECKPOINT FILE",
                "an inclusion or consistency proof from FILE, as JSON",
                "Prints a proof from FILE as one JSON object: with --entry, that the N-th entry\n"
                "line (0-based, in file order) is in CHECKPOINT's tree; with --from, that the\n"
                "tree of checkpoint CHECKPOINT extends that of the older checkpoint OLD. FILE\n"
                "must still give the checkpoints' root hashes. Checkpoints are files; - reads\n"
                "stdin.\n",
                "exit status: 0 printed, 1 FILE no longer gives a checkpoint's root, 2 nothing\n"
                "printed (bad usage, an unreadable or malformed file or checkpoint)\n"},
    CommandHelp{"check-proof", "PROOF --checkpoint CHECKPOINT [--from OLD] [--pub FILE]",
                "check a proof against checkpoint notes, without the ledger",
                "Checks a proof made by 'prove', without the ledger: an inclusion proof against\n"
                "CHECKPOINT, or a consistency proof from the older checkpoint OLD to CHECKPOINT.\n"
                "With --pub, each checkpoint must carry a valid signature by that verifier key.\n"
                "PROOF and checkpoints are files; - reads stdin.\n",
                "exit status: 0 proven, 1 not proven, 2 unusable input (bad usage, an unreadable\n"
                "or malformed proof, checkpoint or key)\n"},
};

const CommandHelp* find_command(std::string_view name) {
  const auto* found = std::find_if(kCommands.begin(), kCommands.end(),
                                   [name](const CommandHelp& c) { return c.name == name; });
  return found == kCommands.end() ? nullptr : found;
}

}  // namespace

std::string overview_help() {
  std::size_t width = 0;
  for (const CommandHelp& c : kCommands) width = std::max(width, c.name.size());
  std::string out;
  for (const CommandHelp& c : kCommands) {
    out += out.empty() ? "usage: " : "       ";
    out.append(kProgramName).append(" ").append(c.name);
    out.append(width - c.name.size() + 1, ' ').append(c.synopsis).append("\n");
  }
  out.append("       ").append(kProgramName).append(" COMMAND --help\n");
  out.append("       ").append(kProgramName).append(" --help | --version\n\n");
  for (const CommandHelp& c : kCommands) {
    out.append(c.name).append(std::max<std::size_t>(width, 10) - c.name.size() + 2, ' ');
    out.append(c.summary).append("\n");
  }
  out.append("\nRun '").append(kProgramName).append(" COMMAND --help' for a command's options.\n\n");
  out.append(kExitStatus);
  return out;
}

std::optional<std::string> command_help(std::string_view name) {
  const CommandHelp* c = find_command(name);
  if (c == nullptr) return std::nullopt;
  std::string out = "usage: ";
  out.append(kProgramName).append(" ").append(c->name).append(" ").append(c->synopsis);
  out.append("\n\n").append(c->details).append("\n");
  out.append(c->exit_status.empty() ? kExitStatus : c->exit_status);
  return out;
}

}  // namespace ledger::cli
