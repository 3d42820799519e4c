// The main window's start-up and export cycle on a real station database.
#include <gmock/gmock.h>

#include <limits>

#include "app/pontax_file.h"
#include "app_fixture.h"
#include "core/error.h"

using qel::app::TfrmExportaVenda;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace qel::testing {
namespace {

void writeFile(const std::filesystem::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
}

std::string pontax(const std::string& filial, const std::string& caixa, const std::string& tipo) {
    return "<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA>"
           "<FIELDS><FIELD attrname=\"CDFILIAL\" fieldtype=\"string\" WIDTH=\"4\"/>"
           "<FIELD attrname=\"CDCAIXA\" fieldtype=\"string\" WIDTH=\"3\"/>"
           "<FIELD attrname=\"IDTIPOIMPFIS\" fieldtype=\"i4\"/></FIELDS><PARAMS/></METADATA>"
           "<ROWDATA><ROW CDFILIAL=\"" +
           filial + "\" CDCAIXA=\"" + caixa + "\" IDTIPOIMPFIS=\"" + tipo +
           "\"/></ROWDATA></DATAPACKET>";
}

using StartUp = AppFixture;

TEST_F(StartUp, CommandLineNamesTheStationAndTheFileStillGivesTheFiscalPrinterType) {
    store("'7'");
    caixa("002");
    writeFile(dir / "Pontax.cds", pontax("9999", "999", "29"));
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    EXPECT_EQ(w.CDFILIAL, "0001");
    EXPECT_EQ(w.CDCAIXA, "002");
    EXPECT_EQ(w.CDLOJA, "03");
    EXPECT_EQ(w.TipoImpFis, 29);
    const auto lines = logLines();
    ASSERT_GE(lines.size(), 8u);
    EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 5),
                ElementsAre("FormCreate", "", "Parâmetros da Exportação de Vendas (Pontax.exe):",
                            "Filial: 0001 Caixa: 002 Loja: 03", ""));
    EXPECT_EQ(lines[5], "Intervalo do timer: 420000, 7 minutos.");
    EXPECT_EQ(lines[6], "Chama BuscaVendas");
    EXPECT_EQ(lines.back(), "QelExp Executando: Não");
    EXPECT_EQ(w.timExpCupons.interval().count(), 420000);
    // The period counts from the moment it was set, not from the first run's end.
    EXPECT_EQ(*w.timExpCupons.nextDue(), clock.monotonicNow() + std::chrono::minutes(7));
    EXPECT_EQ(queryText(stationFile(),
                        "SELECT IDQELEXPEXECUTA FROM QELEXPEXECUTA WHERE "
                        "CDFILIAL = '0001' AND CDCAIXA = '002'"),
              "N");
    EXPECT_EQ(w.state.QtdExecucoes, 1);
    // The handle file is written for the next instance (POSIX: the process id).
    std::ifstream handle(dir / "lastHandle.txt");
    std::string text;
    std::getline(handle, text);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    EXPECT_EQ(text, std::to_string(platform->windowHandle()));
}

// With the station on the command line the file gives only the fiscal
// printer type: a file that cannot give it costs one line, the type is 0 as
// without a file, and the start-up goes on to its timer and first run.
TEST_F(StartUp, WithTheStationOnTheCommandLineAnUnreadableFileCostsOnlyItsLine) {
    store("'7'");
    caixa("002");
    const std::string missingField =
        "<?xml version=\"1.0\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
        "<FIELD attrname=\"CDFILIAL\" fieldtype=\"string\" WIDTH=\"4\"/></FIELDS></METADATA>"
        "<ROWDATA><ROW CDFILIAL=\"0001\"/></ROWDATA></DATAPACKET>";
    const std::vector<std::pair<std::string, std::string>> files = {
        {std::string("\x96\x19\xE0\xBD\x01\x00\x00\x00\x18\x00", 10), "binary"},
        {pontax("0001", "002", "24").substr(0, 200), "truncated"},
        {pontax("0001", "002", "x9"), "x9"},
        {pontax("0001", "002", "99999999999"), "99999999999"},
        {missingField, "IDTIPOIMPFIS"},
        {"", "cannot read"},  // a folder where the file belongs
    };
    for (const auto& [content, fault] : files) {
        SCOPED_TRACE(fault);
        std::filesystem::remove_all(dir / "Pontax.cds");
        if (fault == "cannot read") {
            std::filesystem::create_directory(dir / "Pontax.cds");
        } else {
            writeFile(dir / "Pontax.cds", content);
        }
        const std::size_t before = logLines().size();
        auto& w = makeWindow("X_0001_002_03_");
        w.FormCreate();
        const auto all = logLines();
        const std::vector<std::string> lines(all.begin() + static_cast<std::ptrdiff_t>(before),
                                             all.end());
        ASSERT_GE(lines.size(), 7u);
        EXPECT_EQ(lines[2], "Parâmetros da Exportação de Vendas (Pontax.exe):");
        EXPECT_THAT(lines[3], HasSubstr("Pontax.cds ignorado, TipoImpFis 0: "));
        EXPECT_THAT(lines[3], HasSubstr(fault));
        EXPECT_EQ(lines[4], "Filial: 0001 Caixa: 002 Loja: 03");
        EXPECT_EQ(lines[6], "Intervalo do timer: 420000, 7 minutos.");
        EXPECT_EQ(lines[7], "Chama BuscaVendas");
        EXPECT_EQ(w.TipoImpFis, 0);
        EXPECT_EQ(w.timExpCupons.interval().count(), 420000);
        EXPECT_EQ(logCount("Exception: "), 0u);
    }
}

