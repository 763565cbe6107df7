#pragma once

// The inside of PipeWireAudioHardware, shared by the files that implement it:
//   PipeWireConnection.cpp  the thread loop, the connection and reconnecting
//   PipeWireRegistry.cpp    the registry cache, the metadata we read and write, graph queries
//   PipeWireListing.cpp     processes and devices as the interface lists them
//   PipeWirePropertyReads.cpp  the interface's property reads on them
//   PipeWireJackStreams.cpp JACK programs, held by links of ours
//   PipeWireTaps.cpp        capture sinks standing for taps, and the streams they hold
//   PipeWireAggregates.cpp  aggregates: their ports on a device filter, links and IO blocks
//   PipeWireDeviceFilters.cpp  one filter of ours per device, running every route to it
//   PipeWireLinks.cpp       links of ours and what the server says of them
//   PipeWireLevelMonitors.cpp  passive filters measuring what an application plays
//   PipeWireRecordings.cpp  programs that record, held where the user chose
// The records of each object are in PipeWireGraphObjects.h (the server's) and
// PipeWireOwnObjects.h (ours). Everything here runs on the loop thread or with the loop locked.

#include "engine/hal/PipeWireAudioHardware.h"
#include "engine/hal/PipeWireGraphObjects.h"
#include "engine/hal/PipeWireOwnObjects.h"
#include "engine/hal/PipeWireProperties.h"
#include "engine/hal/PipeWireRecordings.h"
#include "engine/hal/PropertyListenerDispatcher.h"
#include "engine/hal/ServerFailure.h"
#include "engine/hal/StreamTargets.h"
#include "platform/ApplicationIdentity.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kestrelamp::hal {

using pipewire::GlobalKind;

inline constexpr const char* kPlaybackStreamClass = "Stream/Output/Audio";
// How long a tap waits for an aggregate to read it before it holds the application anyway.
inline constexpr int kUnclaimedHoldMs = 250;
// After the last tap was made, before spare capture sinks are made again.
inline constexpr int kSpareSinksAfterMs = 1000;
inline constexpr std::uint32_t kMostSpareSinks = 8;
// How long a server taken as hung has to show it answers again.
inline constexpr int kSignOfLifeMs = 100;
// How long a PulseAudio stream on a sink counts as not done yet without a format of its own.
inline constexpr int kSinkSightingMs = 1000;

// Frees PipeWire properties the call did not take over.
struct PropertiesDeleter {
    void operator()(pw_properties* properties) const { pw_properties_free(properties); }
};
using Properties = std::unique_ptr<pw_properties, PropertiesDeleter>;

template <class Entries>
std::vector<AudioObjectID> idsOf(const Entries& entries) {
    std::vector<AudioObjectID> ids;
    for (const auto& entry : entries) {
        ids.push_back(entry.id);
    }
    return ids;
}

// Our client's identity, on the connection and on every object we make.
Properties ownProperties();

class PipeWireAudioHardware::Impl {
public:
    explicit Impl(PipeWireOptions options);
    ~Impl();

    using Global = pipewire::Global;
    using Metadata = pipewire::Metadata;
    using LinkProxy = pipewire::LinkProxy;
    using ProcessEntry = pipewire::ProcessEntry;
    using DeviceEntry = pipewire::DeviceEntry;
    using CaptureSink = pipewire::CaptureSink;
    using Tap = pipewire::Tap;
    using DeviceFilter = pipewire::DeviceFilter;
    using FilterOutputs = pipewire::FilterOutputs;
    using LinkMap = pipewire::LinkMap;
    using Aggregate = pipewire::Aggregate;
    using LevelMonitor = pipewire::LevelMonitor;
    using IOProc = pipewire::IOProc;
    using CallMix = pipewire::CallMix;

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

    // --- Connection (PipeWireConnection.cpp) and registry cache (PipeWireRegistry.cpp) ---------
    pw_thread_loop* loop() const { return loop_; }
    bool connected() const { return core_ != nullptr && !coreFailed_; }
    // A wait that runs out its full time marks the server as not answering; until it answers
    // again, a wait first asks for a sign of life (at most kSignOfLifeMs, once a second) and
    // gives up at once without one. A hung server so costs one full wait, not one per call.
    template <class Predicate>
    bool waitUntil(Predicate predicate, int timeoutMs);
    bool serverAnswers();
    OSStatus roundTrip();
    bool connect();
    void disconnect();
    void scheduleReconnect(int delayMs);

