#include "cli/tlog_command.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <vector>

#include "audit/file_proof.h"
#include "cli/help.h"
#include "cli/report.h"
#include "ledger/platform.h"
#include "tlog/encoding.h"
#include "tlog/json.h"
#include "tlog/merkle.h"
#include "tlog/proof.h"

namespace ledger::cli {

using audit::Audit;
using audit::Checkpoint;
using audit::parse_any_checkpoint;
using audit::ProofRequest;
using audit::prove_from_file;
using tlog::ConsistencyProof;
using tlog::Hash;
using tlog::InclusionProof;
using tlog::JsonWriter;
using tlog::kMaxKeyText;
using tlog::SignatureCheck;
using tlog::SignerKey;
using tlog::TreeNote;
using tlog::VerifierKey;
using tlog::check_consistency;
using tlog::check_inclusion;
using tlog::check_note_signature;
using tlog::consistency_proof;
using tlog::default_origin;
using tlog::display;
using tlog::format_note_body;
using tlog::format_proof;
using tlog::format_signer;
using tlog::format_verifier;
using tlog::generate_signer;
using tlog::inclusion_proof;
using tlog::kHeadExtension;
using tlog::kMaxNoteLength;
using tlog::kMaxProofLength;
using tlog::leaf_hash;
using tlog::parse_note;
using tlog::parse_proof;
using tlog::parse_signer;
using tlog::parse_verifier;
using tlog::sign_note;
using tlog::tree_root;
using tlog::verifier_of;

namespace {

enum class Kind { kKeygen, kProve, kCheckProof };

struct Args {
  Kind kind;
  std::map<std::string, std::string, std::less<>> options;
  std::vector<std::string> positional;
};

// A word of the command line in a message: quoted, and escaped when not plain.
std::string shown(std::string_view text) {
  const std::string plain = display(text);
  return plain == text ? "'" + plain + "'" : plain;
}

std::unexpected<Failure> usage(std::string problem) {
  return fail(Failure::invalid_argument(std::move(problem)));
}

Result<Args> parse(Kind kind, std::span<const std::string_view> args,
                   std::span<const std::string_view> known) {
  Args out{kind, {}, {}};
  bool options_done = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const ArgWord word = classify_arg(arg, options_done);
    if (word.kind == ArgWord::Kind::kOperand) {
      out.positional.emplace_back(arg);
      continue;
    }
    if (word.kind == ArgWord::Kind::kEndOfOptions) {
      options_done = true;
      continue;
    }
    const std::string_view name = word.name;
    std::optional<std::string_view> value = word.value;
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      return usage("unknown option " + shown(name) + " for '" + std::string(args[0]) + "'");
    }
    if (!value) {
      if (i + 1 == args.size()) return usage("option " + shown(name) + " needs a value");
      value = args[++i];
    }
    if (!out.options.emplace(std::string(name), std::string(*value)).second) {
      return usage("option " + shown(name) + " is given twice");
    }
  }
  return out;
}

class Runner {
 public:
  explicit Runner(const Io& io) : io_(io) {}

  int error(std::string_view text) const {
    std::fprintf(io_.err, "%s: %.*s\n", kProgram.data(), static_cast<int>(text.size()), text.data());
    return kExitError;
  }
  int usage_error(const Failure& failure) const { return error(usage_error_text(failure)); }
  void out(std::string_view text) const { std::fwrite(text.data(), 1, text.size(), io_.out); }

  int keygen(const Args& a) const;
  int prove(const Args& a) const;
  int check_proof(const Args& a) const;

 private:
  Result<TreeNote> note_at(std::string_view path) const;
  const Io& io_;
};

const std::string* option(const Args& a, std::string_view name) {
  const auto it = a.options.find(name);
  return it == a.options.end() ? nullptr : &it->second;
}

Result<void> create_with(const std::string& path, std::string_view text, bool owner_only) {
  auto file = platform::create_new_file(path, owner_only);
  if (!file) return fail(std::move(file).error());
  std::size_t written = 0;
  if (auto done = platform::write_all(*file, text, written); !done) return done;
  return file->close();
}

