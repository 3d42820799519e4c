// Acknowledgement of the sale headers. The point-of-sale program may have
// changed a sale between its selection and now, so the local sale is re-read
// and compared with the row the server returned: an unchanged sale is done
// ("S"), a changed one is sent again ("A"), except fiscal documents of
// emission type "S" or "N" still without an access key, which are closed
// unless they are pending cancellations. Each accepted sale also gets its
// first export time and acknowledges its customer-account movement, loyalty
// items and benefit movements from the copies of this transfer.

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "ack/acknowledgement.h"
#include "contracts/support_library.h"
#include "core/dataset_index.h"
#include "core/error.h"
#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {
namespace {

// A column of the re-read sale; a null column or a sale no longer found
// reads as empty text.
std::string localText(const Dataset& sale, std::string_view column) {
    return sale.isEmpty() ? std::string() : sale.field(column).asString();
}

// The new IDIMPVENDA of a sale the server stored, from the local sale as it
// is now and the returned row.
std::string chooseSaleFlag(const Dataset& sale, const Dataset& returned) {
    bool unchanged = true;
    for (std::string_view column :
         {"IDSITUVENDA", "CDVENDEDOR", "IDENVIOFID4ALL", "IDENVIOFIDUDS"}) {
        if (localText(sale, column) != returned.field(column).asString()) {
            unchanged = false;
            break;
        }
    }
    if (unchanged) return "S";

    const std::string emission = localText(sale, "IDTPEMISVEND");
    if ((emission == "S" || emission == "N") &&
        contracts::EmptyString(localText(sale, "NRACESSONFCE"))) {
        if (localText(sale, "IDSTATUSNFCE") != "R") return "S";
        if (localText(sale, "IDSITUVENDA") == "O") return "S";
        return "A";
    }
    return "A";
}

const std::vector<std::string> kSaleKey = {"CDFILIAL", "CDCAIXA", "NRSEQVENDA"};

// Moves the copy to its first row of the current sale of cdsRetVenda; false
// when it has none. The copy's lookup is built on first use and kept in
// `cached` when the caller keeps one.
bool locateSale(Dataset& copy, std::optional<DatasetIndex>* cached, const Dataset& returned) {
    if (copy.isEmpty()) return false;
    std::optional<DatasetIndex> local;
    std::optional<DatasetIndex>& index = cached != nullptr ? *cached : local;
    if (!index) index.emplace(copy, kSaleKey);
    const std::size_t row =
        index->find({returned.field("CDFILIAL").asString(), returned.field("CDCAIXA").asString(),
                     returned.field("NRSEQVENDA").asString()});
    if (row == DatasetIndex::npos) return false;
    copy.moveTo(row);
    return true;
}

// acmUpdVenda and acmUpdDtExpVenda as one UPDATE, for the list form on the
// embedded database: the export time is written only where there is none,
// as the second command's "DTEXPVENDA IS NULL" does, and each sale row is
// written once instead of twice. Its parameters are those of the two
// commands, with their sizes.
const definitions::Statement& flagAndExportTime() {
    static const definitions::Statement combined = [] {
        const definitions::Statement& flag = definitions::statement("acmUpdVenda");
        const definitions::Statement& exportTime = definitions::statement("acmUpdDtExpVenda");
        definitions::Statement s{"acmUpdVenda+acmUpdDtExpVenda",
                                 definitions::StatementKind::Command,
                                 flag.params,
                                 {},
                                 "UPDATE VENDA SET IDIMPVENDA = :P_IDIMPVENDA, DTEXPVENDA = "
                                 "COALESCE(DTEXPVENDA, :P_DTEXPVENDA) WHERE CDFILIAL = :P_CDFILIAL "
                                 "AND CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA"};
        for (const definitions::Param& p : exportTime.params) {
            if (p.name == "P_DTEXPVENDA") s.params.push_back(p);
        }
        return s;
    }();
    return combined;
}

}  // namespace

struct TdtmExportaVenda::SaleCopyIndexes {
    std::optional<DatasetIndex> moviClie, itFidelidade, movBeneficioCons;
};

