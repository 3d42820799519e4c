// What the scheduler asks the station database: who exports, the export
// period, and the station's running flag in QELEXPEXECUTA.
#include <exception>

#include "contracts/support_library.h"
#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::GetTipoExportacao(std::string& tipo) {
    try {
        const Dataset d = adcCaixa.query(definitions::statement("adqTipoExportacao"));
        tipo = d.isEmpty() ? std::string() : d.field("IDTIPOEXPORTA").asString();
    } catch (const std::exception&) {
        // A station that cannot tell exports itself.
        tipo = std::string(1, 'F');
    }
}

void TdtmExportaVenda::QelExpRodando(const std::string& CDFILIAL, const std::string& CDCAIXA,
                                     bool running) {
    try {
        const std::string flag = running ? "S" : "N";
        const Dataset existing =
            adcCaixa.query(definitions::statement("adqQelExpExecuta"),
                           {{"P_CDFILIAL", Variant(CDFILIAL)}, {"P_CDCAIXA", Variant(CDCAIXA)}});
        const db::Params values{{"CDFILIAL", Variant(CDFILIAL)},
                                {"CDCAIXA", Variant(CDCAIXA)},
                                {"IDQELEXPEXECUTA", Variant(flag)},
                                {"DTULTATU", Variant(clock().now())}};
        adcCaixa.execute(definitions::statement(existing.isEmpty() ? "acmInsQelExpExecuta"
                                                                   : "acmUpdQelExpExecuta"),
                         values);
        GravaLog(running ? "QelExp Executando: Sim" : "QelExp Executando: Não");
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except QelExpRodando: ") + e.what());
    }
}

void TdtmExportaVenda::VerificaTempo(const std::string& CDFILIAL, std::string& minutes) {
    try {
        const Dataset d = adcCaixa.query(definitions::statement("adqParaVend"),
                                         {{"P_CDFILIAL", Variant(CDFILIAL)}});
        const std::string value = d.isEmpty() ? std::string() : d.field("NRMINEXPVENDA").asString();
        minutes = contracts::EmptyString(value) ? "5" : value;
    } catch (const std::exception& e) {
        minutes.clear();
        GravaLog(std::string("ERRO Except VerificaTempo: ") + e.what());
    }
}

}  // namespace qel::agent
