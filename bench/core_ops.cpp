// Times the core's verify and reopen on a file, without Python, for profiling.
//
//   core_ops verify PATH | core_ops reopen PATH
#include <chrono>
#include <cstdio>
#include <cstring>

#include "ledger/open.h"
#include "ledger/verify.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const auto start = std::chrono::steady_clock::now();
  int rc = 0;
  if (std::strcmp(argv[1], "verify") == 0) {
    auto verdict = ledger::verify_ledger_file(argv[2]);
    rc = verdict && *verdict ? 0 : 1;
  } else {
    auto head = ledger::load_chain_head(argv[2]);
    rc = head ? 0 : 1;
    if (head) std::fprintf(stderr, "%s %llu\n", head->head.c_str(), static_cast<unsigned long long>(head->count));
  }
  std::printf("%.9f\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return rc;
}