    void addGlobal(std::uint32_t id, const char* type, std::uint32_t version,
                   const spa_dict* props);
    void removeGlobal(std::uint32_t id);
    void destroyGlobal(Global& global);
    void destroyMetadata(std::unique_ptr<Metadata>& metadata);
    Metadata* bindMetadata(std::uint32_t id, const std::string& name);
    void onMetadataProperty(Metadata& metadata, std::uint32_t subject, const char* key,
                            const char* value);
    // Writes into the "default" metadata; false when it is not there.
    bool writeMetadata(const MetadataWrite& write);
    std::optional<std::string> metadataValue(std::uint32_t subject, const std::string& key) const;

    const Global* global(std::uint32_t id, GlobalKind kind) const;
    // The properties of the global of this kind whose id the key holds; empty when there is none.
    const PropertyMap& linkedProperties(const Global& from, const char* key, GlobalKind kind) const;
    // Keeps graph_.portsByNode in step with a port whose node was `before`.
    void indexPort(const Global& port, std::optional<std::int64_t> before);
    std::vector<const Global*> portsOf(std::uint32_t nodeID, const char* direction,
                                       bool monitor) const;
    // The positions of a node's ports in this direction, in port order.
    ChannelLayout portChannels(std::uint32_t nodeID, const char* direction) const;
    const Global* nodeNamed(const std::string& name) const;

    // Rebuilds the lists from the graph, tells the listeners what changed, and brings our taps
    // and aggregates up to date with the graph.
    void changed();
    // From the server's events: one recompute for all the events of a loop iteration.
    void changedSoon();
    // A caller's change: the listing at once, so that what it made is listed when the call
    // returns; the rest in one pass on the loop, however many calls come in a row.
    void changedByCall();
    void changedIfPending();
    void reconcile();
    // Drops one of our proxies and its listener; a valid globalID also has the server remove the
    // object.
    void releaseProxy(pw_proxy*& proxy, spa_hook& listener, std::uint32_t globalID);

    // --- Listing (PipeWireListing.cpp) ---------------------------------------------------------
    void recompute();
    void listGraph(std::vector<ProcessEntry>& processes, std::vector<DeviceEntry>& devices);
    void addStream(std::vector<ProcessEntry>& processes, const Global& stream);
    // The device a node stands for; none for a node of another class.
    std::optional<DeviceEntry> deviceEntryFor(const Global& node, const std::string& mediaClass);
    double nodeSampleRate(const Global& node) const;
    void useRouteRates(std::vector<DeviceEntry>& devices) const;
    void appendAggregates(std::vector<DeviceEntry>& devices) const;
    AudioObjectID defaultOutputIn(const std::vector<DeviceEntry>& devices) const;
    // Takes the new lists and tells the listeners what changed.
    void publishListing(std::vector<ProcessEntry> processes, std::vector<DeviceEntry> devices,
                        AudioObjectID defaultOutput);
    // Who plays the stream; a host's command line is read once per client and process.
    ApplicationIdentity identityOf(const Global& stream) const;
    std::string processKeyOf(const Global& stream, const std::string& bundleID) const;
    std::optional<std::int64_t> processIDOf(const Global& stream) const;
    AudioObjectID idFor(std::map<std::string, AudioObjectID>& table, const std::string& key);
    const ProcessEntry* process(AudioObjectID id) const;
    const DeviceEntry* device(AudioObjectID id) const;
    const DeviceEntry* deviceByUID(const std::string& uid) const;
    // The output device a node id or serial names, as a "target" entry holds it.
    const Global* nodeForTarget(const std::string& key, const std::string& value) const;
    const DeviceEntry* outputDeviceForTarget(const std::string& key,
                                             const std::string& value) const;
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
    std::vector<AudioClient> clients(const std::string& bundleID) const;

