#include "selection/result_fields.h"

#include <vector>

#include "core/error.h"
#include "core/text.h"

namespace qel::agent {
namespace {

const std::vector<FieldDef>* declaredFields(std::string_view resultDataset) {
    static const std::vector<FieldDef> kMovBeneCtr = {
        {"CDCLIENTE", FieldType::String, 21, 0},      {"CDCONSUMIDOR", FieldType::String, 21, 0},
        {"CDCAMPANHA", FieldType::String, 10, 0},     {"NRSEQPRODCAMP", FieldType::String, 10, 0},
        {"NRSEQBENEFICIO", FieldType::String, 10, 0}, {"IDSITUACAO", FieldType::String, 3, 0},
        {"QTDEBENEFICIO", FieldType::Float, 0, 0}};
    static const std::vector<FieldDef> kTotalDiaCaixa = {{"CDFILIAL", FieldType::String, 4, 0},
                                                         {"CDCAIXA", FieldType::String, 3, 0},
                                                         {"DTTOTAL", FieldType::Date, 0, 0},
                                                         {"IDSITUACAO", FieldType::String, 3, 0}};
    if (resultDataset == "cdsRetMovBeneCtr") return &kMovBeneCtr;
    if (resultDataset == "cdsRetTotalDiaCaixa") return &kTotalDiaCaixa;
    return nullptr;
}

}  // namespace

void requireDeclaredFields(std::string_view resultDataset, const Dataset& packet) {
    const std::vector<FieldDef>* declared = declaredFields(resultDataset);
    if (declared == nullptr) return;
    const std::string where = std::string(resultDataset) + ": ";
    if (packet.fields().size() != declared->size()) {
        throw ServerError(where + "o pacote tem " + std::to_string(packet.fields().size()) +
                          " campos; esperados " + std::to_string(declared->size()));
    }
    for (const FieldDef& expected : *declared) {
        const int index = packet.findField(expected.name);
        if (index < 0) throw ServerError(where + "campo " + expected.name + " ausente no pacote");
        const FieldDef& got = packet.fields()[static_cast<std::size_t>(index)];
        if (got.type != expected.type ||
            (expected.type == FieldType::String && got.size != expected.size)) {
            throw ServerError(where + "campo " + expected.name + " do tipo " +
                              fieldTypeName(got.type) + "(" + std::to_string(got.size) +
                              "); esperado " + fieldTypeName(expected.type) + "(" +
                              std::to_string(expected.size) + ")");
        }
    }
}

}  // namespace qel::agent
