// Where the lab's crash points are reached, fed the data module's hooks in
// the orders an export run produces them: which statements count as the
// first change of a transaction, and which transactions count at all.
#include <gtest/gtest.h>

#include <array>

#include "app/crash_watcher.h"

namespace {

using qel::agent::TransactionStep;
using qel::app::CrashPoint;

class Watcher {
  public:
    // Never reached: the plan asks for an arrival far away.
    qel::app::CrashWatcher w{{CrashPoint::AckBefore, 1'000'000}, [](CrashPoint, std::int64_t) {}};

    // One transaction of the given statements.
    void transaction(std::initializer_list<const char*> statements) {
        w.onTransaction(TransactionStep::BeforeBegin);
        for (const char* sql : statements) w.onStatement(sql, true);
        w.onTransaction(TransactionStep::BeforeCommit);
        w.onTransaction(TransactionStep::AfterCommit);
    }
    std::array<std::int64_t, 4> arrivals() const {
        return {w.arrivals(CrashPoint::AckBefore), w.arrivals(CrashPoint::AckDuring),
                w.arrivals(CrashPoint::AckAfter), w.arrivals(CrashPoint::Cleanup)};
    }
};

using Counts = std::array<std::int64_t, 4>;  // before, during, after, cleanup

TEST(CrashWatcher, EachKindOfChangeIsTheFirstChangeOfAnAcknowledgement) {
    for (const char* change :
         {"UPDATE VENDA SET X = 1", "  delete FROM MOVCAIXA", "INSERT INTO T"}) {
        Watcher a;
        a.w.onServerCall("getVerificaExportacao");
        a.transaction({"SELECT 1", change, "SELECT 2", "UPDATE T SET Y = 2"});
        EXPECT_EQ(a.arrivals(), (Counts{1, 1, 1, 0})) << change;
    }
    // A change as the last statement is reached at the commit; no change, never.
    Watcher last;
    last.w.onServerCall("getVerificaExportacao");
    last.transaction({"SELECT 1", "UPDATE VENDA SET X = 1"});
    last.transaction({"SELECT 1", "SELECT 2"});
    EXPECT_EQ(last.arrivals(), (Counts{2, 1, 2, 0}));
}

TEST(CrashWatcher, OnlyTheTransactionsOfTheAcknowledgementAndTheCleanupCount) {
    Watcher other;  // no verification and no cleanup asked for
    other.transaction({"INSERT INTO T", "SELECT 1"});
    other.w.onServerCall("setInsereServidor");
    other.transaction({"UPDATE T SET Y = 1", "SELECT 1"});
    EXPECT_EQ(other.arrivals(), (Counts{0, 0, 0, 0}));

    Watcher cleanup;  // only a deletion is the cleanup's first change
    cleanup.w.onServerCall("getLimpezaDiaria");
    cleanup.transaction({"UPDATE T SET Y = 1", "INSERT INTO T", "SELECT 1"});
    cleanup.w.onServerCall("getLimpezaMensal");
    cleanup.transaction({"DELETE FROM VENDA", "DELETE FROM ITEMVENDA"});
    EXPECT_EQ(cleanup.arrivals(), (Counts{0, 0, 0, 1}));

    // A statement outside a transaction ends the acknowledgements.
    Watcher ended;
    ended.w.onServerCall("getVerificaExportacao");
    ended.w.onStatement("SELECT 1", false);
    ended.transaction({"UPDATE T SET Y = 1", "SELECT 1"});
    EXPECT_EQ(ended.arrivals(), (Counts{0, 0, 0, 0}));
}

TEST(CrashWatcher, TheDuringPointComesRightAfterTheFirstChangeOfEachKind) {
    // The point is reached as the statement after the first change starts:
    // the change is on disk inside the open transaction, nothing else is.
    for (const char* change : {"UPDATE VENDA SET X = 1", "DELETE FROM MOVCAIXA", "INSERT INTO T"}) {
        int fed = 0;
        int reachedAfter = -1;
        qel::app::CrashWatcher w{{CrashPoint::AckDuring, 1},
                                 [&](CrashPoint, std::int64_t) { reachedAfter = fed; }};
        w.onServerCall("getVerificaExportacao");
        w.onTransaction(TransactionStep::BeforeBegin);
        for (const char* sql : {"SELECT 1", change, "SELECT 2", "SELECT 3"}) {
            w.onStatement(sql, true);
            ++fed;
        }
        w.onTransaction(TransactionStep::BeforeCommit);
        EXPECT_EQ(reachedAfter, 2) << change;
    }
}

}  // namespace
