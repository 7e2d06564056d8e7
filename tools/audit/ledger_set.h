// Audits of several ledger files in one run (a fleet keeps one ledger per
// process; an auditor checks a directory of them at once).
//
// The files and the ranges of their walks share one set of workers: a worker
// takes the next range of the files already planned, and plans the next file
// when none is left, so a large file is split over every worker while small
// ones run side by side, and only about twice as many files as workers are
// open at once.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

#include "audit/audit.h"

namespace ledger::audit {

// Audits each of `paths` as audit_ledger does with `options` (its `since`,
// `progress` and `size_taken` unused), on options.walk.jobs workers. Calls
// `report(k, audit)` on this thread for each file in the order of `paths`,
// as soon as that file and those before it are done, and `waiting(done)`
// every options.progress_interval while it waits (when set). A library
// exception while auditing a file (out of memory) is that file's outcome, an
// internal fault.
void audit_ledgers(std::span<const std::string> paths, const AuditOptions& options,
                   const std::function<void(std::size_t k, Audit audit)>& report,
                   const std::function<void(std::size_t done)>& waiting = {});

}  // namespace ledger::audit
