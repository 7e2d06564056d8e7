// Times quorvel-ledger's verify against the core's verify_ledger_file on a
// generated ledger, side by side: each round runs the core in this process,
// then the tool with one job and with two jobs as child processes, and the
// medians of the per-round ratios are reported with the tool's peak memory.
//
// Each round also runs two of the core's walks at once on two threads: twice
// the work, timed against one walk, gives the most that two threads can gain on
// this machine at that moment (close to 2 on two idle cores, less when the
// cores are shared), against which the tool's two-job ratio can be judged.
//
//   ledger_cli_bench [--entries N] [--rounds R] [--ledger PATH]
//
// Without --ledger a ledger of N entries (default 1,000,000) is generated in a
// temporary file and removed at the end; with it, the existing ledger at PATH
// is timed (it must be intact). The ledger is read once before timing, so that
// every run reads it from the cache.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ledger/digest.h"
#include "ledger/entry.h"
#include "ledger/verify.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::size_t entries = 1'000'000;
  int rounds = 5;
  std::string ledger;  // an existing ledger to time; empty: generate one
};

bool write_ledger(const std::string& path, std::size_t entries) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ledger::EntryHasher hasher;
  std::string prev(ledger::GENESIS_BLOCK_HASH);
  std::string line;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::string timestamp =
        ledger::format_ledger_timestamp(1798000000 + static_cast<std::int64_t>(i / 10), 123400);
    const std::string actor = "actor-" + std::to_string(i % 97);
    const double delta = static_cast<double>(i % 1000) * 0.25 - 17.5;
    const std::string payload = "transfer " + std::to_string(i) + " settled against invoice INV-" +
                                std::to_string(i * 7919 % 1000003) + " for the quarterly audit";
    auto digest = hasher.digest(prev, timestamp, actor, delta, payload);
    if (!digest) return false;
    const std::string signature(digest->data(), digest->size());
    line.clear();
    ledger::append_entry_json(line, {i, timestamp, prev, actor, delta, payload, signature});
    line += '\n';
    out << line;
    prev = signature;
  }
  return static_cast<bool>(out);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpu_seconds(const struct rusage& usage) {
  const auto seconds = [](const struct timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Processor time used by the calling thread so far.
double thread_cpu_seconds() {
  struct rusage usage {};
  getrusage(RUSAGE_THREAD, &usage);
  return cpu_seconds(usage);
}

// Runs the tool; returns seconds, and its processor time and peak resident set in KiB.
double run_tool(const std::string& file, const char* jobs, double& cpu, long& max_rss_kib) {
  const char* argv[] = {LEDGER_CLI_PATH, "verify", "--quiet", "--jobs", jobs,
                        file.c_str(),    nullptr};
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, LEDGER_CLI_PATH, nullptr, nullptr, const_cast<char**>(argv), environ) !=
      0) {
    std::perror("posix_spawn");
    std::exit(2);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  const double elapsed = seconds_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the tool did not find the ledger intact (status %d)\n", status);
    std::exit(2);
  }
  max_rss_kib = std::max(max_rss_kib, usage.ru_maxrss);
  cpu = cpu_seconds(usage);
  return elapsed;
}

// Seconds for two of the core's walks over `file` at once, on two threads.
double run_core_pair(const std::string& file) {
  const auto start = Clock::now();
  std::thread other([&] { (void)ledger::verify_ledger_file(file); });
  (void)ledger::verify_ledger_file(file);
  other.join();
  return seconds_since(start);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--entries") {
      options.entries = std::stoul(argv[i + 1]);
    } else if (name == "--rounds") {
      options.rounds = std::stoi(argv[i + 1]);
    } else if (name == "--ledger") {
      options.ledger = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--entries N] [--rounds R] [--ledger PATH]\n", argv[0]);
      std::exit(2);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  const bool temporary = options.ledger.empty();
  const std::string file = temporary ? (std::filesystem::temp_directory_path() /
                                        ("ledger-cli-bench-" + std::to_string(getpid()) + ".jsonl"))
                                           .string()
                                     : options.ledger;
  if (temporary && !write_ledger(file, options.entries)) {
    std::fprintf(stderr, "cannot write %s\n", file.c_str());
    return 2;
  }
  const auto bytes = static_cast<double>(std::filesystem::file_size(file));
  {
    std::ifstream warm(file, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    while (warm.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
    }
  }

  std::vector<double> core_s, one_s, two_s, one_vs_core, two_vs_core, two_vs_one, ceiling;
  std::vector<double> cpu_one_vs_core, cpu_two_vs_one;
  long rss_kib = 0;
  for (int round = 0; round < options.rounds; ++round) {
    const double cpu_before = thread_cpu_seconds();
    const auto start = Clock::now();
    auto verdict = ledger::verify_ledger_file(file);
    const double core = seconds_since(start);
    const double core_cpu = thread_cpu_seconds() - cpu_before;
    if (!verdict || !*verdict) {
      std::fprintf(stderr, "the core did not find the ledger intact\n");
      return 2;
    }
    double one_cpu = 0;
    double two_cpu = 0;
    const double one = run_tool(file, "1", one_cpu, rss_kib);
    const double two = run_tool(file, "2", two_cpu, rss_kib);
    const double pair = run_core_pair(file);
    core_s.push_back(core);
    one_s.push_back(one);
    two_s.push_back(two);
    one_vs_core.push_back(core / one);
    two_vs_core.push_back(core / two);
    two_vs_one.push_back(one / two);
    ceiling.push_back(2 * core / pair);
    cpu_one_vs_core.push_back(core_cpu / one_cpu);
    cpu_two_vs_one.push_back(one_cpu / two_cpu);
    std::printf(
        "round %d: core %.3f s, tool 1 job %.3f s, tool 2 jobs %.3f s, two core walks at once %.3f "
        "s\n",
        round + 1, core, one, two, pair);
  }
  const double mib = bytes / (1 << 20);
  std::printf("ledger: %s, %.1f MiB\n", file.c_str(), mib);
  std::printf("median throughput: core %.0f MiB/s, tool 1 job %.0f MiB/s, tool 2 jobs %.0f MiB/s\n",
              mib / median(core_s), mib / median(one_s), mib / median(two_s));
  std::printf(
      "median speed ratio: tool 1 job / core %.2fx, tool 2 jobs / core %.2fx, "
      "tool 2 jobs / tool 1 job %.2fx\n",
      median(one_vs_core), median(two_vs_core), median(two_vs_one));
  std::printf(
      "median processor time ratio: core / tool 1 job %.2fx, tool 1 job / tool 2 jobs %.2fx\n",
      median(cpu_one_vs_core), median(cpu_two_vs_one));
  std::printf("two-thread ceiling of this machine (2 x core / two core walks at once): %.2fx\n",
              median(ceiling));
  std::printf("tool peak resident memory: %ld KiB\n", rss_kib);
  if (temporary) std::filesystem::remove(file);
  return 0;
}
