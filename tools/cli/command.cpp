#include "cli/command.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/audit.h"
#include "cli/checkpoint.h"
#include "cli/enum_table.h"
#include "cli/export.h"
#include "cli/fleet.h"
#include "cli/help.h"
#include "cli/json.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/tlog_command.h"
#include "ledger/failure.h"
#include "ledger/open.h"
#include "ledger/platform.h"

namespace ledger::cli {
namespace {

constexpr std::string_view kVersionText =
    "quorvel-ledger " QUORVEL_LEDGER_VERSION " (checkpoint form v2)";

enum class Command { kVerify, kCheckpoint, kHead, kHelp, kVersion, kExport, kCount_ };

// The words that name the commands on the command line and in JSON reports.
constexpr EnumTable<Command> kCommandNames = {"verify", "checkpoint", "head", "--help",
                                              "--version", "export"};
static_assert(all_filled(kCommandNames));

struct Invocation {
  Command command = Command::kHelp;
  std::string file;                // the first of `files`
  std::vector<std::string> files;  // verify takes several
  std::optional<std::string> help_for;  // the command of COMMAND --help
  std::optional<std::string> since;  // path of the checkpoint
  std::optional<std::string> pub;     // path of the verifier key the checkpoint must be signed by
  std::optional<std::string> origin;  // checkpoint: the note's origin
  std::optional<std::string> key;     // checkpoint: path of the signer key
  unsigned jobs = 1;
  bool live = false;
  bool json = false;
  bool quiet = false;
  bool strict = false;
  ExportFormat format = ExportFormat::kJsonLines;
  std::uint64_t from = 1;  // export: the first line written
  std::uint64_t to = std::numeric_limits<std::uint64_t>::max();  // export: the last line read
};

std::optional<Command> command_of(std::string_view word) {
  if (word == "-h") return Command::kHelp;
  if (word == "-V") return Command::kVersion;
  for (std::size_t k = 0; k < kCommandNames.size(); ++k) {
    if (word == kCommandNames[k]) return static_cast<Command>(k);
  }
  return std::nullopt;
}

std::optional<unsigned> parse_jobs(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > kMaxJobs) {
    return std::nullopt;
  }
  return value;
}

// A line number for --from and --to: a whole number from 1.
std::optional<std::uint64_t> parse_line_number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1) return std::nullopt;
  return value;
}

// Whether `option` (a known one) applies to `command`.
bool applies(std::string_view option, Command command) {
  const bool export_only = option == "--format" || option == "--from" || option == "--to";
  if (option == "--origin" || option == "--key") return command == Command::kCheckpoint;
  switch (command) {
    case Command::kExport:
      return export_only || option == "--live" || option == "--strict";
    case Command::kHead:
      return option == "--json" || option == "--quiet" || option == "-q";
    default:
      return !export_only;
  }
}

std::unexpected<Failure> usage_error(std::string problem) {
  return fail(Failure::invalid_argument(std::move(problem)));
}

// A word of the command line in a message: quoted, and escaped when not plain.
std::string quoted(std::string_view text) {
  const std::string plain = display(text);
  return plain == text ? "'" + plain + "'" : plain;
}

// The name an option is known by, whichever of its forms was given.
std::string_view long_name(std::string_view name) {
  if (name == "-j") return "--jobs";
  if (name == "-q") return "--quiet";
  return name;
}

