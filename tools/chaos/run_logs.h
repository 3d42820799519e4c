#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/datetime.h"

namespace qel::chaos {

// The line a run log gets when an export run completed.
inline constexpr std::string_view kExportSucceeded = "EXPORTAÇÃO REALIZADA COM SUCESSO";

// The times of the completed export runs in one agent's run logs
// (<folder>/Dados/Qel_Exp/Qel_Exp*.txt, Windows-1252), in time order.
std::vector<DateTime> completedExports(const std::filesystem::path& agentFolder);

// The same for every agent folder under `agentsFolder`, by folder name.
std::map<std::string, std::vector<DateTime>> completedExportsByAgent(
    const std::filesystem::path& agentsFolder);

}  // namespace qel::chaos
