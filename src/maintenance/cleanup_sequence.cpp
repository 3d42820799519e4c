// The fixed order of the cleanup's deletions and the cut-off each one takes.

#include "maintenance/cleanup_sequence.h"

#include <string_view>

#include "core/error.h"
#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {
namespace {

// Which value a statement's date parameter takes.
enum class CutOff {
    None,
    Expired,         // dtAtrasada as it is
    ExpiredRounded,  // dtAtrasada rounded to the nearest midnight
    YearRounded,     // dtAtrasadaAux rounded
    MonthRounded,    // 30 days before now, rounded
    Today,           // today's midnight
    FiveDays,        // 5 days before now (bound as a date)
    Delivery,        // now minus the delivery days, a new clock reading
    TotalsMonth,     // today's midnight minus 30 days
};

struct Step {
    std::string_view name;
    CutOff cutOff;
};

// Statements 1 to 11: always run.
constexpr Step kAlways[] = {
    {"acmDelItCmdLog", CutOff::Expired},          {"acmDelCmdLog", CutOff::Expired},
    {"acmDelLogPedidoTaa", CutOff::MonthRounded}, {"acmDelWaiterOrders", CutOff::None},
    {"acmDelLogOperQel", CutOff::Expired},        {"acmDelLogAcesso", CutOff::Expired},
    {"acmDelPedidoQelTodos", CutOff::Today},      {"acmDelInutilizaNfce", CutOff::None},
    {"acmDelNovoCodigo", CutOff::None},           {"acmDelNovoCodigoITPEDIDOQEL", CutOff::None},
    {"acmDelLogSincDlv", CutOff::Delivery},
};
constexpr std::size_t kSilentSteps = 4;  // errors of the first four are ignored

// Statements 12 to 35: only when an old exported shift or reduction exists.
constexpr Step kOldPeriod[] = {
    {"acmDelFORMPGTOREDZ", CutOff::ExpiredRounded},
    {"acmDelTOTNFISCREDZ", CutOff::ExpiredRounded},
    {"acmDelIMPOSTOREDZ", CutOff::ExpiredRounded},
    {"acmDelReducaoZ", CutOff::ExpiredRounded},
    {"acmDelMoviClie", CutOff::YearRounded},
    {"acmDelMoviClieCredito", CutOff::YearRounded},
    {"acmDelMoviClieAntiga", CutOff::YearRounded},
    {"acmDelItFidelidade", CutOff::ExpiredRounded},
    {"acmDelEstornoVnd", CutOff::ExpiredRounded},
    {"acmDelMovBeneficioCons", CutOff::ExpiredRounded},
    {"acmUpdMovCaixaDel", CutOff::ExpiredRounded},
    {"acmDelMovCaixa", CutOff::ExpiredRounded},
    {"acmDelObsItemVendaEst", CutOff::ExpiredRounded},
    {"acmDelObsItemVenda", CutOff::ExpiredRounded},
    {"acmDelItemVendaEst", CutOff::ExpiredRounded},
    {"acmDelItVendaCan", CutOff::ExpiredRounded},
    {"acmDelItVendaDes", CutOff::ExpiredRounded},
    {"acmDelItVendaImpos", CutOff::ExpiredRounded},
    {"acmDelItemVenda", CutOff::ExpiredRounded},
    {"acmDelItHrComanda", CutOff::FiveDays},
    {"acmDelArqXmlNFCeSat", CutOff::ExpiredRounded},
    {"acmDelLogNfce", CutOff::ExpiredRounded},
    {"acmDelVenda", CutOff::ExpiredRounded},
    {"acmDelTurCaixa", CutOff::ExpiredRounded},
};

constexpr std::string_view kOrderCounters = "acmDelNovoCodigoITPEDIDOQEL";

// The parameters of one statement. Every statement finds the names it uses;
// the others are ignored.
db::Params paramsFor(TdtmExportaVenda& dm, const CleanupPlan& plan, CutOff cutOff) {
    db::Params p{{"P_CDFILIAL", Variant(dm.run.CDFILIAL)},
                 {"P_CDCAIXA", Variant(dm.run.CDCAIXA)},
                 {"CDFILIAL_1", Variant(dm.run.CDFILIAL)},
                 {"CDFILIAL_2", Variant(dm.run.CDFILIAL)},
                 {"CDFILIAL_3", Variant(dm.run.CDFILIAL)}};
    switch (cutOff) {
        case CutOff::None:
            break;
        case CutOff::Expired:
            p.set("P_DTLIMPEZA", Variant(plan.expired));
            break;
        case CutOff::ExpiredRounded:
            p.set("P_DTABERCAIX", Variant(plan.expired.roundToDay()));
            break;
        case CutOff::YearRounded:
            p.set("P_DTABERCAIX", Variant(plan.expiredYear.roundToDay()));
            break;
        case CutOff::MonthRounded:
            p.set("P_DTABERCAIX", Variant(plan.now.addDays(-30).roundToDay()));
            break;
        case CutOff::Today:
            p.set("P_HOJE", Variant(plan.now.date()));
            break;
        case CutOff::FiveDays:
            p.set("P_DTHRPEDIDO", Variant(plan.now.addDays(-5)));
            break;
        case CutOff::Delivery:
            p.set("P_QUANTDIAS", Variant(dm.clock().now().addDays(-plan.deliveryDays)));
            p.set("P_CDLOJA", Variant(plan.shopCode));
            break;
        case CutOff::TotalsMonth:
            p.set("P_DTTOTAL", Variant(plan.now.date().addDays(-30)));
            break;
    }
    return p;
}

void execute(TdtmExportaVenda& dm, const CleanupPlan& plan, const Step& step) {
    dm.adcCaixa.execute(definitions::statement(step.name), paramsFor(dm, plan, step.cutOff));
}

void executeLogged(TdtmExportaVenda& dm, const CleanupPlan& plan, const Step& step) {
    if (step.name == kOrderCounters) {
        dm.GravaLog(
            "Começa a executar delete da NovoCodigo das tabelas: ITPEDIDOQELREL, "
            "ITPEDIDOQELPAI, ITPEDIDOQEL");
        execute(dm, plan, step);
        dm.GravaLog("Executou acmDelNovoCodigo ITPEDIDOQELREL, ITPEDIDOQELPAI, ITPEDIDOQEL");
        return;
    }
    execute(dm, plan, step);
    dm.GravaLog("Executou " + std::string(step.name) + ".");
}

}  // namespace

