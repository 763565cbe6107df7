#include "engine/hal/PipeWireHardwareImpl.h"

#include "platform/FailureReport.h"
#include "platform/RunningApplications.h"

#include <cerrno>
#include <mutex>

namespace kestrelamp::hal {

namespace {

using Impl = PipeWireAudioHardware::Impl;

// Members a designated initializer leaves out are null, as meant; GCC 12 warns about them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const pw_core_events kCoreEvents{
    .version = PW_VERSION_CORE_EVENTS, .done = &Impl::onCoreDone, .error = &Impl::onCoreError};

const pw_registry_events kRegistryEvents{.version = PW_VERSION_REGISTRY_EVENTS,
                                         .global = &Impl::onRegistryGlobal,
                                         .global_remove = &Impl::onRegistryGlobalRemove};
#pragma GCC diagnostic pop

} // namespace

Properties ownProperties() {
    return Properties(pw_properties_new(PW_KEY_APP_ID, kKestrelampBundleIdentifier, PW_KEY_APP_NAME,
                                        "Kestrelamp", nullptr));
}

// --- Construction ------------------------------------------------------------------------------

PipeWireAudioHardware::Impl::Impl(PipeWireOptions options)
    : options_(std::move(options)) {
    static std::once_flag initialized;
    std::call_once(initialized, [] { pw_init(nullptr, nullptr); });

    loop_ = pw_thread_loop_new("kestrelamp-pw", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), ownProperties().release(), 0);
    timer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &Impl::onTimer, this);
    holdTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &Impl::onHoldTimer, this);
    recordingTimer_ =
        pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &Impl::onRecordingTimer, this);
    spareTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &Impl::onHoldTimer, this);
    connectTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &Impl::onConnectTimer, this);
    rateEvent_ = pw_loop_add_event(pw_thread_loop_get_loop(loop_), &Impl::onRateChanged, this);
    changeEvent_ = pw_loop_add_event(pw_thread_loop_get_loop(loop_), &Impl::onChangeEvent, this);
    pw_thread_loop_start(loop_);

    Lock lock(loop_);
    if (connect()) {
        waitUntil([this] { return initialSyncDone_ || !connected(); }, options_.timeoutMs);
    }
    if (!connected()) {
        scheduleReconnect(options_.reconnectIntervalMs);
    }
}

PipeWireAudioHardware::Impl::~Impl() {
    {
        Lock lock(loop_);
        shuttingDown_ = true;
        for (auto& [serial, sink] : sinks_) {
            stopSink(*sink, true);
        }
        for (auto& [id, aggregate] : aggregates_) {
            stopFilter(*aggregate);
        }
        for (auto& [id, monitor] : monitors_) {
            stopMonitor(*monitor);
        }
        releaseRecordings();
        stopCallMix();
        if (connected()) {
            roundTrip();
        }
        disconnect();
    }
    pw_thread_loop_stop(loop_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), holdTimer_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), recordingTimer_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), spareTimer_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), connectTimer_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), rateEvent_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), changeEvent_);
    sinks_.clear();
    aggregates_.clear();
    monitors_.clear();
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

OSStatus PipeWireAudioHardware::Impl::roundTrip() {
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    const bool done =
        waitUntil([&] { return !connected() || lastDoneSeq_ - seq >= 0; }, options_.timeoutMs);
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    // What the server said before its answer is in the lists when the caller reads them.
    changedIfPending();
    return done ? noErr : kAudioHardwareTimeoutError;
}

bool PipeWireAudioHardware::Impl::connect() {
    Properties properties = ownProperties();
    if (!options_.remoteName.empty()) {
        pw_properties_set(properties.get(), PW_KEY_REMOTE_NAME, options_.remoteName.c_str());
    }
    core_ = pw_context_connect(context_, properties.release(), 0);
    if (core_ == nullptr) {
        return false;
    }
    coreFailed_ = false;
    serverSilent_ = false;
    initialSyncDone_ = false;
    loggedServerErrors_.clear();
    pw_core_add_listener(core_, &coreListener_, &kCoreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryListener_, &kRegistryEvents, this);
    // Two round trips: the first lists the globals, the second brings the info of those bound.
    firstSync_ = pw_core_sync(core_, PW_ID_CORE, 0);
    secondSync_.reset();
    return true;
}

void PipeWireAudioHardware::Impl::disconnect() {
    for (auto& [serial, sink] : sinks_) {
        stopSink(*sink, false);
    }
    for (auto& link : lastingLinks_) {
        releaseLink(*link, SPA_ID_INVALID);
    }
    lastingLinks_.clear();
    for (auto& [id, aggregate] : aggregates_) {
        stopFilter(*aggregate);
    }
    for (auto& [id, monitor] : monitors_) {
        stopMonitor(*monitor);
    }
    stopCallMix();
    for (auto& [id, global] : graph_.globals) {
        destroyGlobal(*global);
    }
    graph_.globals.clear();
    graph_.portsByNode.clear();
    targetsOnTheirWay_.clear();
    // A server that comes back hands out its ids again from the start.
    graph_.streamsOnASink.clear();
    graph_.sinkSightings.clear();
    undoneLinks_.clear();
    graph_.hostedPrograms.clear();
    destroyMetadata(graph_.defaultMetadata);
    destroyMetadata(graph_.settingsMetadata);
    if (registry_ != nullptr) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
    }
    if (core_ != nullptr) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    coreFailed_ = false;
    initialSyncDone_ = false;
    deviceIDs_.clear();
    changed();
    pw_thread_loop_signal(loop_, false);
}