Result<Invocation> parse_args(std::span<const std::string_view> args) {
  if (args.empty()) return usage_error("no command given");
  const auto command = command_of(args[0]);
  if (!command) return usage_error("unknown command " + quoted(args[0]));
  Invocation inv;
  inv.command = *command;
  if (inv.command == Command::kHelp || inv.command == Command::kVersion) {
    // "--help COMMAND" is that command's help.
    if (inv.command == Command::kHelp && args.size() == 2) {
      if (command_help(args[1])) {
        inv.help_for = std::string(args[1]);
        return inv;
      }
    }
    if (args.size() > 1) return usage_error("unexpected argument " + quoted(args[1]));
    return inv;
  }
  if (asks_for_help(args)) {
    inv.help_for = std::string(text_of(kCommandNames, inv.command));
    inv.command = Command::kHelp;
    return inv;
  }
  std::vector<std::string_view> files;
  std::vector<std::string_view> given;  // the long names of the options so far
  bool options_done = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const ArgWord word = classify_arg(arg, options_done);
    if (word.kind == ArgWord::Kind::kOperand) {
      files.push_back(arg);
      continue;
    }
    if (word.kind == ArgWord::Kind::kEndOfOptions) {
      options_done = true;
      continue;
    }
    std::string_view name = word.name;
    std::optional<std::string_view> value = word.value;
    if (!value && arg.starts_with("-j") && arg.size() > 2) {
      name = "-j";
      value = arg.substr(2);
    }
    const bool takes_value = name == "--since" || name == "--jobs" || name == "-j" ||
                             name == "--format" || name == "--from" || name == "--to" ||
                             name == "--pub" || name == "--origin" || name == "--key";
    if (takes_value && !value) {
      if (i + 1 == args.size()) return usage_error("option " + quoted(name) + " needs a value");
      value = args[++i];
    }
    if (!takes_value && value) {
      return usage_error("option " + quoted(name) + " takes no value");
    }
    constexpr std::string_view kKnown[] = {"--json",  "--quiet",  "-q",     "--since", "--jobs",
                                           "-j",      "--live",   "--strict", "--format", "--from",
                                           "--to",    "--pub",    "--origin", "--key"};
    if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) {
      return usage_error("unknown option " + quoted(name));
    }
    if (!applies(name, inv.command)) {
      return usage_error("option " + quoted(name) + " does not apply to " +
                         quoted(text_of(kCommandNames, inv.command)));
    }
    if (std::find(given.begin(), given.end(), long_name(name)) != given.end()) {
      return usage_error("option " + quoted(long_name(name)) + " is given twice");
    }
    given.push_back(long_name(name));
    if (name == "--json") {
      inv.json = true;
    } else if (name == "--quiet" || name == "-q") {
      inv.quiet = true;
    } else if (name == "--strict") {
      inv.strict = true;
    } else if (name == "--origin" || name == "--key") {
      if (name == "--origin" && (!is_origin(*value) || value->starts_with(kCheckpointTag))) {
        return usage_error("--origin takes a non-empty line of UTF-8 text without control characters");
      }
      (name == "--origin" ? inv.origin : inv.key) = std::string(*value);
    } else if (name == "--format") {
      const auto* format =
          std::find(kExportFormatNames.begin(), kExportFormatNames.end(), *value);
      if (format == kExportFormatNames.end()) {
        return usage_error("--format takes jsonl or csv, not " + quoted(*value));
      }
      inv.format = static_cast<ExportFormat>(format - kExportFormatNames.begin());
    } else if (name == "--from" || name == "--to") {
      const auto line = parse_line_number(*value);
      if (!line) {
        return usage_error(std::string(name) + " takes a line number (a whole number from 1), not " +
                           quoted(*value));
      }
      (name == "--from" ? inv.from : inv.to) = *line;
    } else {
      if (name == "--live") {
        inv.live = true;
      } else if (name == "--since") {
        inv.since = std::string(*value);
      } else if (name == "--pub") {
        inv.pub = std::string(*value);
      } else {
        const auto jobs = parse_jobs(*value);
        if (!jobs) {
          return usage_error("--jobs takes a whole number from 1 to " + std::to_string(kMaxJobs) +
                             ", not " + quoted(*value));
        }
        inv.jobs = *jobs;
      }
    }
  }
  if (inv.json && inv.quiet) return usage_error("--json and --quiet exclude each other");
  if (inv.from > inv.to) {
    return usage_error("--from " + std::to_string(inv.from) + " is after --to " +
                       std::to_string(inv.to));
  }
  if (inv.pub && !inv.since) return usage_error("--pub checks the signature of a --since checkpoint");
  if (inv.command == Command::kVerify && files.size() > 1 && inv.since) {
    // A checkpoint is of one ledger.
    return usage_error("--since takes one FILE, found " + std::to_string(files.size()));
  }
  if (files.empty() || (files.size() > 1 && inv.command != Command::kVerify)) {
    return usage_error("expected one FILE, found " + std::to_string(files.size()));
  }
  inv.files.assign(files.begin(), files.end());
  inv.file = inv.files[0];
  return inv;
}

