#include "app/watchdog.h"

#include <cmath>
#include <exception>

namespace qel::app {
namespace {

// Milliseconds from `from` to `to`, rounded: DateTime is exact to the
// millisecond and the difference of two doubles is not.
std::int64_t elapsedMs(DateTime from, DateTime to) {
    return std::llround((to.value() - from.value()) * static_cast<double>(kMillisecondsPerDay));
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

std::string onDisparaThreadQelExp::agentPath() const {
    return context_.executableFolder.string() + "\\QelExp.exe";
}

bool onDisparaThreadQelExp::pass() {
    if (!sleep(kStep)) return false;
    SharedState& state = context_.state;
    const Clock& clock = context_.clock;

    if (elapsedMs(state.ultimaAtividade(), clock.now()) > kInactivityMs) {
        context_.log("Reinicia o QelExp apos 15 minutos parado: " +
                     state.ultimaAtividade().format("dd/mm/yyyy hh:mm:ss") + " " + agentPath());
        context_.restart();
        state.setUltimaAtividade(clock.now());
    }
    if (elapsedMs(state.inicioExecucao(), clock.now()) > kRunningMs) {
        state.setReiniciarAgora(true);
        context_.log("Avisa o QelExp que ele deve reiniciar.");
        state.setInicioExecucao(clock.now());
        // The notice: a station or cycle that ends now restarts the agent
        // from the main thread.
        if (!sleep(kNotice)) return false;
        context_.log("Força a reinicialização  do QelExp apos 240 minutos executando: " +
                     state.ultimaAtividade().format("dd/mm/yyyy hh:mm:ss") + " " + agentPath());
        context_.restart();
        state.setInicioExecucao(clock.now());
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
