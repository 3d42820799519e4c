#pragma once

#include <functional>
#include <string>
#include <vector>

#include "credentials.h"

namespace qel::server {

// Re-reads a running server's credentials files: the station credentials
// and the operator tokens, each optional (an empty path is not watched).
// Each file is taken as a whole or not at all: one that cannot be read or
// has an error leaves the set in use as it is, and the log says why.
class CredentialsReload {
  public:
    struct Targets {
        std::function<void(Credentials)> stations;
        std::function<void(std::vector<std::string>)> operators;
    };
    using Log = std::function<void(const std::string&)>;

    // The files as the server loaded them at its start.
    CredentialsReload(std::string stationsFile, std::string operatorsFile, Targets targets,
                      Log log);

    // Reads every file now (on SIGHUP). True when each was taken.
    bool reload();
    // Reads a file again when it changed since it was last read and has
    // stayed the same since the previous look, so that a file still being
    // written is not taken half-way. Called every few seconds.
    void reloadChanged();

  private:
    // What tells a file's content changed: replaced, rewritten or resized.
    struct Stamp {
        bool exists = false;
        unsigned long long inode = 0;
        long long size = 0;
        long long modifiedNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    struct Watched {
        std::string path;
        bool stations = false;  // else the operator tokens
        Stamp loaded;           // the file as last read
        Stamp seen;             // the file at the previous look
    };
    static Stamp stampOf(const std::string& path);
    bool read(Watched& file);

    std::vector<Watched> files_;
    Targets targets_;
    Log log_;
};

}  // namespace qel::server