TEST_F(StartUp, TheFiscalPrinterTypeIsAnyIntAndNothingPastIt) {
    store("'7'");
    caixa("002");
    const std::vector<std::pair<std::string, int>> types = {
        {"2147483647", std::numeric_limits<int>::max()},
        {"-2147483648", std::numeric_limits<int>::min()},
        {"2147483648", 0},
        {"-2147483649", 0}};
    for (const auto& [text, type] : types) {
        SCOPED_TRACE(text);
        writeFile(dir / "Pontax.cds", pontax("0001", "002", text));
        auto& w = makeWindow("X_0001_002_03_");
        w.FormCreate();
        EXPECT_EQ(w.TipoImpFis, type);
    }
    EXPECT_EQ(logCount("Pontax.cds ignorado, TipoImpFis 0: "), 2u);
}

// A command line that leaves a code empty: the store and station come from
// the file, the shop from the station database.
TEST_F(StartUp, ACommandLineWithAnEmptyCodeTakesTheStationFromTheFile) {
    store("'7'");
    caixa("002");
    writeFile(dir / "Pontax.cds", pontax("0001", "002", "24"));
    for (const std::string parameter : {"X__002_03_", "X_0001__03_", "X_0001_002__"}) {
        SCOPED_TRACE(parameter);
        auto& w = makeWindow(parameter);
        w.FormCreate();
        EXPECT_EQ(w.CDFILIAL, "0001");
        EXPECT_EQ(w.CDCAIXA, "002");
        EXPECT_EQ(w.CDLOJA, "03");
    }
    EXPECT_EQ(logCount("Carregar parâmetros (Pontax.exe):"), 3u);
    EXPECT_EQ(logCount("Exception: "), 0u);
}

TEST_F(StartUp, ParameterFileNamesTheStationAndTheDatabaseItsShop) {
    store("'5'");
    caixa("002");
    writeFile(dir / "Pontax.cds", pontax("0001", "002", "24"));
    auto& w = makeWindow();
    w.FormCreate();
    EXPECT_EQ(w.CDLOJA, "03");
    EXPECT_EQ(w.TipoImpFis, 24);
    EXPECT_TRUE(logHas("Parâmetros da Exportação de Vendas (Pontax.cds):"));
    EXPECT_TRUE(logHas("Filial: 0001 Caixa: 002 Loja: 03"));
    EXPECT_FALSE(logHas("Carregar parâmetros (Pontax.exe):"));
}

TEST_F(StartUp, AParameterWithoutItsLastSeparatorStopsTheStartUpAndTheTimerKeeps30Minutes) {
    store("'5'");
    caixa("002");
    auto& w = makeWindow("X_0001_002_03");
    w.FormCreate();
    EXPECT_EQ(logCount("Exception: "), 1u);
    EXPECT_EQ(logCount("Exception: Invalid command-line parameter: the field \"03\" does not "
                       "end with \"_\""),
              1u);
    EXPECT_FALSE(logHas("Chama BuscaVendas"));
    EXPECT_EQ(logCount("Filial: "), 0u);
    EXPECT_EQ(w.timExpCupons.interval().count(), 1800000);
    EXPECT_FALSE(w.ListaCaixas.has_value());
    // A later tick fails in the cycle and still records the station as stopped.
    w.timExpCuponsTimer();
    EXPECT_EQ(logCount("ERRO Except BuscaVendas: "), 1u);
    EXPECT_EQ(logLines().back(), "QelExp Executando: Não");
}

TEST_F(StartUp, NoParameterAndNoFileStopsAtTheParameterFallback) {
    store("'5'");
    auto& w = makeWindow();
    w.FormCreate();
    const auto lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Carregar parâmetros (Pontax.exe):");
    EXPECT_THAT(lines.back(), HasSubstr("Exception: "));
    EXPECT_THAT(lines.back(), HasSubstr("Pontax.cds"));
    EXPECT_EQ(w.timExpCupons.interval().count(), 1800000);
}

