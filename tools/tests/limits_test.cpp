// The tool under resource limits: faults on worker threads become failure
// values, a thread that cannot be started leaves its work to the others, and
// the built program ends with an exit status, never by a signal.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "audit/parallel.h"
#include "support.h"
#include "tlog/merkle.h"

#if defined(__SANITIZE_ADDRESS__)
#define LEDGER_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LEDGER_UNDER_ASAN 1
#endif
#endif

#ifndef LEDGER_UNDER_ASAN
namespace {
// While set, every allocation on this thread fails, as it does when memory has
// run out. (ASan keeps its own allocator: these tests are left out there.)
thread_local bool refuse_allocations = false;
}  // namespace

void* operator new(std::size_t size) {
  if (refuse_allocations) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// The pair of the operator new above, which takes its memory from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop
#endif

namespace ledger::cli {
namespace {

using namespace audit;  // the names under test
using namespace tlog;  // the names under test

struct NotAnException {};

TEST(FaultTest, AnExceptionBecomesTheInternalFault) {
  const auto fault_of = [](const auto& thrown) {
    return contained([&] { throw thrown; }).error();
  };
  const struct {
    Failure fault;
    std::string message;
  } cases[] = {
      {fault_of(std::bad_alloc()), "out of memory"},
      {fault_of(std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                  "cannot start a thread")),
       "cannot start a thread: Resource temporarily unavailable"},
      {fault_of(HashingFault()), "the cryptographic library could not hash"},
      {fault_of(NotAnException()), "an unknown exception"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.fault.kind(), FailureKind::kInternal) << c.message;
    EXPECT_EQ(c.fault.message(), c.message);
  }
  EXPECT_TRUE(contained([] {}).has_value());
}

#ifndef LEDGER_UNDER_ASAN
// Runs `body` with every allocation on this thread refused.
template <typename Body>
void without_memory(const Body& body) {
  struct Refusal {
    Refusal() { refuse_allocations = true; }
    ~Refusal() { refuse_allocations = false; }
  } refusal;
  body();
}

TEST(FaultTest, OutOfMemoryIsReportedWithoutAllocating) {
  const std::runtime_error long_message(std::string(100, 'x'));
  Result<void> no_memory;
  Result<void> no_copy;
  without_memory([&] {
    no_memory = contained([] { throw std::bad_alloc(); });
    // A message that cannot be copied for want of memory is out of memory too.
    no_copy = contained([&] { throw long_message; });
  });
  ASSERT_FALSE(no_memory.has_value());
  EXPECT_EQ(no_memory.error().kind(), FailureKind::kInternal);
  EXPECT_EQ(no_memory.error().message(), "out of memory");
  ASSERT_FALSE(no_copy.has_value());
  EXPECT_EQ(no_copy.error().message(), "out of memory");
}

TEST(FaultTest, TasksRunOnThisThreadWhenNoThreadCanBeStarted) {
  // Starting a thread allocates: refused here, every task runs on this thread.
  std::array<std::thread::id, 64> ran_on{};
  Result<void> ran;
  without_memory([&] {
    ran = run_tasks(ran_on.size(), 8, [&](std::size_t k) { ran_on[k] = std::this_thread::get_id(); });
  });
  EXPECT_TRUE(ran.has_value());
  for (const std::thread::id id : ran_on) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(FaultTest, ATaskThatRunsOutOfMemoryFailsTheRunAndTheOthersStillRun) {
  std::array<bool, 64> done{};
  std::array<std::string, 64> kept;
  const Result<void> ran = run_tasks(done.size(), 4, [&](std::size_t k) {
    if (k == 5) without_memory([&] { kept[k] = std::string(100, 'x'); });
    done[k] = true;
  });
  ASSERT_FALSE(ran.has_value());
  EXPECT_EQ(ran.error().message(), "out of memory");
  for (std::size_t k = 0; k < done.size(); ++k) EXPECT_EQ(done[k], k != 5) << k;
}
#endif

// The built program in a child process under `limit` (in the units of
// setrlimit) on `resource`, standard output and error going to files.
struct Exit {
  bool signalled = false;
  int status = -1;  // when not signalled
};
Exit run_limited(int resource, rlim_t limit, const std::vector<std::string>& args,
                 const std::string& out_path, const std::string& err_path) {
  std::vector<char*> argv;
  std::string program = QUORVEL_LEDGER_BINARY;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (auto& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit bound{limit, limit};
    if (std::freopen(out_path.c_str(), "w", stdout) == nullptr ||
        std::freopen(err_path.c_str(), "w", stderr) == nullptr || setrlimit(resource, &bound) != 0) {
      _exit(126);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return {true, WTERMSIG(status)};
  return {false, WEXITSTATUS(status)};
}

class LimitTest : public testing::ScratchTest {};

TEST_F(LimitTest, ManyFilesUnderAMemoryLimitEndWithAStatus) {
#ifdef LEDGER_UNDER_ASAN
  GTEST_SKIP() << "ASan reserves far more address space than these limits";
#else
  const std::string ledger = testing::join(testing::chain_lines(20));
  std::vector<std::string> args = {"verify", "-q", "-j16"};
  for (int k = 0; k < 100; ++k) args.push_back(write(std::to_string(k) + ".jsonl", ledger));
  for (const rlim_t kilobytes : {40000u, 60000u, 80000u, 100000u, 120000u}) {
    for (int round = 0; round < 3; ++round) {
      const Exit exit = run_limited(RLIMIT_AS, kilobytes * 1024, args, path("out"), path("err"));
      EXPECT_FALSE(exit.signalled) << kilobytes << " KB: signal " << exit.status;
      if (!exit.signalled) {
        EXPECT_LE(exit.status, 2) << kilobytes << " KB";
      }
    }
  }
#endif
}

TEST_F(LimitTest, ExportPastTheFileSizeLimitSaysItsOutputWasNotWritten) {
  const std::string ledger = write("big.jsonl", testing::join(testing::chain_lines(50)));
  const Exit exit = run_limited(RLIMIT_FSIZE, 1024, {"export", ledger}, path("out"), path("err"));
  ASSERT_FALSE(exit.signalled) << "signal " << exit.status;
  EXPECT_EQ(exit.status, 2);
  EXPECT_EQ(testing::read_file(path("err")), "quorvel-ledger: cannot write the output: File too large\n");
}

}  // namespace
}  // namespace ledger::cli
