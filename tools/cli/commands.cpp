#include "cli/commands.h"

#include <algorithm>
#include <array>

#include "audit/checkpoint_note.h"
#include "audit/export.h"
#include "tlog/note.h"

namespace ledger::cli {

using audit::kExportFormatNames;
namespace {

static_assert(kMaxJobs == 256, "--jobs' help and message name the largest number of jobs");

constexpr OptionSpec kQuiet{.name = "--quiet", .alias = "-q", .label = "--quiet, -q",
                            .help = "print nothing; only the exit status tells"};
constexpr OptionSpec kStrict{.name = "--strict",
                             .help = "an entry on a line a recorder would not write is a break"};

constexpr OptionSpec jobs(std::string_view help) {
  return {.name = "--jobs", .alias = "-j", .type = ValueType::kNumber, .metavar = "N",
          .wanted = "a whole number from 1 to 256", .min = 1, .max = kMaxJobs,
          .label = "--jobs N, -j N", .help = help};
}
constexpr OptionSpec since(std::string_view help) {
  return {.name = "--since", .type = ValueType::kPath, .metavar = "CHECKPOINT",
          .reads_input = true, .help = help};
}
constexpr OptionSpec pub(std::string_view help) {
  return {.name = "--pub", .type = ValueType::kPath, .metavar = "FILE", .reads_input = true,
          .help = help};
}
constexpr OptionSpec flag(std::string_view name, std::string_view help) {
  return {.name = name, .help = help};
}
constexpr OptionSpec line_number(std::string_view name, std::string_view metavar,
                                 std::string_view label, std::string_view help) {
  return {.name = name, .type = ValueType::kNumber, .metavar = metavar,
          .wanted = "a line number (a whole number from 1)", .min = 1, .label = label,
          .help = help};
}
constexpr OptionSpec checkpoint_path(std::string_view name, std::string_view metavar,
                                     std::string_view help) {
  return {.name = name, .type = ValueType::kPath, .metavar = metavar, .reads_input = true,
          .help = help};
}

constexpr std::array kVerifyOptions = {
    since("verify FILE and prove that its first entry lines still give\n"
          "the checkpoint note's root and chain head (CHECKPOINT is a file;\n"
          "- reads stdin); one FILE only. A checkpoint line of the\n"
          "earlier form is read too, with a notice that it does not bind\n"
          "the entries below it"),
    pub("the --since note must carry a valid signature by this\n"
        "verifier key (a missing or wrong one is a break)"),
    jobs("verify with N threads (1 to 256; default 1), shared by all files"),
    flag("--live", "FILE is being written: check the lines ended by a line feed when\n"
                   "the run starts; note, not judge, a last line without one"),
    flag("--strict", "an entry on a line a recorder would not write is a break\n"
                     "(class non-canonical)"),
    flag("--json", "print one JSON object per file instead of text"),
    kQuiet,
};

constexpr std::array kCheckpointOptions = {
    OptionSpec{.name = "--origin", .type = ValueType::kText, .metavar = "ORIGIN",
               .wanted = "a non-empty line of UTF-8 text without control characters",
               .accepts = audit::is_checkpoint_origin,
               .help = "the note's origin line (default: the origin of the --since\n"
                       "note, else quorvel-ledger/ and the first entry's signature;\n"
                       "an empty ledger needs one)"},
    OptionSpec{.name = "--key", .type = ValueType::kPath, .metavar = "FILE", .reads_input = true,
               .help = "sign the note with this signer key (see keygen)"},
    since("an older note: the checkpoint is made only when FILE still\n"
          "gives its root and chain head (- reads stdin)"),
    pub("the --since note must carry a valid signature by this key"),
    jobs("verify with N threads (1 to 256; default 1)"),
    flag("--live", "FILE is being written: the checkpoint covers the lines ended by\n"
                   "a line feed when the run starts"),
    kStrict,
    flag("--json", "print one JSON object, the checkpoint and its fields included"),
    kQuiet,
};

constexpr std::array kHeadOptions = {
    flag("--json", "print one JSON object instead of text"),
    kQuiet,
};

constexpr std::array kExportOptions = {
    OptionSpec{.name = "--format", .type = ValueType::kWord, .metavar = "jsonl|csv",
               .wanted = "jsonl or csv", .words = kExportFormatNames,
               .help = "jsonl (default): one JSON object per entry, \"line\" first, then\n"
                       "the seven members as a recorder writes them; csv: RFC 4180, a\n"
                       "header row, CR LF record ends. delta_i is the shortest text that\n"
                       "reads back as the same double"},
    line_number("--from", "N", "--from N, --to M",
                "write only the entries on lines N to M (line numbers, from 1,\n"
                "both included); every line before N is verified all the same,\n"
                "and no line after M is read"),
    line_number("--to", "M", {}, {}),
    flag("--live", "FILE is being written: stop at the last line feed there was when\n"
                   "the run started"),
    kStrict,
};

constexpr std::array kKeygenOptions = {
    OptionSpec{.name = "--name", .type = ValueType::kText, .metavar = "NAME",
               .help = "the key's name, which signature lines carry"},
    OptionSpec{.name = "--key", .type = ValueType::kPath, .metavar = "FILE",
               .help = "the signer key's file, made readable by its owner only"},
    OptionSpec{.name = "--pub", .type = ValueType::kPath, .metavar = "FILE",
               .help = "the verifier key's file, to hand to auditors"},
};

constexpr std::array kProveOptions = {
    OptionSpec{.name = "--entry", .type = ValueType::kNumber, .metavar = "N",
               .wanted = "a whole number",
               .help = "prove that the N-th entry line (from 0) is in the tree"},
    checkpoint_path("--from", "OLD", "prove that the tree extends that of the older note OLD"),
    checkpoint_path("--checkpoint", "CHECKPOINT", "the checkpoint note the proof leads to"),
};

constexpr std::array kCheckProofOptions = {
    checkpoint_path("--checkpoint", "CHECKPOINT", "the checkpoint note the proof leads to"),
    checkpoint_path("--from", "OLD", "the older note a consistency proof starts from"),
    pub("every checkpoint given must carry a valid signature by this key"),
};

constexpr std::array kCommands = {
    CommandSpec{
        .syntax = {.name = "verify", .options = kVerifyOptions,
                   .operands = OperandCount::kOneOrMore},
        .synopsis = "[--since CHECKPOINT [--pub FILE]] [--jobs N] [--live] [--strict] "
                    "[--json | --quiet] FILE...",
        .summary = "check the hash chain; name the first failing line and why",
        .description =
            "Checks each FILE with the rules of verify_integrity() and reports it: the entries and\n"
            "the chain head when intact, else the first failing line, why it fails, and hints at\n"
            "what happened. Several files are reported in the order given, one report each\n"
            "(one JSON object per line with --json); the exit status is the worst of them.\n"
            "Entries on lines a recorder would not write for their values (other spacing,\n"
            "escapes, member order, number spelling) are counted and the first one named.\n",
        .check = check_verify,
        .run = run_verify},
    CommandSpec{
        .syntax = {.name = "checkpoint", .options = kCheckpointOptions},
        .synopsis = "[--origin ORIGIN] [--key FILE] [--since CHECKPOINT [--pub FILE]] [--jobs N] "
                    "[--live] [--strict] [--json | --quiet] FILE",
        .summary = "verify, then print a checkpoint note (the Merkle tree head) to keep elsewhere",
        .description =
            "Verifies FILE as verify does and prints a checkpoint note of it: the root of the\n"
            "Merkle tree over the exact bytes of its entry lines, signed with --key. A later\n"
            "'verify --since' proves that no byte below it changed and nothing was cut or\n"
            "inserted. A broken ledger gets no checkpoint: the break is reported on standard error.\n",
        .check = check_checkpoint,
        .run = run_checkpoint},
    CommandSpec{
        .syntax = {.name = "head", .options = kHeadOptions},
        .synopsis = "[--json | --quiet] FILE",
        .summary = "the chain head and next index a recorder opened on FILE would use",
        .description =
            "Prints the chain head and the next index exactly as a recorder reopening FILE\n"
            "computes them (the last line that parses as an entry), without checking links\n"
            "or digests. A file a recorder could not read is an error, not a new chain.\n",
        .check = check_head,
        .run = run_head},
    CommandSpec{
        .syntax = {.name = "export", .options = kExportOptions},
        .synopsis = "[--format jsonl|csv] [--from N] [--to M] [--live] [--strict] FILE",
        .summary = "write the verified entries with their line numbers, as JSON lines or CSV",
        .description =
            "Verifies FILE from its start and writes each entry that verifies, with its line\n"
            "number and its decoded values, to standard output. At the first line that does not\n"
            "verify it stops: the entries before it have been written, the break is reported on\n"
            "standard error, and the exit status is 1.\n",
        .check = check_export,
        .run = run_export},
    CommandSpec{
        .syntax = {.name = "keygen", .options = kKeygenOptions, .operands = OperandCount::kNone,
                   .unknown_option_names_command = true},
        .synopsis = "--name NAME --key FILE --pub FILE",
        .summary = "make an Ed25519 key to sign checkpoint notes",
        .description =
            "Makes a new Ed25519 key for signing checkpoints. Writes the signer key\n"
            "(PRIVATE+KEY+NAME+HASH+KEY; mode 0600) to the --key FILE and the verifier key\n"
            "(NAME+HASH+KEY) to the --pub FILE, and prints the verifier key. Neither file may\n"
            "exist yet. NAME: non-empty, without white space or '+'.\n",
        .exit_status = "exit status: 0 written, 2 nothing written (bad usage, a file that exists or\n"
                       "cannot be created)\n",
        .check = check_keygen,
        .run = run_keygen},
    CommandSpec{
        .syntax = {.name = "prove", .options = kProveOptions,
                   .unknown_option_names_command = true},
        .synopsis = "(--entry N | --from OLD) --checkpoint CHECKPOINT FILE",
        .summary = "an inclusion or consistency proof from FILE, as JSON",
        .description =
            "Prints a proof from FILE as one JSON object: with --entry, that the N-th entry\n"
            "line (0-based, in file order) is in CHECKPOINT's tree; with --from, that the\n"
            "tree of checkpoint CHECKPOINT extends that of the older checkpoint OLD. FILE\n"
            "must still give the checkpoints' root hashes. Checkpoints are files; - reads\n"
            "stdin.\n",
        .exit_status = "exit status: 0 printed, 1 FILE no longer gives a checkpoint's root, 2 nothing\n"
                       "printed (bad usage, an unreadable or malformed file or checkpoint)\n",
        .check = check_prove,
        .run = run_prove},
    CommandSpec{
        .syntax = {.name = "check-proof", .options = kCheckProofOptions, .operand = "PROOF",
                   .operand_reads_input = true, .unknown_option_names_command = true},
        .synopsis = "PROOF --checkpoint CHECKPOINT [--from OLD] [--pub FILE]",
        .summary = "check a proof against checkpoint notes, without the ledger",
        .description =
            "Checks a proof made by 'prove', without the ledger: an inclusion proof against\n"
            "CHECKPOINT, or a consistency proof from the older checkpoint OLD to CHECKPOINT.\n"
            "With --pub, each checkpoint must carry a valid signature by that verifier key.\n"
            "PROOF and checkpoints are files; - reads stdin.\n",
        .exit_status = "exit status: 0 proven, 1 not proven, 2 unusable input (bad usage, an unreadable\n"
                       "or malformed proof, checkpoint or key)\n",
        .check = check_check_proof,
        .run = run_check_proof},
};

}  // namespace

std::span<const CommandSpec> command_table() { return kCommands; }

const CommandSpec* find_command(std::string_view name) {
  const auto found = std::find_if(kCommands.begin(), kCommands.end(),
                                  [name](const CommandSpec& c) { return c.syntax.name == name; });
  return found == kCommands.end() ? nullptr : &*found;
}

const OptionSpec* find_any_option(std::string_view name) {
  for (const CommandSpec& command : kCommands) {
    if (const OptionSpec* option = find_option(command.syntax.options, name)) return option;
  }
  return nullptr;
}

}  // namespace ledger::cli
