#include "proxy_state.h"

#include <sys/socket.h>
#include <unistd.h>

namespace qel::faults {

Upstream ProxyState::upstream() const {
    std::lock_guard lock(mutex_);
    return upstream_;
}

void ProxyState::setUpstream(Upstream upstream) {
    std::lock_guard lock(mutex_);
    upstream_ = std::move(upstream);
}

void ProxyState::arm(ArmedFault fault) {
    std::lock_guard lock(mutex_);
    armed_.push_back(fault);
}

void ProxyState::disarm() {
    std::lock_guard lock(mutex_);
    armed_.clear();
}

std::size_t ProxyState::armedCount() const {
    std::lock_guard lock(mutex_);
    return armed_.size();
}

void ProxyState::setRandomFaults(double rate, std::vector<ProxyFault> faults, int delayMs) {
    std::lock_guard lock(mutex_);
    randomRate_ = faults.empty() ? 0 : rate;
    randomFaults_ = std::move(faults);
    randomDelayMs_ = delayMs;
}

ArmedFault ProxyState::takeFault() {
    std::lock_guard lock(mutex_);
    if (!armed_.empty()) {
        const ArmedFault next = armed_.front();
        armed_.pop_front();
        return next;
    }
    if (randomRate_ <= 0) return {};
    // 53 random bits as a fraction in [0, 1).
    const double roll = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
    if (roll >= randomRate_) return {};
    return {randomFaults_[rng_() % randomFaults_.size()], randomDelayMs_};
}

void ProxyState::giveBack(ArmedFault fault) {
    if (fault.fault == ProxyFault::None) return;
    std::lock_guard lock(mutex_);
    armed_.push_front(fault);
}

void ProxyState::countFired(ProxyFault fault) {
    if (fault == ProxyFault::None) return;
    std::lock_guard lock(mutex_);
    ++fired_[fault];
}

void ProxyState::countForwarded(std::uint64_t bodyBytes) {
    std::lock_guard lock(mutex_);
    ++forwarded_;
    bodyBytes_ += bodyBytes;
}

void ProxyState::countBodyBytes(std::uint64_t bodyBytes) {
    std::lock_guard lock(mutex_);
    bodyBytes_ += bodyBytes;
}

std::map<ProxyFault, int> ProxyState::fired() const {
    std::lock_guard lock(mutex_);
    return fired_;
}

std::uint64_t ProxyState::requestsForwarded() const {
    std::lock_guard lock(mutex_);
    return forwarded_;
}

std::uint64_t ProxyState::requestBytes() const {
    std::lock_guard lock(mutex_);
    return bodyBytes_;
}

std::uint64_t ProxyState::draw() {
    std::lock_guard lock(mutex_);
    return rng_();
}

void ProxyState::track(int fd) {
    std::lock_guard lock(mutex_);
    sockets_.insert(fd);
    // A socket opened while stopping is woken at once.
    if (stopping_) ::shutdown(fd, SHUT_RDWR);
}

void ProxyState::release(int fd, bool reset) {
    if (fd < 0) return;
    {
        // Forgotten before it is closed, so stop() never touches a number
        // the system has handed out again.
        std::lock_guard lock(mutex_);
        sockets_.erase(fd);
    }
    if (reset) {
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    ::close(fd);
}

bool ProxyState::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

void ProxyState::stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
    stopped_.notify_all();
}

bool ProxyState::sleepUnlessStopped(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, delay, [this] { return stopping_; });
}

}  // namespace qel::faults
