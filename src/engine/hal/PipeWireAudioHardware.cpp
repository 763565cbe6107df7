#include "engine/hal/PipeWireAudioHardware.h"

#include "engine/hal/IOProcSlots.h"
#include "engine/hal/PipeWireProperties.h"
#include "engine/hal/PropertyListenerDispatcher.h"
#include "platform/RunningApplications.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/param.h>
#include <spa/utils/result.h>

#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

namespace kestrelamp::hal {

namespace {

constexpr const char* kOwnNodePrefix = "com.kestrelamp.aggregate";
constexpr const char* kPlaybackStreamClass = "Stream/Output/Audio";
constexpr const char* kTargetObjectKey = "target.object";
constexpr const char* kDefaultSinkKey = "default.audio.sink";
constexpr const char* kConfiguredDefaultSinkKey = "default.configured.audio.sink";

enum class GlobalKind { client, node, device, port, link, metadata };

PropertyMap toMap(const spa_dict* dict) {
    PropertyMap map;
    if (dict == nullptr) {
        return map;
    }
    const spa_dict_item* item;
    spa_dict_for_each(item, dict) {
        if (item->key != nullptr && item->value != nullptr) {
            map[item->key] = item->value;
        }
    }
    return map;
}

void mergeInto(PropertyMap& target, const spa_dict* dict) {
    for (auto& [key, value] : toMap(dict)) {
        target[key] = std::move(value);
    }
}

template <class Entries>
std::vector<AudioObjectID> idsOf(const Entries& entries) {
    std::vector<AudioObjectID> ids;
    for (const auto& entry : entries) {
        ids.push_back(entry.id);
    }
    return ids;
}

std::string newUuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

// Frees PipeWire properties the call did not take over.
struct PropertiesDeleter {
    void operator()(pw_properties* properties) const { pw_properties_free(properties); }
};
using Properties = std::unique_ptr<pw_properties, PropertiesDeleter>;

Properties ownProperties() {
    return Properties(pw_properties_new(PW_KEY_APP_ID, kKestrelampBundleIdentifier, PW_KEY_APP_NAME,
                                        "Kestrelamp", nullptr));
}

} // namespace

class PipeWireAudioHardware::Impl {
public:
    explicit Impl(PipeWireOptions options);
    ~Impl();

    struct Global {
        Impl* impl = nullptr;
        std::uint32_t id = 0;
        GlobalKind kind = GlobalKind::node;
        PropertyMap properties;
        pw_proxy* proxy = nullptr;
        spa_hook proxyListener{};
        spa_hook objectListener{};
        pw_node_state state = PW_NODE_STATE_CREATING;
        std::optional<double> formatRate;
    };

    struct Metadata {
        Impl* impl = nullptr;
        std::uint32_t id = 0;
        std::string name;
        pw_metadata* proxy = nullptr;
        spa_hook listener{};
        // (subject, key) → value
        std::map<std::pair<std::uint32_t, std::string>, std::string> values;
    };

    // The null sink that stands for the taps of one process.
    struct CaptureSink {
        Impl* impl = nullptr;
        std::string processKey;
        std::string nodeName;
        std::string description;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        std::uint32_t nodeID = SPA_ID_INVALID;
        bool failed = false;
        int users = 0;
        std::set<std::uint32_t> targetedStreams;
    };

    struct Tap {
        AudioObjectID id = kAudioObjectUnknown;
        std::string uid;
        std::vector<std::string> processKeys;
    };

    struct LinkProxy {
        Impl* impl = nullptr;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        std::uint32_t globalID = SPA_ID_INVALID;
        bool gone = false;
    };

    struct Aggregate {
        Impl* impl = nullptr;
        AudioObjectID id = kAudioObjectUnknown;
        AggregateDeviceDescription description;
        std::vector<AudioObjectID> taps;
        std::vector<std::string> channels;
        pw_filter* filter = nullptr;
        spa_hook filterListener{};
        std::vector<void*> inputPorts;
        std::vector<void*> outputPorts;
        // Filled by the real-time callback only.
        std::vector<const float*> inputData;
        std::vector<float*> outputData;
        std::unique_ptr<IOProcSlots> slots;
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::unique_ptr<LinkProxy>> links;
        bool failed = false;
    };

    struct IOProc {
        AudioObjectID deviceID = kAudioObjectUnknown;
        std::size_t slot = 0;
    };

    struct ProcessEntry {
        AudioObjectID id = kAudioObjectUnknown;
        std::string key;
        std::string bundleID;
        std::int32_t pid = 0;
        bool running = false;
        PropertyMap properties;
        std::vector<std::uint32_t> streams;
    };

    struct DeviceEntry {
        AudioObjectID id = kAudioObjectUnknown;
        std::uint32_t nodeID = SPA_ID_INVALID;
        std::string uid;
        std::string name;
        std::string manufacturer;
        std::uint32_t outputStreams = 0;
        std::uint32_t inputStreams = 0;
        std::uint32_t transport = 0;
        double sampleRate = 48000.0;
    };

    // --- Used by the interface calls, with the loop locked ------------------------------------
    class Lock {
    public:
        explicit Lock(pw_thread_loop* loop)
            : loop_(loop) {
            pw_thread_loop_lock(loop_);
        }
        ~Lock() { pw_thread_loop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

    pw_thread_loop* loop() const { return loop_; }
    bool connected() const { return core_ != nullptr && !coreFailed_; }
    template <class Predicate>
    bool waitUntil(Predicate predicate, int timeoutMs);
    OSStatus roundTrip();

    const ProcessEntry* process(AudioObjectID id) const;
    const DeviceEntry* device(AudioObjectID id) const;
    const DeviceEntry* deviceByUID(const std::string& uid) const;
    Tap* tap(AudioObjectID id);
    Aggregate* aggregate(AudioObjectID id);
    // What reading a property the object does not have answers.
    OSStatus missingProperty(AudioObjectID object) const;

    OSStatus readDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::uint32_t& size);
    OSStatus readUInt32(AudioObjectID object, const AudioObjectPropertyAddress& address,
                        std::uint32_t& value);
    OSStatus readFloat64(AudioObjectID object, const AudioObjectPropertyAddress& address,
                         double& value);
    OSStatus readString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                        std::string& value);
    OSStatus readObjectIDs(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::vector<AudioObjectID>& ids);
    OSStatus setDefaultOutput(AudioObjectID deviceID);

    OSStatus createTap(const CATapDescription& description, AudioObjectID& outTapID);
    OSStatus destroyTap(AudioObjectID tapID);
    OSStatus createAggregate(const AggregateDeviceDescription& description,
                             AudioObjectID& outDeviceID);
    OSStatus destroyAggregate(AudioObjectID deviceID);
    OSStatus createIOProc(AudioObjectID deviceID, AudioDeviceIOBlock block,
                          AudioDeviceIOProcID& outID);
    // Runs action(slots, slot) on one of our IO procs: noErr when it returns true. A proc that is
    // not one of the device's, or a device that is not one of our aggregates, is refused.
    template <class Action>
    OSStatus onIOProc(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID, Action action) {
        Aggregate* target = aggregate(deviceID);
        if (target == nullptr) {
            return kAudioHardwareBadDeviceError;
        }
        const auto it = ioProcs_.find(ioProcID);
        if (it == ioProcs_.end() || it->second.deviceID != deviceID) {
            return kAudioHardwareIllegalOperationError;
        }
        return action(*target->slots, it->second.slot) ? noErr
                                                       : kAudioHardwareIllegalOperationError;
    }
    OSStatus destroyIOProc(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID);

    std::vector<AudioClient> clients() const;

    PropertyListenerDispatcher dispatcher;

    // --- Connection, on the loop thread or with the loop locked -------------------------------
    bool connect();
    void disconnect();
    void scheduleReconnect(int delayMs);
    void clearStaleTargets();

    void addGlobal(std::uint32_t id, const char* type, std::uint32_t version,
                   const spa_dict* props);
    void removeGlobal(std::uint32_t id);
    void destroyGlobal(Global& global);
    void destroyMetadata(std::unique_ptr<Metadata>& metadata);
    Metadata* bindMetadata(std::uint32_t id, const std::string& name);
    void onMetadataProperty(Metadata& metadata, std::uint32_t subject, const char* key,
                            const char* value);

    // Rebuilds the lists from the graph, tells the listeners what changed, and brings our taps
    // and aggregates up to date with the graph.
    void changed();
    void recompute();
    void reconcile();
    void reconcileSink(CaptureSink& sink);
    void reconcileAggregate(Aggregate& aggregate);

    // Drops one of our proxies and its listener; a valid globalID also has the server remove the
    // object.
    void releaseProxy(pw_proxy*& proxy, spa_hook& listener, std::uint32_t globalID);
    void startSink(CaptureSink& sink);
    void stopSink(CaptureSink& sink, bool clearTargets);
    void startFilter(Aggregate& aggregate);
    void stopFilter(Aggregate& aggregate);
    void createLink(Aggregate& aggregate, std::uint32_t outputPort, std::uint32_t inputPort);
    bool linksComplete(const Aggregate& aggregate) const;
    std::vector<std::pair<std::uint32_t, std::uint32_t>>
    wantedLinks(const Aggregate& aggregate) const;
    bool streamsMoved(const CaptureSink& sink) const;