// Prints nothing under --quiet.
class Printer {
 public:
  Printer(const Io& io, bool quiet) : io_(io), quiet_(quiet) {}

  void out(std::string_view text) const {
    if (!quiet_) std::fwrite(text.data(), 1, text.size(), io_.out);
  }
  void err(std::string_view text) const {
    if (!quiet_)
      std::fprintf(io_.err, "%s: %.*s\n", kProgram.data(), static_cast<int>(text.size()),
                   text.data());
  }

 private:
  const Io& io_;
  bool quiet_;
};

// Reads the checkpoint at `path` ("-": standard input). A failure of kind kIo
// means it could not be read; kInvalidArgument, that it is not a checkpoint.
Result<Checkpoint> load_checkpoint(std::string_view path) { return load_any_checkpoint(path); }

// One command on its way. It outlives an exception thrown while it runs, so
// that run() can report an exception during the audit as the audit's outcome.
class Session {
 public:
  Session(const Invocation& inv, const Io& io) : inv_(inv), io_(io), print_(io, inv.quiet) {}

  int run();

  // True from the start of the audit until its result is in.
  bool auditing() const { return auditing_; }

  // Reports the audit that a library exception ended: nothing proven.
  int report_fault(const std::exception& e);

 private:
  std::string_view command_name() const { return text_of(kCommandNames, inv_.command); }
  AuditOptions audit_options() const;
  int run_audit();
  int run_audits();
  int report_audit(std::string_view file, const Audit& audit) const;
  int run_head() const;
  int run_export();
  // An input other than the ledger that cannot be used: nothing proven.
  int report_input_error(std::string_view text) const;
  // Checks the --since checkpoint's signature by the --pub key: kExitIntact when valid.
  int check_signature() const;

  const Invocation& inv_;
  const Io& io_;
  const Printer print_;
  std::optional<Checkpoint> since_;  // the checkpoint the audit starts from
  std::optional<SignerKey> key_;     // checkpoint --key
  bool auditing_ = false;
};

int Session::run() {
  switch (inv_.command) {
    case Command::kHelp: {
      const std::string text =
          inv_.help_for ? *command_help(*inv_.help_for) : overview_help();
      std::fwrite(text.data(), 1, text.size(), io_.out);
      return kExitIntact;
    }
    case Command::kVersion:
      std::fprintf(io_.out, "%s\n", kVersionText.data());
      return kExitIntact;
    case Command::kHead:
      return run_head();
    case Command::kVerify:
      return inv_.files.size() > 1 ? run_audits() : run_audit();
    case Command::kCheckpoint:
      return run_audit();
    case Command::kExport:
      return run_export();
    case Command::kCount_:
      break;
  }
  return kExitError;
}

int Session::report_fault(const std::exception& e) {
  Audit audit;
  audit.outcome = Outcome::kError;
  audit.error = Failure::internal(std::string(fault_text(e)));
  audit.error_kind = ErrorKind::kInternal;
  return report_audit(inv_.file, audit);
}

int Session::report_audit(std::string_view file, const Audit& audit) const {
  const bool making = inv_.command == Command::kCheckpoint;
  const std::string_view command = command_name();
  switch (audit.outcome) {
    case Outcome::kIntact: {
      if (!making) {
        print_.out(inv_.json ? audit_json(command, file, audit, since_)
                             : audit_text(file, audit, since_));
        return kExitIntact;
      }
      Checkpoint made = checkpoint_of(audit.chain);
      auto tree_note = make_checkpoint_note(audit, made, inv_.origin, key_);
      if (!tree_note) {
        return report_input_error(display(inv_.file) + ": " + tree_note.error().message());
      }
      made.note = std::move(*tree_note);
      if (inv_.json) {
        print_.out(audit_json(command, file, audit, since_, made));
        return kExitIntact;
      }
      print_.out(made.note->text);
      if (const std::string note = checkpoint_note(file, audit, made); !note.empty()) {
        print_.err(note);
      }
      if (const std::string note = non_canonical_note(file, audit.chain); !note.empty()) {
        print_.err(note);
      }
      return kExitIntact;
    }
    case Outcome::kBroken: {
      if (inv_.json) {
        print_.out(audit_json(command, file, audit, since_));
      } else if (making) {
        // Standard output is the checkpoint; a broken ledger gets none.
        std::string text = audit_text(file, audit, since_);
        text.pop_back();
        print_.err(text);
      } else {
        print_.out(audit_text(file, audit, since_));
      }
      return kExitBroken;
    }
    case Outcome::kError:
      if (inv_.json) {
        print_.out(audit_json(command, file, audit, since_));
      } else {
        print_.err(audit_error_text(file, audit, since_));
      }
      return kExitError;
  }
  return kExitError;
}

