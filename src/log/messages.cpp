#include "log/messages.h"

namespace qel::log {

std::string TMessages::Msg(std::string_view key) const {
    for (const std::string& line : Messages) {
        const auto bar = line.find('|');
        if (bar != std::string::npos && std::string_view(line).substr(0, bar) == key) {
            return line.substr(bar + 1);
        }
    }
    return {};
}

const TMessages& msgPadrao() {
    static const TMessages table({
        "Exp_Dados|Recebendo Dados do caixa...",
        "Arq_NEnc|Os arquivos de exportação para o caixa informado não foram encontrados.",
        "PROC_DADOS|Processando os dados no servidor...",
        "OP_Conc|Os arquivos para importação  foram criados corretamente.",
        "IMP_CONC|Vendas atualizadas corretamente.",
        "Not_Atu_Vendas|Não foi possível estabelecer a conexão com o servidor para a atualização "
        "das vendas.",
        "Not_Con|Não foi possível conectar ao caixa %s.",
        "Imp_Not|Não existem vendas a atualizar.",
        "BKP|Gerando cópia de segurança...",
        "DCAIX|Recebendo dados do caixa....",
        "DELCAIX|Removendo dados do caixa...",
        "INIPROC|Iniciando a importação...",
        "GER_ARQ|Arquivo de vendas gerado com sucesso.",
        "DIRINV|Diretório informado está inválido.",
        "Arq_NCorresp|O arquivo de importação não corresponde ao caixa selecionado.",
        "ARQ_NEXIST|Arquivo informado não existe.",
        "DEL_ARQ_TEMP|Excluindo arquivos temporarios...",
        "Ger_Tab|Gerando arquivo para tabela : ",
        "Not_Con_Serv|Não foi possível estabelecer uma conexão com o servidor.",
        "LOG_ERR_CABEC|Log de Erros Do Sistema TAZ",
        "FILIAL|Filial: ",
        "CAIXA| Caixa: ",
        "ERRO| Erro: ",
        "INI_LIMPA|Iniciando limpeza da base de dados...",
        "GER_BACKUP|Gerando Backup da base de dados...",
        "BKP_CRIADO|O arquivo backup da base de dados foi salvo no diretório %s da máquina "
        "servidor de banco de dados.",
        "BKP_ERRO|O arquivo de backup da base de dados não foi gerado corretamente.",
        "INI_LIMPEZA|Iniciando limpeza de tabelas...",
        "LIMPANDO|Limpando tabelas...",
        "EXP_CAT52|Exportando arquivos referentes a CAT-52 ou NFCe.",
        "ERRO_EXPORTA_ARQS|Arquivos referentes a portaria CAT-52 não foram exportados para o "
        "servidor. Verifique se o diretório de destino dos arquivos no servidor foi informado "
        "corretamente ou se existe algum problema de conexão com o servidor.",
        "Atu_Vendas|Existem vendas na base local ainda não atualizadas na base de dados do "
        "servidor. Deseja acessar o servidor para atualizar as vendas.",
        "VerifExpVendas|Atenção operador de caixa! Existem vendas na base local ainda não "
        "atualizadas na base de dados do servidor. O sistema exportará as vendas neste momento. "
        "Caso ocorra algum problema no envio, avise o seu administrador.",
    });
    return table;
}

}  // namespace qel::log