    std::string processKeyOf(const Global& stream) const;
    std::optional<std::int64_t> processIDOf(const Global& stream) const;
    bool isStreamOf(const Global& global, const std::string& processKey) const;
    const Global* global(std::uint32_t id, GlobalKind kind) const;
    // The properties of the global of this kind whose id the key holds; empty when there is none.
    const PropertyMap& linkedProperties(const Global& from, const char* key, GlobalKind kind) const;
    std::vector<const Global*> portsOf(std::uint32_t nodeID, const char* direction,
                                       bool monitor) const;
    std::vector<std::string> sinkChannels(std::uint32_t nodeID) const;
    const Global* filterPort(const Aggregate& aggregate, const char* direction,
                             const std::string& channel) const;
    AudioObjectID idFor(std::map<std::string, AudioObjectID>& table, const std::string& key);

    // --- PipeWire callbacks ---------------------------------------------------------------------
    static void onCoreDone(void* data, std::uint32_t id, int seq);
    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t permissions,
                                 const char* type, std::uint32_t version, const spa_dict* props);
    static void onRegistryGlobalRemove(void* data, std::uint32_t id);
    static void onGlobalProxyDestroy(void* data);
    static void onNodeInfo(void* data, const pw_node_info* info);
    static void onNodeParam(void* data, int seq, std::uint32_t id, std::uint32_t index,
                            std::uint32_t next, const spa_pod* param);
    // Clients, devices and ports: what their info brings is properties.
    template <class Info>
    static void onPropertiesInfo(void* data, const Info* info);
    static int onMetadataEvent(void* data, std::uint32_t subject, const char* key, const char* type,
                               const char* value);
    static void onSinkBound(void* data, std::uint32_t globalID);
    static void onSinkRemoved(void* data);
    static void onSinkDestroy(void* data);
    static void onSinkError(void* data, int seq, int res, const char* message);
    static void onLinkBound(void* data, std::uint32_t globalID);
    static void onLinkRemoved(void* data);
    static void onLinkDestroy(void* data);
    static void onLinkError(void* data, int seq, int res, const char* message);
    static void onFilterState(void* data, pw_filter_state old, pw_filter_state state,
                              const char* error);
    static void onFilterProcess(void* data, spa_io_position* position);
    static void onTimer(void* data, std::uint64_t expirations);

    PipeWireOptions options_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    spa_source* timer_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    bool coreFailed_ = false;
    int lastDoneSeq_ = 0;
    std::optional<int> firstSync_;
    std::optional<int> secondSync_;
    bool initialSyncDone_ = false;

    std::map<std::uint32_t, std::unique_ptr<Global>> globals_;
    std::unique_ptr<Metadata> defaultMetadata_;
    std::unique_ptr<Metadata> settingsMetadata_;

    // Ids of the interface: handed out upwards from 2, never reused.
    AudioObjectID nextObjectID_ = 2;
    AudioDeviceIOProcID nextIOProcID_ = 1;
    std::map<std::string, AudioObjectID> processIDs_;
    std::map<std::string, AudioObjectID> deviceIDs_;

    std::vector<ProcessEntry> processes_;
    std::vector<DeviceEntry> devices_;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;

    std::map<std::string, std::unique_ptr<CaptureSink>> sinks_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, std::unique_ptr<Aggregate>> aggregates_;
    std::map<AudioDeviceIOProcID, IOProc> ioProcs_;
    bool inChanged_ = false;
    // Set while the object goes away: listeners are not called from the destructor.
    bool shuttingDown_ = false;
};

// --- Event tables ----------------------------------------------------------------------------

namespace {

using Impl = PipeWireAudioHardware::Impl;

} // namespace

#define KESTRELAMP_IMPL PipeWireAudioHardware::Impl

static const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &KESTRELAMP_IMPL::onCoreDone;
    events.error = &KESTRELAMP_IMPL::onCoreError;
    return events;
}();

static const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &KESTRELAMP_IMPL::onRegistryGlobal;
    events.global_remove = &KESTRELAMP_IMPL::onRegistryGlobalRemove;
    return events;
}();

static const pw_proxy_events kGlobalProxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.destroy = &KESTRELAMP_IMPL::onGlobalProxyDestroy;
    return events;
}();

static const pw_node_events kNodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = &KESTRELAMP_IMPL::onNodeInfo;
    events.param = &KESTRELAMP_IMPL::onNodeParam;
    return events;
}();

static const pw_client_events kClientEvents = [] {
    pw_client_events events{};
    events.version = PW_VERSION_CLIENT_EVENTS;
    events.info = &KESTRELAMP_IMPL::onPropertiesInfo<pw_client_info>;
    return events;
}();

static const pw_device_events kDeviceEvents = [] {
    pw_device_events events{};
    events.version = PW_VERSION_DEVICE_EVENTS;
    events.info = &KESTRELAMP_IMPL::onPropertiesInfo<pw_device_info>;
    return events;
}();

static const pw_port_events kPortEvents = [] {
    pw_port_events events{};
    events.version = PW_VERSION_PORT_EVENTS;
    events.info = &KESTRELAMP_IMPL::onPropertiesInfo<pw_port_info>;
    return events;
}();

static const pw_metadata_events kMetadataEvents = [] {
    pw_metadata_events events{};
    events.version = PW_VERSION_METADATA_EVENTS;
    events.property = &KESTRELAMP_IMPL::onMetadataEvent;
    return events;
}();

static const pw_proxy_events kSinkProxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.destroy = &KESTRELAMP_IMPL::onSinkDestroy;
    events.bound = &KESTRELAMP_IMPL::onSinkBound;
    events.removed = &KESTRELAMP_IMPL::onSinkRemoved;
    events.error = &KESTRELAMP_IMPL::onSinkError;
    return events;
}();

static const pw_proxy_events kLinkProxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.destroy = &KESTRELAMP_IMPL::onLinkDestroy;
    events.bound = &KESTRELAMP_IMPL::onLinkBound;
    events.removed = &KESTRELAMP_IMPL::onLinkRemoved;
    events.error = &KESTRELAMP_IMPL::onLinkError;
    return events;
}();

static const pw_filter_events kFilterEvents = [] {
    pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.state_changed = &KESTRELAMP_IMPL::onFilterState;
    events.process = &KESTRELAMP_IMPL::onFilterProcess;
    return events;
}();

#undef KESTRELAMP_IMPL

// --- Construction ------------------------------------------------------------------------------

PipeWireAudioHardware::Impl::Impl(PipeWireOptions options)
    : options_(std::move(options)) {
    static std::once_flag initialized;
    std::call_once(initialized, [] { pw_init(nullptr, nullptr); });

    loop_ = pw_thread_loop_new("kestrelamp-pw", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), ownProperties().release(), 0);
    timer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &Impl::onTimer, this);
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
        for (auto& [key, sink] : sinks_) {
            stopSink(*sink, true);
        }
        for (auto& [id, aggregate] : aggregates_) {
            stopFilter(*aggregate);
        }
        if (connected()) {
            roundTrip();
        }
        disconnect();
    }
    pw_thread_loop_stop(loop_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
    sinks_.clear();
    aggregates_.clear();
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

template <class Predicate>
bool PipeWireAudioHardware::Impl::waitUntil(Predicate predicate, int timeoutMs) {
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::int64_t(timeoutMs) * SPA_NSEC_PER_MSEC);
    while (!predicate()) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) {
            return predicate();
        }
    }
    return true;
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
    initialSyncDone_ = false;
    pw_core_add_listener(core_, &coreListener_, &kCoreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryListener_, &kRegistryEvents, this);
    // Two round trips: the first lists the globals, the second brings the info of those bound.
    firstSync_ = pw_core_sync(core_, PW_ID_CORE, 0);
    secondSync_.reset();
    return true;
}

void PipeWireAudioHardware::Impl::disconnect() {
    for (auto& [key, sink] : sinks_) {
        stopSink(*sink, false);
    }
    for (auto& [id, aggregate] : aggregates_) {
        stopFilter(*aggregate);
    }
    for (auto& [id, global] : globals_) {
        destroyGlobal(*global);
    }
    globals_.clear();
    destroyMetadata(defaultMetadata_);
    destroyMetadata(settingsMetadata_);
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
    processIDs_.clear();
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

void PipeWireAudioHardware::Impl::onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<Impl*>(data);
    if (id != PW_ID_CORE) {
        return;
    }
    self->lastDoneSeq_ = seq;
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
                                              const char*) {
    auto* self = static_cast<Impl*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) {
        // The server went away. Tear down outside of the core's own callback.
        self->coreFailed_ = true;
        self->scheduleReconnect(1);
    }
    pw_thread_loop_signal(self->loop_, false);
}

