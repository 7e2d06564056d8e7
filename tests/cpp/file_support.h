// Test helpers without GoogleTest, shared by the core's tests, the tool's tests
// and the fuzz targets: whole files read and written, and the plain reference
// for the reopen scan.
#pragma once

#include <string>
#include <string_view>

#include "ledger/failure.h"
#include "ledger/open.h"

namespace ledger::testing {

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view contents);

// The chain head by the plain definition: read every line in order with the
// line reader, skip blank lines, keep the last one that parses. A read failure
// fails, unless it is the last line's and the file ends inside a character:
// that torn last line is skipped like any other torn line. The reference for
// the optimised reopen scan.
Result<ChainHead> forward_scan_chain_head(const std::string& path);

}  // namespace ledger::testing
