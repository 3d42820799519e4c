#include "definitions/statement.h"

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/error.h"
#include "definitions/statement_builders.h"

namespace qel::definitions {
namespace detail {

std::string_view persist(std::string text) {
    static std::mutex mutex;
    static std::deque<std::string> texts;  // a deque never moves its elements
    std::lock_guard lock(mutex);
    return texts.emplace_back(std::move(text));
}

namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (auto pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos)) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

}  // namespace

std::string_view sqliteOf(std::string_view sqlServer) {
    // Constructs whose SQLite form depends on the context: the statement must
    // give its SQLite text by hand.
    static constexpr std::string_view kHandWritten[] = {
        "+", "TOP(", "ROUND(", "DATEADD(", "DATEPART(", "sys.", "DELETE NOVOCODIGO"};
    for (auto construct : kHandWritten) {
        if (sqlServer.find(construct) != std::string_view::npos) {
            throw Error("statement needs a hand-written SQLite text (" + std::string(construct) +
                        "): " + std::string(sqlServer.substr(0, 60)));
        }
    }
    std::string text(sqlServer);
    replaceAll(text, "CONVERT(VARCHAR,", "CONVERT_STYLE(");
    replaceAll(text, "ISNULL(", "IFNULL(");
    replaceAll(text, "DATEDIFF(mi,", "DATEDIFF('mi',");
    replaceAll(text, "DATEDIFF(MI,", "DATEDIFF('mi',");
    // Rows without a sale are found through the partial index of their
    // pending export flag; the unary '+' keeps SQLite's planner from taking
    // the sale index instead, whose NULL group holds the whole history.
    for (std::string_view alias : {"M.", "L."}) {
        replaceAll(text, std::string(alias) + "NRSEQVENDA IS NULL",
                   "+" + std::string(alias) + "NRSEQVENDA IS NULL");
    }
    // A customer-account row without a sale is found through the partial index
    // of pending rows, not by walking every shift of the history.
    replaceAll(text, "(E.DTABERCAIX = T.DTABERCAIX)", "(+E.DTABERCAIX = T.DTABERCAIX)");
    // The children of pending reductions: sorting the few pending ones beats
    // walking every reduction in key order.
    replaceAll(text, "ORDER BY R.DTREDUCAOZ", "ORDER BY +R.DTREDUCAOZ");
    return persist(std::move(text));
}

}  // namespace detail

namespace {

struct Catalogue {
    std::vector<Statement> statements;
    std::unordered_map<std::string_view, std::size_t> byName;

    Catalogue() {
        detail::addRunStatements(statements);
        detail::addSaleSelections(statements);
        detail::addStationSelections(statements);
        detail::addAcknowledgementStatements(statements);
        detail::addCorrectionStatements(statements);
        detail::addCleanupStatements(statements);
        detail::addCentralStatements(statements);
        detail::addReconciliationStatements(statements);
        for (std::size_t i = 0; i < statements.size(); ++i) {
            if (!byName.emplace(statements[i].name, i).second) {
                throw Error("statement defined twice: " + std::string(statements[i].name));
            }
        }
    }
};

const Catalogue& catalogue() {
    static const Catalogue instance;
    return instance;
}

}  // namespace

std::span<const Statement> allStatements() {
    return catalogue().statements;
}

const Statement& statement(std::string_view name) {
    const auto& all = catalogue();
    const auto found = all.byName.find(name);
    if (found == all.byName.end()) throw Error("unknown statement: " + std::string(name));
    return all.statements[found->second];
}

}  // namespace qel::definitions
