// keygen: a new Ed25519 key for signing checkpoint notes, in two new files.
#include <filesystem>
#include <system_error>

#include "cli/commands.h"
#include "cli/printer.h"
#include "ledger/platform.h"
#include "tlog/json.h"
#include "tlog/signing.h"

namespace ledger::cli {

using tlog::display;
using tlog::format_signer;
using tlog::format_verifier;
using tlog::generate_signer;
using tlog::verifier_of;
namespace {

Result<void> create_with(const std::string& path, std::string_view text, bool owner_only) {
  auto file = platform::create_new_file(path, owner_only);
  if (!file) return fail(std::move(file).error());
  std::size_t written = 0;
  if (auto done = platform::write_all(*file, text, written); !done) return done;
  return file->close();
}

}  // namespace

Result<void> check_keygen(const CommandLine& line) {
  if (!line.has("--name") || !line.has("--key") || !line.has("--pub")) {
    return usage_error("keygen needs --name, --key and --pub");
  }
  if (*line.text("--key") == *line.text("--pub")) {
    return usage_error("--key and --pub name the same file");
  }
  return {};
}

int run_keygen(const CommandLine& line, const Io& io) {
  const Printer print(io, false);
  const std::string key_path = *line.text("--key");
  const std::string pub_path = *line.text("--pub");
  auto signer = generate_signer(*line.text("--name"));
  if (!signer) return print.error("cannot make a key: " + signer.error().message());
  const std::string verifier = format_verifier(verifier_of(*signer));
  if (auto done = create_with(key_path, format_signer(*signer) + "\n", true); !done) {
    return print.error(display(key_path) + ": cannot create the signer key: " +
                       done.error().message());
  }
  if (auto done = create_with(pub_path, verifier + "\n", false); !done) {
    std::error_code ignored;
    std::filesystem::remove(key_path, ignored);  // a signer key without its verifier key is of no use
    return print.error(display(pub_path) + ": cannot create the verifier key: " +
                       done.error().message() + " (nothing written)");
  }
  print.out(verifier + "\n");
  return kExitIntact;
}

}  // namespace ledger::cli