// A run that was killed leaves the streams it moved pointing at its sinks, which are gone.
void PipeWireAudioHardware::Impl::clearStaleTargets() {
    if (!defaultMetadata_ || defaultMetadata_->proxy == nullptr) {
        return;
    }
    std::vector<std::uint32_t> stale;
    for (const auto& [subjectKey, value] : defaultMetadata_->values) {
        if (subjectKey.second != kTargetObjectKey || !value.starts_with(kOwnNodePrefix)) {
            continue;
        }
        const bool exists = std::any_of(globals_.begin(), globals_.end(), [&](const auto& entry) {
            return entry.second->kind == GlobalKind::node &&
                   propertyValue(entry.second->properties, PW_KEY_NODE_NAME) == value;
        });
        if (!exists) {
            stale.push_back(subjectKey.first);
        }
    }
    for (const std::uint32_t subject : stale) {
        pw_metadata_set_property(defaultMetadata_->proxy, subject, kTargetObjectKey, nullptr,
                                 nullptr);
    }
}

// --- Registry cache ------------------------------------------------------------------------

void PipeWireAudioHardware::Impl::onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t,
                                                   const char* type, std::uint32_t version,
                                                   const spa_dict* props) {
    auto* self = static_cast<Impl*>(data);
    self->addGlobal(id, type, version, props);
    self->changed();
    pw_thread_loop_signal(self->loop_, false);
}

void PipeWireAudioHardware::Impl::onRegistryGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<Impl*>(data);
    self->removeGlobal(id);
    self->changed();
    pw_thread_loop_signal(self->loop_, false);
}

void PipeWireAudioHardware::Impl::addGlobal(std::uint32_t id, const char* type,
                                            std::uint32_t version, const spa_dict* props) {
    const std::string typeName = type != nullptr ? type : "";
    if (typeName == PW_TYPE_INTERFACE_Metadata) {
        const std::string name = spa_dict_lookup(props, PW_KEY_METADATA_NAME) != nullptr
                                     ? spa_dict_lookup(props, PW_KEY_METADATA_NAME)
                                     : "";
        if (name == "default" || name == "settings") {
            bindMetadata(id, name);
        }
        return;
    }
    GlobalKind kind;
    const void* events = nullptr;
    std::uint32_t bindVersion = version;
    if (typeName == PW_TYPE_INTERFACE_Client) {
        kind = GlobalKind::client;
        events = &kClientEvents;
        bindVersion = std::min<std::uint32_t>(version, PW_VERSION_CLIENT);
    } else if (typeName == PW_TYPE_INTERFACE_Node) {
        kind = GlobalKind::node;
        events = &kNodeEvents;
        bindVersion = std::min<std::uint32_t>(version, PW_VERSION_NODE);
    } else if (typeName == PW_TYPE_INTERFACE_Device) {
        kind = GlobalKind::device;
        events = &kDeviceEvents;
        bindVersion = std::min<std::uint32_t>(version, PW_VERSION_DEVICE);
    } else if (typeName == PW_TYPE_INTERFACE_Port) {
        kind = GlobalKind::port;
        events = &kPortEvents;
        bindVersion = std::min<std::uint32_t>(version, PW_VERSION_PORT);
    } else if (typeName == PW_TYPE_INTERFACE_Link) {
        kind = GlobalKind::link;
    } else {
        return;
    }
    auto global = std::make_unique<Global>();
    global->impl = this;
    global->id = id;
    global->kind = kind;
    global->properties = toMap(props);
    if (events != nullptr) {
        global->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry_, id, typeName.c_str(), bindVersion, 0));
        if (global->proxy != nullptr) {
            pw_proxy_add_listener(global->proxy, &global->proxyListener, &kGlobalProxyEvents,
                                  global.get());
            pw_proxy_add_object_listener(global->proxy, &global->objectListener, events,
                                         global.get());
        }
    }
    globals_[id] = std::move(global);
}

void PipeWireAudioHardware::Impl::destroyGlobal(Global& global) {
    if (global.proxy != nullptr) {
        pw_proxy* proxy = global.proxy;
        spa_hook_remove(&global.objectListener);
        spa_hook_remove(&global.proxyListener);
        global.proxy = nullptr;
        pw_proxy_destroy(proxy);
    }
}

void PipeWireAudioHardware::Impl::onGlobalProxyDestroy(void* data) {
    auto* global = static_cast<Global*>(data);
    spa_hook_remove(&global->objectListener);
    spa_hook_remove(&global->proxyListener);
    global->proxy = nullptr;
}

void PipeWireAudioHardware::Impl::removeGlobal(std::uint32_t id) {
    for (auto* metadata : {&defaultMetadata_, &settingsMetadata_}) {
        if (*metadata && (*metadata)->id == id) {
            destroyMetadata(*metadata);
            return;
        }
    }
    const auto it = globals_.find(id);
    if (it == globals_.end()) {
        return;
    }
    destroyGlobal(*it->second);
    globals_.erase(it);
    for (auto& [key, sink] : sinks_) {
        sink->targetedStreams.erase(id);
    }
}

void PipeWireAudioHardware::Impl::onNodeInfo(void* data, const pw_node_info* info) {
    auto* global = static_cast<Global*>(data);
    mergeInto(global->properties, info->props);
    global->state = info->state;
    const std::string mediaClass =
        propertyValue(global->properties, PW_KEY_MEDIA_CLASS).value_or(std::string());
    const bool isDevice = mediaClass.starts_with("Audio/Sink") ||
                          mediaClass.starts_with("Audio/Source") ||
                          mediaClass.starts_with("Audio/Duplex");
    if (isDevice && global->proxy != nullptr) {
        for (std::uint32_t i = 0; i < info->n_params; ++i) {
            if (info->params[i].id == SPA_PARAM_Format &&
                (info->change_mask & PW_NODE_CHANGE_MASK_PARAMS)) {
                pw_node_enum_params(reinterpret_cast<pw_node*>(global->proxy), 0, SPA_PARAM_Format,
                                    0, 1, nullptr);
            }
        }
    }
    global->impl->changed();
    pw_thread_loop_signal(global->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::onNodeParam(void* data, int, std::uint32_t id, std::uint32_t,
                                              std::uint32_t, const spa_pod* param) {
    auto* global = static_cast<Global*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) {
        return;
    }
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        return;
    }
    spa_audio_info_raw raw{};
    if (spa_format_audio_raw_parse(param, &raw) >= 0 && raw.rate > 0) {
        global->formatRate = raw.rate;
        global->impl->changed();
    }
}

template <class Info>
void PipeWireAudioHardware::Impl::onPropertiesInfo(void* data, const Info* info) {
    auto* global = static_cast<Global*>(data);
    mergeInto(global->properties, info->props);
    global->impl->changed();
    pw_thread_loop_signal(global->impl->loop_, false);
}

PipeWireAudioHardware::Impl::Metadata*
PipeWireAudioHardware::Impl::bindMetadata(std::uint32_t id, const std::string& name) {
    auto& slot = name == "default" ? defaultMetadata_ : settingsMetadata_;
    if (slot) {
        return slot.get();
    }
    auto metadata = std::make_unique<Metadata>();
    metadata->impl = this;
    metadata->id = id;
    metadata->name = name;
    metadata->proxy = static_cast<pw_metadata*>(
        pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (metadata->proxy == nullptr) {
        return nullptr;
    }
    pw_metadata_add_listener(metadata->proxy, &metadata->listener, &kMetadataEvents,
                             metadata.get());
    slot = std::move(metadata);
    return slot.get();
}

void PipeWireAudioHardware::Impl::destroyMetadata(std::unique_ptr<Metadata>& metadata) {
    if (!metadata) {
        return;
    }
    if (metadata->proxy != nullptr) {
        spa_hook_remove(&metadata->listener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata->proxy));
    }
    metadata.reset();
}

int PipeWireAudioHardware::Impl::onMetadataEvent(void* data, std::uint32_t subject, const char* key,
                                                 const char*, const char* value) {
    auto* metadata = static_cast<Metadata*>(data);
    metadata->impl->onMetadataProperty(*metadata, subject, key, value);
    metadata->impl->changed();
    pw_thread_loop_signal(metadata->impl->loop_, false);
    return 0;
}

void PipeWireAudioHardware::Impl::onMetadataProperty(Metadata& metadata, std::uint32_t subject,
                                                     const char* key, const char* value) {
    if (key == nullptr) {
        // Everything of the subject was cleared.
        std::erase_if(metadata.values,
                      [&](const auto& entry) { return entry.first.first == subject; });
        return;
    }
    if (value == nullptr) {
        metadata.values.erase({subject, key});
    } else {
        metadata.values[{subject, key}] = value;
    }
}

// --- Derived lists -------------------------------------------------------------------------

const PipeWireAudioHardware::Impl::Global*
PipeWireAudioHardware::Impl::global(std::uint32_t id, GlobalKind kind) const {
    const auto it = globals_.find(id);
    return it != globals_.end() && it->second->kind == kind ? it->second.get() : nullptr;
}

const PropertyMap& PipeWireAudioHardware::Impl::linkedProperties(const Global& from,
                                                                 const char* key,
                                                                 GlobalKind kind) const {
    static const PropertyMap none;
    const auto id = integerProperty(from.properties, key);
    const Global* linked = id ? global(std::uint32_t(*id), kind) : nullptr;
    return linked != nullptr ? linked->properties : none;
}

