#pragma once

#include <string>

namespace qel::agent {

// The values one export run works with: the station identity, the
// movement-day filter, the sales limit and the sales window. Every selection
// binds its parameters from here; the next run replaces them.
struct RunValues {
    std::string CDFILIAL;
    std::string CDCAIXA;  // for an associated station, that station's code
    std::string CDLOJA;
    std::string FiltroDtMovim = "T";  // "T" (all days) or one day "DD/MM/YYYY"
    std::string QtdMaxVendasExp = "100";
    std::string NrSeqVendaIni;  // first sale of the window; empty when no sale qualifies
    std::string NrSeqVendaFin;  // last sale of the window
};

// Where the store keeps its consumers' passwords, read from PARAVEND once
// per run.
struct CentralConsumerConfig {
    std::string databaseName;
    std::string schemaName;
    std::string flag = "N";  // exactly "S": passwords are in the central database
    bool isCentral() const { return flag == "S"; }
};

}  // namespace qel::agent
