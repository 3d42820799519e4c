#pragma once

#include <stdexcept>
#include <string>

namespace qel {

// Root of every error the agent raises. The message is what ends up in the
// run log after "ERRO Except <routine>: ", so it must be readable on its own.
class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// A value that does not convert to the requested type.
class ConversionError : public Error {
    using Error::Error;
};

// A database engine or driver error; carries the engine's message.
class DatabaseError : public Error {
    using Error::Error;
};

// A failed call to the application server or a malformed answer.
class ServerError : public Error {
    using Error::Error;
};

// A broken configuration value (registry, configuration file, parameters).
class ConfigError : public Error {
    using Error::Error;
};

// A file-system or operating-system failure; carries the system's message.
class IoError : public Error {
    using Error::Error;
};

}  // namespace qel