int Runner::keygen(const Args& a) const {
  const std::string* name = option(a, "--name");
  const std::string* key_path = option(a, "--key");
  const std::string* pub_path = option(a, "--pub");
  if (!a.positional.empty()) return usage_error(Failure::invalid_argument("unexpected argument " + shown(a.positional[0])));
  if (name == nullptr || key_path == nullptr || pub_path == nullptr) {
    return usage_error(Failure::invalid_argument("keygen needs --name, --key and --pub"));
  }
  if (*key_path == *pub_path) {
    return usage_error(Failure::invalid_argument("--key and --pub name the same file"));
  }
  auto signer = generate_signer(*name);
  if (!signer) return error("cannot make a key: " + signer.error().message());
  const std::string verifier = format_verifier(verifier_of(*signer));
  if (auto done = create_with(*key_path, format_signer(*signer) + "\n", true); !done) {
    return error(display(*key_path) + ": cannot create the signer key: " + done.error().message());
  }
  if (auto done = create_with(*pub_path, verifier + "\n", false); !done) {
    std::error_code ignored;
    std::filesystem::remove(*key_path, ignored);  // a signer key without its verifier key is of no use
    return error(display(*pub_path) + ": cannot create the verifier key: " + done.error().message() +
                 " (nothing written)");
  }
  out(verifier + "\n");
  return kExitIntact;
}

Result<TreeNote> Runner::note_at(std::string_view path) const {
  auto cp = load_any_checkpoint(path);
  if (!cp) return fail(Failure::invalid_argument(input_error_text("checkpoint", path, cp.error())));
  if (!cp->note) {
    return fail(Failure::invalid_argument(
        display(path) + ": a checkpoint line of the earlier form has no tree; make a new checkpoint"));
  }
  return std::move(*cp->note);
}

