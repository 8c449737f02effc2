// CallGate: the calls one object lets run at once from several threads: any number of sharing
// calls, or one owning call alone. It never waits: a call that cannot pass at once is turned
// away, since a thread waiting here with the interpreter lock held could wait for ever on one
// that needs the lock back to finish.
#pragma once

#include <atomic>
#include <optional>
#include <utility>

namespace atomkit {

class CallGate {
public:
    // A call let through; it leaves when this is destroyed.
    class Pass {
    public:
        Pass(Pass&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)), owning_(other.owning_) {}
        Pass& operator=(Pass&&) = delete;
        ~Pass() {
            if (gate_ != nullptr) gate_->leave(owning_);
        }

    private:
        friend class CallGate;
        Pass(CallGate* gate, bool owning) noexcept : gate_(gate), owning_(owning) {}
        CallGate* gate_;
        bool owning_;
    };

    // A sharing call: passes unless an owning call runs.
    std::optional<Pass> try_share() noexcept {
        int calls = calls_.load(std::memory_order_relaxed);
        while (calls >= 0) {
            if (calls_.compare_exchange_weak(calls, calls + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
                return Pass(this, false);
            }
        }
        return std::nullopt;
    }
    // An owning call: passes only when no other call runs.
    std::optional<Pass> try_own() noexcept {
        int free = 0;
        if (calls_.compare_exchange_strong(free, owned, std::memory_order_acquire, std::memory_order_relaxed)) {
            return Pass(this, true);
        }
        return std::nullopt;
    }

private:
    static constexpr int owned = -1;
    void leave(bool owning) noexcept {
        if (owning) {
            calls_.store(0, std::memory_order_release);
        } else {
            calls_.fetch_sub(1, std::memory_order_release);
        }
    }
    std::atomic<int> calls_{0};  // sharing calls running, or `owned`
};

}  // namespace atomkit