void runCleanupSequence(TdtmExportaVenda& dm, const CleanupPlan& plan) {
    for (std::size_t i = 0; i < std::size(kAlways); ++i) {
        if (i < kSilentSteps) {
            try {
                execute(dm, plan, kAlways[i]);
                dm.GravaLog("Executou " + std::string(kAlways[i].name) + ".");
            } catch (const std::exception&) {
                // Tables some point-of-sale versions lack: ignored. But an
                // error that ended the transaction would leave every later
                // deletion committed on its own; that must fail the cleanup.
                if (!dm.adcCaixa.inTransaction()) {
                    throw DatabaseError("the cleanup's transaction ended at " +
                                        std::string(kAlways[i].name));
                }
            }
            continue;
        }
        executeLogged(dm, plan, kAlways[i]);
    }
    if (plan.oldPeriodFound) {
        for (const Step& step : kOldPeriod) executeLogged(dm, plan, step);
    }
    executeLogged(dm, plan, {"acmDelTotalDiaCaixa", CutOff::TotalsMonth});
}

void deleteOnlineConsumers(TdtmExportaVenda& dm, DateTime cutOff) {
    dm.adcCaixa.execute(definitions::statement("acmDelConsumidor"),
                        {{"P_DTATUCONSONLINE", Variant(cutOff.roundToDay())}});
    dm.GravaLog("Executou acmDelConsumidor.");
}

}  // namespace qel::agent