void TdtmExportaVenda::AtualizaMSDEVenda() {
    // The copies stay as they are during the routine: their lookups are built
    // once here and dropped at the end, whatever happens.
    struct Keep {
        std::shared_ptr<SaleCopyIndexes>& p;
        ~Keep() { p.reset(); }
    } keep{saleCopyIndexes_};
    saleCopyIndexes_ = std::make_shared<SaleCopyIndexes>();
    flaggedWithSales.clear();
    std::vector<std::string_view> flagged;
    const bool committed = runAcknowledgement(*this, "AtualizaMSDEVenda", [this, &flagged] {
        const Dataset setting = adcCaixa.query(definitions::statement("qryAtualizaMoviClie"),
                                               {{"P_CDFILIAL", Variant(run.CDFILIAL)}});
        const std::string movementSetting =
            setting.isEmpty() ? std::string() : setting.field("IDBXMOVICLIE").asString();

        const definitions::Statement& verify = definitions::statement("adqVerifVenda");
        const definitions::Statement& flag = definitions::statement("acmUpdVenda");
        const definitions::Statement& exportTime = definitions::statement("acmUpdDtExpVenda");
        Dataset& ret = results.cdsRetVenda;
        bool anySale = false;
        if (acknowledgeSalesTogether(movementSetting, anySale)) {
            if (anySale) flagged = flagSaleDependants(*this);
            return;
        }
        forEachOkRow(ret, [&] {
            anySale = true;
            const Dataset sale = adcCaixa.query(verify, paramsFromRow(verify, ret));
            const std::string value = chooseSaleFlag(sale, ret);
            adcCaixa.execute(flag, paramsFromRow(flag, ret, {{"P_IDIMPVENDA", Variant(value)}}));
            GravaLog("Execute do acmUpdVenda(" + value + ") - " +
                     ret.field("NRSEQVENDA").asString() + " - " + localText(sale, "IDSITUVENDA") +
                     "/" + ret.field("IDSITUVENDA").asString());

            // Only a sale without an export time gets one: it keeps the time
            // of its first acknowledgement.
            adcCaixa.execute(exportTime, paramsFromRow(exportTime, ret,
                                                       {{"P_DTEXPVENDA", Variant(clock().now())}}));

            AtualizaMSDEMoviClie(movementSetting);
            AtualizaMSDEItFidelidade();
            AtualizaMSDEMovBeneficioCons();
        });
        if (anySale) flagged = flagSaleDependants(*this);
    });
    if (committed) flaggedWithSales = std::move(flagged);
}