    // --- Taps (PipeWireTaps.cpp) ---------------------------------------------------------------
    OSStatus createTap(const CATapDescription& description, AudioObjectID& outTapID);
    // The process entries a tap description names, or why it is refused.
    OSStatus tappedProcesses(const CATapDescription& description,
                             std::vector<const ProcessEntry*>& tapped) const;
    // One shot of a loop timer (the hold timer wakes the sinks of taps no aggregate has read yet
    // once they may hold; the connect timer fails aggregates not connected in time).
    void armTimer(spa_source* timer, int afterMs);
    OSStatus destroyTap(AudioObjectID tapID);
    // The "thbk" write: gives back the streams only this tap holds, without waiting.
    OSStatus handBackTap(AudioObjectID tapID);
    // Gives back the streams of the sinks no other tap uses; returns them.
    std::vector<std::uint32_t> handBackSolelyHeld(const Tap& tap);
    // Forgets what played elsewhere; true when the tap's hand-back just ended.
    bool handBackEnded(Tap& tap);
    // The session manager has linked the stream to a node that is not one of our sinks, or it
    // is gone.
    bool playsElsewhere(std::uint32_t stream) const;
    // The described playback streams of an application, as of the last change.
    const std::vector<std::uint32_t>& streamsOf(const std::string& processKey) const;
    bool linked(std::int64_t outputNode, std::int64_t inputNode) const;
    void indexGraph(const std::vector<ProcessEntry>& processes);
    // pipewire-pulse completes a stream's creation only once the stream is linked to a sink it
    // lists: one created straight onto a capture node of ours waits forever, silent. Such a
    // stream first goes to a sink (stagingTarget), and to our node once it was on one.
    bool needsSinkFirst(std::uint32_t stream) const;
    void noteSinkSighting(std::uint32_t stream);
    // The device the route reading the sink plays on; nothing while no aggregate plays it.
    std::optional<std::string> stagingTarget(const CaptureSink& sink) const;
    Tap* tap(AudioObjectID id);
    const CaptureSink* sink(std::uint64_t serial) const;
    // The sink of the tap that another program took the application from; none while it holds.
    const CaptureSink* releasedSinkOf(const Tap& tap) const;
    // The sink new taps of this process share, made when there is none.
    CaptureSink& sinkFor(const ProcessEntry& process, bool mixdown);
    CaptureSink* takeSpareSink(const ProcessEntry& process, bool mixdown,
                               const ChannelLayout& channels);
    CaptureSink& makeSink(const std::string& processKey, const std::string& description,
                          bool mixdown, const ChannelLayout& channels);
    void keepSpareSinks();
    void setSpareSinks(std::uint32_t count);
    void putOffSpareSinks();
    ChannelLayout streamLayout(const std::string& processKey) const;
    void startSink(CaptureSink& sink);
    void stopSink(CaptureSink& sink, bool restoreTargets);
    void reconcileSink(CaptureSink& sink);
    bool streamsMoved(const CaptureSink& sink) const;
    // Whether the sink should hold the application's streams now: while an aggregate that reads
    // it plays with its links in place, or, for a tap no aggregate ever read, after a moment.
    bool wantsHold(const CaptureSink& sink) const;
    bool reads(const Aggregate& aggregate, std::uint64_t sinkSerial) const;
    // Gives the streams the sink holds back to where they played before; returns them.
    std::vector<std::uint32_t> handBack(CaptureSink& sink);
    // When the aggregate falls silent (it no longer counts as playing): the streams only it
    // carried go back to their own outputs rather than play into a sink nobody hears.
    void handBackUnheard(const Aggregate& aggregate);
    static void onHoldTimer(void* data, std::uint64_t expirations);
    // A target entry of a stream changed: ours coming back, or another client moving it.
    void onStreamTargetChanged(std::uint32_t stream, const std::string& key,
                               const std::optional<std::string>& value);
    void releaseSink(CaptureSink& sink, const std::string& key, const std::string& value);
    // A run that was killed leaves the streams it moved pointing at its sinks, which are gone.
    void clearStaleTargets();
    StreamTargetEntries targetEntries(std::uint32_t stream) const;

