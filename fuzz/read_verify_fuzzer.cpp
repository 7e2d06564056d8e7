// Fuzzes the line reader and the verification walk over arbitrary file bytes.
//
// The input becomes the whole ledger file. Properties:
//  - the reader delivers the file's lines in order, each starting where the
//    previous one's terminator ended; a line holds no line feed and is
//    followed in the file by "\n", "\r\n" or, for the last one only, nothing,
//    so lines and terminators put back together give the file again; a line
//    ends in a carriage return only when it is the unterminated last line or
//    the file has "\r\r\n" there;
//  - the first line (terminator included) that is not UTF-8 is a read failure
//    with the reader's message, after every line before it was delivered; end
//    of file stays end of file;
//  - the blank-line test and the UTF-8 checks (whole text and streamed in
//    chunks) agree with plain versions that decode every character;
//  - verify_ledger_file gives exactly the verdict or failure of a plain walk
//    over the lines split in memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "ledger/digest.h"
#include "ledger/entry.h"
#include "ledger/parser.h"
#include "ledger/reader.h"
#include "ledger/verify.h"

namespace ledger::fuzz {
namespace {

// One line of the file as split in memory.
struct Piece {
  std::size_t offset;       // where the line starts
  std::string_view bytes;   // the line with its line feed, if any
  std::string_view text;    // without "\n" or "\r\n"
};

std::vector<Piece> split_lines(std::string_view file) {
  std::vector<Piece> pieces;
  std::size_t at = 0;
  while (at < file.size()) {
    const std::size_t newline = file.find('\n', at);
    const std::size_t end = newline == std::string_view::npos ? file.size() : newline + 1;
    const std::string_view bytes = file.substr(at, end - at);
    std::string_view text = bytes;
    if (text.ends_with('\n')) {
      text.remove_suffix(1);
      if (text.ends_with('\r')) text.remove_suffix(1);
    }
    pieces.push_back({at, bytes, text});
    at = end;
  }
  return pieces;
}

// The terminator that follows a line of `length` bytes at `offset`.
std::string_view terminator_after(std::string_view file, std::size_t offset, std::size_t length) {
  const std::string_view rest = file.substr(offset + length);
  if (rest.starts_with("\r\n")) return rest.substr(0, 2);
  if (rest.starts_with('\n')) return rest.substr(0, 1);
  return {};
}

void check_reader(const std::string& path, std::string_view file,
                  const std::vector<Piece>& pieces) {
  auto reader = LedgerLineReader::open(path);
  FUZZ_CHECK(reader.has_value(), reader.error().message());
  std::size_t expected_offset = 0;
  for (const Piece& piece : pieces) {
    auto line = reader->next_line();
    if (!reference_is_utf8(piece.bytes)) {
      FUZZ_CHECK(!line.has_value(), "invalid line delivered: " + printable(piece.bytes));
      FUZZ_CHECK(line.error().kind() == FailureKind::kIo &&
                     line.error().message() == kInvalidUtf8,
                 line.error().message());
      return;
    }
    FUZZ_CHECK(line.has_value(), line.error().message() + " on " + printable(piece.bytes));
    FUZZ_CHECK(line->has_value(), "end of file before: " + printable(piece.bytes));
    const std::string_view text = **line;
    const std::uint64_t offset = reader->line_offset();
    FUZZ_CHECK(offset == expected_offset, printable(text));
    FUZZ_CHECK(text.find('\n') == std::string_view::npos, printable(text));
    FUZZ_CHECK(file.substr(expected_offset).starts_with(text), printable(text));
    const std::string_view terminator = terminator_after(file, expected_offset, text.size());
    const bool last = expected_offset + text.size() + terminator.size() == file.size();
    FUZZ_CHECK(!terminator.empty() || last, printable(text));
    FUZZ_CHECK(!text.ends_with('\r') || terminator.size() == 2 || (last && terminator.empty()),
               printable(text));
    FUZZ_CHECK(text == piece.text, printable(text) + " instead of " + printable(piece.text));
    FUZZ_CHECK(is_blank_line(text) == reference_is_blank(text), printable(text));
    expected_offset += text.size() + terminator.size();
  }
  FUZZ_CHECK(expected_offset == file.size(), "lines do not cover the file");
  for (int i = 0; i < 2; ++i) {
    auto end = reader->next_line();
    FUZZ_CHECK(end.has_value() && !end->has_value(), "no end of file after the last line");
  }
}

void check_utf8_validation(std::string_view file) {
  const bool valid = reference_is_utf8(file);
  FUZZ_CHECK(is_valid_utf8(file) == valid, "is_valid_utf8");
  // Chunks of one to four bytes (chosen by the input's size, so the corpus
  // covers them all) cut sequences at every position; the reader's buffer
  // size is the chunking that the reopen scan uses.
  for (std::size_t chunk : {1 + file.size() % 4, kReadBufferSize}) {
    Utf8StreamValidator stream;
    for (std::size_t at = 0; at < file.size(); at += chunk) stream.feed(file.substr(at, chunk));
    FUZZ_CHECK(stream.finish() == valid, "streamed in chunks of " + std::to_string(chunk));
  }
}

// The verdict by the plain definition, over the lines split in memory.
Result<bool> reference_verdict(const std::vector<Piece>& pieces) {
  std::string expected_link(GENESIS_BLOCK_HASH);
  for (const Piece& piece : pieces) {
    if (!reference_is_utf8(piece.bytes)) return fail(Failure::io(std::string(kInvalidUtf8)));
    if (reference_is_blank(piece.text)) continue;
    auto entry = parse_log_entry(piece.text);
    if (!entry || entry->prev_hash != expected_link) return false;
    // The timestamp form has a differential test of its own (entry_test).
    if (!is_writer_timestamp(entry->timestamp)) return false;
    // The digest through OpenSSL alone, whatever the core computes it with.
    const std::string digest = reference_entry_digest(entry->prev_hash, entry->timestamp,
                                                      entry->actor, entry->delta_i, entry->payload);
    if (digest != entry->signature) return false;
    expected_link = digest;
  }
  return true;
}

std::string show(const Result<bool>& verdict) {
  return verdict ? (*verdict ? "true" : "false") : "failure: " + verdict.error().message();
}

void check_verify(const std::string& path, const std::vector<Piece>& pieces) {
  const auto expected = reference_verdict(pieces);
  const auto verdict = verify_ledger_file(path);
  const auto detail = [&] {
    return "verify_ledger_file gave " + show(verdict) + ", expected " + show(expected);
  };
  FUZZ_CHECK(verdict.has_value() == expected.has_value(), detail());
  if (expected) {
    FUZZ_CHECK(*verdict == *expected, detail());
  } else {
    FUZZ_CHECK(verdict.error().kind() == expected.error().kind() &&
                   verdict.error().message() == expected.error().message(),
               detail());
  }
}

}  // namespace
}  // namespace ledger::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ledger::fuzz;
  static ScratchFile scratch;
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  scratch.write(file);
  const std::vector<Piece> pieces = split_lines(file);
  check_reader(scratch.path(), file, pieces);
  check_utf8_validation(file);
  check_verify(scratch.path(), pieces);
  return 0;
}
