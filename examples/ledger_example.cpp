// Commits three entries to a ledger in a fresh temporary directory, verifies
// the chain, then alters one byte of a copy and verifies that copy.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ledger/open.h"
#include "ledger/recorder.h"
#include "ledger/verify.h"

namespace fs = std::filesystem;

int main() {
  std::string dir_template = (fs::temp_directory_path() / "ledger-example-XXXXXX").string();
  if (mkdtemp(dir_template.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = dir_template;
  const std::string path = (dir / "ledger.jsonl").string();

  ledger::Recorder recorder(ledger::open_recorder(path));
  const struct {
    const char* actor;
    double delta;
    const char* payload;
  } entries[] = {{"alice", 1.5, "opening balance"}, {"bob", -0.25, "fee"}, {"carol", 1e-7, "interest"}};
  for (const auto& e : entries) {
    auto signature = recorder.commit_truth(e.actor, e.delta, e.payload);
    if (!signature) {
      std::fprintf(stderr, "commit failed: %s\n", signature.error().message().c_str());
      return 1;
    }
    std::printf("committed %-6s -> %s\n", e.actor, signature->c_str());
  }

  std::ifstream in(path, std::ios::binary);
  const std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::printf("\n%s\n", contents.c_str());

  auto intact = recorder.verify_integrity();
  std::printf("verify original: %s\n", intact && *intact ? "intact" : "BROKEN");

  std::string altered = contents;
  altered[altered.find("fee")] = 'F';  // one byte of the second entry's payload
  const std::string copy = (dir / "altered.jsonl").string();
  std::ofstream(copy, std::ios::binary) << altered;
  auto tampered = ledger::verify_ledger_file(copy);
  std::printf("verify altered copy: %s\n", tampered && *tampered ? "intact" : "BROKEN");

  fs::remove_all(dir);
  return intact && *intact && tampered && !*tampered ? 0 : 1;
}
