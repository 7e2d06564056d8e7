// The two files of a new key, as keygen writes them.
#pragma once

#include <expected>
#include <string>

#include "ledger/failure.h"
#include "tlog/signing.h"

namespace ledger::cli {

// Which file could not be written, and why (a failure of kind kIo).
struct KeyFileFailure {
  bool verifier = false;  // the verifier key's file; else the signer key's
  Failure failure;
};

// Writes the signer key `key` to a new file `key_path` (mode 0600) and its
// verifier key to a new file `pub_path` (mode 0644), less the umask, each
// followed by a line feed. Neither may exist: both are created exclusively,
// never written over. When the verifier key cannot be written, the signer key
// is removed again: a signer key without its verifier key is of no use.
std::expected<void, KeyFileFailure> write_key_files(const tlog::SignerKey& key,
                                                    const std::string& key_path,
                                                    const std::string& pub_path);

}  // namespace ledger::cli
