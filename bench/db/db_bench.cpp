// Cost of the selection pass on the embedded station database: the 45
// catalogue selections, each an indexed lookup that usually finds nothing,
// run inside one transaction; and the cost of reading each selected row.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/clock.h"
#include "db/connection.h"

namespace {

using qel::DateTime;
using qel::Decimal;
using qel::db::Connection;
using qel::db::Params;
using qel::definitions::ParamType;
using qel::definitions::Statement;
using qel::definitions::StatementKind;

class StationFile {
  public:
    explicit StationFile(int rows) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qel_bench_db_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        folder_ = pattern;
        qel::db::ConnectionOptions options;
        options.createDatabase = true;
        db_ = std::make_unique<Connection>(clock_, connectionString(), options);
        db_->execute(
            "CREATE TABLE VENDA (CDFILIAL CHAR(4), CDCAIXA CHAR(3), NRSEQVENDA INT, "
            "IDIMPVENDA CHAR(1), VRTOTVENDA DECIMAL(15,2), DTABERTUR DATETIME, NMCLIENTE "
            "VARCHAR(40), PRIMARY KEY (CDFILIAL, CDCAIXA, NRSEQVENDA))");
        db_->execute("CREATE INDEX VENDA_IMP ON VENDA (CDFILIAL, CDCAIXA, IDIMPVENDA)");
        db_->startTransaction();
        for (int i = 0; i < rows; ++i) {
            db_->execute("INSERT INTO VENDA VALUES ('0001', '001', :N, :IMP, :V, :D, :C)",
                         {{"N", i},
                          {"IMP", i < 1000 ? "A" : "S"},
                          {"V", Decimal{1999 + i, 2}},
                          {"D", DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, i % 1000)},
                          {"C", "Cliente São João"}});
        }
        db_->commitTransaction();
    }
    ~StationFile() {
        db_.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    Connection& db() { return *db_; }

  private:
    std::string connectionString() const {
        return "Provider=SQLite;Data Source=" + folder_.string() + ";Initial Catalog=QELCAIXA";
    }

    std::filesystem::path folder_;
    qel::ManualClock clock_;
    std::unique_ptr<Connection> db_;
};

// 45 distinct statement texts, as the catalogue has 45 selections.
std::vector<std::string> emptySelections() {
    std::vector<std::string> texts;
    for (int i = 0; i < 45; ++i) {
        texts.push_back("SELECT CDFILIAL, CDCAIXA, NRSEQVENDA, VRTOTVENDA, DTABERTUR, " +
                        std::to_string(i) +
                        " AS N FROM VENDA WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
                        ":P_CDCAIXA AND IDIMPVENDA = 'I'");
    }
    return texts;
}

void BM_EmptyIndexedSelectionPass(benchmark::State& state) {
    StationFile station(10'000);
    const std::vector<std::string> texts = emptySelections();
    std::vector<Statement> statements;
    for (const std::string& text : texts) {
        statements.push_back(
            Statement{"adqCli",
                      StatementKind::Query,
                      {{"P_CDFILIAL", ParamType::String, 4}, {"P_CDCAIXA", ParamType::String, 3}},
                      text,
                      text});
    }
    const Params params{{"P_CDFILIAL", "0001"}, {"P_CDCAIXA", "001"}};
    Connection& db = station.db();
    for (auto _ : state) {
        db.startTransaction();
        for (const Statement& statement : statements) {
            benchmark::DoNotOptimize(db.query(statement, params));
        }
        db.commitTransaction();
    }
    state.counters["queries"] = benchmark::Counter(static_cast<double>(state.iterations() * 45),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EmptyIndexedSelectionPass)->Unit(benchmark::kMicrosecond);

void BM_ReadRows(benchmark::State& state) {
    StationFile station(10'000);
    const Statement statement{"adqCliVenda",
                              StatementKind::Query,
                              {{"P_CDFILIAL", ParamType::String, 4},
                               {"P_CDCAIXA", ParamType::String, 3},
                               {"P_LIMITE", ParamType::Integer}},
                              "",
                              "SELECT CDFILIAL, CDCAIXA, NRSEQVENDA, IDIMPVENDA, VRTOTVENDA, "
                              "DTABERTUR, NMCLIENTE FROM VENDA WHERE CDFILIAL = :P_CDFILIAL AND "
                              "CDCAIXA = :P_CDCAIXA ORDER BY NRSEQVENDA LIMIT :P_LIMITE"};
    const Params params{{"P_CDFILIAL", "0001"}, {"P_CDCAIXA", "001"}, {"P_LIMITE", state.range(0)}};
    Connection& db = station.db();
    for (auto _ : state) {
        benchmark::DoNotOptimize(db.query(statement, params));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadRows)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
