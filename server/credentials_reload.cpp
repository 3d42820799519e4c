#include "credentials_reload.h"

#include <sys/stat.h>

#include <exception>

#include "core/error.h"
#include "monitoring.h"

namespace qel::server {

CredentialsReload::CredentialsReload(std::string stationsFile, std::string operatorsFile,
                                     Targets targets, Log log)
    : targets_(std::move(targets)), log_(std::move(log)) {
    if (!stationsFile.empty()) files_.push_back({std::move(stationsFile), true, {}, {}});
    if (!operatorsFile.empty()) files_.push_back({std::move(operatorsFile), false, {}, {}});
    for (Watched& file : files_) file.loaded = file.seen = stampOf(file.path);
}

CredentialsReload::Stamp CredentialsReload::stampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return {true, static_cast<unsigned long long>(info.st_ino),
            static_cast<long long>(info.st_size),
            static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
}

bool CredentialsReload::reload() {
    bool all = true;
    for (Watched& file : files_) all = read(file) && all;
    return all;
}

void CredentialsReload::reloadChanged() {
    for (Watched& file : files_) {
        const Stamp now = stampOf(file.path);
        if (now != file.loaded && now == file.seen) read(file);
        file.seen = now;
    }
}

bool CredentialsReload::read(Watched& file) {
    // Stamped before reading: a change made while reading is seen next time.
    const Stamp before = stampOf(file.path);
    file.loaded = file.seen = before;
    const char* what = file.stations ? "station credentials" : "operator credentials";
    try {
        if (file.stations) {
            Credentials next = Credentials::load(file.path);
            // An empty file is far more often one caught while being
            // written than a wish to shut every station out.
            if (next.empty()) throw ConfigError("the file lists no credential");
            const std::size_t count = next.size();
            targets_.stations(std::move(next));
            log_("reloaded the station credentials from " + file.path + ": " +
                 std::to_string(count) + " credential(s)");
        } else {
            std::vector<std::string> tokens = loadOperatorTokens(file.path);
            const std::size_t count = tokens.size();
            targets_.operators(std::move(tokens));
            log_("reloaded the operator credentials from " + file.path + ": " +
                 std::to_string(count) + " token(s)");
        }
        return true;
    } catch (const std::exception& e) {
        log_(std::string("kept the ") + what + " in use, " + file.path +
             " was not taken: " + e.what());
        return false;
    }
}

}  // namespace qel::server
