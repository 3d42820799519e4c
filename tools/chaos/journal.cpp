#include "journal.h"

#include "core/error.h"

namespace qel::chaos {

Journal::Journal(const std::filesystem::path& file) : out_(file, std::ios::app) {
    if (!out_) throw IoError("cannot write the journal " + file.string());
}

void Journal::add(const JournalEntry& entry) {
    std::lock_guard lock(mutex_);
    out_ << entry.at.toIso() << '\t' << entry.kind << '\t' << entry.target;
    if (entry.measured) out_ << '\t' << *entry.measured;
    out_ << '\n';
    out_.flush();
}

std::vector<JournalEntry> readJournal(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) throw IoError("cannot read the journal " + file.string());
    std::vector<JournalEntry> out;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) continue;
        const auto a = line.find('\t');
        const auto b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) {
            throw Error(file.string() + ":" + std::to_string(number) + ": not a journal line");
        }
        try {
            JournalEntry e{DateTime::parse(line.substr(0, a)), line.substr(a + 1, b - a - 1),
                           line.substr(b + 1), std::nullopt};
            const auto c = e.target.find('\t');
            if (c != std::string::npos) {
                e.measured = std::stod(e.target.substr(c + 1));
                e.target.resize(c);
            }
            out.push_back(std::move(e));
        } catch (const std::exception& e) {
            throw Error(file.string() + ":" + std::to_string(number) + ": " + e.what());
        }
    }
    return out;
}

}  // namespace qel::chaos
