#include <Tervane/Platform/Signposter.hpp>

#include <atomic>

namespace Tervane {

namespace {

std::atomic<bool> sinkInstalled{false};
std::atomic<std::uint64_t> nextIntervalId{1};

std::atomic<std::shared_ptr<SignpostSink>>& sinkSlot() {
    static std::atomic<std::shared_ptr<SignpostSink>> slot;
    return slot;
}

}  // namespace

std::shared_ptr<SignpostSink> setSignpostSink(std::shared_ptr<SignpostSink> sink) {
    sinkInstalled.store(sink != nullptr, std::memory_order_relaxed);
    return sinkSlot().exchange(std::move(sink));
}

Signposter::Signposter(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

SignpostIntervalState Signposter::beginInterval(std::string_view name, std::string_view message) const {
    SignpostIntervalState state;
    if (!sinkInstalled.load(std::memory_order_relaxed)) {
        return state;
    }
    const std::shared_ptr<SignpostSink> sink = sinkSlot().load();
    if (!sink) {
        return state;
    }
    state.id_ = nextIntervalId.fetch_add(1, std::memory_order_relaxed);
    state.name_ = name;
    sink->record(SignpostEvent{SignpostEvent::Kind::begin, state.id_, subsystem_, category_, name, message,
                               std::chrono::steady_clock::now()});
    return state;
}

void Signposter::endInterval(SignpostIntervalState& state, std::string_view message) const {
    if (!state.isActive()) {
        return;
    }
    const bool alreadyEnded = state.ended_;
    state.ended_ = true;
    const std::shared_ptr<SignpostSink> sink = sinkSlot().load();
    if (!sink) {
        return;
    }
    sink->record(SignpostEvent{SignpostEvent::Kind::end, state.id_, subsystem_, category_, state.name_,
                               alreadyEnded ? std::string_view("[Error] Interval already ended") : message,
                               std::chrono::steady_clock::now()});
}

}  // namespace Tervane
