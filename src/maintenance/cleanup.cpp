// Scheduled cleanup of the local database: reads the station's retention
// settings, asks the server whether a cleanup is due, deletes the old
// exported rows in one transaction and reports the cleanup to the server.

#include <filesystem>
#include <string>

#include "contracts/check_result.h"
#include "contracts/support_library.h"
#include "definitions/statement.h"
#include "export/data_module.h"
#include "maintenance/cleanup_sequence.h"

namespace qel::agent {
namespace {

const std::string kStars126(126, '*');
const std::string kStars36(36, '*');

// A field of the first row as text; "" when the query found no row.
std::string textOf(const Dataset& d, std::string_view field) {
    return d.isEmpty() ? std::string() : d.field(field).asString();
}

// The text as a number of days, or `fallback` when it is not one.
double daysOr(const std::string& text, double fallback) {
    try {
        return Variant(text).asFloat();
    } catch (const std::exception&) {
        return fallback;
    }
}

// A number as the stations' locale writes it: "140", "30,5".
std::string numberText(double value) {
    std::string s = Variant(value).asString();
    for (char& c : s) {
        if (c == '.') c = ',';
    }
    return s;
}

bool askServerWhetherDue(TdtmExportaVenda& dm, const std::string& frequency) {
    const char* method = frequency == "M" ? "getLimpezaMensal" : "getLimpezaDiaria";
    const Variant answer =
        dm.net.netInsereServidor.call(method, {Variant(dm.run.CDFILIAL), Variant(dm.run.CDCAIXA)});
    return contracts::CheckResultServ(answer, true, 0).asBoolean();
}

// True when an exported, closed shift or an exported Z reduction lies
// before the cut-off: only then are sales and their rows old enough to go.
bool oldPeriodExists(TdtmExportaVenda& dm, DateTime cutOff) {
    const db::Params params{{"P_CDFILIAL", Variant(dm.run.CDFILIAL)},
                            {"P_CDCAIXA", Variant(dm.run.CDCAIXA)},
                            {"P_DTABERCAIX", Variant(cutOff)}};
    if (!dm.adcCaixa.query(definitions::statement("adqGetTurCaixa"), params).isEmpty()) {
        return true;
    }
    return !dm.adcCaixa.query(definitions::statement("adqGetReducaoZ"), params).isEmpty();
}

// While a cleanup runs, the embedded station database deletes with a larger
// page cache and without zeroing every freed page (the engine's default
// here): the point-of-sale program waits for the write lock as long as the
// transaction lasts, and both cut about a quarter of its time. Deleted
// content is still overwritten wherever its page is rewritten anyway. The
// connection's settings come back afterwards.
class BulkDeleteSettings {
  public:
    explicit BulkDeleteSettings(db::Connection& station) : station_(station) {
        if (station_.dialect() != db::Dialect::Sqlite) return;
        cacheSize_ = pragma("cache_size");
        secureDelete_ = pragma("secure_delete");
        station_.execute("PRAGMA cache_size = -65536");  // KiB
        station_.execute("PRAGMA secure_delete = FAST");
        active_ = true;
    }
    ~BulkDeleteSettings() {
        if (!active_) return;
        try {
            station_.execute("PRAGMA cache_size = " + cacheSize_);
            station_.execute("PRAGMA secure_delete = " + secureDelete_);
        } catch (const std::exception&) {
            // Only a speed setting: the connection works either way.
        }
    }
    BulkDeleteSettings(const BulkDeleteSettings&) = delete;
    BulkDeleteSettings& operator=(const BulkDeleteSettings&) = delete;

