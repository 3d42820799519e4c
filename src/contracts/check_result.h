#pragma once

#include "core/variant.h"

namespace qel::contracts {

// Unwraps a server method's result. The envelope is a two-element array:
// [true, payload] for success, [false, message] for a failure the server
// reports. Returns the payload; throws ServerError with the server's message
// for a failure, and ServerError for anything that is not an envelope.
// The flag and number are part of the call's shape (always true and 0).
Variant CheckResultServ(const Variant& result, bool raiseOnError = true, int options = 0);

}  // namespace qel::contracts