    // --- Aggregates (PipeWireAggregates.cpp) ---------------------------------------------------
    OSStatus createAggregate(const AggregateDeviceDescription& description,
                             AudioObjectID& outDeviceID);
    OSStatus destroyAggregate(AudioObjectID deviceID);
    Aggregate* aggregate(AudioObjectID id);
    OSStatus createIOProc(AudioObjectID deviceID, AudioDeviceIOBlock block,
                          AudioDeviceIOProcID& outID);
    OSStatus destroyIOProc(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID);
    OSStatus startIOProc(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID);
    OSStatus stopIOProc(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID);
    // An IO proc of the aggregate is started and it is not going away.
    bool plays(const Aggregate& aggregate) const;
    // It plays, its links are in place and the application's streams play into its taps.
    bool carries(const Aggregate& aggregate) const;
    // The "acr?" value: a failure status, else 0 or 1.
    OSStatus carriesState(const Aggregate& aggregate) const;
    // Fails an aggregate the server refused or did not connect in time, and tells listeners of a
    // change.
    void updateCarries(Aggregate& aggregate);
    // What the server refused the aggregate before it was first linked: its filter, or the
    // capture node of one of its taps. Nothing while it still may connect.
    std::optional<ServerFailure> connectRefusal(const Aggregate& aggregate) const;
    void noteLinkRefusals(Aggregate& aggregate);
    // The "why?" read.
    OSStatus readFailureReason(AudioObjectID object, std::string& value);
    static void onConnectTimer(void* data, std::uint64_t expirations);
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
    // The channels the aggregate should have now: its first tap's and its sub-device's.
    ChannelLayout aggregateInputChannels(const Aggregate& aggregate) const;
    ChannelLayout aggregateOutputChannels(const Aggregate& aggregate) const;
    void startFilter(Aggregate& aggregate);
    void stopFilter(Aggregate& aggregate);
    // --- Device filters (PipeWireDeviceFilters.cpp) --------------------------------------------
    // The filter of the device, made and connected when there is none; its filter is null when
    // the server refused it.
    DeviceFilter& deviceFilterFor(const std::string& deviceUID);
    void joinDeviceFilter(Aggregate& aggregate, DeviceFilter& shared);
    // Once this returns, the callback no longer runs the aggregate; the last one out ends the
    // filter.
    void leaveDeviceFilter(Aggregate& aggregate);
    // Hands the members to the callback; returns once it has them.
    void renderMembers(DeviceFilter& shared);
    // Returns once the data loop is between two cycles.
    void betweenCycles();
    static int swapRendering(spa_loop* loop, bool async, std::uint32_t seq, const void* data,
                             std::size_t size, void* userData);
    std::uint32_t filterNodeID(const DeviceFilter* shared) const;
    // A port on a device filter: a route's "routeN_input_FL", the shared "mixN_output_FL".
    static std::string ownPortName(const std::string& group, bool input, ChannelPosition channel);
    static void renderAggregate(Aggregate& aggregate, spa_io_position* position,
                                std::uint64_t cycle);
    void reconcileAggregate(Aggregate& aggregate);
    // The links between these ports, each made once, and no others; those the server removed
    // or refused are made again.
    void keepLinks(LinkMap& links,
                   const std::vector<std::pair<std::uint32_t, std::uint32_t>>& wanted,
                   const std::string& owner);
    enum class LinkKind {
        // Keeps nothing awake: a route or a monitor runs only while its application plays.
        passive,
        // Carries a program's sound into our capture node, as the session manager's links do.
        carrying,
        // A program's own connection given back: it outlives our connection.
        lasting,
    };
    // A link between two ports for the node named owner (for the log), with our proxy listener;
    // none when a port is unknown.
    std::unique_ptr<LinkProxy> makeLink(std::uint32_t outputPort, std::uint32_t inputPort,
                                        LinkKind kind, const std::string& owner);
    bool linksComplete(const Aggregate& aggregate) const;
    // From the taps' sinks into the aggregate's inputs, and from its outputs to the sub-device.
    std::vector<std::pair<std::uint32_t, std::uint32_t>>
    wantedInputLinks(const Aggregate& aggregate) const;
    std::vector<std::pair<std::uint32_t, std::uint32_t>>
    wantedOutputLinks(const DeviceFilter& shared, const FilterOutputs& outputs) const;
    void reconcileFilterOutputs();
    const Global* filterPort(const DeviceFilter& shared, const std::string& group,
                             const char* direction, ChannelPosition channel) const;