  private:
    std::string pragma(const std::string& name) {
        return station_.query("PRAGMA " + name).field(std::size_t{0}).asString();
    }
    db::Connection& station_;
    std::string cacheSize_, secureDelete_;
    bool active_ = false;
};

}  // namespace

void TdtmExportaVenda::LimpaBaseDeDados() {
    GravaLog("");
    GravaLog("***************** INÍCIO DA LIMPEZA DA BASE DE DADOS LOCAL *****************");
    GravaLog(kStars126);
    try {
        const db::Params station{{"P_CDFILIAL", Variant(run.CDFILIAL)},
                                 {"P_CDCAIXA", Variant(run.CDCAIXA)}};
        const Dataset settings = adcCaixa.query(definitions::statement("adqDadosLimpeza"), station);
        const double retention = daysOr(textOf(settings, "NRDIASVENDAMSDE"), 140);

        CleanupPlan plan;
        const Dataset shop = adcCaixa.query(definitions::statement("adqQuantDiasDLV"), station);
        try {
            plan.shopCode = shop.field("CDLOJA").asString();
            const std::string days = shop.field("IDSINCQUANTDIA").asString();
            plan.deliveryDays = Variant(days).asFloat();
            if (plan.deliveryDays == 0) plan.deliveryDays = 1;
            GravaLog("Número de dias sincronismo delivery: " + days + ". Caixa: " + run.CDCAIXA);
        } catch (const std::exception&) {
            // No shop row or no number: an empty shop code matches no log row.
            plan.shopCode.clear();
            plan.deliveryDays = 1;
            GravaLog("except Número de dias sincronismo delivery: 1");
        }

        plan.now = clock().now();
        plan.expired = plan.now.addDays(-retention);
        plan.expiredYear = plan.now.addDays(-365);

        const std::string frequency = textOf(settings, "IDFREQLIMPVENDA");
        GravaLog("Frequência limpeza: " + frequency);
        if (!askServerWhetherDue(*this, frequency)) {
            GravaLog("Não executa a limpeza, o prazo não foi atingido");
        } else {
            GravaLog("Prazo atingido, executa limpeza");
            GravaLog("Número de dias a serem limpos: " + numberText(retention));
            GravaLog("dtAtrasada: " + plan.expired.toText());
            GravaLog("dtAtrasadaAux: " + plan.expiredYear.toText());
            GravaLog("Busca TurCaixa/Redução Z.");
            plan.oldPeriodFound = oldPeriodExists(*this, plan.expired.roundToDay());
            GravaLog(plan.oldPeriodFound
                         ? "TurCaixa/Redução Z encontradas."
                         : "Não foi encontrado TurCaixa/Redução Z a serem deletadas.");

            // An empty folder per cleanup, as the point-of-sale backups expect.
            std::filesystem::create_directories(executableFolder() / "Dados" / "Backup_Vendas" /
                                                plan.now.format("dd-mm-yyyy hh-nn-ss"));

            GravaLog("Iniciando Limpeza.");
            geraLogQuantidadeTabelas();
            const BulkDeleteSettings bulk(adcCaixa);
            IniciaTransacao();
            runCleanupSequence(*this, plan);

            const std::string consumerDays = textOf(settings, "NRDIASCONSMSDE");
            if (!contracts::EmptyString(consumerDays)) {
                GravaLog(kStars36);
                GravaLog("Iniciando a limpeza de consumidores online.");
                const double consumerRetention = daysOr(consumerDays, 30);
                const DateTime consumerCutOff = clock().now().addDays(-consumerRetention);
                GravaLog("Número de dias a serem limpos: " + numberText(consumerRetention));
                GravaLog("dtAtrasada: " + consumerCutOff.toText());
                deleteOnlineConsumers(*this, consumerCutOff);
            }

            ConfirmaTransacao();
            geraLogQuantidadeTabelas();
            contracts::CheckResultServ(
                net.netInsereServidor.call("setDtUltimaLimpeza",
                                           {Variant(run.CDFILIAL), Variant(run.CDCAIXA)}),
                true, 0);
            GravaLog("Finalizando Limpeza.");
        }
        GravaLog(kStars126);
    } catch (const std::exception& e) {
        DesfazTransacao();
        GravaLog(std::string("ERRO Except LimpaBaseDeDados: ") + e.what());
    }
}

}  // namespace qel::agent