void PipeWireAudioHardware::Impl::scheduleReconnect(int delayMs) {
    timespec value{delayMs / 1000, (delayMs % 1000) * 1000000L};
    timespec interval{0, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &value, &interval, false);
}

void PipeWireAudioHardware::Impl::onTimer(void* data, std::uint64_t) {
    auto* self = static_cast<Impl*>(data);
    if (self->coreFailed_) {
        self->disconnect();
    }
    if (self->core_ == nullptr && !self->connect()) {
        self->scheduleReconnect(self->options_.reconnectIntervalMs);
    }
}

void PipeWireAudioHardware::Impl::onRateChanged(void* data, std::uint64_t) {
    static_cast<Impl*>(data)->changedSoon();
}

bool PipeWireAudioHardware::Impl::serverAnswers() {
    const auto now = std::chrono::steady_clock::now();
    if (!connected() || now - lastSignOfLifeAsked_ < std::chrono::seconds(1)) {
        return false;
    }
    lastSignOfLifeAsked_ = now;
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::int64_t(kSignOfLifeMs) * SPA_NSEC_PER_MSEC);
    while (connected() && lastDoneSeq_ - seq < 0) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) {
            return false;
        }
    }
    return !serverSilent_;
}

void PipeWireAudioHardware::Impl::changedSoon() {
    if (!changePending_) {
        changePending_ = true;
        pw_loop_signal_event(pw_thread_loop_get_loop(loop_), changeEvent_);
    }
}

void PipeWireAudioHardware::Impl::changedByCall() {
    if (!inChanged_) {
        recompute();
    }
    changedSoon();
}

void PipeWireAudioHardware::Impl::onChangeEvent(void* data, std::uint64_t) {
    auto* self = static_cast<Impl*>(data);
    self->changedIfPending();
    pw_thread_loop_signal(self->loop_, false);
}

void PipeWireAudioHardware::Impl::changedIfPending() {
    if (changePending_) {
        changed();
    }
}

void PipeWireAudioHardware::Impl::onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<Impl*>(data);
    if (id != PW_ID_CORE) {
        return;
    }
    self->lastDoneSeq_ = seq;
    self->serverSilent_ = false;
    if (self->firstSync_ && seq == *self->firstSync_) {
        self->firstSync_.reset();
        self->secondSync_ = pw_core_sync(self->core_, PW_ID_CORE, 0);
    } else if (self->secondSync_ && seq == *self->secondSync_) {
        self->secondSync_.reset();
        self->initialSyncDone_ = true;
        self->clearStaleTargets();
        self->changed();
    }
    pw_thread_loop_signal(self->loop_, false);
}

void PipeWireAudioHardware::Impl::onCoreError(void* data, std::uint32_t id, int, int res,
                                              const char* message) {
    auto* self = static_cast<Impl*>(data);
    // Errors on our own objects are told by their listeners, which name them; those on the
    // server's objects we only watch (an info or a format that could not be read as they went)
    // change nothing we do.
    if (id == PW_ID_CORE && res == -EPIPE) {
        self->reportServerError(
            ServerFailure{"", res, message != nullptr ? message : ""}.logLine("the connection"));
        // The server went away. Tear down outside of the core's own callback.
        self->coreFailed_ = true;
        self->scheduleReconnect(1);
    }
    pw_thread_loop_signal(self->loop_, false);
}

void PipeWireAudioHardware::Impl::reportServerError(const std::string& line) {
    // A refusal met again on every retry is said once per connection.
    if (loggedServerErrors_.size() >= 256) {
        loggedServerErrors_.clear();
    }
    if (loggedServerErrors_.insert(line).second) {
        reportFailure(line);
    }
}

void PipeWireAudioHardware::Impl::changed() {
    // Creating links or metadata from inside reconcile() can call back synchronously.
    if (inChanged_) {
        return;
    }
    inChanged_ = true;
    changePending_ = false;
    recompute();
    reconcile();
    inChanged_ = false;
}

void PipeWireAudioHardware::Impl::reconcile() {
    if (!connected() || !initialSyncDone_) {
        return;
    }
    keepSpareSinks();
    reconcileCallMix();
    for (auto& [serial, sink] : sinks_) {
        startSink(*sink);
        reconcileSink(*sink);
    }
    for (auto& [id, aggregate] : aggregates_) {
        reconcileAggregate(*aggregate);
    }
    reconcileFilterOutputs();
    for (auto& [id, aggregate] : aggregates_) {
        updateCarries(*aggregate);
    }
    for (auto& [id, entry] : taps_) {
        if (handBackEnded(entry)) {
            dispatcher.notify(id, globalAddress(kAudioTapPropertyHandBack));
        }
    }
    reconcileMonitors();
    reconcileRecordings();
    dropLastingLinkProxies();
}

void PipeWireAudioHardware::Impl::releaseProxy(pw_proxy*& proxy, spa_hook& listener,
                                               std::uint32_t globalID) {
    if (proxy == nullptr) {
        return;
    }
    pw_proxy* released = proxy;
    spa_hook_remove(&listener);
    proxy = nullptr;
    if (registry_ != nullptr && globalID != SPA_ID_INVALID) {
        pw_registry_destroy(registry_, globalID);
    }
    pw_proxy_destroy(released);
}

} // namespace kestrelamp::hal
