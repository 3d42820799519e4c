// Where the agent learns which station it runs on: command-line parameter 1
// or the point-of-sale program's parameter file, and the store's shop code
// from the station database.
#include <filesystem>
#include <limits>

#include "app/main_window.h"
#include "contracts/support_library.h"
#include "core/error.h"

namespace qel::app {

std::vector<std::string> TfrmExportaVenda::SeparaParametros(std::string text) {
    constexpr std::size_t kFields = 10;
    std::vector<std::string> fields(kFields);
    std::size_t index = 0;
    while (!contracts::EmptyString(text)) {
        const auto separator = text.find('_');
        if (separator == std::string::npos) {
            throw Error("Invalid command-line parameter: the field \"" + text +
                        "\" does not end with \"_\"");
        }
        if (index >= kFields) {
            throw Error("Invalid command-line parameter: more than 10 fields");
        }
        fields[index++] = text.substr(0, separator);
        text.erase(0, separator + 1);
    }
    return fields;
}

bool TfrmExportaVenda::loadParameterFile() {
    const auto file = context_.executableFolder / kParameterFile;
    if (!std::filesystem::exists(file)) return false;
    cdsPontax_ = PontaxFile::load(file);
    return true;
}

void TfrmExportaVenda::readStationParameters() {
    const auto fileExists = [this] {
        return std::filesystem::exists(context_.executableFolder / kParameterFile);
    };
    const auto tipoImpFis = [this] {
        const std::int64_t value = cdsPontax_->integer("IDTIPOIMPFIS");
        if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
            throw ConversionError("'" + std::to_string(value) + "' is not a valid integer value");
        }
        return static_cast<int>(value);
    };

    const bool fromCommandLine = !contracts::EmptyString(context_.commandLineParameter);
    if (fromCommandLine) {
        GravaLog("Parâmetros da Exportação de Vendas (Pontax.exe):");
        const std::vector<std::string> fields = SeparaParametros(context_.commandLineParameter);
        CDFILIAL = fields[1];
        CDCAIXA = fields[2];
        CDLOJA = fields[3];
    } else {
        GravaLog("Parâmetros da Exportação de Vendas (Pontax.cds):");
        if (loadParameterFile()) {
            CDFILIAL = cdsPontax_->text("CDFILIAL");
            CDCAIXA = cdsPontax_->text("CDCAIXA");
            TipoImpFis = tipoImpFis();
            dataModule().GetLoja(CDFILIAL, CDCAIXA, CDLOJA);
        }
    }
    // The fiscal printer type always comes from the file, also when the
    // command line named the station. There the station is known without
    // the file: one the agent cannot read (the binary form, truncated, a
    // type that is no integer) costs its own line and leaves the type 0, as
    // without a file, instead of the whole start-up.
    if ((!cdsPontax_ || !cdsPontax_->hasRecord()) && fileExists()) {
        try {
            loadParameterFile();
            TipoImpFis = tipoImpFis();
        } catch (const Error& e) {
            if (!fromCommandLine) throw;
            TipoImpFis = 0;
            GravaLog(std::string("Pontax.cds ignorado, TipoImpFis 0: ") + e.what());
        }
    }
    if (CDFILIAL.empty() || CDCAIXA.empty() || CDLOJA.empty()) {
        GravaLog("Carregar parâmetros (Pontax.exe):");
        if (!cdsPontax_) {
            throw Error("cdsPontax: Cannot perform this operation on a closed dataset (" +
                        std::string(kParameterFile) + " not found in " +
                        context_.executableFolder.string() + ")");
        }
        CDFILIAL = cdsPontax_->text("CDFILIAL");
        CDCAIXA = cdsPontax_->text("CDCAIXA");
        dataModule().GetLoja(CDFILIAL, CDCAIXA, CDLOJA);
    }
}

}  // namespace qel::app
