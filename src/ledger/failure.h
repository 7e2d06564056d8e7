// Failure values of the ledger core.
//
// The core never throws on purpose and never talks to Python: every operation
// that can fail returns std::expected<T, Failure>. The Python layer is the one
// place that turns a Failure into an exception, by its kind.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace ledger {

enum class FailureKind {
  kIo,               // A file could not be opened, read or written; raised as IOError.
  kInternal,         // An unexpected fault that abandons the operation; poisons the lock.
  kInvalidArgument,  // An argument the ledger refuses before touching anything; ValueError.
};

class [[nodiscard]] Failure {
 public:
  static Failure io(std::string message) { return {FailureKind::kIo, std::move(message)}; }
  static Failure internal(std::string message) {
    return {FailureKind::kInternal, std::move(message)};
  }
  static Failure invalid_argument(std::string message) {
    return {FailureKind::kInvalidArgument, std::move(message)};
  }
  // The internal fault of an allocation that failed. Its text is short enough
  // for std::string's inline buffer, so that making (and copying) this failure
  // allocates nothing: it is safe to make where memory has run out.
  static Failure out_of_memory() noexcept { return {FailureKind::kInternal, kOutOfMemoryText}; }

  static constexpr std::string_view kOutOfMemoryText = "out of memory";

  FailureKind kind() const { return kind_; }
  const std::string& message() const { return message_; }

 private:
  Failure(FailureKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Failure(FailureKind kind, std::string_view inline_text) noexcept
      : kind_(kind), message_(inline_text) {}

  FailureKind kind_;
  std::string message_;
};

template <typename T>
using Result = std::expected<T, Failure>;

// Shorthand for returning a failure from a function whose result is Result<T>.
inline std::unexpected<Failure> fail(Failure failure) {
  return std::unexpected<Failure>(std::move(failure));
}

}  // namespace ledger
