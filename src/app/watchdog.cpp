#include "app/watchdog.h"

#include <exception>

#include "core/error.h"

namespace qel::app {
namespace {

// Milliseconds from `from` until `now` on the monotonic clock, which a step
// of the machine's clock does not move.
std::int64_t elapsedMs(const Moment& from, MonotonicTime now) {
    return (now - from.monotonic).count();
}

std::string wallText(const Moment& moment) {
    return moment.wall.format("dd/mm/yyyy hh:mm:ss");
}

}  // namespace

onDisparaThreadQelExp::onDisparaThreadQelExp(Context context) : context_(std::move(context)) {}

onDisparaThreadQelExp::~onDisparaThreadQelExp() {
    stop();
}

void onDisparaThreadQelExp::start() {
    thread_ = std::thread([this] { Execute(); });
}

void onDisparaThreadQelExp::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool onDisparaThreadQelExp::sleep(std::chrono::milliseconds duration) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
    }
    if (context_.sleep) return context_.sleep(duration);
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, duration, [this] { return stopping_; });
}

void onDisparaThreadQelExp::line(const std::string& message) {
    // A line the run log cannot take is lost, and only the line: the
    // restart it announces still happens and the watchdog watches on. Were
    // the thread to end here, a main thread that later hangs would never be
    // restarted.
    try {
        context_.log(message);
    } catch (const IoError&) {
    }
}

std::string onDisparaThreadQelExp::agentPath() const {
    return context_.executableFolder.string() + "\\QelExp.exe";
}

bool onDisparaThreadQelExp::pass() {
    if (!sleep(kStep)) return false;
    SharedState& state = context_.state;
    const Clock& clock = context_.clock;

    if (elapsedMs(state.ultimaAtividade(), clock.monotonicNow()) > kInactivityMs) {
        line("Reinicia o QelExp apos 15 minutos parado: " + wallText(state.ultimaAtividade()) +
             " " + agentPath());
        context_.restart();
        state.setUltimaAtividade(clock.moment());
    }
    if (elapsedMs(state.inicioExecucao(), clock.monotonicNow()) > kRunningMs) {
        state.setReiniciarAgora(true);
        line("Avisa o QelExp que ele deve reiniciar.");
        state.setInicioExecucao(clock.moment());
        // The notice: a station or cycle that ends now restarts the agent
        // from the main thread.
        if (!sleep(kNotice)) return false;
        line("Força a reinicialização  do QelExp apos 240 minutos executando: " +
             wallText(state.ultimaAtividade()) + " " + agentPath());
        context_.restart();
        state.setInicioExecucao(clock.moment());
    }
    state.setReiniciarAgora(false);
    return true;
}

void onDisparaThreadQelExp::Execute() {
    try {
        while (pass()) {
        }
    } catch (const std::exception& e) {
        try {
            context_.log(std::string("Erro DisparaThreadQelSinc:") + e.what());
        } catch (...) {
            // The log itself is failing; the thread ends all the same.
        }
    }
}

}  // namespace qel::app
