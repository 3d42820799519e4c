#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/net/server_connections.h"
#include "core/clock.h"
#include "core/dataset.h"
#include "core/variant.h"
#include "db/connection.h"
#include "export/run_outcome.h"
#include "export/run_state.h"
#include "log/run_log.h"
#include "platform/platform.h"

namespace qel::agent {

// The 22 result datasets, one per acknowledged table, in the order of the
// verification answer.
struct ResultDatasets {
    Dataset cdsRetConsumidor, cdsRetOperador, cdsRetLogOperQel, cdsRetLogAcesso, cdsRetControlSenha,
        cdsRetInutilizaNfce, cdsRetPedidoQel, cdsRetArqCat52, cdsRetReducaoZ, cdsRetTurCaixa,
        cdsRetVenda, cdsRetMovCaixa, cdsRetExtratoCons, cdsRetEstornoVnd, cdsRetMovBeneCtr,
        cdsRetLogSincDlv, cdsRetTotalDiaCaixa, cdsRetProdBloqVndTaa, cdsRetEndeCons, cdsRetLogNfce,
        cdsRetCmdLog, cdsRetItCmdLog;

    static constexpr std::size_t kCount = 22;
    // Position i of the verification answer.
    Dataset& at(std::size_t i);
    static std::string_view name(std::size_t i);
};

// Copies of rows selected for the current transfer, kept for the
// acknowledgement and the server actions.
struct ClientCopies {
    Dataset cdsCliArqCat52, cdsCliItFidelidade, cdsCliMoviClie, cdsCliMovBeneficioCons;
};

// The moments of a station transaction that IniciaTransacao and
// ConfirmaTransacao report to a watcher.
enum class TransactionStep { BeforeBegin, BeforeCommit, AfterCommit };

// What the data module needs from its surroundings.
struct DataModuleContext {
    const Clock& clock;
    platform::Platform& platform;
    log::LogSink log;  // the run log's GravaLog
    db::ConnectionOptions databaseOptions = {};
    // Where the agent's own files and tools are; empty: the executable's folder.
    std::filesystem::path executableFolder = {};
};

// The data module: owns the connections and the run state of the current
// station, and every routine of an export run. Its routines live in the
// folder of their subsystem (selection/, ack/, maintenance/, export/).
// Main thread only.
class TdtmExportaVenda {
  public:
    explicit TdtmExportaVenda(DataModuleContext context);
    TdtmExportaVenda(const TdtmExportaVenda&) = delete;
    TdtmExportaVenda& operator=(const TdtmExportaVenda&) = delete;

    // Connections.
    db::Connection adcCaixa;         // the station database
    db::Connection adcBancoCentral;  // the store's central database
    // The three application-server connections, the server address and ConectaServidor.
    net::ServerConnections net;

    // Run state.
    RunValues run;
    CentralConsumerConfig central;
    Variant PacotesExportacao;  // 47 elements once a change check has run
    // Scratch: the packet last loaded (shared, not copied: packets can be large).
    std::shared_ptr<const Dataset> cdsTabela = std::make_shared<const Dataset>();
    ResultDatasets results;
    ClientCopies copies;
    // Flag commands whose every stored row the last sale acknowledgement
    // flagged, committed with the sales: their own routines then only log.
    std::vector<std::string_view> flaggedWithSales;

    // Change detection and sales window.
    void CalculaJanelaVendas();
    bool ExisteDadosExportar(DateTime DtUltAtuExtrato, DateTime DtUltAtuMoviClie);
    Variant EmpacotaDataSet(std::string_view component);
    void RegistraTabelaLog(std::size_t entry);
    // Runs one selection of the catalogue with its before-open binding and
    // after-open copy, as packaging does.
    Dataset openSelection(std::string_view component);

    // Transfer to the server: sends the packet array, asks for the verdicts
    // and acknowledges them; then the loyalty update.
    void ExportaDados(DateTime DtUltAtuExtrato, DateTime DtUltAtuMoviClie);
    // Largest request one call of the transfer may carry, encoded; a larger
    // packet array is split (a quarter of the server's default limit).
    std::size_t maxCallBytes = 16u << 20;
    // Loads the verification answer into the 22 result datasets; throws on
    // an answer of the wrong shape.
    void CarregaResultados(const Variant& ResultadosServidor);
    // Verification answers loaded whole since the data module was made: a
    // transfer that did not move it has no verdicts of its own (the result
    // datasets still hold an earlier transfer's).
    std::uint64_t answersLoaded = 0;

    // Post-export server actions.
    void AjusteDiferencas();
    void AtualizaPontuacao();

    // Acknowledgement framework.
    void IniciaTransacao();
    void ConfirmaTransacao();
    void DesfazTransacao();
    // Told when IniciaTransacao really begins a transaction and when
    // ConfirmaTransacao really commits one; empty unless a lab run watches.
    std::function<void(TransactionStep)> transactionHook;
    void AtualizaMSDE();

