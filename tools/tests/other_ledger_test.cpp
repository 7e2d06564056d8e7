// A checkpoint of another ledger: the audit says so in its failure and keeps
// this file's first signature apart, for the reports.
#include <gtest/gtest.h>

#include <string>

#include "audit/audit.h"
#include "support.h"

namespace ledger::audit {
namespace {

using cli::testing::Lines;
using cli::testing::ScratchTest;
using cli::testing::chain_lines;
using cli::testing::join;
using cli::testing::signature_of;

class OtherLedgerTest : public ScratchTest {};

// A line checkpoint whose first entry is not the file's: nothing is proven,
// and the failure names both signatures.
TEST_F(OtherLedgerTest, FailureSaysWhatHappened) {
  const Lines mine = chain_lines(3, GENESIS_BLOCK_HASH, 0, "alice");
  const Lines other = chain_lines(3, GENESIS_BLOCK_HASH, 0, "bob");
  const std::string checkpoint_file = write("mine.jsonl", join(mine));
  const Audit made = audit_ledger(checkpoint_file, {});
  ASSERT_EQ(made.outcome, Outcome::kIntact);
  const Checkpoint checkpoint = checkpoint_of(made.chain);

  AuditOptions options;
  options.since = checkpoint;
  const Audit audit = audit_ledger(write("other.jsonl", join(other)), options);
  ASSERT_EQ(audit.outcome, Outcome::kError);
  EXPECT_EQ(audit.error_kind, ErrorKind::kOtherLedger);
  EXPECT_EQ(audit.other_first, signature_of(other[0]));
  EXPECT_EQ(audit.error->kind(), FailureKind::kInvalidArgument);
  EXPECT_EQ(audit.error->message(), "the checkpoint is of another ledger: its first entry has signature " +
                                        signature_of(mine[0]) + ", this file's first entry " +
                                        signature_of(other[0]));
}

}  // namespace
}  // namespace ledger::audit