    // --- JACK programs (PipeWireJackStreams.cpp) ----------------------------------------------
    bool isJackPlayer(const Global& node) const;
    // Its audio output ports, in port order.
    std::vector<const Global*> jackOutputs(std::uint32_t node) const;
    void describeJackPlayer(Global& node);
    bool hasOutputLinks(std::uint32_t node) const;
    // Of the sinks, monitors and filters we made.
    bool isOwnNode(std::int64_t node) const;
    bool linkedToOwnSink(std::uint32_t stream) const;
    void holdJackStream(CaptureSink& sink, std::uint32_t stream);
    bool portsLinked(std::uint32_t outputPort, std::uint32_t inputPort) const;
    // Our links go; with restore, the program's own connections come back.
    void releaseJackStreams(CaptureSink& sink, bool restore);
    void remakeConnections(std::uint32_t stream, const std::vector<PortConnection>& connections);
    void dropLastingLinkProxies();
    // A run that was killed leaves JACK programs without the connections it had undone.
    void repairLeftoverConnections();

    // --- Level monitors (PipeWireLevelMonitors.cpp) --------------------------------------------
    OSStatus createMonitor(AudioObjectID processObjectID, AudioObjectID& outMonitorID);
    OSStatus destroyMonitor(AudioObjectID monitorID);
    OSStatus readMonitorLevel(AudioObjectID monitorID, AudioObjectPropertySelector selector,
                              double& value) const;
    bool isMonitor(AudioObjectID id) const { return monitors_.count(id) > 0; }
    // What the monitors need of the graph, gathered in one pass: with many monitors, looking it
    // up per monitor on every change costs more than the metering.
    struct MonitorGraph {
        // Non-monitor ports by node and direction ("in"/"out"), in port order.
        std::map<std::pair<std::uint32_t, std::string>, std::vector<const Global*>> ports;
        // While a recording is monitored: the output ports linked to each input port.
        std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> linkOutputsByInputPort;
    };
    std::vector<std::pair<const Global*, std::string>>
    monitoredPorts(const LevelMonitor& monitor, const MonitorGraph& graph) const;
    MonitorGraph monitorGraph() const;
    // The channels of every stream of the application, in the order they first appear.
    ChannelLayout monitorChannels(const LevelMonitor& monitor, const MonitorGraph& graph) const;
    std::vector<std::pair<std::uint32_t, std::uint32_t>>
    wantedMonitorLinks(const LevelMonitor& monitor, const MonitorGraph& graph) const;
    void reconcileMonitors();
    void startMonitor(LevelMonitor& monitor);
    void stopMonitor(LevelMonitor& monitor);
    void reconcileMonitor(LevelMonitor& monitor, const MonitorGraph& graph);
    void fitMonitorChannels(LevelMonitor& monitor, const MonitorGraph& graph);
    static void onMonitorState(void* data, pw_filter_state old, pw_filter_state state,
                               const char* error);
    static void onMonitorProcess(void* data, spa_io_position* position);

    // --- Call mix (PipeWireCallMix.cpp) --------------------------------------------------------
    OSStatus setCallMix(const CallMixSettings& settings);
    void reconcileCallMix();
    void startCallMixNode();
    void stopCallMix();
    void stopMicrophoneMix();
    // The node the microphone setting names now, if it is there.
    const Global* chosenMicrophone() const;
    bool callMixRecorded() const;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> wantedMicrophoneLinks() const;
    bool isCallMixNode(const Global& node) const;
    static void onCallMixError(void* data, int seq, int res, const char* message);
    static void onMicrophoneProcess(void* data, spa_io_position* position);

