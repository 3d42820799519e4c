#pragma once

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/datetime.h"

namespace qel::chaos {

// One line of the fault journal: a fault that fired, or a process started
// again after one (kind "restart"), at the local time the agents' run logs use.
struct JournalEntry {
    DateTime at;
    std::string kind;    // a fault name, or "restart"
    std::string target;  // "server", "all" or an agent's name
    // What the fault itself measured, in seconds: for a clock step, the time
    // to the next export (negative: none came in time); for a long outage,
    // the time its backlog took to drain.
    std::optional<double> measured;
};

// The run's journal, one tab-separated line per entry, appended as it goes
// so that a crashed run still leaves what it did.
class Journal {
  public:
    explicit Journal(const std::filesystem::path& file);
    void add(const JournalEntry& entry);

  private:
    std::mutex mutex_;
    std::ofstream out_;
};

// Reads a journal; malformed lines are an Error naming the line.
std::vector<JournalEntry> readJournal(const std::filesystem::path& file);

}  // namespace qel::chaos