// The client's process id, else the one the stream announces.
std::optional<std::int64_t> PipeWireAudioHardware::Impl::processIDOf(const Global& stream) const {
    const auto pid = integerProperty(linkedProperties(stream, PW_KEY_CLIENT_ID, GlobalKind::client),
                                     PW_KEY_APP_PROCESS_ID);
    return pid ? pid : integerProperty(stream.properties, PW_KEY_APP_PROCESS_ID);
}

std::string PipeWireAudioHardware::Impl::processKeyOf(const Global& stream) const {
    if (const auto pid = processIDOf(stream)) {
        return "pid:" + std::to_string(*pid);
    }
    return "client:" +
           std::to_string(integerProperty(stream.properties, PW_KEY_CLIENT_ID).value_or(stream.id));
}

bool PipeWireAudioHardware::Impl::isStreamOf(const Global& global,
                                             const std::string& processKey) const {
    return global.kind == GlobalKind::node &&
           propertyValue(global.properties, PW_KEY_MEDIA_CLASS) == kPlaybackStreamClass &&
           processKeyOf(global) == processKey;
}

AudioObjectID PipeWireAudioHardware::Impl::idFor(std::map<std::string, AudioObjectID>& table,
                                                 const std::string& key) {
    const auto [it, inserted] = table.emplace(key, kAudioObjectUnknown);
    if (inserted) {
        it->second = nextObjectID_++;
    }
    return it->second;
}

void PipeWireAudioHardware::Impl::changed() {
    // Creating links or metadata from inside reconcile() can call back synchronously.
    if (inChanged_) {
        return;
    }
    inChanged_ = true;
    recompute();
    reconcile();
    inChanged_ = false;
}

void PipeWireAudioHardware::Impl::recompute() {
    std::vector<ProcessEntry> processes;
    std::vector<DeviceEntry> devices;
    const bool listing = connected() && initialSyncDone_;

    for (const auto& [id, globalPtr] : globals_) {
        if (!listing) {
            break;
        }
        const Global& node = *globalPtr;
        if (node.kind != GlobalKind::node) {
            continue;
        }
        const std::string mediaClass =
            propertyValue(node.properties, PW_KEY_MEDIA_CLASS).value_or(std::string());
        if (mediaClass == kPlaybackStreamClass) {
            const std::string key = processKeyOf(node);
            auto entry = std::find_if(processes.begin(), processes.end(),
                                      [&](const ProcessEntry& p) { return p.key == key; });
            if (entry == processes.end()) {
                ProcessEntry process;
                process.id = idFor(processIDs_, key);
                process.key = key;
                const PropertyMap& clientProperties =
                    linkedProperties(node, PW_KEY_CLIENT_ID, GlobalKind::client);
                process.bundleID = bundleIDFor(clientProperties, node.properties);
                process.pid = std::int32_t(processIDOf(node).value_or(0));
                process.properties = clientProperties;
                for (const auto& [name, value] : node.properties) {
                    process.properties[name] = value;
                }
                processes.push_back(std::move(process));
                entry = std::prev(processes.end());
            }
            entry->streams.push_back(node.id);
            entry->running = entry->running || node.state == PW_NODE_STATE_RUNNING;
            continue;
        }

        const bool sink = mediaClass == "Audio/Sink" || mediaClass == "Audio/Duplex";
        const bool source = mediaClass == "Audio/Source" || mediaClass == "Audio/Duplex";
        if (!sink && !source) {
            continue;
        }
        const auto nodeName = propertyValue(node.properties, PW_KEY_NODE_NAME);
        if (!nodeName) {
            continue;
        }
        DeviceEntry device;
        device.id = idFor(
            deviceIDs_,
            propertyValue(node.properties, PW_KEY_OBJECT_SERIAL).value_or(std::to_string(node.id)));
        device.nodeID = node.id;
        device.uid = *nodeName;
        device.name =
            propertyValue(node.properties, PW_KEY_NODE_DESCRIPTION)
                .value_or(propertyValue(node.properties, PW_KEY_NODE_NICK).value_or(*nodeName));
        const PropertyMap& parentProperties =
            linkedProperties(node, PW_KEY_DEVICE_ID, GlobalKind::device);
        device.manufacturer =
            propertyValue(parentProperties, PW_KEY_DEVICE_VENDOR_NAME).value_or(std::string());
        device.outputStreams = sink ? 1 : 0;
        device.inputStreams = source ? 1 : 0;
        device.transport = transportTypeFor(node.properties, parentProperties);
        if (node.formatRate) {
            device.sampleRate = *node.formatRate;
        } else if (const auto rate = integerProperty(node.properties, PW_KEY_AUDIO_RATE)) {
            device.sampleRate = double(*rate);
        } else if (settingsMetadata_) {
            const auto it = settingsMetadata_->values.find({0, "clock.rate"});
            if (it != settingsMetadata_->values.end()) {
                device.sampleRate = std::atof(it->second.c_str());
            }
        }
        if (device.sampleRate <= 0) {
            device.sampleRate = 48000.0;
        }
        devices.push_back(std::move(device));
    }

    std::sort(processes.begin(), processes.end(),
              [](const ProcessEntry& a, const ProcessEntry& b) { return a.id < b.id; });
    std::sort(devices.begin(), devices.end(),
              [](const DeviceEntry& a, const DeviceEntry& b) { return a.id < b.id; });

    // Our aggregates, listed while their filter is up.
    for (const auto& [id, aggregate] : aggregates_) {
        if (!listing || aggregate->filter == nullptr) {
            continue;
        }
        DeviceEntry device;
        device.id = id;
        device.uid = aggregate->description.uid;
        device.name = aggregate->description.name;
        device.manufacturer = "Kestrelamp";
        device.outputStreams = 1;
        device.inputStreams = 1;
        device.transport = fourCharCode("grup");
        const auto sub = std::find_if(devices.begin(), devices.end(), [&](const DeviceEntry& d) {
            return !aggregate->description.subDeviceUIDs.empty() &&
                   d.uid == aggregate->description.subDeviceUIDs.front();
        });
        if (sub != devices.end()) {
            device.sampleRate = sub->sampleRate;
        }
        device.nodeID = pw_filter_get_node_id(aggregate->filter);
        devices.push_back(std::move(device));
    }

    AudioObjectID defaultOutput = kAudioObjectUnknown;
    if (listing && defaultMetadata_) {
        const auto it = defaultMetadata_->values.find({0, kDefaultSinkKey});
        const auto name =
            it != defaultMetadata_->values.end() ? defaultNodeName(it->second) : std::nullopt;
        for (const DeviceEntry& device : devices) {
            if (name && device.uid == *name && device.outputStreams > 0) {
                defaultOutput = device.id;
                break;
            }
        }
    }

    const bool devicesChanged = idsOf(devices) != idsOf(devices_);
    const bool processesChanged = idsOf(processes) != idsOf(processes_);
    const bool defaultChanged = defaultOutput != defaultOutput_;
    std::vector<AudioObjectID> runningChanged;
    for (const ProcessEntry& entry : processes) {
        const ProcessEntry* before = process(entry.id);
        if (before != nullptr && before->running != entry.running) {
            runningChanged.push_back(entry.id);
        }
    }

    processes_ = std::move(processes);
    devices_ = std::move(devices);
    defaultOutput_ = defaultOutput;

    if (shuttingDown_) {
        return;
    }
    if (devicesChanged) {
        dispatcher.notify(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    }
    if (defaultChanged) {
        dispatcher.notify(kAudioObjectSystemObject,
                          globalAddress(kAudioHardwarePropertyDefaultOutputDevice));
    }
    if (processesChanged) {
        dispatcher.notify(kAudioObjectSystemObject,
                          globalAddress(kAudioHardwarePropertyProcessObjectList));
    }
    for (const AudioObjectID id : runningChanged) {
        dispatcher.notify(id, globalAddress(kAudioProcessPropertyIsRunning));
    }
}

const PipeWireAudioHardware::Impl::ProcessEntry*
PipeWireAudioHardware::Impl::process(AudioObjectID id) const {
    const auto it = std::find_if(processes_.begin(), processes_.end(),
                                 [&](const ProcessEntry& p) { return p.id == id; });
    return it != processes_.end() ? &*it : nullptr;
}

const PipeWireAudioHardware::Impl::DeviceEntry*
PipeWireAudioHardware::Impl::device(AudioObjectID id) const {
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const DeviceEntry& d) { return d.id == id; });
    return it != devices_.end() ? &*it : nullptr;
}

const PipeWireAudioHardware::Impl::DeviceEntry*
PipeWireAudioHardware::Impl::deviceByUID(const std::string& uid) const {
    const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const DeviceEntry& d) {
        return d.uid == uid && aggregates_.count(d.id) == 0;
    });
    return it != devices_.end() ? &*it : nullptr;
}