    // --- Recording applications (PipeWireRecordings.cpp) ---------------------------------------
    OSStatus setRecordingChoices(const RecordingChoices& choices);
    void listRecordings();
    void reconcileRecordings();
    // The device of the node, our aggregates left out; "" when it is none.
    std::string deviceUIDOfNode(std::int64_t node) const;
    // The device a "target" entry names; "" when none.
    std::string inputDeviceForTarget(const std::string& key, const std::string& value) const;
    void holdRecordingStream(std::uint32_t stream, const RecordingChoice* choice);
    // Each true when it changed something.
    bool applyStreamVolume(const Global& node, const RecordingChoice* choice);
    bool applyStreamTarget(const Global& node, const RecordingChoice* choice);
    static void onRecordingTimer(void* data, std::uint64_t expirations);
    // The stream reports the volume we gave it last, or we gave it none.
    bool volumeTaken(std::uint32_t stream) const;
    // As the program ends: every stream records untouched again.
    void releaseRecordings();
    void setStreamVolume(const Global& stream, float volume, bool muted);
    // Another client's target for a capture stream becomes its application's choice.
    void onRecordingTargetChanged(std::uint32_t stream, const std::optional<std::string>& value);
    const std::string* recordingOfLevelObject(AudioObjectID id) const;
    // The level adjustment a recording's monitor reads: what its volume and mute make of it.
    std::optional<double> recordingGainDb(const LevelMonitor& monitor) const;

    // --- What the server said (PipeWireConnection.cpp) -----------------------------------------
    // Logs what the server said of one of our objects, or of the connection, once per line.
    void reportServerError(const std::string& line);

    // --- PipeWire callbacks --------------------------------------------------------------------
    static void onCoreDone(void* data, std::uint32_t id, int seq);
    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t permissions,
                                 const char* type, std::uint32_t version, const spa_dict* props);
    static void onRegistryGlobalRemove(void* data, std::uint32_t id);
    static void onGlobalProxyDestroy(void* data);
    static void onNodeInfo(void* data, const pw_node_info* info);
    static void onNodeParam(void* data, int seq, std::uint32_t id, std::uint32_t index,
                            std::uint32_t next, const spa_pod* param);
    static void readStreamProps(Global& stream, const spa_pod* param);
    // Clients, devices and ports: what their info brings is properties.
    template <class Info>
    static void onPropertiesInfo(void* data, const Info* info);
    static int onMetadataEvent(void* data, std::uint32_t subject, const char* key, const char* type,
                               const char* value);
    // A node of ours made by a factory (a capture sink, the call mix): its proxy's events.
    template <class OwnNode>
    static void onOwnNodeBound(void* data, std::uint32_t globalID);
    // Someone else removed it: it is made again under the same name, which the streams' targets
    // (or the recorders) still name.
    template <class OwnNode>
    static void onOwnNodeRemoved(void* data);
    template <class OwnNode>
    static void onOwnNodeDestroy(void* data);
    static void onSinkError(void* data, int seq, int res, const char* message);
    static void onLinkBound(void* data, std::uint32_t globalID);
    static void onLinkRemoved(void* data);
    static void onLinkDestroy(void* data);
    static void onLinkError(void* data, int seq, int res, const char* message);
    static void onLinkInfo(void* data, const pw_link_info* info);
    // Drops our link proxy; a valid globalID also has the server remove the link.
    void releaseLink(LinkProxy& link, std::uint32_t globalID);
    static void onFilterState(void* data, pw_filter_state old, pw_filter_state state,
                              const char* error);
    static void onFilterProcess(void* data, spa_io_position* position);
    static void onTimer(void* data, std::uint64_t expirations);
    // Signalled from a real-time callback that saw the graph run at another rate.
    static void onRateChanged(void* data, std::uint64_t count);
    static void onChangeEvent(void* data, std::uint64_t count);

    static const pw_proxy_events kSinkProxyEvents;
    static const pw_proxy_events kLinkProxyEvents;
    static const pw_link_events kLinkEvents;

    PropertyListenerDispatcher dispatcher;

    PipeWireOptions options_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    spa_source* timer_ = nullptr;
    spa_source* holdTimer_ = nullptr;
    // Wakes the loop when a recording stream may be changed again.
    spa_source* recordingTimer_ = nullptr;
    // Capture sinks made ahead, so that taps made together (a profile) need no new node each.
    std::uint32_t wantedSpareSinks_ = 0;
    std::chrono::steady_clock::time_point spareSinksAfter_;
    spa_source* spareTimer_ = nullptr;
    // Wakes the loop when an aggregate's time to connect runs out.
    spa_source* connectTimer_ = nullptr;
    spa_source* rateEvent_ = nullptr;
    spa_source* changeEvent_ = nullptr;
    bool changePending_ = false;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    bool coreFailed_ = false;
    int lastDoneSeq_ = 0;
    bool serverSilent_ = false;
    std::chrono::steady_clock::time_point lastSignOfLifeAsked_{};
    std::optional<int> firstSync_;
    std::optional<int> secondSync_;
    bool initialSyncDone_ = false;

    pipewire::GraphMirror graph_;

    // Ids of the interface: handed out upwards from 2, never reused. An application keeps its
    // process id, and a device its id, for the service's lifetime.
    AudioObjectID nextObjectID_ = 2;
    AudioDeviceIOProcID nextIOProcID_ = 1;
    std::map<std::string, AudioObjectID> processIDs_;
    std::map<std::string, AudioObjectID> deviceIDs_;

    std::vector<ProcessEntry> processes_;
    std::vector<DeviceEntry> devices_;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;

    std::uint64_t nextSinkSerial_ = 1;
    std::map<std::uint64_t, std::unique_ptr<CaptureSink>> sinks_;
    TargetsOnTheirWay targetsOnTheirWay_;
    // JACK programs' links we asked the server to remove, until it has.
    std::unordered_set<std::uint32_t> undoneLinks_;
    // Connections given back to JACK programs, until the server has made them.
    std::vector<std::unique_ptr<LinkProxy>> lastingLinks_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, std::unique_ptr<Aggregate>> aggregates_;
    std::map<std::string, std::unique_ptr<DeviceFilter>> deviceFilters_;
    std::map<AudioDeviceIOProcID, IOProc> ioProcs_;
    std::map<AudioObjectID, std::unique_ptr<LevelMonitor>> monitors_;
    CallMix callMix_;
    pipewire::RecordingStreams recordings_;
    bool inChanged_ = false;
    // The server-error lines logged on this connection (kept to a few hundred).
    std::set<std::string> loggedServerErrors_;
    // Set while the object goes away: listeners are not called from the destructor.
    bool shuttingDown_ = false;
};