AuditOptions Session::audit_options() const {
  AuditOptions options;
  options.walk.jobs = inv_.jobs;
  options.walk.strict = inv_.strict;
  options.live = inv_.live;
  return options;
}

int Session::run_audit() {
  AuditOptions options = audit_options();
  if (inv_.since) {
    auto cp = load_checkpoint(*inv_.since);
    if (!cp) {
      if (inv_.json) {
        print_.out(bad_checkpoint_json(command_name(), inv_.file, *inv_.since, cp.error()));
      } else {
        print_.err(bad_checkpoint_text(*inv_.since, cp.error()));
      }
      return kExitError;
    }
    since_ = std::move(*cp);
    options.since = since_;
    if (!since_->note) {
      if (inv_.command == Command::kCheckpoint) {
        return report_input_error(display(*inv_.since) +
                                  ": a checkpoint line of the earlier form cannot be extended; "
                                  "make a checkpoint without --since");
      }
      if (!inv_.json) print_.err(line_form_notice(*inv_.since));
    }
    if (inv_.pub) {
      if (const int status = check_signature(); status != kExitIntact) return status;
    }
  }
  options.tree = inv_.command == Command::kCheckpoint;
  if (inv_.key) {
    auto key = load_signer(*inv_.key);
    if (!key) return report_input_error(input_error_text("signer key", *inv_.key, key.error()));
    key_ = std::move(*key);
  }
  ProgressLine line(io_.err, io_.err_plain);
  if (io_.err_is_terminal && !inv_.quiet) {
    options.progress = [&line, label = progress_label(inv_.file)](
                           std::uint64_t walked, std::uint64_t total, bool done) {
      if (done) {
        line.clear();
      } else {
        line.draw(progress_text(label, walked, total));
      }
    };
  }
  auditing_ = true;
  const Audit audit = audit_ledger(inv_.file, options);
  auditing_ = false;
  return report_audit(inv_.file, audit);
}

// Several files: one report each, in the order given; the worst status.
int Session::run_audits() {
  ProgressLine line(io_.err, io_.err_plain);
  bool shown = false;
  std::function<void(std::size_t)> waiting;
  if (io_.err_is_terminal && !inv_.quiet) {
    waiting = [&](std::size_t done) {
      line.draw(files_progress_text(done, inv_.files.size()));
      shown = true;
    };
  }
  int status = kExitIntact;
  audit_ledgers(inv_.files, audit_options(), [&](std::size_t k, const Audit& audit) {
    if (shown) {
      line.clear();
      shown = false;
    }
    status = std::max(status, report_audit(inv_.files[k], audit));
  }, waiting);
  return status;
}

// Writes the entries that verify, from line inv_.from to inv_.to; stops at
// the first line that does not, with its report on standard error.
int Session::run_export() {
  AuditOptions options = audit_options();
  options.walk.last_line = inv_.to;
  // The header comes with the first record, or at the end of an export
  // without records; a file that cannot be read gets none.
  bool header_written = false;
  const auto write_header = [&] {
    const std::string_view header = export_header(inv_.format);
    if (!header_written && !header.empty()) std::fwrite(header.data(), 1, header.size(), io_.out);
    header_written = true;
  };
  std::string record;
  options.walk.on_entry = [&](std::uint64_t line, const EntryFields& entry, std::string_view) {
    if (line < inv_.from) return true;
    write_header();
    record.clear();
    append_export_record(record, inv_.format, line, entry);
    // A reader that went away ends the walk; main() reports the failed output.
    return std::fwrite(record.data(), 1, record.size(), io_.out) == record.size();
  };
  auditing_ = true;
  const Audit audit = audit_ledger(inv_.file, options);
  auditing_ = false;
  if (audit.outcome != Outcome::kError) write_header();
  switch (audit.outcome) {
    case Outcome::kIntact:
      if (audit.unfinished) print_.err(export_unfinished_note(inv_.file, *audit.unfinished));
      if (const std::string note = non_canonical_note(inv_.file, audit.chain); !note.empty()) {
        print_.err(note);
      }
      return kExitIntact;
    case Outcome::kBroken: {
      std::string text = audit_text(inv_.file, audit, std::nullopt);
      text.pop_back();
      print_.err(text);
      return kExitBroken;
    }
    case Outcome::kError:
      print_.err(audit_error_text(inv_.file, audit, std::nullopt));
      return kExitError;
  }
  return kExitError;
}

