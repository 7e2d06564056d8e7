# ledger_warnings: the warning flags of every target of ours, warnings as errors.
# Included by the project's own build and by the fuzz build (fuzz/), so both
# compile the core with the same flags; a target takes them by linking it.
add_library(ledger_warnings INTERFACE)
target_compile_options(ledger_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror)
