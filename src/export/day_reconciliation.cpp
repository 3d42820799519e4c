#include "export/day_reconciliation.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>

#include "contracts/check_result.h"
#include "contracts/support_library.h"
#include "core/error.h"
#include "core/text.h"
#include "definitions/statement.h"
#include "export/data_module.h"
#include "log/messages.h"
#include "selection/catalogue.h"
#include "selection/packet_split.h"

namespace qel::agent {
namespace {

// Position of the sales' verdicts in the verification answer.
constexpr std::size_t kSaleVerdicts = 10;

struct ShortDay {
    DateTime day;
    std::int64_t reportedSales = -1, heldSales = -1;
    bool named = true;  // listed by the server; false: checked by key only
};

// The server counts a day complete when it holds as many sales as the
// station last reported for it; the report lags (it is sent with the sales
// still waiting), so a central restore can leave a day's count matching
// while sales the station flagged are gone. Every day of the window the
// station still keeps is therefore checked by key as well, oldest first.
void addKeptDays(std::vector<ShortDay>& days, DateTime today, int window, DateTime kept) {
    for (int back = window - 1; back >= 0; --back) {
        const DateTime day = today.addDays(-back);
        if (day.value() < kept.value()) continue;
        const bool listed =
            std::any_of(days.begin(), days.end(), [&](const ShortDay& d) { return d.day == day; });
        if (!listed) days.push_back({day, -1, -1, false});
    }
    std::stable_sort(days.begin(), days.end(), [](const ShortDay& a, const ShortDay& b) {
        return a.day.value() < b.day.value();
    });
}

// The station's retention (NRDIASVENDAMSDE) as the cleanup reads it: days
// of sales kept, 140 when it is not a number.
double retentionDays(TdtmExportaVenda& dm, const std::string& store, const std::string& station) {
    const Dataset settings =
        dm.adcCaixa.query(definitions::statement("adqDadosLimpeza"),
                          {{"P_CDFILIAL", Variant(store)}, {"P_CDCAIXA", Variant(station)}});
    if (settings.isEmpty()) return 140;
    try {
        return Variant(settings.field("NRDIASVENDAMSDE").asString()).asFloat();
    } catch (const std::exception&) {
        return 140;
    }
}

std::vector<ShortDay> askShortDays(TdtmExportaVenda& dm, const std::string& store,
                                   const std::string& station, int days) {
    const Variant answer = contracts::CheckResultServ(
        dm.net.netInsereServidor.call("getShortDays", {Variant(store), Variant(station),
                                                       Variant(static_cast<std::int64_t>(days))}),
        true, 0);
    if (!answer.isPacket()) {
        throw ServerError(std::string("Resposta de getShortDays inválida: esperado um pacote, "
                                      "veio ") +
                          kindName(answer.kind()));
    }
    const Dataset& packet = answer.asPacket();
    const int day = packet.findField("DTENTRVENDA");
    const int reported = packet.findField("QTVENDASMSDE");
    const int held = packet.findField("QTVENDASSERV");
    if (day < 0) throw ServerError("Resposta de getShortDays sem a coluna DTENTRVENDA");
    std::vector<ShortDay> out;
    for (const Row& row : packet.rows()) {
        ShortDay d;
        d.day = row[static_cast<std::size_t>(day)].asDateTime().date();
        if (reported >= 0) d.reportedSales = row[static_cast<std::size_t>(reported)].asInteger();
        if (held >= 0) d.heldSales = row[static_cast<std::size_t>(held)].asInteger();
        out.push_back(d);
    }
    return out;
}

// Each sale in every form the station can have sent it in. The export flag
// and the first export time are the station's own bookkeeping, written when
// the server confirms a sale: it was sent as new ("I", no export time yet,
// or with one once a reconciliation made it wait again) or as changed ("A",
// with its export time). The server holds the sale as it was sent when it
// answers "OK" to one of the forms. `saleOf` gives each form's sale.
Dataset saleForms(const Dataset& sales, std::vector<std::size_t>& saleOf) {
    Dataset forms(sales.fields());
    const int flag = sales.findField("IDIMPVENDA");
    const int exported = sales.findField("DTEXPVENDA");
    for (std::size_t s = 0; s < sales.rows().size(); ++s) {
        const Row& row = sales.rows()[s];
        const Variant now =
            exported < 0 ? Variant::null() : row[static_cast<std::size_t>(exported)];
        const std::size_t first = forms.rows().size();
        for (const auto& [f, e] : {std::pair{Variant("I"), Variant::null()},
                                   std::pair{Variant("I"), now}, std::pair{Variant("A"), now}}) {
            Row form = row;
            if (flag >= 0) form[static_cast<std::size_t>(flag)] = f;
            if (exported >= 0) form[static_cast<std::size_t>(exported)] = e;
            bool seen = false;
            for (std::size_t k = first; k < forms.rows().size() && !seen; ++k) {
                seen = forms.rows()[k] == form;
            }
            if (seen) continue;
            forms.rows().push_back(std::move(form));
            saleOf.push_back(s);
        }
    }
    return forms;
}

// The verdicts of the sale forms, one per form in their order.
Dataset verifySales(TdtmExportaVenda& dm, const std::string& store, const std::string& station,
                    Dataset forms) {
    VariantArray packets(kExportTableCount);
    for (std::size_t i = 0; i < kExportTableCount; ++i) {
        if (i == kExtractDateEntry || i == kCustomerMovementDateEntry) {
            packets[i] = Variant::null();
        } else {
            packets[i] = Variant(std::shared_ptr<const Dataset>(std::make_shared<Dataset>()));
        }
    }
    packets[kSalesEntry] =
        Variant(std::shared_ptr<const Dataset>(std::make_shared<Dataset>(std::move(forms))));
    std::vector<Variant> answers;
    for (VariantArray& part : splitPacketArray(packets, dm.maxCallBytes)) {
        answers.push_back(contracts::CheckResultServ(
            dm.net.netInsereServidor.call(
                "getVerificaExportacao",
                {Variant(store), Variant(station), Variant(std::move(part))}),
            true, 0));
    }
    const Variant joined = joinVerificationAnswers(answers);
    if (!joined.isArray() || joined.asArray().size() != ResultDatasets::kCount ||
        !joined.asArray()[kSaleVerdicts].isPacket()) {
        throw ServerError("Resposta de verificação inválida para a reconciliação");
    }
    return joined.asArray()[kSaleVerdicts].asPacket();
}

// Asks about every sale of the day the station keeps and makes the ones the
// server lacks or holds differently wait again, in one transaction.
void reconcileDay(TdtmExportaVenda& dm, const std::string& store, const std::string& station,
                  ReconciledDay& day) {
    Dataset sales = dm.adcCaixa.query(definitions::statement("adqReconVendasDia"),
                                      {{"P_CDFILIAL", Variant(store)},
                                       {"P_CDCAIXA", Variant(station)},
                                       {"P_DTMOVIM", Variant(day.day.format("dd/mm/yyyy"))}});
    // As the transfer's selection delivers them, so that contents compare alike.
    decimalsToFloat(sales);
    day.checked = static_cast<std::int64_t>(sales.recordCount());
    if (sales.isEmpty()) return;

    std::vector<std::size_t> saleOf;
    Dataset forms = saleForms(sales, saleOf);
    const std::size_t formCount = forms.rows().size();
    const Dataset verdicts = verifySales(dm, store, station, std::move(forms));
    // One verdict per form, in order, for the very sale asked about:
    // anything else marks nothing.
    const int situation = verdicts.findField("IDSITUACAO");
    if (verdicts.rows().size() != formCount || situation < 0) {
        throw ServerError("Resposta de verificação com " + std::to_string(verdicts.rows().size()) +
                          " veredictos de vendas; esperados " + std::to_string(formCount));
    }
    enum class Held { Unknown, Yes, No };
    std::vector<Held> held(sales.rows().size(), Held::Unknown);
    for (std::size_t k = 0; k < formCount; ++k) {
        const Row& sale = sales.rows()[saleOf[k]];
        for (std::string_view column : {"CDFILIAL", "CDCAIXA", "NRSEQVENDA"}) {
            const int v = verdicts.findField(column), s = sales.findField(column);
            if (v < 0 || s < 0 ||
                verdicts.rows()[k][static_cast<std::size_t>(v)].asString() !=
                    sale[static_cast<std::size_t>(s)].asString()) {
                throw ServerError("Veredicto de venda para outra chave na reconciliação");
            }
        }
        const std::string verdict =
            verdicts.rows()[k][static_cast<std::size_t>(situation)].asString();
        Held& h = held[saleOf[k]];
        if (verdict == "OK") {
            h = Held::Yes;
        } else if ((verdict == "NE" || verdict == "DIF") && h == Held::Unknown) {
            h = Held::No;  // "ERR": a row the server cannot store; sending it again will not help
        }
    }

    const int number = sales.findField("NRSEQVENDA");
    const int flag = sales.findField("IDIMPVENDA");
    dm.IniciaTransacao();
    try {
        for (std::size_t s = 0; s < held.size(); ++s) {
            if (held[s] != Held::No) continue;
            const db::Params sale = {
                {"P_CDFILIAL", Variant(store)},
                {"P_CDCAIXA", Variant(station)},
                {"P_NRSEQVENDA",
                 Variant(sales.rows()[s][static_cast<std::size_t>(number)].asString())}};
            for (const char* mark : {"acmReconVendaPendente", "acmReconFidelidadePendente"})
                dm.adcCaixa.execute(definitions::statement(mark), sale);
            // A sale still waiting as new goes anyway: it is not one more sent again.
            const bool waiting =
                flag >= 0 && sales.rows()[s][static_cast<std::size_t>(flag)].asString() == "I";
            if (!waiting) ++day.resent;
        }
        dm.ConfirmaTransacao();
    } catch (...) {
        day.resent = 0;
        dm.DesfazTransacao();
        throw;
    }
}

std::filesystem::path markerFile(TdtmExportaVenda& dm, const std::string& store,
                                 const std::string& station) {
    std::string name = "Reconciliacao_" + store + "_" + station + ".txt";
    for (char& c : name) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                           (c >= 'a' && c <= 'z') || c == '_' || c == '.';
        if (!plain) c = '-';
    }
    return dm.executableFolder() / "Dados" / name;
}

}  // namespace