TEST_F(StartUp, AHostileParameterFileIsAnExceptionLine) {
    store("'5'");
    writeFile(dir / "Pontax.cds", std::string("\x96\x00\x00\x00binary", 10));
    makeWindow().FormCreate();
    EXPECT_THAT(logLines().back(), HasSubstr("Exception: Pontax.cds: the file is in the binary"));
    writeFile(dir / "Pontax.cds", pontax("0001", "002", "24").substr(0, 200));
    makeWindow().FormCreate();
    EXPECT_THAT(logLines().back(), HasSubstr("Exception: Pontax.cds: the file is truncated"));
}

TEST_F(StartUp, TimerPeriodFromTheStationDatabase) {
    caixa("002");
    store("NULL");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    EXPECT_TRUE(logHas("Intervalo do timer: 300000, 5 minutos."));

    runSql(stationFile(), "UPDATE PARAVEND SET NRMINEXPVENDA = '12345'");
    makeWindow("X_0001_002_03_").FormCreate();
    EXPECT_TRUE(logHas("Intervalo do timer: 740700000, 12345 minutos."));

    runSql(stationFile(), "UPDATE PARAVEND SET NRMINEXPVENDA = '0'");
    auto& never = makeWindow("X_0001_002_03_");
    never.FormCreate();
    EXPECT_TRUE(logHas("Intervalo do timer: 0, 0 minutos."));
    EXPECT_FALSE(never.timExpCupons.nextDue().has_value());

    runSql(stationFile(), "UPDATE PARAVEND SET NRMINEXPVENDA = 'x5'");
    const std::size_t runs = logCount("Chama BuscaVendas");
    auto& bad = makeWindow("X_0001_002_03_");
    bad.FormCreate();
    EXPECT_THAT(logLines().back(), HasSubstr("Exception: "));
    EXPECT_EQ(logCount("Chama BuscaVendas"), runs);
    EXPECT_EQ(bad.timExpCupons.interval().count(), 1800000);
}

// A period the database cannot give is written as the routine's own error,
// then fails the start-up as any unreadable period does.
TEST_F(StartUp, APeriodTheDatabaseCannotGiveIsLoggedAndStopsTheStartUp) {
    caixa("002");
    auto& w = makeWindow("X_0001_002_03_");
    runSql(stationFile(), "DROP TABLE PARAVEND");
    w.FormCreate();
    const auto lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERRO Except VerificaTempo: no such table: PARAVEND");
    EXPECT_THAT(lines.back(), HasSubstr("Exception: "));
    EXPECT_FALSE(logHas("Chama BuscaVendas"));
    EXPECT_EQ(w.timExpCupons.interval().count(), 1800000);
}

TEST_F(StartUp, ACollectorStationEndsWithoutExporting) {
    store("'5'");
    caixa("002", "C");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    const auto lines = logLines();
    EXPECT_EQ(lines.back(), "CAIXA COLETOR NÃO EXPORTA VENDAS.");
    EXPECT_TRUE(logHas("Filial: 0001 Caixa: 002 Loja: 03"));
    EXPECT_FALSE(logHas("Chama BuscaVendas"));
    EXPECT_THAT(recording->askedFor, ElementsAre("QelExp.exe"));
    EXPECT_THAT(recording->terminated, ElementsAre(11, platform->currentProcessId()));

    // Exact comparison: a lower-case c exports.
    runSql(stationFile(), "UPDATE CAIXA SET IDCOLETOR = 'c'");
    makeWindow("X_0001_002_03_").FormCreate();
    EXPECT_TRUE(logHas("Chama BuscaVendas"));
}

TEST_F(StartUp, AStationAnotherExportsForEndsAndAListedOneExportsInOrder) {
    store("'5'");
    caixa("001", "", "003__002_");
    caixa("002");
    caixa("003");
    auto& listed = makeWindow("X_0001_002_03_");
    listed.FormCreate();
    EXPECT_EQ(logLines().back(), "ESTE CAIXA NÃO EXPORTA VENDAS.");
    EXPECT_EQ(recording->terminated.size(), 2u);

    auto& w = makeWindow("X_0001_001_03_");
    w.FormCreate();
    ASSERT_TRUE(w.ListaCaixas.has_value());
    EXPECT_THAT(*w.ListaCaixas, ElementsAre("001", "003", "002"));
    std::vector<std::string> runs;
    for (const auto& l : logLines()) {
        if (l.rfind("CAIXA: ", 0) == 0) runs.push_back(l.substr(7));
    }
    EXPECT_THAT(runs, ElementsAre("001", "003", "002"));
}

