// What every command prints through: reports on standard output, errors and
// notes on standard error after the program's name, nothing under --quiet.
#pragma once

#include <cstdio>
#include <string_view>

#include "cli/command.h"
#include "cli/report.h"

namespace ledger::cli {

class Printer {
 public:
  Printer(const Io& io, bool quiet) : io_(io), quiet_(quiet) {}

  const Io& io() const { return io_; }
  bool quiet() const { return quiet_; }

  void out(std::string_view text) const {
    if (!quiet_) std::fwrite(text.data(), 1, text.size(), io_.out);
  }
  // "quorvel-ledger: TEXT" and a line feed.
  void err(std::string_view text) const {
    if (!quiet_) {
      std::fprintf(io_.err, "%s: %.*s\n", kProgram.data(), static_cast<int>(text.size()),
                   text.data());
    }
  }
  // An input that cannot be used: nothing proven.
  int error(std::string_view text) const {
    err(text);
    return kExitError;
  }

 private:
  const Io& io_;
  bool quiet_;
};

}  // namespace ledger::cli