PipeWireAudioHardware::Impl::Tap* PipeWireAudioHardware::Impl::tap(AudioObjectID id) {
    const auto it = taps_.find(id);
    return it != taps_.end() ? &it->second : nullptr;
}

PipeWireAudioHardware::Impl::Aggregate* PipeWireAudioHardware::Impl::aggregate(AudioObjectID id) {
    const auto it = aggregates_.find(id);
    return it != aggregates_.end() ? it->second.get() : nullptr;
}

OSStatus PipeWireAudioHardware::Impl::missingProperty(AudioObjectID object) const {
    const bool known = object == kAudioObjectSystemObject || process(object) != nullptr ||
                       device(object) != nullptr || taps_.count(object) > 0;
    return known ? kAudioHardwareUnknownPropertyError : kAudioHardwareBadObjectError;
}

std::vector<AudioClient> PipeWireAudioHardware::Impl::clients() const {
    std::vector<AudioClient> result;
    for (const ProcessEntry& process : processes_) {
        AudioClient client;
        client.bundleID = process.bundleID;
        client.pid = process.pid;
        for (const auto& [key, value] : process.properties) {
            client.properties.emplace(key, value);
        }
        result.push_back(std::move(client));
    }
    return result;
}

// --- Property reads --------------------------------------------------------------------------

