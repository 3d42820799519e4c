// The cleanup's faster delete settings last only as long as the cleanup: the
// station connection has its own settings back afterwards, whether the
// cleanup ran to its end or failed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cleanup_fixture.h"

namespace {

class CleanupSettings : public qel::testing::CleanupFixture {
  protected:
    std::string pragma(const std::string& name) {
        return dm->adcCaixa.query("PRAGMA " + name).field(std::size_t{0}).asString();
    }
};

TEST_F(CleanupSettings, TheStationConnectionGetsItsOwnSettingsBack) {
    stationSettings("30");
    clock.set(at(2026, 12, 7, 15));
    for (const bool failing : {false, true}) {
        shiftWithSale(at(2026, 11, 1, 8), failing ? "0000000002" : "0000000001", "S");
        if (failing) sql("DROP TABLE ITVENDADES");
        dm->adcCaixa.execute("PRAGMA secure_delete = 1");
        dm->adcCaixa.execute("PRAGMA cache_size = -1000");
        dueStore->forgetCleanups = true;
        cleanup();
        EXPECT_EQ(logCount("Finalizando Limpeza."), 1u) << failing;
        EXPECT_EQ(logCount("ERRO Except LimpaBaseDeDados: "), failing ? 1u : 0u);
        EXPECT_EQ(pragma("secure_delete"), "1") << failing;
        EXPECT_EQ(pragma("cache_size"), "-1000") << failing;
    }
    EXPECT_EQ(count("VENDA"), 1);  // the failed cleanup undid its deletions
}

TEST_F(CleanupSettings, TheCleanupTransactionDeletesWithTheLargerCacheAndWithoutZeroing) {
    stationSettings("30");
    clock.set(at(2026, 12, 7, 15));
    shiftWithSale(at(2026, 11, 1, 8), "0000000001", "S");
    dm->adcCaixa.execute("PRAGMA secure_delete = 1");
    dm->adcCaixa.execute("PRAGMA cache_size = -1000");
    std::vector<std::string> during;
    dm->transactionHook = [&](qel::agent::TransactionStep step) {
        if (step == qel::agent::TransactionStep::BeforeCommit) {
            during.push_back(pragma("secure_delete") + " " + pragma("cache_size"));
        }
    };
    dueStore->forgetCleanups = true;
    cleanup();
    dm->transactionHook = {};
    EXPECT_EQ(count("VENDA"), 0);
    // FAST is 2; the cache is 64 MiB, given in KiB.
    EXPECT_EQ(during, std::vector<std::string>{"2 -65536"});
    EXPECT_EQ(pragma("secure_delete") + " " + pragma("cache_size"), "1 -1000");
}

}  // namespace
