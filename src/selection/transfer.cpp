// One transfer: the packet array goes to the server in one call, the server
// is asked which rows it now holds, and its verdicts flag the local rows.

#include "contracts/check_result.h"
#include "core/error.h"
#include "export/data_module.h"
#include "log/messages.h"
#include "protocol/codec.h"
#include "selection/packet_split.h"
#include "selection/result_fields.h"
#include "selection/sent_rows.h"

namespace qel::agent {

void TdtmExportaVenda::CarregaResultados(const Variant& ResultadosServidor) {
    if (!ResultadosServidor.isArray()) {
        throw ServerError(
            std::string("Resposta de verificação inválida: esperado um array, veio ") +
            kindName(ResultadosServidor.kind()));
    }
    const VariantArray& answer = ResultadosServidor.asArray();
    // More packets than tables would leave it open which verdict is whose.
    if (answer.size() != ResultDatasets::kCount) {
        throw ServerError("Resposta de verificação com " + std::to_string(answer.size()) +
                          " pacotes; esperados " + std::to_string(ResultDatasets::kCount));
    }
    for (std::size_t i = 0; i < ResultDatasets::kCount; ++i) {
        if (!answer[i].isPacket()) {
            throw ServerError("Elemento " + std::to_string(i) +
                              " da resposta de verificação não é um pacote de dados");
        }
        const Dataset& packet = answer[i].asPacket();
        requireDeclaredFields(ResultDatasets::name(i), packet);
        results.at(i).loadPacket(packet);
    }
    ++answersLoaded;
}

void TdtmExportaVenda::ExportaDados(DateTime DtUltAtuExtrato, DateTime DtUltAtuMoviClie) {
    // The day of the framing lines, recomputed for each line.
    auto day = [this] {
        return run.FiltroDtMovim == "T" ? clock().today().toDateText() : run.FiltroDtMovim;
    };
    auto& server = net.netInsereServidor;
    try {
        GravaLog("");
        GravaLog("Início da exportação das vendas para o servidor: " + day());
        // Usually one part; a backlog too large for one call goes in several,
        // all stored before any is verified, so a failure acknowledges nothing.
        // Each part is encoded (and compressed) once for both of its calls.
        std::vector<net::EncodedArgument> parts;
        Bytes whole = protocol::encode(PacotesExportacao);
        if (whole.size() <= maxCallBytes || !PacotesExportacao.isArray()) {
            parts.emplace_back(std::move(whole));  // not an array: the server says what is wrong
        } else {
            whole = Bytes();
            for (VariantArray& part : splitPacketArray(PacotesExportacao.asArray(), maxCallBytes)) {
                parts.emplace_back(protocol::encode(Variant(std::move(part))));
            }
        }
        for (const net::EncodedArgument& part : parts) {
            contracts::CheckResultServ(
                server.call("setInsereServidor",
                            {Variant(run.CDFILIAL), Variant(run.CDCAIXA), Variant(run.CDLOJA)},
                            part),
                true, 0);
        }
        contracts::CheckResultServ(server.call("getMinDTULTATUEXT", {Variant(DtUltAtuExtrato)}),
                                   true, 0);
        contracts::CheckResultServ(server.call("getMaxDTULTATUMCLI", {Variant(DtUltAtuMoviClie)}),
                                   true, 0);
        GravaLog("Fim da exportação das vendas para o servidor: " + day());
        GravaLog("Início da verificação das vendas no servidor: " + day());
        std::vector<Variant> answers;
        for (const net::EncodedArgument& part : parts) {
            answers.push_back(contracts::CheckResultServ(
                server.call("getVerificaExportacao", {Variant(run.CDFILIAL), Variant(run.CDCAIXA)},
                            part),
                true, 0));
        }
        const Variant ResultadosServidor = joinVerificationAnswers(answers);
        GravaLog("Fim da verificação das vendas no servidor: " + day());
        CarregaResultados(ResultadosServidor);
        // Only rows this transfer sent may be flagged, whatever the answer says.
        const SentRows sent(PacotesExportacao.isArray() ? PacotesExportacao.asArray()
                                                        : VariantArray{});
        for (std::size_t i = 0; i < ResultDatasets::kCount; ++i) {
            if (const std::size_t dropped = sent.dropUnsent(i, results.at(i))) {
                GravaLog(std::string(ResultDatasets::name(i)) + ": " + std::to_string(dropped) +
                         " veredictos ignorados, para linhas que esta transferência não enviou");
            }
        }
        GravaLog("Início da atualização das vendas no MSDE: " + day());
        AtualizaMSDEResultados();
        GravaLog("Fim da atualização das vendas no MSDE: " + day());
        GravaLog("");
    } catch (const std::exception& e) {
        const auto& msg = log::msgPadrao();
        GravaLog("ERRO Except ExportaDados: " + msg.Msg("FILIAL") + run.CDFILIAL +
                 msg.Msg("CAIXA") + run.CDCAIXA + msg.Msg("ERRO") + e.what());
    }
    AtualizaPontuacao();
}

}  // namespace qel::agent
