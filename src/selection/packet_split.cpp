#include "selection/packet_split.h"

#include <algorithm>

#include "core/dataset.h"
#include "core/error.h"
#include "protocol/codec.h"

namespace qel::agent {
namespace {

std::size_t encodedSize(const VariantArray& packets) {
    return protocol::encode(Variant(packets)).size();
}

// At least the encoded size of a value, found without encoding it (most
// transfers are far below the bound and need no exact figure).
std::size_t sizeBound(const Variant& v) {
    switch (v.kind()) {
        case VariantKind::String:
            return v.get<std::string>()->size() + 5;
        case VariantKind::Blob:
            return v.get<Bytes>()->size() + 5;
        case VariantKind::Array: {
            std::size_t n = 5;
            for (const Variant& e : v.asArray()) n += sizeBound(e);
            return n;
        }
        case VariantKind::Packet: {
            const Dataset& ds = v.asPacket();
            std::size_t n = 32;
            for (const FieldDef& f : ds.fields()) n += f.name.size() + 32;
            for (const Row& r : ds.rows()) {
                n += 5;
                for (const Variant& e : r) n += sizeBound(e);
            }
            return n;
        }
        default:
            return 12;  // numbers, dates, decimals, nil, booleans
    }
}

// Part `part` of `parts` of every packet's rows.
VariantArray share(const VariantArray& packets, std::size_t part, std::size_t parts) {
    VariantArray out;
    out.reserve(packets.size());
    for (const Variant& element : packets) {
        if (!element.isPacket()) {
            out.push_back(element);
            continue;
        }
        const Dataset& all = element.asPacket();
        const std::size_t n = all.rows().size();
        auto piece = std::make_shared<Dataset>(all.fields());
        piece->rows().assign(
            all.rows().begin() + static_cast<std::ptrdiff_t>(n * part / parts),
            all.rows().begin() + static_cast<std::ptrdiff_t>(n * (part + 1) / parts));
        out.emplace_back(std::shared_ptr<const Dataset>(std::move(piece)));
    }
    return out;
}

}  // namespace

std::vector<VariantArray> splitPacketArray(const VariantArray& packets, std::size_t maxBytes) {
    std::size_t bound = 5;
    for (const Variant& element : packets) bound += sizeBound(element);
    if (bound <= maxBytes) return {packets};
    const std::size_t total = encodedSize(packets);
    if (total <= maxBytes) return {packets};
    std::size_t mostRows = 1;
    for (const Variant& element : packets) {
        if (element.isPacket()) mostRows = std::max(mostRows, element.asPacket().rows().size());
    }
    // Rows of one table are alike in size, so sharing each table out evenly
    // gives parts of about total/parts; more parts when one is still too large.
    std::size_t parts = std::min(mostRows, total / std::max<std::size_t>(maxBytes / 4 * 3, 1) + 1);
    for (;;) {
        std::vector<VariantArray> out;
        bool fits = true;
        for (std::size_t p = 0; p < parts && fits; ++p) {
            out.push_back(share(packets, p, parts));
            fits = encodedSize(out.back()) <= maxBytes;
        }
        if (fits || parts >= mostRows) {
            if (!fits) {  // a row too large for any part: finish the split as it is
                for (std::size_t p = out.size(); p < parts; ++p)
                    out.push_back(share(packets, p, parts));
            }
            return out;
        }
        parts = std::min(mostRows, parts * 2);
    }
}

Variant joinVerificationAnswers(const std::vector<Variant>& answers) {
    if (answers.size() == 1) return answers.front();
    // Per element of the first answer: its packet's rows followed by those
    // of the other parts (elements that are not packets are kept as they are).
    VariantArray first;
    std::vector<std::shared_ptr<Dataset>> joined;
    for (std::size_t part = 0; part < answers.size(); ++part) {
        if (!answers[part].isArray()) {
            throw ServerError("Resposta de verificação inválida: esperado um array, veio " +
                              std::string(kindName(answers[part].kind())));
        }
        const VariantArray& answer = answers[part].asArray();
        if (part == 0) {
            first = answer;
            for (const Variant& element : answer) {
                joined.push_back(element.isPacket() ? std::make_shared<Dataset>(element.asPacket())
                                                    : nullptr);
            }
            continue;
        }
        if (answer.size() != joined.size()) {
            throw ServerError("Respostas de verificação das partes com tamanhos diferentes");
        }
        for (std::size_t i = 0; i < answer.size(); ++i) {
            if (!joined[i]) continue;
            if (!answer[i].isPacket() ||
                answer[i].asPacket().fields().size() != joined[i]->fields().size()) {
                throw ServerError("Elemento " + std::to_string(i) +
                                  " das respostas de verificação difere entre as partes");
            }
            const auto& rows = answer[i].asPacket().rows();
            joined[i]->rows().insert(joined[i]->rows().end(), rows.begin(), rows.end());
        }
    }
    for (std::size_t i = 0; i < joined.size(); ++i) {
        if (joined[i]) first[i] = Variant(std::shared_ptr<const Dataset>(std::move(joined[i])));
    }
    return Variant(std::move(first));
}

}  // namespace qel::agent