TEST_F(StartUp, CloseRecordsTheStationAsNotRunning) {
    store("'5'");
    caixa("002");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    runSql(stationFile(), "UPDATE QELEXPEXECUTA SET IDQELEXPEXECUTA = 'S'");
    w.pmnuiExitClick();
    w.FormDestroy();
    EXPECT_EQ(queryText(stationFile(), "SELECT IDQELEXPEXECUTA FROM QELEXPEXECUTA"), "N");
    EXPECT_FALSE(w.dtmExportaVenda);
    const auto lines = logLines();
    EXPECT_THAT(std::vector<std::string>(lines.end() - 2, lines.end()),
                ElementsAre("QelExp Executando: Não", "FormDestroy"));
}

TEST(SeparaParametros, FieldsEndInSeparatorsAtMostTen) {
    EXPECT_THAT(TfrmExportaVenda::SeparaParametros("X_0001_002_03_"),
                ElementsAre("X", "0001", "002", "03", "", "", "", "", "", ""));
    EXPECT_THAT(TfrmExportaVenda::SeparaParametros("a_b_c_d_e_f_g_h_i_j_  "),
                ElementsAre("a", "b", "c", "d", "e", "f", "g", "h", "i", "j"));
    EXPECT_THAT(TfrmExportaVenda::SeparaParametros("__ 1_"),
                ElementsAre("", "", " 1", "", "", "", "", "", "", ""));
    EXPECT_THROW(TfrmExportaVenda::SeparaParametros("a_b_c_d_e_f_g_h_i_j_k_"), Error);
    EXPECT_THROW(TfrmExportaVenda::SeparaParametros("X_0001_002_03"), Error);
}

using Cycle = AppFixture;

TEST_F(Cycle, WhoExportsDecidesWhatACycleDoes) {
    store("'5'", "S");
    caixa("002");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    EXPECT_EQ(logLines().back(), "Exportação realizada pelo Serviço QelSync");
    EXPECT_EQ(logCount("QelExp Executando: "), 0u);
    EXPECT_EQ(w.state.QtdExecucoes, 0);

    runSql(stationFile(), "UPDATE PARAVEND SET IDTIPOEXPORTA = 'X'");
    const auto before = logLines().size();
    w.BuscaVendas();
    EXPECT_EQ(logLines().size(), before);

    // An unreadable type counts as "F".
    runSql(stationFile(), "DROP TABLE PARAVEND");
    w.BuscaVendas();
    const auto lines = logLines();
    EXPECT_EQ(lines[lines.size() - 2], "Exportação realizada pelo QelExp");
    EXPECT_EQ(lines.back(), "QelExp Executando: Não");
}

// The running flag is only a record: when it cannot be written, each of
// its two writes logs why and the cycle exports and counts as usual.
TEST_F(Cycle, ARunningFlagThatCannotBeWrittenDoesNotStopTheCycle) {
    store("'5'");
    caixa("002");
    runSql(stationFile(), "DROP TABLE QELEXPEXECUTA");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    const std::string error = "ERRO Except QelExpRodando: no such table: QELEXPEXECUTA";
    const auto lines = logLines();
    const auto first = std::find(lines.begin(), lines.end(), error);
    const auto run = std::find(lines.begin(), lines.end(), "CAIXA: 002");
    ASSERT_NE(first, lines.end());
    EXPECT_LT(first, run);
    ASSERT_NE(run, lines.end());
    EXPECT_THAT(std::vector<std::string>(lines.end() - 2, lines.end()),
                ElementsAre("Exportação realizada pelo QelExp", error));
    EXPECT_EQ(logCount("ERRO Except QelExpRodando: "), 2u);
    EXPECT_EQ(w.state.QtdExecucoes, 1);
}

TEST_F(Cycle, TheHundredAndFirstCycleRestartsTheAgent) {
    store("'5'");
    caixa("002");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();  // the first cycle counts
    for (int i = 2; i <= 100; ++i) w.BuscaVendas();
    EXPECT_TRUE(recording->restarts.empty());
    EXPECT_EQ(logCount("Reinicia após 100 execuções"), 0u);
    w.BuscaVendas();
    EXPECT_THAT(recording->restarts, ElementsAre("QelExp.exe"));
    EXPECT_EQ(logLines().back(), "Reinicia após 100 execuções");
}

TEST_F(Cycle, ARestartRequestStopsTheCycleAfterTheCurrentStation) {
    store("'5'");
    caixa("001", "", "002");
    caixa("002");
    auto& w = makeWindow("X_0001_001_03_");
    w.FormCreate();
    w.state.setReiniciarAgora(true);
    const auto before = logCount("CAIXA: ");
    w.BuscaVendas();
    EXPECT_EQ(logCount("CAIXA: "), before + 1);
    EXPECT_THAT(recording->restarts, ElementsAre("QelExp.exe"));
    EXPECT_EQ(logLines().back(), "Reinicia devido ao tempo limite de execução.");
}

}  // namespace
}  // namespace qel::testing
