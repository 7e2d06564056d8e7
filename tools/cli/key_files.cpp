#include "cli/key_files.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "ledger/platform.h"

namespace ledger::cli {
namespace {

Result<void> create_with(const std::string& path, std::string_view text, bool owner_only) {
  auto file = platform::create_new_file(path, owner_only);
  if (!file) return fail(std::move(file).error());
  std::size_t written = 0;
  if (auto done = platform::write_all(*file, text, written); !done) return done;
  return file->close();
}

}  // namespace

std::expected<void, KeyFileFailure> write_key_files(const tlog::SignerKey& key,
                                                    const std::string& key_path,
                                                    const std::string& pub_path) {
  if (auto done = create_with(key_path, tlog::format_signer(key) + "\n", true); !done) {
    return std::unexpected(KeyFileFailure{false, std::move(done).error()});
  }
  const std::string verifier = tlog::format_verifier(tlog::verifier_of(key)) + "\n";
  if (auto done = create_with(pub_path, verifier, false); !done) {
    std::error_code ignored;
    std::filesystem::remove(key_path, ignored);
    return std::unexpected(KeyFileFailure{true, std::move(done).error()});
  }
  return {};
}

}  // namespace ledger::cli