std::optional<std::uint64_t> parse_index(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int Runner::prove(const Args& a) const {
  const std::string* entry = option(a, "--entry");
  const std::string* from = option(a, "--from");
  const std::string* checkpoint = option(a, "--checkpoint");
  if ((entry == nullptr) == (from == nullptr)) {
    return usage_error(Failure::invalid_argument("prove takes one of --entry N and --from OLD"));
  }
  if (checkpoint == nullptr) return usage_error(Failure::invalid_argument("prove needs --checkpoint"));
  if (a.positional.size() != 1) {
    return usage_error(Failure::invalid_argument("expected one FILE, found " + std::to_string(a.positional.size())));
  }
  std::optional<std::uint64_t> index;
  if (entry != nullptr) {
    index = parse_index(*entry);
    if (!index) return usage_error(Failure::invalid_argument("--entry takes a whole number, not " + shown(*entry)));
  }
  const std::string& path = a.positional[0];
  auto note = note_at(*checkpoint);
  if (!note) return error(note.error().message());
  std::optional<TreeNote> old;
  if (from != nullptr) {
    auto o = note_at(*from);
    if (!o) return error(o.error().message());
    if (o->origin != note->origin) {
      return error("the checkpoints have different origins: " + display(o->origin) + " and " + display(note->origin));
    }
    if (o->size > note->size) {
      return error("the --from checkpoint (size " + std::to_string(o->size) +
                   ") is not older than the --checkpoint one (size " + std::to_string(note->size) + ")");
    }
    old = std::move(*o);
  }
  if (index && *index >= note->size) {
    return error("entry " + std::to_string(*index) + " is not in the checkpoint's tree of size " +
                 std::to_string(note->size));
  }
  auto file = platform::open_regular_for_read(path);
  if (!file) return error(display(path) + ": cannot open: " + file.error().message());
  auto made = prove_from_file(*file, ProofRequest{note->size, index,
                                                   old ? std::optional(old->size) : std::nullopt});
  if (!made) return error(display(path) + ": cannot read: " + made.error().message());
  if (made->brk) {
    // The chain of the lines the proof is about does not hold: no proof of them.
    std::string text = break_summary(path, *made->brk);
    std::fprintf(io_.err, "%s: %s: no proof\n", kProgram.data(), text.c_str());
    return kExitBroken;
  }
  const auto refuse = [&](std::string_view which, const TreeNote& n) {
    std::fprintf(io_.err, "%s: %s: its first %s no longer give the %s root hash: no proof\n",
                 kProgram.data(), display(path).c_str(),
                 (std::to_string(n.size) + (n.size == 1 ? " entry line" : " entry lines")).c_str(),
                 std::string(which).c_str());
    return kExitBroken;
  };
  if (made->leaves < note->size || made->root != note->root) return refuse("checkpoint's", *note);
  if (old && made->old_root != old->root) return refuse("--from checkpoint's", *old);
  if (index) {
    out(format_proof(InclusionProof{*index, note->size, made->leaf, made->hashes, made->line}) + "\n");
  } else {
    out(format_proof(ConsistencyProof{old->size, note->size, made->hashes}) + "\n");
  }
  return kExitIntact;
}

int Runner::check_proof(const Args& a) const {
  const std::string* checkpoint = option(a, "--checkpoint");
  const std::string* from = option(a, "--from");
  const std::string* pub = option(a, "--pub");
  if (checkpoint == nullptr) return usage_error(Failure::invalid_argument("check-proof needs --checkpoint"));
  if (a.positional.size() != 1) {
    return usage_error(Failure::invalid_argument("expected one PROOF, found " + std::to_string(a.positional.size())));
  }
  const auto from_stdin = [](const std::string* p) { return p != nullptr && *p == "-"; };
  if (from_stdin(&a.positional[0]) + from_stdin(checkpoint) + from_stdin(from) + from_stdin(pub) > 1) {
    return usage_error(Failure::invalid_argument("only one input can be read from stdin"));
  }
  const std::string& proof_path = a.positional[0];
  auto text = platform::read_small_file(proof_path, kMaxProofLength);
  if (!text) return error(input_error_text("proof", proof_path, text.error()));
  if (text->size() > kMaxProofLength) {
    return error(display(proof_path) + ": malformed proof: longer than " + std::to_string(kMaxProofLength) + " bytes");
  }
  auto proof = parse_proof(*text);
  if (!proof) return error(input_error_text("proof", proof_path, proof.error()));
  auto note = note_at(*checkpoint);
  if (!note) return error(note.error().message());
  const bool consistency = std::holds_alternative<ConsistencyProof>(*proof);
  if (consistency && from == nullptr) return error("a consistency proof needs the older checkpoint: --from OLD");
  if (!consistency && from != nullptr) return error("--from applies to a consistency proof; this is an inclusion proof");
  std::optional<TreeNote> old;
  if (from != nullptr) {
    auto o = note_at(*from);
    if (!o) return error(o.error().message());
    old = std::move(*o);
  }
  const auto not_proven = [&](const std::string& why) {
    out("not proven: " + why + "\n");
    return kExitBroken;
  };
  if (pub != nullptr) {
    auto key = load_verifier(*pub);
    if (!key) return error(input_error_text("verifier key", *pub, key.error()));
    for (const auto& [path, n] : {std::pair{checkpoint, &*note}, std::pair{from, old ? &*old : nullptr}}) {
      if (n == nullptr) continue;
      const Result<SignatureCheck> check = check_note_signature(*n, *key);
      if (!check) return error(check.error().message());
      if (*check != SignatureCheck::kValid) {
        return not_proven(display(*path) + (*check == SignatureCheck::kMissing ? " holds no signature by " : " has an invalid signature by ") +
                          display(format_verifier(*key)));
      }
    }
  }
  const std::string origin = display(note->origin);
  if (const auto* p = std::get_if<InclusionProof>(&*proof)) {
    if (p->tree_size != note->size) {
      return not_proven("the proof is for a tree of size " + std::to_string(p->tree_size) +
                        ", the checkpoint's has size " + std::to_string(note->size));
    }
    if (p->line && leaf_hash(*p->line) != p->leaf_hash) {
      return not_proven("the proof's line does not hash to its leaf_hash");
    }
    if (!check_inclusion(p->index, p->tree_size, p->leaf_hash, p->hashes, note->root)) {
      return not_proven("the hashes do not lead from entry " + std::to_string(p->index) +
                        " to the checkpoint's root hash");
    }
    out("proven: entry " + std::to_string(p->index) + (p->line ? " (the proof's line)" : "") +
        " is in the tree of size " + std::to_string(note->size) + " of " + origin + "\n");
    return kExitIntact;
  }
  const auto& p = std::get<ConsistencyProof>(*proof);
  if (old->origin != note->origin) {
    return not_proven("the checkpoints have different origins: " + display(old->origin) + " and " + origin);
  }
  if (p.old_size != old->size || p.new_size != note->size) {
    return not_proven("the proof is from size " + std::to_string(p.old_size) + " to " +
                      std::to_string(p.new_size) + ", the checkpoints have sizes " +
                      std::to_string(old->size) + " and " + std::to_string(note->size));
  }
  if (!check_consistency(p.old_size, p.new_size, old->root, note->root, p.hashes)) {
    return not_proven("the hashes do not lead from the older root hash to the newer one");
  }
  out("proven: the tree of size " + std::to_string(note->size) + " of " + origin +
      " extends its tree of size " + std::to_string(old->size) + "\n");
  return kExitIntact;
}

Result<std::string> read_input(std::string_view path, std::size_t limit) {
  auto text = platform::read_small_file(path, limit);
  if (!text) return fail(std::move(text).error());
  if (text->size() > limit) {
    return fail(Failure::invalid_argument("longer than " + std::to_string(limit) + " bytes"));
  }
  return text;
}

}  // namespace

