// Times the core's verify and reopen on a file, without Python, for profiling.
//
//   core_ops verify PATH | core_ops reopen PATH | core_ops commit PATH COUNT
//   core_ops utf8 PATH    the whole-file UTF-8 pass that reopening makes first
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ledger/recorder.h"

#include "ledger/open.h"
#include "ledger/platform.h"
#include "ledger/reader.h"
#include "ledger/utf8.h"
#include "ledger/verify.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const auto start = std::chrono::steady_clock::now();
  int rc = 0;
  if (std::strcmp(argv[1], "commit") == 0 && argc > 3) {
    ledger::Recorder recorder(ledger::open_recorder(argv[2]));
    const long count = std::atol(argv[3]);
    for (long i = 0; i < count; ++i) {
      if (!recorder.commit("benchmark", static_cast<double>(i) * 0.25,
                                 "a payload of some sixty characters, like most that users write")) {
        rc = 1;
      }
    }
  } else if (std::strcmp(argv[1], "utf8") == 0) {
    // As reopening reads the file: in chunks of its size, checked as a stream.
    auto file = ledger::platform::open_regular_for_read(argv[2]);
    if (!file) return 1;
    ledger::ReadBuffer buffer(ledger::kReopenChunkSize);
    ledger::Utf8StreamValidator utf8;
    for (;;) {
      auto count = ledger::platform::read_some(*file, buffer.data(), ledger::kReopenChunkSize);
      if (!count || *count == 0) break;
      utf8.feed(std::string_view(buffer.data(), *count));
    }
    rc = utf8.finish() ? 0 : 1;
  } else if (std::strcmp(argv[1], "verify") == 0) {
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
