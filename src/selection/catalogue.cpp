#include "selection/catalogue.h"

#include <algorithm>

#include "core/error.h"
#include "core/text.h"

namespace qel::agent {

const std::array<ExportTableEntry, kExportTableCount> TabelasExportacao{{
    {"adqCliCONSUMIDOR", "CONSUMIDOR"},
    {"adqCliOperador", "OPERADOR"},
    {"adqCliLOGOPERQEL", "LOGOPERQEL"},
    {"adqCliLOGACESSO", "LOGACESSO"},
    {"adqCliControlSenha", "CONTROLSENHA"},
    {"adqCliINUTILIZANFCE", "INUTILIZANFCE"},
    {"adqCLIITCOMANDAVEN", "ITCOMANDAVEN"},
    {"adqCliPedidoQel", "PEDIDOQEL"},
    {"adqCliItPedidoQel", "ITPEDIDOQEL"},
    {"adqCliNOVOCODNFCE", "NOVOCODNFCE"},
    {"adqCliARQCAT52", "ARQCAT52"},
    {"adqCliReducaoZ", "REDUCAOZ"},
    {"adqCliIMPOSTOREDZ", "IMPOSTOREDZ"},
    {"adqCliTOTNFISCREDZ", "TOTNFISCREDZ"},
    {"adqCliFORMPGTOREDZ", "FORMPGTOREDZ"},
    {"adqCliTurCaixa", "TURCAIXA"},
    {"adqCliVenda", "VENDA"},
    {"adqCliEXTRATOCONS", "EXTRATOCONS"},
    {"adqCliItemVenda", "ITEMVENDA"},
    {"adqCliItVendaImpos", "ITVENDAIMPOS"},
    {"adqCliItVendaCan", "ITVENDACAN"},
    {"adqCliITEMVENDAEST", "ITEMVENDAEST"},
    {"adqCliMovCaixa", "MOVCAIXA"},
    {"adqCliMoviClie", "MOVICLIE"},
    {"adqCliEstornovnd", "ESTORNOVND"},
    {"", "EXTRATOCONS"},
    {"", "MOVICLIE"},
    {"adqCliITFIDELIDADE", "ITFIDELIDADE"},
    {"adqCliMovBeneficioCons", "MOVBENEFICIOCONS"},
    {"adqCliMovBeneficioCtr", "MOVBENEFICIOCTR"},
    {"adqCliObsItemVenda", "OBSITEMVENDA"},
    {"adqCliObsItemVendaEst", "OBSITEMVENDAEST"},
    {"adqCliItHrComanda", "ITHRCOMANDA"},
    {"adqCliRelVendas", "RELVENDAS"},
    {"adqCliItVendaDes", "ITVENDADES"},
    {"adqCliExtratoConsPend", "EXTRATOCONSPEND"},
    {"adqCliUsoCupomDescQel", "USOCUPOMDESCQEL"},
    {"adqCliLogSincDlv", "LOGSINCDLV"},
    {"adqCliTotalDiaCaixa", "TOTALDIACAIXA"},
    {"adqCliProdBloqVndTaa", "PRODBLOQVNDTAA"},
    {"adqCliEndeCons", "ENDECONS"},
    {"adqCliLogNfce", "LOGNFCE"},
    {"adqCliKdsTempSetorEst", "KDS_TEMP_SETOREST"},
    {"adqCliPromoVenda", "PROMOVENDA"},
    {"adqCliCmdLog", "CMD_LOG"},
    {"adqCliItCmdLog", "ITCMD_LOG"},
    {"adqCliValePresente", "VALEPRESENTE"},
}};

bool deliversFloatingPoint(std::string_view component) {
    static constexpr std::string_view kFloating[] = {
        "adqCliTurCaixa",     "adqCliVenda",       "adqCliItemVenda",
        "adqCliItVendaImpos", "adqCliItVendaCan",  "adqCliItVendaDes",
        "adqCliMovCaixa",     "adqCliMoviClie",    "adqCliReducaoZ",
        "adqCliIMPOSTOREDZ",  "adqCliEXTRATOCONS", "adqCliExtratoConsPend",
        "adqCliCONSUMIDOR",   "adqCliLOGOPERQEL",  "adqCliINUTILIZANFCE",
        "adqCliNOVOCODNFCE",  "adqCliARQCAT52",    "adqCliMovBeneficioCons",
        "adqCliItHrComanda",  "adqCliLogSincDlv",  "adqCliProdBloqVndTaa",
        "adqCliEndeCons",     "adqCliLogNfce",     "adqRangeVendaExp",
        "adqCliCONSCENTRAL"};
    return std::find(std::begin(kFloating), std::end(kFloating), component) != std::end(kFloating);
}

void decimalsToFloat(Dataset& dataset) {
    std::vector<FieldDef> fields = dataset.fields();
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].type == FieldType::Decimal) {
            fields[i].type = FieldType::Float;
            fields[i].scale = 0;
            changed.push_back(i);
        }
    }
    if (changed.empty()) return;
    Dataset converted(std::move(fields));
    for (Row& row : dataset.rows()) {
        for (std::size_t i : changed) {
            if (!row[i].isEmpty()) row[i] = Variant(row[i].asFloat());
        }
        converted.rows().push_back(std::move(row));
    }
    dataset = std::move(converted);
}

db::Params selectionParams(const definitions::Statement& statement, const RunValues& run,
                           std::string_view stationCode) {
    db::Params params;
    for (const definitions::Param& p : statement.params) {
        const std::string name = text::upper(p.name);
        std::string_view value;
        if (name == "P_CDFILIAL") {
            value = run.CDFILIAL;
        } else if (name == "P_CDCAIXA") {
            value = stationCode;
        } else if (name == "P_CDLOJA") {
            value = run.CDLOJA;
        } else if (name == "P_DTMOVIM") {
            value = run.FiltroDtMovim;
        } else if (name == "P_NRSEQVENDAINI") {
            value = run.NrSeqVendaIni;
        } else if (name == "P_NRSEQVENDAFIN") {
            value = run.NrSeqVendaFin;
        } else {
            throw Error("Parameter '" + std::string(p.name) + "' of " +
                        std::string(statement.name) + " has no run value");
        }
        params.set(p.name, Variant(std::string(value)));
    }
    return params;
}

}  // namespace qel::agent
