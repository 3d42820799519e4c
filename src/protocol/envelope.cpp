#include "protocol/envelope.h"

#include "core/error.h"

namespace qel::protocol {

Variant successAnswer(Variant payload) {
    return Variant(VariantArray{Variant(true), std::move(payload)});
}

Variant failureAnswer(std::string message) {
    return Variant(VariantArray{Variant(false), Variant(std::move(message))});
}

bool isEnvelope(const Variant& answer) {
    if (!answer.isArray()) return false;
    const VariantArray& a = answer.asArray();
    if (a.size() != 2) return false;
    const bool* ok = a[0].get<bool>();
    if (!ok) return false;
    return *ok || a[1].kind() == VariantKind::String;
}

const std::string* failureMessage(const Variant& answer) {
    if (!answer.isArray() || answer.asArray().size() != 2) return nullptr;
    const bool* ok = answer.asArray()[0].get<bool>();
    if (!ok || *ok) return nullptr;
    return answer.asArray()[1].get<std::string>();
}

Variant unwrapAnswer(const Variant& answer) {
    if (!isEnvelope(answer)) {
        std::string what = kindName(answer.kind());
        if (answer.isArray())
            what += " of " + std::to_string(answer.asArray().size()) + " elements";
        throw ServerError("Invalid answer from the application server (" + what +
                          " instead of [status, payload])");
    }
    const VariantArray& a = answer.asArray();
    const bool* ok = a[0].get<bool>();
    if (ok && *ok) return a[1];
    const std::string* message = a[1].get<std::string>();
    throw ServerError(message ? *message : std::string("Failure without a message"));
}

}  // namespace qel::protocol
