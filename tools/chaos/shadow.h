#pragma once

#include <filesystem>

namespace qel::chaos {

// Makes a station database remember every row of the checked tables it ever
// had, so that rows the cleanup deletes can still be checked: per table a
// shadow table with the same columns (the latest version of each row while
// it waits for export) filled by insert and update triggers that the
// agent's cleanup never touches. Rows already waiting when the shadows are
// installed are copied in; rows already exported before are not followed.
// Installing twice changes nothing. Throws DatabaseError.
void installShadows(const std::filesystem::path& stationFile);

}  // namespace qel::chaos