OSStatus PipeWireAudioHardware::Impl::readDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::uint32_t& size) {
    const auto selector = address.selector;
    if (object == kAudioObjectSystemObject) {
        if (selector == kAudioHardwarePropertyProcessObjectList) {
            size = std::uint32_t(processes_.size() * sizeof(AudioObjectID));
            return noErr;
        }
        if (selector == kAudioHardwarePropertyDevices) {
            size = std::uint32_t(devices_.size() * sizeof(AudioObjectID));
            return noErr;
        }
        if (selector == kAudioHardwarePropertyDefaultOutputDevice) {
            size = sizeof(AudioObjectID);
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (process(object) != nullptr) {
        if (selector == kAudioProcessPropertyBundleID) {
            size = 8;
        } else if (selector == kAudioProcessPropertyPID ||
                   selector == kAudioProcessPropertyIsRunning) {
            size = 4;
        } else {
            return kAudioHardwareUnknownPropertyError;
        }
        return noErr;
    }
    if (const DeviceEntry* entry = device(object)) {
        if (selector == kAudioDevicePropertyStreams) {
            if (address.scope == kAudioObjectPropertyScopeOutput) {
                size = entry->outputStreams * 4;
            } else if (address.scope == kAudioObjectPropertyScopeInput) {
                size = entry->inputStreams * 4;
            } else {
                size = (entry->outputStreams + entry->inputStreams) * 4;
            }
            return noErr;
        }
        if (selector == kAudioDevicePropertyDeviceUID || selector == kAudioObjectPropertyName ||
            selector == kAudioObjectPropertyManufacturer ||
            selector == kAudioDevicePropertyNominalSampleRate) {
            size = 8;
            return noErr;
        }
        if (selector == kAudioDevicePropertyTransportType) {
            size = 4;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (tap(object) != nullptr) {
        if (selector == kAudioTapPropertyUID) {
            size = 8;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    return kAudioHardwareBadObjectError;
}

OSStatus PipeWireAudioHardware::Impl::readUInt32(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::uint32_t& value) {
    const auto selector = address.selector;
    if (object == kAudioObjectSystemObject) {
        if (selector == kAudioHardwarePropertyDefaultOutputDevice) {
            value = defaultOutput_;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const ProcessEntry* entry = process(object)) {
        if (selector == kAudioProcessPropertyIsRunning) {
            value = entry->running ? 1 : 0;
            return noErr;
        }
        if (selector == kAudioProcessPropertyPID) {
            value = std::uint32_t(entry->pid);
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const DeviceEntry* entry = device(object)) {
        if (selector == kAudioDevicePropertyTransportType) {
            value = entry->transport;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    return missingProperty(object);
}

OSStatus PipeWireAudioHardware::Impl::readFloat64(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  double& value) {
    if (const DeviceEntry* entry = device(object)) {
        if (address.selector == kAudioDevicePropertyNominalSampleRate) {
            value = entry->sampleRate;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    return missingProperty(object);
}

OSStatus PipeWireAudioHardware::Impl::readString(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::string& value) {
    const auto selector = address.selector;
    if (const ProcessEntry* entry = process(object)) {
        if (selector == kAudioProcessPropertyBundleID) {
            value = entry->bundleID;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const DeviceEntry* entry = device(object)) {
        if (selector == kAudioDevicePropertyDeviceUID) {
            value = entry->uid;
        } else if (selector == kAudioObjectPropertyName) {
            value = entry->name;
        } else if (selector == kAudioObjectPropertyManufacturer) {
            value = entry->manufacturer;
        } else {
            return kAudioHardwareUnknownPropertyError;
        }
        return noErr;
    }
    if (const Tap* entry = tap(object)) {
        if (selector == kAudioTapPropertyUID || selector == kAudioDevicePropertyDeviceUID) {
            value = entry->uid;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    return missingProperty(object);
}

OSStatus PipeWireAudioHardware::Impl::readObjectIDs(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    std::vector<AudioObjectID>& ids) {
    if (object != kAudioObjectSystemObject) {
        return missingProperty(object);
    }
    std::vector<AudioObjectID> all;
    if (address.selector == kAudioHardwarePropertyProcessObjectList) {
        all = idsOf(processes_);
    } else if (address.selector == kAudioHardwarePropertyDevices) {
        all = idsOf(devices_);
    } else {
        return kAudioHardwareUnknownPropertyError;
    }
    const std::size_t count = std::min(all.size(), ids.size());
    std::copy_n(all.begin(), count, ids.begin());
    ids.resize(count);
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::setDefaultOutput(AudioObjectID deviceID) {
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    const DeviceEntry* entry = device(deviceID);
    if (entry == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    if (entry->outputStreams == 0 || aggregates_.count(deviceID) > 0) {
        return kAudioHardwareIllegalOperationError;
    }
    if (!defaultMetadata_ || defaultMetadata_->proxy == nullptr) {
        return kAudioHardwareUnsupportedOperationError;
    }
    const std::string value = defaultNodeValue(entry->uid);
    pw_metadata_set_property(defaultMetadata_->proxy, 0, kConfiguredDefaultSinkKey,
                             "Spa:String:JSON", value.c_str());
    const OSStatus status = roundTrip();
    if (status != noErr) {
        return status;
    }
    // The session manager turns the configured default into the default; wait to see it.
    waitUntil([&] { return !connected() || defaultOutput_ == deviceID; }, options_.timeoutMs);
    return noErr;
}

// --- Taps ------------------------------------------------------------------------------------

OSStatus PipeWireAudioHardware::Impl::createTap(const CATapDescription& description,
                                                AudioObjectID& outTapID) {
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    if (description.processes.empty()) {
        return kAudioHardwareIllegalOperationError;
    }
    if (description.muteBehavior == CATapMuteBehavior::unmuted) {
        // A stream plays to one sink at a time here: a tap always takes it off its output.
        return kAudioHardwareUnsupportedOperationError;
    }
    Tap newTap;
    for (const AudioObjectID processID : description.processes) {
        const ProcessEntry* entry = process(processID);
        if (entry == nullptr) {
            return kAudioHardwareBadObjectError;
        }
        newTap.processKeys.push_back(entry->key);
    }
    std::vector<CaptureSink*> used;
    for (std::size_t i = 0; i < newTap.processKeys.size(); ++i) {
        const std::string& key = newTap.processKeys[i];
        auto& sink = sinks_[key];
        if (!sink) {
            sink = std::make_unique<CaptureSink>();
            sink->impl = this;
            sink->processKey = key;
            sink->nodeName = std::string(kOwnNodePrefix) + ".tap." + newUuid();
            const ProcessEntry* entry = process(description.processes[i]);
            sink->description = "Kestrelamp tap of " + entry->bundleID;
        }
        ++sink->users;
        used.push_back(sink.get());
        startSink(*sink);
    }
    newTap.id = nextObjectID_++;
    newTap.uid = std::string(kOwnNodePrefix) + ".tap." + newUuid();
    const AudioObjectID tapID = newTap.id;
    taps_[tapID] = std::move(newTap);
    changed();

    const auto sinkReady = [](const CaptureSink* sink) {
        return sink->nodeID != SPA_ID_INVALID &&
               !sink->impl->portsOf(sink->nodeID, "out", true).empty();
    };
    const bool ready = waitUntil(
        [&] {
            return !connected() || std::all_of(used.begin(), used.end(), [&](CaptureSink* s) {
                return s->failed || sinkReady(s);
            });
        },
        options_.timeoutMs);
    const bool failed = !connected() || std::any_of(used.begin(), used.end(), [&](auto* s) {
        return s->failed || !sinkReady(s);
    });
    if (failed || !ready) {
        const OSStatus status = !connected() ? kAudioHardwareNotRunningError
                                : !ready     ? kAudioHardwareTimeoutError
                                             : kAudioHardwareUnspecifiedError;
        destroyTap(tapID);
        return status;
    }
    // Moving the streams is the session manager's part; a stream it leaves alone for now is
    // moved whenever it gets to it, so this wait is not a condition of success.
    waitUntil(
        [&] {
            return !connected() || std::all_of(used.begin(), used.end(),
                                               [&](CaptureSink* s) { return streamsMoved(*s); });
        },
        options_.timeoutMs);
    outTapID = tapID;
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::destroyTap(AudioObjectID tapID) {
    const auto it = taps_.find(tapID);
    if (it == taps_.end()) {
        return kAudioHardwareBadObjectError;
    }
    const std::vector<std::string> keys = it->second.processKeys;
    taps_.erase(it);
    for (auto& [id, aggregate] : aggregates_) {
        std::erase(aggregate->taps, tapID);
    }
    bool removedSink = false;
    for (const std::string& key : keys) {
        const auto sink = sinks_.find(key);
        if (sink == sinks_.end() || --sink->second->users > 0) {
            continue;
        }
        stopSink(*sink->second, true);
        sinks_.erase(sink);
        removedSink = true;
    }
    changed();
    if (removedSink && connected()) {
        roundTrip();
    }
    return noErr;
}

void PipeWireAudioHardware::Impl::startSink(CaptureSink& sink) {
    if (sink.proxy != nullptr || !connected()) {
        return;
    }
    Properties properties = ownProperties();
    pw_properties_set(properties.get(), PW_KEY_FACTORY_NAME, "support.null-audio-sink");
    pw_properties_set(properties.get(), PW_KEY_NODE_NAME, sink.nodeName.c_str());
    pw_properties_set(properties.get(), PW_KEY_NODE_DESCRIPTION, sink.description.c_str());
    pw_properties_set(properties.get(), PW_KEY_MEDIA_CLASS, "Audio/Sink");
    pw_properties_set(properties.get(), "audio.position", "[ FL FR ]");
    pw_properties_set(properties.get(), PW_KEY_PRIORITY_SESSION, "0");
    pw_properties_set(properties.get(), PW_KEY_PRIORITY_DRIVER, "1");
    pw_properties_set(properties.get(), PW_KEY_NODE_VIRTUAL, "true");
    pw_properties_set(properties.get(), "monitor.channel-volumes", "false");
    // WirePlumber 0.4 crashes when a node it is about to suspend goes away first; ours come and
    // go with routes, so they are never suspended.
    pw_properties_set(properties.get(), "session.suspend-timeout-seconds", "0");
    pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER, "false");
    sink.failed = false;
    sink.nodeID = SPA_ID_INVALID;
    sink.proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core_, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &properties->dict, 0));
    if (sink.proxy == nullptr) {
        sink.failed = true;
        return;
    }
    pw_proxy_add_listener(sink.proxy, &sink.listener, &kSinkProxyEvents, &sink);
}

void PipeWireAudioHardware::Impl::stopSink(CaptureSink& sink, bool clearTargets) {
    if (clearTargets && defaultMetadata_ && defaultMetadata_->proxy != nullptr) {
        for (const std::uint32_t stream : sink.targetedStreams) {
            pw_metadata_set_property(defaultMetadata_->proxy, stream, kTargetObjectKey, nullptr,
                                     nullptr);
        }
    }
    sink.targetedStreams.clear();
    releaseProxy(sink.proxy, sink.listener, sink.nodeID);
    sink.nodeID = SPA_ID_INVALID;
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

void PipeWireAudioHardware::Impl::onSinkBound(void* data, std::uint32_t globalID) {
    auto* sink = static_cast<CaptureSink*>(data);
    sink->nodeID = globalID;
    sink->impl->changed();
    pw_thread_loop_signal(sink->impl->loop_, false);
}

// Someone else removed our sink: it is made again under the same name, which the streams'
// targets still name, so the application stays tapped.
void PipeWireAudioHardware::Impl::onSinkRemoved(void* data) {
    auto* sink = static_cast<CaptureSink*>(data);
    sink->nodeID = SPA_ID_INVALID;
    sink->targetedStreams.clear();
    if (sink->proxy != nullptr && !sink->failed) {
        pw_proxy_destroy(sink->proxy);
    }
    // The registry may have reported the node gone while the proxy still stood, so nothing has
    // made the sink again yet.
    sink->impl->changed();
    pw_thread_loop_signal(sink->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::onSinkDestroy(void* data) {
    auto* sink = static_cast<CaptureSink*>(data);
    spa_hook_remove(&sink->listener);
    sink->proxy = nullptr;
}

void PipeWireAudioHardware::Impl::onSinkError(void* data, int, int, const char*) {
    auto* sink = static_cast<CaptureSink*>(data);
    sink->failed = true;
    pw_thread_loop_signal(sink->impl->loop_, false);
}

bool PipeWireAudioHardware::Impl::streamsMoved(const CaptureSink& sink) const {
    for (const auto& [id, global] : globals_) {
        if (!isStreamOf(*global, sink.processKey)) {
            continue;
        }
        const bool linkedToSink =
            std::any_of(globals_.begin(), globals_.end(), [&](const auto& entry) {
                const Global& link = *entry.second;
                return link.kind == GlobalKind::link &&
                       integerProperty(link.properties, PW_KEY_LINK_OUTPUT_NODE) == id &&
                       integerProperty(link.properties, PW_KEY_LINK_INPUT_NODE) == sink.nodeID;
            });
        if (!linkedToSink) {
            return false;
        }
    }
    return true;
}

void PipeWireAudioHardware::Impl::reconcileSink(CaptureSink& sink) {
    if (sink.nodeID == SPA_ID_INVALID || !defaultMetadata_ || defaultMetadata_->proxy == nullptr) {
        return;
    }
    for (const auto& [id, global] : globals_) {
        if (sink.targetedStreams.count(id) > 0 || !isStreamOf(*global, sink.processKey)) {
            continue;
        }
        sink.targetedStreams.insert(id);
        pw_metadata_set_property(defaultMetadata_->proxy, id, kTargetObjectKey, nullptr,
                                 sink.nodeName.c_str());
    }
}

// --- Aggregates ------------------------------------------------------------------------------

std::vector<const PipeWireAudioHardware::Impl::Global*>
PipeWireAudioHardware::Impl::portsOf(std::uint32_t nodeID, const char* direction,
                                     bool monitor) const {
    std::vector<const Global*> ports;
    for (const auto& [id, global] : globals_) {
        if (global->kind == GlobalKind::port &&
            integerProperty(global->properties, PW_KEY_NODE_ID) == nodeID &&
            propertyValue(global->properties, PW_KEY_PORT_DIRECTION) == direction &&
            isTruthy(propertyValue(global->properties, PW_KEY_PORT_MONITOR)) == monitor) {
            ports.push_back(global.get());
        }
    }
    std::sort(ports.begin(), ports.end(), [](const Global* a, const Global* b) {
        return std::atoi(propertyValue(a->properties, PW_KEY_PORT_ID).value_or("0").c_str()) <
               std::atoi(propertyValue(b->properties, PW_KEY_PORT_ID).value_or("0").c_str());
    });
    return ports;
}

std::vector<std::string> PipeWireAudioHardware::Impl::sinkChannels(std::uint32_t nodeID) const {
    std::vector<std::string> channels;
    int index = 0;
    for (const Global* port : portsOf(nodeID, "in", false)) {
        channels.push_back(propertyValue(port->properties, PW_KEY_AUDIO_CHANNEL)
                               .value_or("AUX" + std::to_string(index)));
        ++index;
    }
    return channels;
}

const PipeWireAudioHardware::Impl::Global*
PipeWireAudioHardware::Impl::filterPort(const Aggregate& aggregate, const char* direction,
                                        const std::string& channel) const {
    if (aggregate.filter == nullptr) {
        return nullptr;
    }
    const std::uint32_t nodeID = pw_filter_get_node_id(aggregate.filter);
    if (nodeID == SPA_ID_INVALID) {
        return nullptr;
    }
    const std::string name =
        std::string(std::string_view(direction) == "in" ? "input_" : "output_") + channel;
    for (const Global* port : portsOf(nodeID, direction, false)) {
        if (propertyValue(port->properties, PW_KEY_PORT_NAME) == name) {
            return port;
        }
    }
    return nullptr;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>>
PipeWireAudioHardware::Impl::wantedLinks(const Aggregate& aggregate) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
    // Same channel name, else (mono, AUX channels) by position. Nothing while the ports are
    // still appearing or not yet described, so that no link is made to a wrong channel.
    const auto byChannel = [](const std::vector<const Global*>& ports, std::size_t expected,
                              const std::string& channel, std::size_t index) -> const Global* {
        if (ports.empty() || ports.size() < expected) {
            return nullptr;
        }
        for (const Global* port : ports) {
            const auto name = propertyValue(port->properties, PW_KEY_AUDIO_CHANNEL);
            if (!name) {
                return nullptr;
            }
            if (*name == channel) {
                return port;
            }
        }
        return ports[index % ports.size()];
    };
    const DeviceEntry* sub = aggregate.description.subDeviceUIDs.empty()
                                 ? nullptr
                                 : deviceByUID(aggregate.description.subDeviceUIDs.front());
    const auto subPorts =
        sub != nullptr ? portsOf(sub->nodeID, "in", false) : std::vector<const Global*>{};
    for (std::size_t i = 0; i < aggregate.channels.size(); ++i) {
        const std::string& channel = aggregate.channels[i];
        if (const Global* input = filterPort(aggregate, "in", channel)) {
            for (const AudioObjectID tapID : aggregate.taps) {
                const auto tapIt = taps_.find(tapID);
                if (tapIt == taps_.end()) {
                    continue;
                }
                for (const std::string& key : tapIt->second.processKeys) {
                    const auto sink = sinks_.find(key);
                    if (sink == sinks_.end() || sink->second->nodeID == SPA_ID_INVALID) {
                        continue;
                    }
                    const std::uint32_t sinkNode = sink->second->nodeID;
                    if (const Global* monitor =
                            byChannel(portsOf(sinkNode, "out", true),
                                      portsOf(sinkNode, "in", false).size(), channel, i)) {
                        links.emplace_back(monitor->id, input->id);
                    }
                }
            }
        }
        const Global* output = filterPort(aggregate, "out", channel);
        const Global* playback = byChannel(subPorts, 1, channel, i);
        if (output != nullptr && playback != nullptr) {
            links.emplace_back(output->id, playback->id);
        }
    }
    return links;
}

bool PipeWireAudioHardware::Impl::linksComplete(const Aggregate& aggregate) const {
    const auto wanted = wantedLinks(aggregate);
    std::size_t toDevice = 0;
    for (const auto& [outputPort, inputPort] : wanted) {
        const auto it = aggregate.links.find({outputPort, inputPort});
        if (it == aggregate.links.end() || it->second->globalID == SPA_ID_INVALID ||
            global(it->second->globalID, GlobalKind::link) == nullptr) {
            return false;
        }
        const Global* port = global(inputPort, GlobalKind::port);
        if (port != nullptr && aggregate.filter != nullptr &&
            integerProperty(port->properties, PW_KEY_NODE_ID) !=
                pw_filter_get_node_id(aggregate.filter)) {
            ++toDevice;
        }
    }
    // Every channel reaches the sub-device, and every channel hears the taps.
    const std::size_t fromTaps = wanted.size() - toDevice;
    return toDevice == aggregate.channels.size() &&
           (aggregate.taps.empty() || fromTaps >= aggregate.channels.size());
}

void PipeWireAudioHardware::Impl::reconcileAggregate(Aggregate& aggregate) {
    std::erase_if(aggregate.links, [this](const auto& entry) {
        LinkProxy& link = *entry.second;
        if (link.gone) {
            // Refused by the server: the proxy still holds our listener.
            releaseProxy(link.proxy, link.listener, SPA_ID_INVALID);
        }
        return link.gone;
    });
    if (aggregate.filter == nullptr) {
        return;
    }
    const auto wanted = wantedLinks(aggregate);
    for (const auto& [outputPort, inputPort] : wanted) {
        if (aggregate.links.count({outputPort, inputPort}) == 0) {
            createLink(aggregate, outputPort, inputPort);
        }
    }
    // Links whose ports changed meaning, such as those of a sink that was made again.
    std::erase_if(aggregate.links, [&](const auto& entry) {
        if (std::find(wanted.begin(), wanted.end(), entry.first) != wanted.end()) {
            return false;
        }
        LinkProxy& link = *entry.second;
        releaseProxy(link.proxy, link.listener, link.globalID);
        return true;
    });
}

void PipeWireAudioHardware::Impl::createLink(Aggregate& aggregate, std::uint32_t outputPort,
                                             std::uint32_t inputPort) {
    const Global* output = global(outputPort, GlobalKind::port);
    const Global* input = global(inputPort, GlobalKind::port);
    if (output == nullptr || input == nullptr) {
        return;
    }
    Properties properties(pw_properties_new(nullptr, nullptr));
    pw_properties_setf(properties.get(), PW_KEY_LINK_OUTPUT_PORT, "%u", outputPort);
    pw_properties_setf(properties.get(), PW_KEY_LINK_INPUT_PORT, "%u", inputPort);
    pw_properties_set(properties.get(), PW_KEY_LINK_OUTPUT_NODE,
                      propertyValue(output->properties, PW_KEY_NODE_ID).value_or("").c_str());
    pw_properties_set(properties.get(), PW_KEY_LINK_INPUT_NODE,
                      propertyValue(input->properties, PW_KEY_NODE_ID).value_or("").c_str());
    pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER, "false");
    auto link = std::make_unique<LinkProxy>();
    link->impl = this;
    link->proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &properties->dict, 0));
    if (link->proxy == nullptr) {
        return;
    }
    pw_proxy_add_listener(link->proxy, &link->listener, &kLinkProxyEvents, link.get());
    aggregate.links[{outputPort, inputPort}] = std::move(link);
}

void PipeWireAudioHardware::Impl::onLinkBound(void* data, std::uint32_t globalID) {
    auto* link = static_cast<LinkProxy*>(data);
    link->globalID = globalID;
    pw_thread_loop_signal(link->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::onLinkRemoved(void* data) {
    auto* link = static_cast<LinkProxy*>(data);
    link->gone = true;
    if (link->proxy != nullptr) {
        pw_proxy_destroy(link->proxy);
    }
}

void PipeWireAudioHardware::Impl::onLinkDestroy(void* data) {
    auto* link = static_cast<LinkProxy*>(data);
    spa_hook_remove(&link->listener);
    link->proxy = nullptr;
    link->gone = true;
}

void PipeWireAudioHardware::Impl::onLinkError(void* data, int, int, const char*) {
    auto* link = static_cast<LinkProxy*>(data);
    link->gone = true;
    pw_thread_loop_signal(link->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::startFilter(Aggregate& aggregate) {
    if (aggregate.filter != nullptr || !connected()) {
        return;
    }
    Properties properties = ownProperties();
    pw_properties_set(properties.get(), PW_KEY_NODE_NAME, aggregate.description.uid.c_str());
    pw_properties_set(properties.get(), PW_KEY_NODE_DESCRIPTION,
                      aggregate.description.name.c_str());
    pw_properties_set(properties.get(), PW_KEY_MEDIA_TYPE, "Audio");
    pw_properties_set(properties.get(), PW_KEY_MEDIA_CATEGORY, "Filter");
    pw_properties_set(properties.get(), PW_KEY_MEDIA_ROLE, "DSP");
    pw_properties_set(properties.get(), PW_KEY_NODE_VIRTUAL, "true");
    pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER, "false");
    aggregate.failed = false;
    aggregate.filter =
        pw_filter_new(core_, aggregate.description.uid.c_str(), properties.release());
    if (aggregate.filter == nullptr) {
        aggregate.failed = true;
        return;
    }
    pw_filter_add_listener(aggregate.filter, &aggregate.filterListener, &kFilterEvents, &aggregate);
    aggregate.inputPorts.clear();
    aggregate.outputPorts.clear();
    for (const std::string& channel : aggregate.channels) {
        for (const bool input : {true, false}) {
            const std::string name = (input ? "input_" : "output_") + channel;
            pw_properties* portProperties =
                pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                                  name.c_str(), PW_KEY_AUDIO_CHANNEL, channel.c_str(), nullptr);
            void* port = pw_filter_add_port(
                aggregate.filter, input ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT,
                PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0, portProperties, nullptr, 0);
            (input ? aggregate.inputPorts : aggregate.outputPorts).push_back(port);
        }
    }
    if (pw_filter_connect(aggregate.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
        aggregate.failed = true;
    }
    aggregate.slots->setEnabled(true);
}

void PipeWireAudioHardware::Impl::stopFilter(Aggregate& aggregate) {
    // No block may run once this returns, whatever the filter does while going away.
    aggregate.slots->setEnabled(false);
    for (auto& [ports, link] : aggregate.links) {
        releaseProxy(link->proxy, link->listener, SPA_ID_INVALID);
    }
    aggregate.links.clear();
    if (aggregate.filter != nullptr) {
        spa_hook_remove(&aggregate.filterListener);
        pw_filter_destroy(aggregate.filter);
        aggregate.filter = nullptr;
    }
    aggregate.inputPorts.clear();
    aggregate.outputPorts.clear();
}

void PipeWireAudioHardware::Impl::onFilterState(void* data, pw_filter_state, pw_filter_state state,
                                                const char*) {
    auto* aggregate = static_cast<Aggregate*>(data);
    if (state == PW_FILTER_STATE_ERROR) {
        aggregate->failed = true;
    }
    aggregate->impl->changed();
    pw_thread_loop_signal(aggregate->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::onFilterProcess(void* data, spa_io_position* position) {
    auto* aggregate = static_cast<Aggregate*>(data);
    const std::uint32_t frames = position != nullptr ? std::uint32_t(position->clock.duration) : 0;
    const std::size_t channels = aggregate->inputData.size();
    for (std::size_t i = 0; i < channels; ++i) {
        aggregate->inputData[i] =
            static_cast<const float*>(pw_filter_get_dsp_buffer(aggregate->inputPorts[i], frames));
        aggregate->outputData[i] =
            static_cast<float*>(pw_filter_get_dsp_buffer(aggregate->outputPorts[i], frames));
    }
    AudioIOCycle cycle;
    if (position != nullptr && position->clock.rate.denom > 0) {
        cycle.sampleRate = double(position->clock.rate.denom) / double(position->clock.rate.num);
    }
    aggregate->slots->render(cycle, aggregate->inputData.data(), aggregate->outputData.data(),
                             frames);
}

OSStatus PipeWireAudioHardware::Impl::createAggregate(const AggregateDeviceDescription& description,
                                                      AudioObjectID& outDeviceID) {
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    if (description.uid.empty() || description.subDeviceUIDs.size() != 1) {
        return kAudioHardwareIllegalOperationError;
    }
    const DeviceEntry* sub = deviceByUID(description.subDeviceUIDs.front());
    if (sub == nullptr || sub->outputStreams == 0) {
        return kAudioHardwareBadDeviceError;
    }
    std::vector<AudioObjectID> tapIDs;
    for (const std::string& tapUID : description.tapUIDs) {
        const auto it = std::find_if(taps_.begin(), taps_.end(),
                                     [&](const auto& entry) { return entry.second.uid == tapUID; });
        if (it == taps_.end()) {
            return kAudioHardwareBadObjectError;
        }
        tapIDs.push_back(it->first);
    }
    const bool uidTaken = std::any_of(devices_.begin(), devices_.end(), [&](const DeviceEntry& d) {
        return d.uid == description.uid;
    });
    if (uidTaken) {
        return kAudioHardwareIllegalOperationError;
    }
    std::vector<std::string> channels = sinkChannels(sub->nodeID);
    if (channels.empty()) {
        return kAudioHardwareBadDeviceError;
    }

    auto aggregate = std::make_unique<Aggregate>();
    aggregate->impl = this;
    aggregate->id = nextObjectID_++;
    aggregate->description = description;
    aggregate->taps = tapIDs;
    aggregate->channels = channels;
    aggregate->slots = std::make_unique<IOProcSlots>(std::uint32_t(channels.size()));
    aggregate->inputData.assign(channels.size(), nullptr);
    aggregate->outputData.assign(channels.size(), nullptr);
    Aggregate* created = aggregate.get();
    const AudioObjectID id = aggregate->id;
    aggregates_[id] = std::move(aggregate);
    startFilter(*created);
    changed();

    const bool done =
        waitUntil([&] { return !connected() || created->failed || linksComplete(*created); },
                  options_.timeoutMs);
    if (!connected() || created->failed || !done) {
        const OSStatus status = !connected()      ? kAudioHardwareNotRunningError
                                : created->failed ? kAudioHardwareUnspecifiedError
                                                  : kAudioHardwareTimeoutError;
        destroyAggregate(id);
        return status;
    }
    outDeviceID = id;
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::destroyAggregate(AudioObjectID deviceID) {
    const auto it = aggregates_.find(deviceID);
    if (it == aggregates_.end()) {
        return kAudioHardwareBadDeviceError;
    }
    stopFilter(*it->second);
    aggregates_.erase(it);
    std::erase_if(ioProcs_, [&](const auto& entry) { return entry.second.deviceID == deviceID; });
    changed();
    if (connected()) {
        roundTrip();
    }
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::createIOProc(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                                   AudioDeviceIOProcID& outID) {
    Aggregate* target = aggregate(deviceID);
    if (target == nullptr) {
        // Only our own aggregates run blocks; the other devices belong to the session manager.
        return device(deviceID) != nullptr ? kAudioHardwareUnsupportedOperationError
                                           : kAudioHardwareBadDeviceError;
    }
    const auto slot = target->slots->install(std::move(block));
    if (!slot) {
        return kAudioHardwareIllegalOperationError;
    }
    const AudioDeviceIOProcID id = nextIOProcID_++;
    ioProcs_[id] = IOProc{deviceID, *slot};
    outID = id;
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::destroyIOProc(AudioObjectID deviceID,
                                                    AudioDeviceIOProcID ioProcID) {
    return onIOProc(deviceID, ioProcID, [&](IOProcSlots& slots, std::size_t slot) {
        slots.remove(slot);
        ioProcs_.erase(ioProcID);
        return true;
    });
}

void PipeWireAudioHardware::Impl::reconcile() {
    if (!connected() || !initialSyncDone_) {
        return;
    }
    for (auto& [key, sink] : sinks_) {
        startSink(*sink);
        reconcileSink(*sink);
    }
    for (auto& [id, aggregate] : aggregates_) {
        startFilter(*aggregate);
        reconcileAggregate(*aggregate);
    }
}

// --- Public face ---------------------------------------------------------------------------

PipeWireAudioHardware::PipeWireAudioHardware(PipeWireOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

PipeWireAudioHardware::~PipeWireAudioHardware() = default;

bool PipeWireAudioHardware::isConnected() const {
    Impl::Lock lock(impl_->loop());
    return impl_->connected();
}

OSStatus PipeWireAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    std::uint32_t& outSize) {
    Impl::Lock lock(impl_->loop());
    return impl_->readDataSize(object, address, outSize);
}

OSStatus PipeWireAudioHardware::getPropertyUInt32(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::uint32_t& outValue) {
    Impl::Lock lock(impl_->loop());
    return impl_->readUInt32(object, address, outValue);
}

OSStatus PipeWireAudioHardware::getPropertyFloat64(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   double& outValue) {
    Impl::Lock lock(impl_->loop());
    return impl_->readFloat64(object, address, outValue);
}

OSStatus PipeWireAudioHardware::getPropertyString(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::string& outValue) {
    Impl::Lock lock(impl_->loop());
    return impl_->readString(object, address, outValue);
}

OSStatus PipeWireAudioHardware::getPropertyObjectIDs(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     std::vector<AudioObjectID>& ioIDs) {
    Impl::Lock lock(impl_->loop());
    return impl_->readObjectIDs(object, address, ioIDs);
}

OSStatus PipeWireAudioHardware::setPropertyUInt32(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::uint32_t value) {
    Impl::Lock lock(impl_->loop());
    if (object == kAudioObjectSystemObject &&
        address.selector == kAudioHardwarePropertyDefaultOutputDevice) {
        return impl_->setDefaultOutput(value);
    }
    std::uint32_t size = 0;
    const OSStatus known = impl_->readDataSize(object, address, size);
    return known == noErr ? kAudioHardwareIllegalOperationError : known;
}

OSStatus PipeWireAudioHardware::addPropertyListener(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    AudioObjectPropertyListenerProc proc,
                                                    void* clientData) {
    return impl_->dispatcher.add(object, address, proc, clientData);
}

OSStatus PipeWireAudioHardware::removePropertyListener(AudioObjectID object,
                                                       const AudioObjectPropertyAddress& address,
                                                       AudioObjectPropertyListenerProc proc,
                                                       void* clientData) {
    return impl_->dispatcher.remove(object, address, proc, clientData);
}

OSStatus PipeWireAudioHardware::createProcessTap(const CATapDescription& description,
                                                 AudioObjectID& outTapID) {
    Impl::Lock lock(impl_->loop());
    return impl_->createTap(description, outTapID);
}

OSStatus PipeWireAudioHardware::destroyProcessTap(AudioObjectID tapID) {
    Impl::Lock lock(impl_->loop());
    return impl_->destroyTap(tapID);
}

OSStatus PipeWireAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                      AudioObjectID& outDeviceID) {
    Impl::Lock lock(impl_->loop());
    return impl_->createAggregate(description, outDeviceID);
}

OSStatus PipeWireAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
    Impl::Lock lock(impl_->loop());
    return impl_->destroyAggregate(deviceID);
}

OSStatus PipeWireAudioHardware::createIOProcID(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                               AudioDeviceIOProcID& outIOProcID) {
    Impl::Lock lock(impl_->loop());
    return impl_->createIOProc(deviceID, std::move(block), outIOProcID);
}

OSStatus PipeWireAudioHardware::deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) {
    Impl::Lock lock(impl_->loop());
    return impl_->onIOProc(deviceID, ioProcID,
                           [](IOProcSlots& slots, std::size_t slot) { return slots.start(slot); });
}

OSStatus PipeWireAudioHardware::deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) {
    Impl::Lock lock(impl_->loop());
    return impl_->onIOProc(deviceID, ioProcID,
                           [](IOProcSlots& slots, std::size_t slot) { return slots.stop(slot); });
}

OSStatus PipeWireAudioHardware::destroyIOProcID(AudioObjectID deviceID,
                                                AudioDeviceIOProcID ioProcID) {
    Impl::Lock lock(impl_->loop());
    return impl_->destroyIOProc(deviceID, ioProcID);
}

std::vector<AudioClient> PipeWireAudioHardware::audioClients() const {
    Impl::Lock lock(impl_->loop());
    return impl_->clients();
}

} // namespace kestrelamp::hal
