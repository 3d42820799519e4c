#include "export/data_module.h"

#include "contracts/support_library.h"
#include "core/error.h"
#include "definitions/statement.h"
#include "selection/catalogue.h"

namespace qel::agent {
namespace {

constexpr std::string_view kResultNames[ResultDatasets::kCount] = {
    "cdsRetConsumidor",    "cdsRetOperador",       "cdsRetLogOperQel", "cdsRetLogAcesso",
    "cdsRetControlSenha",  "cdsRetInutilizaNfce",  "cdsRetPedidoQel",  "cdsRetArqCat52",
    "cdsRetReducaoZ",      "cdsRetTurCaixa",       "cdsRetVenda",      "cdsRetMovCaixa",
    "cdsRetExtratoCons",   "cdsRetEstornoVnd",     "cdsRetMovBeneCtr", "cdsRetLogSincDlv",
    "cdsRetTotalDiaCaixa", "cdsRetProdBloqVndTaa", "cdsRetEndeCons",   "cdsRetLogNfce",
    "cdsRetCmdLog",        "cdsRetItCmdLog"};

}  // namespace

Dataset& ResultDatasets::at(std::size_t i) {
    Dataset* all[kCount] = {
        &cdsRetConsumidor,    &cdsRetOperador,       &cdsRetLogOperQel, &cdsRetLogAcesso,
        &cdsRetControlSenha,  &cdsRetInutilizaNfce,  &cdsRetPedidoQel,  &cdsRetArqCat52,
        &cdsRetReducaoZ,      &cdsRetTurCaixa,       &cdsRetVenda,      &cdsRetMovCaixa,
        &cdsRetExtratoCons,   &cdsRetEstornoVnd,     &cdsRetMovBeneCtr, &cdsRetLogSincDlv,
        &cdsRetTotalDiaCaixa, &cdsRetProdBloqVndTaa, &cdsRetEndeCons,   &cdsRetLogNfce,
        &cdsRetCmdLog,        &cdsRetItCmdLog};
    if (i >= kCount) throw Error("No result dataset at position " + std::to_string(i));
    return *all[i];
}

std::string_view ResultDatasets::name(std::size_t i) {
    return kResultNames[i];
}

TdtmExportaVenda::TdtmExportaVenda(DataModuleContext context)
    : adcCaixa(context.clock, {}, context.databaseOptions),
      adcBancoCentral(context.clock, {}, context.databaseOptions),
      net(context.platform, [this](std::string_view line) { GravaLog(line); }),
      context_(std::move(context)) {
    // The connection string is read afresh before every connect, so a
    // changed configuration takes effect at the next run.
    adcCaixa.setBeforeConnect([this](db::Connection& connection) {
        connection.setConnectionString(contracts::GetStringConexQel(context_.platform, ""));
    });
    adcBancoCentral.setBeforeConnect(
        [this](db::Connection& connection) { adcBancoCentralBeforeConnect(connection); });
}

void TdtmExportaVenda::GravaLog(std::string_view message) {
    // Every routine that swallows an error writes a line that begins so.
    constexpr std::string_view kErrorLine = "ERRO Except ";
    constexpr std::size_t kKeptErrors = 100;
    if (message.starts_with(kErrorLine) && outcome.errors.size() < kKeptErrors) {
        outcome.errors.emplace_back(message);
    }
    context_.log(message);
}

std::filesystem::path TdtmExportaVenda::executableFolder() const {
    return context_.executableFolder.empty() ? context_.platform.executableFolder()
                                             : context_.executableFolder;
}

std::string TdtmExportaVenda::nfceSeriesCode() {
    const Dataset caixa = adcCaixa.query(
        definitions::statement("adqVerifCDSERIECX"),
        {{"P_CDFILIAL", Variant(run.CDFILIAL)}, {"P_CDCAIXA", Variant(run.CDCAIXA)}});
    const std::string series =
        caixa.isEmpty() ? std::string() : caixa.field("CDSERIECX").asString();
    return contracts::EmptyString(series) ? run.CDCAIXA : series;
}

Dataset TdtmExportaVenda::openSelection(std::string_view component) {
    Dataset selected;
    if (component == kCentralConsumerSelection) {
        const CentralConsumerStatement statement = adqCliCONSCENTRALBeforeOpen();
        // Attached only for this query: while attached, the station's write
        // transactions would lock the central file too and block the central
        // password update of the consumer acknowledgement.
        adcCaixa.attachCatalog(central.databaseName);
        try {
            selected = adcCaixa.query(statement.sql, statement.params);
        } catch (...) {
            adcCaixa.detachCatalog(central.databaseName);
            throw;
        }
        adcCaixa.detachCatalog(central.databaseName);
    } else {
        const definitions::Statement& statement = definitions::statement(component);
        const std::string station =
            component == "adqCliNOVOCODNFCE" ? nfceSeriesCode() : run.CDCAIXA;
        selected = adcCaixa.query(statement, selectionParams(statement, run, station));
    }
    if (deliversFloatingPoint(component)) decimalsToFloat(selected);

    // The four copies always reflect the last opening of their selection.
    if (component == "adqCliARQCAT52") {
        copies.cdsCliArqCat52 = selected;
    } else if (component == "adqCliITFIDELIDADE") {
        copies.cdsCliItFidelidade = selected;
    } else if (component == "adqCliMoviClie") {
        copies.cdsCliMoviClie = selected;
    } else if (component == "adqCliMovBeneficioCons") {
        copies.cdsCliMovBeneficioCons = selected;
    }
    return selected;
}

}  // namespace qel::agent