    // Per-table acknowledgement routines, in the order the transfer runs them.
    // Each runs in its own transaction and logs its own errors.
    void AtualizaMSDEConsumidor();
    void AtualizaMSDEOperador();
    void AtualizaMSDELogOperQel();
    void AtualizaMSDELogAcesso();
    void AtualizaMSDEControlSenha();
    void AtualizaMSDEInutilizaNfce();
    void AtualizaMSDEPedidoQel();
    void AtualizaMSDEArqCat52();
    void AtualizaMSDEReducaoZ();
    void AtualizaMSDETurCaixa();
    void AtualizaMSDEVenda();
    void AtualizaMSDEMovCaixa();
    void AtualizaMSDEExtratoCons();
    void AtualizaMSDEEstornoVnd();
    void AtualizaMSDEMovBeneCtr();
    void AtualizaMSDELogSincDlv();
    void AtualizaMSDETotalDiaCaixa();
    void AtualizaMSDEProdBloqVndTaa();
    void AtualizaMSDEEndeCons();
    void AtualizaMSDELogNfce();
    void AtualizaMSDECmdLog();
    void AtualizaMSDEItCmdLog();
    // Runs the 22 routines above, in that order.
    void AtualizaMSDEResultados();
    // Steps of the sale acknowledgement for the current row of cdsRetVenda,
    // on the client copies; no transaction or error handling of their own.
    // IDBXMOVICLIE is the store's setting for acknowledged movements.
    void AtualizaMSDEMoviClie(const std::string& IDBXMOVICLIE);
    void AtualizaMSDEItFidelidade();
    void AtualizaMSDEMovBeneficioCons();

    // Pre-export corrections (maintenance/corrections*.cpp). Each catches its
    // own errors and commits statement by statement.
    void setVendasSemStatus(const std::string& CDFILIAL, const std::string& CDCAIXA);
    void setCorrigeVendasCanc(const std::string& CDFILIAL, const std::string& CDCAIXA);
    void AjustaItVendaImpos();

    // Local database cleanup (maintenance/cleanup*.cpp): decides with the
    // server whether it is due; one transaction; catches its own errors.
    void LimpaBaseDeDados();
    void geraLogQuantidadeTabelas();

    // Export run of one station (export/export_run.cpp); catches its own
    // errors and records what it came to in `outcome`.
    void EnviaVendas(const std::string& CDFILIAL, const std::string& CDCAIXA,
                     const std::string& CDLOJA, int TipoImpFis);
    // The last export run's outcome; replaced when the next run starts.
    RunOutcome outcome;
    // When set, a run makes no further transfer after one that failed (a
    // one-shot export must not hammer a server that refuses it). The resident
    // agent leaves it unset and runs every transfer, as the cycle always has.
    bool stopAtFailedTransfer = false;

    // Station role queries (export/station_roles.cpp); each catches its own
    // errors. CaixaColetor and EstaAssociado leave the result unassigned on
    // error; CaixasAssociados returns nullopt.
    void GetLoja(const std::string& CDFILIAL, const std::string& CDCAIXA, std::string& CDLOJA);
    void CaixaColetor(const std::string& CDFILIAL, const std::string& CDCAIXA, Variant& result);
    void EstaAssociado(const std::string& CDFILIAL, const std::string& CDCAIXA, Variant& result);
    std::optional<std::vector<std::string>> CaixasAssociados(const std::string& CDFILIAL,
                                                             const std::string& CDCAIXA);

    // Scheduling queries (export/scheduling_queries.cpp). GetTipoExportacao
    // sets "F" on any error; QelExpRodando and VerificaTempo log their own
    // errors (VerificaTempo then leaves the minutes empty).
    void GetTipoExportacao(std::string& tipo);
    void QelExpRodando(const std::string& CDFILIAL, const std::string& CDCAIXA, bool running);
    void VerificaTempo(const std::string& CDFILIAL, std::string& minutes);

    // Central consumer check.
    void VerificaSenhaConsCentral(const std::string& CDFILIAL);
    void adcBancoCentralBeforeConnect(db::Connection& connection);
    // The consumer selection with central passwords, as built before each opening.
    struct CentralConsumerStatement {
        std::string sql;
        db::Params params;
    };
    CentralConsumerStatement adqCliCONSCENTRALBeforeOpen() const;

    // Writes one run-log line; an error line is also kept in the outcome.
    void GravaLog(std::string_view message);
    const Clock& clock() const { return context_.clock; }
    platform::Platform& platform() { return context_.platform; }
    std::filesystem::path executableFolder() const;

  private:
    // Adds the rows of the last transfer's packets to `outcome`, and its
    // verdicts when its verification answered (`answered`).
    void countTransfer(std::int64_t rowsSent, std::int64_t salesSent, bool answered);
    // The end of a run that made its transfers: the success lines, the
    // difference adjustment (not for TipoImpFis 24 and 29) and the cleanup.
    void finishExport(int TipoImpFis);

    // The station's NFC-e series code, or the station code when it has none.
    std::string nfceSeriesCode();

    // Lookups of the three sale copies by sale, built once per sale
    // acknowledgement instead of a scan of a copy for every sale; a step
    // called on its own builds fresh ones.
    struct SaleCopyIndexes;
    std::shared_ptr<SaleCopyIndexes> saleCopyIndexes_;
    // The sale acknowledgement's commands for all sales at once (see
    // runTogether); false when they ran row by row instead.
    bool acknowledgeSalesTogether(const std::string& IDBXMOVICLIE, bool& anySale);

    DataModuleContext context_;
};

}  // namespace qel::agent