int Session::report_input_error(std::string_view text) const {
  if (inv_.json) {
    print_.out(input_error_json(command_name(), inv_.file, text));
  } else {
    print_.err(text);
  }
  return kExitError;
}

int Session::check_signature() const {
  auto key = load_verifier(*inv_.pub);
  if (!key) return report_input_error(input_error_text("verifier key", *inv_.pub, key.error()));
  const SignatureCheck check =
      since_->note ? check_note_signature(*since_->note, *key) : SignatureCheck::kMissing;
  if (check == SignatureCheck::kValid) return kExitIntact;
  const bool missing = check == SignatureCheck::kMissing;
  const std::string name = format_verifier(*key);
  print_.out(inv_.json ? signature_json(command_name(), inv_.file, *inv_.since, name, missing)
                       : signature_text(*inv_.since, name, missing));
  return kExitBroken;
}

int Session::run_head() const {
  const auto report_error = [this](ErrorKind kind, const Failure& failure) {
    if (inv_.json) {
      print_.out(head_error_json(command_name(), inv_.file, kind, failure));
    } else {
      print_.err(head_error_text(inv_.file, kind, failure));
    }
    return kExitError;
  };
  // The recorder would start a fresh chain on a file it cannot open; the
  // auditor is told why instead.
  if (auto file = platform::open_regular_for_read(inv_.file); !file) {
    return report_error(ErrorKind::kCannotOpen, file.error());
  }
  const auto head = load_chain_head(inv_.file);
  if (!head) return report_error(ErrorKind::kCannotRead, head.error());
  print_.out(inv_.json ? head_json(command_name(), inv_.file, *head) : head_text(inv_.file, *head));
  return kExitIntact;
}

}  // namespace

bool asks_for_help(std::span<const std::string_view> args) {
  for (std::size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "--help" || args[i] == "-h") return true;
  }
  return false;
}

ArgWord classify_arg(std::string_view arg, bool options_done) {
  if (options_done || arg == "-" || !arg.starts_with('-')) return {ArgWord::Kind::kOperand, {}, {}};
  if (arg == "--") return {ArgWord::Kind::kEndOfOptions, {}, {}};
  if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
    return {ArgWord::Kind::kOption, arg.substr(0, eq), arg.substr(eq + 1)};
  }
  return {ArgWord::Kind::kOption, arg, std::nullopt};
}

// The one place that catches exceptions, all of them the library's own (out of
// memory, a thread that could not be started); failures are values.
int run(std::span<const std::string_view> args, const Io& io) {
  try {
    if (const auto status = run_tlog_command(args, io)) return *status;
    const auto inv = parse_args(args);
    if (!inv) {
      std::fprintf(io.err, "%s: %s\n", kProgram.data(), usage_error_text(inv.error()).c_str());
      return kExitError;
    }
    Session session(*inv, io);
    try {
      return session.run();
    } catch (const std::exception& e) {
      // During the audit an exception is its outcome, reported as the command
      // asked (text or JSON, or nothing under --quiet); elsewhere it ends the
      // command with the bare message below.
      if (!session.auditing()) throw;
      return session.report_fault(e);
    }
  } catch (const std::bad_alloc& e) {
    std::fprintf(io.err, "%s: %s: %s\n", kProgram.data(), kInternalError.data(), fault_text(e));
  } catch (const std::system_error& e) {
    std::fprintf(io.err, "%s: %s: %s\n", kProgram.data(), kInternalError.data(), fault_text(e));
  }
  return kExitError;
}

}  // namespace ledger::cli