template <class Predicate>
bool PipeWireAudioHardware::Impl::waitUntil(Predicate predicate, int timeoutMs) {
    if (predicate()) {
        return true;
    }
    if (serverSilent_ && !serverAnswers()) {
        return predicate();
    }
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::int64_t(timeoutMs) * SPA_NSEC_PER_MSEC);
    while (!predicate()) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) {
            const bool met = predicate();
            serverSilent_ = serverSilent_ || (!met && timeoutMs >= options_.timeoutMs);
            return met;
        }
    }
    return true;
}

template <class OwnNode>
void PipeWireAudioHardware::Impl::onOwnNodeBound(void* data, std::uint32_t globalID) {
    auto* node = static_cast<OwnNode*>(data);
    node->nodeID = globalID;
    node->impl->changedSoon();
    pw_thread_loop_signal(node->impl->loop_, false);
}

template <class OwnNode>
void PipeWireAudioHardware::Impl::onOwnNodeRemoved(void* data) {
    auto* node = static_cast<OwnNode*>(data);
    node->nodeID = SPA_ID_INVALID;
    if (node->proxy != nullptr && !node->failure) {
        pw_proxy_destroy(node->proxy);
    }
    // The registry may have reported the node gone while the proxy still stood, so nothing has
    // made it again yet.
    node->impl->changedSoon();
    pw_thread_loop_signal(node->impl->loop_, false);
}

template <class OwnNode>
void PipeWireAudioHardware::Impl::onOwnNodeDestroy(void* data) {
    auto* node = static_cast<OwnNode*>(data);
    spa_hook_remove(&node->listener);
    node->proxy = nullptr;
}

} // namespace kestrelamp::hal
