// What role the station plays: shop, collector, stations it exports for.
// Each routine binds the codes it is given (the run state is not set yet at
// start-up), catches its own errors and writes one line for them.
#include "contracts/support_library.h"
#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {
namespace {

db::Params stationParams(const std::string& CDFILIAL, const std::string& CDCAIXA) {
    return {{"P_CDFILIAL", Variant(CDFILIAL)}, {"P_CDCAIXA", Variant(CDCAIXA)}};
}

// Appends the pieces of a station list: "_" and line breaks separate, empty
// pieces are skipped, blanks inside a piece are kept.
void appendStations(std::string_view list, std::vector<std::string>& out) {
    std::string piece;
    for (const char c : list) {
        if (c == '_' || c == '\r' || c == '\n') {
            if (!piece.empty()) out.push_back(std::move(piece));
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) out.push_back(std::move(piece));
}

}  // namespace

void TdtmExportaVenda::GetLoja(const std::string& CDFILIAL, const std::string& CDCAIXA,
                               std::string& CDLOJA) {
    CDLOJA.clear();
    try {
        const Dataset loja =
            adcCaixa.query(definitions::statement("adqLoja"), stationParams(CDFILIAL, CDCAIXA));
        if (!loja.isEmpty()) CDLOJA = loja.field("CDLOJA").asString();
    } catch (const std::exception& e) {
        CDLOJA.clear();
        GravaLog(std::string("ERRO Except GetLoja: ") + e.what());
    }
}

void TdtmExportaVenda::CaixaColetor(const std::string& CDFILIAL, const std::string& CDCAIXA,
                                    Variant& result) {
    try {
        const Dataset caixa =
            adcCaixa.query(definitions::statement("adqCaixa"), stationParams(CDFILIAL, CDCAIXA));
        result = Variant(!caixa.isEmpty() && caixa.field("IDCOLETOR").asString() == "C");
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except CaixaColetor: ") + e.what());
    }
}

void TdtmExportaVenda::EstaAssociado(const std::string& CDFILIAL, const std::string& CDCAIXA,
                                     Variant& result) {
    try {
        const Dataset listing = adcCaixa.query(definitions::statement("adqEstaAssociado"),
                                               stationParams(CDFILIAL, CDCAIXA));
        result = Variant(!listing.isEmpty());
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except EstaAssociado: ") + e.what());
    }
}

std::optional<std::vector<std::string>> TdtmExportaVenda::CaixasAssociados(
    const std::string& CDFILIAL, const std::string& CDCAIXA) {
    try {
        std::vector<std::string> stations;
        const Dataset caixa = adcCaixa.query(definitions::statement("adqCaixasAssociados"),
                                             stationParams(CDFILIAL, CDCAIXA));
        const std::string list =
            caixa.isEmpty() ? std::string() : caixa.field("DSCAIXAVEN").asString();
        if (contracts::EmptyString(list)) {
            // An unassigned answer (EstaAssociado failed) reads as not listed.
            Variant listed;
            EstaAssociado(CDFILIAL, CDCAIXA, listed);
            const bool isListed = listed.isEmpty() ? false : listed.asBoolean();
            if (!isListed) stations.push_back(CDCAIXA);
        } else {
            stations.push_back(CDCAIXA);
            appendStations(list, stations);
        }
        return stations;
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except CaixasAssociados: ") + e.what());
        return std::nullopt;
    }
}

}  // namespace qel::agent