int reconcileDaysSetting(const platform::Platform& platform) {
    const auto value = platform.readMachineString(contracts::kOrbelKey, kReconcileDaysValue);
    if (!value) return 0;
    const std::string_view t = text::trim(*value);
    if (t.empty()) return 0;
    int days = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), days);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || days < 0 ||
        days > kReconcileDaysMost) {
        throw ConfigError("Registry value ReconcileDays must be a number of days (0 to " +
                          std::to_string(kReconcileDaysMost) + "), not '" + *value + "'");
    }
    return days;
}

ReconciliationResult ReconciliaDias(TdtmExportaVenda& dm, const std::string& CDFILIAL,
                                    const std::string& CDCAIXA, int days,
                                    std::optional<DateTime> onlyDay) {
    ReconciliationResult result;
    try {
        if (!dm.net.ConectaServidor(true,
                                    log::msgPadrao().Msg("Not_Con_Serv") + " (getShortDays)")) {
            return result;
        }
        const double retention = retentionDays(dm, CDFILIAL, CDCAIXA);
        result.retentionDays = static_cast<int>(retention);
        // The cleanup keeps the sales from this day on (its cut-off, rounded).
        const DateTime kept = dm.clock().now().addDays(-retention).roundToDay();
        std::vector<ShortDay> found = askShortDays(dm, CDFILIAL, CDCAIXA, days);
        dm.GravaLog("Reconciliação: " + std::to_string(found.size()) +
                    " dia(s) incompleto(s) no servidor");
        if (onlyDay) {
            std::erase_if(found, [&](const ShortDay& d) { return d.day != onlyDay->date(); });
            if (found.empty()) found.push_back({onlyDay->date()});
        } else {
            addKeptDays(found, dm.clock().today(), days, kept);
        }
        std::int64_t checked = 0;
        for (const ShortDay& d : found) {
            ReconciledDay day{d.day, d.reportedSales, d.heldSales};
            const std::string prefix = "Reconciliação do dia " + d.day.format("dd/mm/yyyy") + ": ";
            // A day before the cleanup's cut-off is still checked while the
            // station keeps its sales (its cleanup has not run yet): only a
            // day whose sales are gone cannot be recovered from here.
            reconcileDay(dm, CDFILIAL, CDCAIXA, day);
            if (d.day.value() < kept.value() && day.checked == 0) {
                day.recoverable = false;
                dm.GravaLog(prefix + "fora da retenção deste caixa (" +
                            std::to_string(result.retentionDays) +
                            " dias), não recuperável por este caixa");
            } else {
                checked += day.checked;
                // A day the server did not name is left out when the station
                // has no sale of it, and logged only when sales were marked.
                if (!d.named && day.checked == 0) continue;
                if (d.named || day.resent > 0)
                    dm.GravaLog(prefix + std::to_string(day.resent) + " vendas reenviadas");
            }
            result.days.push_back(day);
        }
        dm.GravaLog("Reconciliação: " + std::to_string(checked) + " vendas verificadas");
        result.succeeded = true;
    } catch (const std::exception& e) {
        dm.GravaLog(std::string("ERRO Except ReconciliaDias: ") + e.what());
    }
    dm.net.ConectaServidor(false, "");
    return result;
}

void reconcileAfterRun(TdtmExportaVenda& dm, const std::string& CDFILIAL,
                       const std::string& CDCAIXA) {
    int days = 0;
    try {
        days = reconcileDaysSetting(dm.platform());
    } catch (const std::exception& e) {
        dm.GravaLog(std::string("ERRO Except ReconciliaDias: ") + e.what());
        return;
    }
    if (days == 0) return;
    // A run that could not reach the server: the next one tries.
    if (dm.outcome.result == RunOutcome::Result::ServerUnreachable) return;
    const std::filesystem::path marker = markerFile(dm, CDFILIAL, CDCAIXA);
    const std::string today = dm.clock().today().format("dd/mm/yyyy");
    std::string last;
    std::getline(std::ifstream(marker), last);
    if (last == today) return;
    if (!ReconciliaDias(dm, CDFILIAL, CDCAIXA, days).succeeded) return;
    std::error_code ignored;
    std::filesystem::create_directories(marker.parent_path(), ignored);
    std::ofstream(marker, std::ios::trunc) << today << '\n';
}

}  // namespace qel::agent
