#pragma once

#include <string>

#include "core/variant.h"

namespace qel::protocol {

// Every server method answers one envelope: the array [true, payload] when
// the method succeeded, [false, message] when it failed.
Variant successAnswer(Variant payload);
Variant failureAnswer(std::string message);

// Whether a value has the shape of an envelope (either kind).
bool isEnvelope(const Variant& answer);

// The message of a failure envelope; nullptr for anything else.
const std::string* failureMessage(const Variant& answer);

// The payload of a success envelope. A failure envelope raises ServerError
// with the server's message; anything that is not an envelope raises
// ServerError saying what arrived instead.
Variant unwrapAnswer(const Variant& answer);

}  // namespace qel::protocol