std::optional<int> run_tlog_command(std::span<const std::string_view> args, const Io& io) {
  if (args.empty()) return std::nullopt;
  Kind kind;
  static constexpr std::string_view kKeygenOptions[] = {"--name", "--key", "--pub"};
  static constexpr std::string_view kProveOptions[] = {"--entry", "--from", "--checkpoint"};
  static constexpr std::string_view kCheckOptions[] = {"--checkpoint", "--from", "--pub"};
  std::span<const std::string_view> known;
  if (args[0] == "keygen") {
    kind = Kind::kKeygen;
    known = kKeygenOptions;
  } else if (args[0] == "prove") {
    kind = Kind::kProve;
    known = kProveOptions;
  } else if (args[0] == "check-proof") {
    kind = Kind::kCheckProof;
    known = kCheckOptions;
  } else {
    return std::nullopt;
  }
  Runner runner(io);
  if (asks_for_help(args)) {
    runner.out(*command_help(args[0]));
    return kExitIntact;
  }
  auto parsed = parse(kind, args, known);
  if (!parsed) return runner.usage_error(parsed.error());
  switch (kind) {
    case Kind::kKeygen:
      return runner.keygen(*parsed);
    case Kind::kProve:
      return runner.prove(*parsed);
    case Kind::kCheckProof:
      return runner.check_proof(*parsed);
  }
  return kExitError;
}

Result<SignerKey> load_signer(std::string_view path) {
  auto text = read_input(path, kMaxKeyText);
  if (!text) return fail(std::move(text).error());
  return parse_signer(*text);
}

Result<VerifierKey> load_verifier(std::string_view path) {
  auto text = read_input(path, kMaxKeyText);
  if (!text) return fail(std::move(text).error());
  return parse_verifier(*text);
}

Result<Checkpoint> load_any_checkpoint(std::string_view path) {
  auto text = read_input(path, kMaxNoteLength);
  if (!text) return fail(std::move(text).error());
  return parse_any_checkpoint(*text);
}

std::string input_error_text(std::string_view what, std::string_view path, const Failure& failure) {
  return display(path) +
         (failure.kind() == FailureKind::kIo ? ": cannot read the " : ": malformed ") +
         std::string(what) + ": " + failure.message();
}

std::string input_error_json(std::string_view command, std::string_view file,
                             std::string_view message) {
  JsonWriter w;
  w.field("command", command)
      .field("file", file)
      .field("status", "error")
      .field("error", "bad-input")
      .field("message", message);
  return w.finish() + "\n";
}

Result<TreeNote> make_checkpoint_note(const Audit& audit, const Checkpoint& made,
                                      const std::optional<std::string>& origin,
                                      const std::optional<SignerKey>& key) {
  if (!audit.tree_root || audit.tree_size != made.entries) {
    return fail(Failure::internal("the tree walked does not cover the checkpoint's entries"));
  }
  if (!origin && made.first.empty()) {
    return fail(Failure::invalid_argument(
        "the ledger has no entry yet, so no default origin (it comes from the first entry); "
        "give --origin"));
  }
  const std::string body =
      format_note_body(origin ? *origin : default_origin(made.first), made.entries,
                       *audit.tree_root, {std::string(kHeadExtension) + made.head});
  std::string text = body;
  if (key) {
    auto signed_text = sign_note(body, *key);
    if (!signed_text) return fail(std::move(signed_text).error());
    text = std::move(*signed_text);
  }
  return parse_note(text);
}

}  // namespace ledger::cli
