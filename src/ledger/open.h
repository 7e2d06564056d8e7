// Opening a recorder on a ledger path: settle the path, recover the chain head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "ledger/failure.h"
#include "ledger/recorder.h"

namespace ledger {

struct ChainHead {
  std::string head;         // signature of the last entry that parses
  std::uint64_t count = 0;  // that entry's index plus one, wrapping at 2^64

  bool operator==(const ChainHead&) const = default;
};

// Reads the ledger at `path` and returns the head of its chain: the signature
// and index + 1 of the LAST line that parses as an entry, wherever it stands;
// (GENESIS_BLOCK_HASH, 0) when the file does not exist or no line parses.
// Links and signatures are not checked. Fails when the file exists but cannot
// be opened or read, or a line is not valid UTF-8.
//
// Takes time linear in the file's size, whatever its lines. `chunk_size` (at
// least 1) is the size of its reads from the end backwards; tests vary it so
// that lines straddle chunks.
//
// kReopenChunkSize is also the read size of the whole-file pass: larger than
// the line reader's, so that fewer system calls share its time.
inline constexpr std::size_t kReopenChunkSize = 64 * 1024;
Result<ChainHead> load_chain_head(std::string_view path, std::size_t chunk_size = kReopenChunkSize);

// Makes the state of a new recorder for `log_path`. Never fails: a path that
// fails validation is kept as given, and a ledger that cannot be read starts a
// fresh chain.
RecorderState open_recorder(std::string_view log_path);

}  // namespace ledger
