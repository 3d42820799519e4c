// Acknowledgement of the sale headers. The point-of-sale program may have
// changed a sale between its selection and now, so the local sale is re-read
// and compared with the row the server returned: an unchanged sale is done
// ("S"), a changed one is sent again ("A"), except fiscal documents of
// emission type "S" or "N" still without an access key, which are closed
// unless they are pending cancellations. Each accepted sale also gets its
// first export time and acknowledges its customer-account movement, loyalty
// items and benefit movements from the copies of this transfer.

#include <optional>
#include <string>
#include <vector>

#include "ack/acknowledgement.h"
#include "contracts/support_library.h"
#include "core/dataset_index.h"
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
