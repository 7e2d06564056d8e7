// keygen: a new Ed25519 key for signing checkpoint notes, in two new files.
#include "cli/commands.h"
#include "cli/key_files.h"
#include "cli/printer.h"
#include "tlog/json.h"
#include "tlog/signing.h"

namespace ledger::cli {

using tlog::display;
using tlog::format_verifier;
using tlog::generate_signer;
using tlog::verifier_of;

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
  if (auto done = write_key_files(*signer, key_path, pub_path); !done) {
    const KeyFileFailure& failure = done.error();
    if (!failure.verifier) {
      return print.error(display(key_path) + ": cannot create the signer key: " +
                         failure.failure.message());
    }
    return print.error(display(pub_path) + ": cannot create the verifier key: " +
                       failure.failure.message() + " (nothing written)");
  }
  print.out(verifier + "\n");
  return kExitIntact;
}

}  // namespace ledger::cli
