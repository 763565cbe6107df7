#pragma once

// Property listeners of an audio service, called on a thread of their own. A change notifies the
// listeners registered at the moment it happened, one call per change, in the order of changes.
// Removing a listener returns only once no call of that (proc, clientData) pair is in progress and
// none will start, so the client data may be freed right after.

#include "engine/hal/AudioHardware.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrelamp::hal {

class PropertyListenerDispatcher {
public:
    PropertyListenerDispatcher();
    // Joins the thread; changes not yet delivered are dropped. Must not run on that thread.
    ~PropertyListenerDispatcher();
    PropertyListenerDispatcher(const PropertyListenerDispatcher&) = delete;
    PropertyListenerDispatcher& operator=(const PropertyListenerDispatcher&) = delete;

    // Adding the same registration twice keeps one; a null proc is refused.
    OSStatus add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                 AudioObjectPropertyListenerProc proc, void* clientData);
    // kAudioHardwareIllegalOperationError when nothing was registered that way.
    OSStatus remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                    AudioObjectPropertyListenerProc proc, void* clientData);

    // Never calls a listener on the calling thread.
    void notify(AudioObjectID object, const AudioObjectPropertyAddress& address);

    // Blocks until every change notified before the call has been delivered. Returns at once on
    // the dispatcher's own thread.
    void waitUntilDelivered();

    bool isDispatcherThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    struct Registration {
        std::uint64_t serial = 0;
        AudioObjectID object = kAudioObjectUnknown;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc proc = nullptr;
        void* clientData = nullptr;
    };
    struct Change {
        AudioObjectID object = kAudioObjectUnknown;
        AudioObjectPropertyAddress address;
        std::vector<std::uint64_t> serials;
        std::uint64_t sequence = 0;
    };

    void run();
    void deliver(const Change& change, std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Registration> registrations_;
    std::deque<Change> pending_;
    std::uint64_t nextSerial_ = 1;
    std::uint64_t notifiedCount_ = 0;
    std::uint64_t deliveredCount_ = 0;
    AudioObjectPropertyListenerProc callingProc_ = nullptr;
    void* callingClientData_ = nullptr;
    bool calling_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace kestrelamp::hal