// The same acknowledgement with each command run once for all sales
// (Connection::executeBatch; the flag and the export time as one command)
// and the lines written once all have run, in the order the row-by-row form
// writes them. Every sale is re-read before any is
// flagged, as the flags change no column the re-read compares. A sale
// returned twice runs row by row: its flags must follow the verdicts' order.
bool TdtmExportaVenda::acknowledgeSalesTogether(const std::string& IDBXMOVICLIE, bool& anySale) {
    std::vector<std::string> lines;
    const bool together = runTogether(*this, [&] {
        const definitions::Statement& verify = definitions::statement("adqVerifVenda");
        const definitions::Statement& flag = definitions::statement("acmUpdVenda");
        const definitions::Statement& moviClie = definitions::statement("acmUpdMoviClie");
        const definitions::Statement& itFidelidade = definitions::statement("acmUpdItFidelidade");
        const definitions::Statement& movBeneficio =
            definitions::statement("acmUpdMovBeneficioCons");
        Dataset& ret = results.cdsRetVenda;
        std::vector<db::Params> done, changed, movements, loyalty, benefits;
        std::vector<std::string> sales;
        const Variant now(clock().now());
        forEachOkRow(ret, [&] {
            const Dataset sale = adcCaixa.query(verify, paramsFromRow(verify, ret));
            const std::string value = chooseSaleFlag(sale, ret);
            db::Params keys = paramsFromRow(flag, ret, {{"P_IDIMPVENDA", Variant(value)}});
            keys.set("P_DTEXPVENDA", now);
            sales.push_back(ret.field("CDFILIAL").asString() + '\n' +
                            ret.field("CDCAIXA").asString() + '\n' +
                            ret.field("NRSEQVENDA").asString());
            (value == "S" ? done : changed).push_back(std::move(keys));
            lines.push_back(
                "Execute do acmUpdVenda(" + value + ") - " + ret.field("NRSEQVENDA").asString() +
                " - " + localText(sale, "IDSITUVENDA") + "/" + ret.field("IDSITUVENDA").asString());
            if (locateSale(copies.cdsCliMoviClie, &saleCopyIndexes_->moviClie, ret)) {
                movements.push_back(paramsFromRow(
                    moviClie, copies.cdsCliMoviClie,
                    {{"P_IDBXVENDACAT", Variant("S")}, {"P_IDBXMOVICLIE", Variant(IDBXMOVICLIE)}}));
                lines.emplace_back("Execute do acmUpdMoviClie");
            }
            if (locateSale(copies.cdsCliItFidelidade, &saleCopyIndexes_->itFidelidade, ret)) {
                loyalty.push_back(paramsFromRow(itFidelidade, copies.cdsCliItFidelidade));
                lines.emplace_back("Execute do acmUpdItFidelidade");
            }
            if (locateSale(copies.cdsCliMovBeneficioCons, &saleCopyIndexes_->movBeneficioCons,
                           ret)) {
                benefits.push_back(paramsFromRow(movBeneficio, copies.cdsCliMovBeneficioCons));
                lines.emplace_back("Execute do acmUpdMovBeneficioCons");
            }
        });
        std::sort(sales.begin(), sales.end());
        if (std::adjacent_find(sales.begin(), sales.end()) != sales.end()) {
            throw Error("a sale returned twice");  // undone here, run row by row
        }
        adcCaixa.executeBatch(flagAndExportTime(), done);
        adcCaixa.executeBatch(flagAndExportTime(), changed);
        adcCaixa.executeBatch(moviClie, movements);
        adcCaixa.executeBatch(itFidelidade, loyalty);
        adcCaixa.executeBatch(movBeneficio, benefits);
    });
    if (!together) return false;
    anySale = !lines.empty();
    for (const std::string& line : lines) GravaLog(line);
    return true;
}

// Only the sale's first customer-account movement in the copy's order is
// acknowledged.
void TdtmExportaVenda::AtualizaMSDEMoviClie(const std::string& IDBXMOVICLIE) {
    Dataset& copy = copies.cdsCliMoviClie;
    if (!locateSale(copy, saleCopyIndexes_ ? &saleCopyIndexes_->moviClie : nullptr,
                    results.cdsRetVenda)) {
        return;
    }
    const definitions::Statement& command = definitions::statement("acmUpdMoviClie");
    adcCaixa.execute(command, paramsFromRow(command, copy,
                                            {{"P_IDBXVENDACAT", Variant("S")},
                                             {"P_IDBXMOVICLIE", Variant(IDBXMOVICLIE)}}));
    GravaLog("Execute do acmUpdMoviClie");
}

// The command flags every loyalty item of the sale.
void TdtmExportaVenda::AtualizaMSDEItFidelidade() {
    Dataset& copy = copies.cdsCliItFidelidade;
    if (!locateSale(copy, saleCopyIndexes_ ? &saleCopyIndexes_->itFidelidade : nullptr,
                    results.cdsRetVenda)) {
        return;
    }
    const definitions::Statement& command = definitions::statement("acmUpdItFidelidade");
    adcCaixa.execute(command, paramsFromRow(command, copy));
    GravaLog("Execute do acmUpdItFidelidade");
}

// The command sets every benefit movement of the sale back to "N".
void TdtmExportaVenda::AtualizaMSDEMovBeneficioCons() {
    Dataset& copy = copies.cdsCliMovBeneficioCons;
    if (!locateSale(copy, saleCopyIndexes_ ? &saleCopyIndexes_->movBeneficioCons : nullptr,
                    results.cdsRetVenda)) {
        return;
    }
    const definitions::Statement& command = definitions::statement("acmUpdMovBeneficioCons");
    adcCaixa.execute(command, paramsFromRow(command, copy));
    GravaLog("Execute do acmUpdMovBeneficioCons");
}

}  // namespace qel::agent
