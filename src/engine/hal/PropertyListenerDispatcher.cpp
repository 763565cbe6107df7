#include "engine/hal/PropertyListenerDispatcher.h"

#include <algorithm>

namespace kestrelamp::hal {

PropertyListenerDispatcher::PropertyListenerDispatcher()
    : thread_([this] { run(); }) {}

PropertyListenerDispatcher::~PropertyListenerDispatcher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

OSStatus PropertyListenerDispatcher::add(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         AudioObjectPropertyListenerProc proc, void* clientData) {
    if (!proc) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    const bool known =
        std::any_of(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
            return r.object == object && r.address == address && r.proc == proc &&
                   r.clientData == clientData;
        });
    if (!known) {
        registrations_.push_back({nextSerial_++, object, address, proc, clientData});
    }
    return noErr;
}

OSStatus PropertyListenerDispatcher::remove(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            AudioObjectPropertyListenerProc proc,
                                            void* clientData) {
    std::unique_lock lock(mutex_);
    const auto removed = std::erase_if(registrations_, [&](const Registration& r) {
        return r.object == object && r.address == address && r.proc == proc &&
               r.clientData == clientData;
    });
    // A listener may remove itself from inside its own call; waiting would never end.
    if (!isDispatcherThread()) {
        changed_.wait(lock, [&] {
            return !(calling_ && callingProc_ == proc && callingClientData_ == clientData);
        });
    }
    return removed > 0 ? noErr : kAudioHardwareIllegalOperationError;
}

void PropertyListenerDispatcher::notify(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address) {
    std::unique_lock lock(mutex_);
    Change change{object, address, {}, 0};
    for (const Registration& registration : registrations_) {
        if (registration.object == object && registration.address == address) {
            change.serials.push_back(registration.serial);
        }
    }
    if (change.serials.empty()) {
        return;
    }
    change.sequence = ++notifiedCount_;
    pending_.push_back(std::move(change));
    lock.unlock();
    changed_.notify_all();
}

void PropertyListenerDispatcher::waitUntilDelivered() {
    if (isDispatcherThread()) {
        return;
    }
    std::unique_lock lock(mutex_);
    const std::uint64_t target = notifiedCount_;
    changed_.wait(lock, [&] { return deliveredCount_ >= target || stopping_; });
}

void PropertyListenerDispatcher::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (stopping_) {
            return;
        }
        const Change change = std::move(pending_.front());
        pending_.pop_front();
        deliver(change, lock);
        deliveredCount_ = change.sequence;
        changed_.notify_all();
    }
}

void PropertyListenerDispatcher::deliver(const Change& change, std::unique_lock<std::mutex>& lock) {
    for (const std::uint64_t serial : change.serials) {
        if (stopping_) {
            return;
        }
        // Looked up again for every call: an earlier call may have removed this one.
        const auto it = std::find_if(registrations_.begin(), registrations_.end(),
                                     [&](const Registration& r) { return r.serial == serial; });
        if (it == registrations_.end()) {
            continue;
        }
        const Registration registration = *it;
        calling_ = true;
        callingProc_ = registration.proc;
        callingClientData_ = registration.clientData;
        lock.unlock();
        registration.proc(change.object, 1, &change.address, registration.clientData);
        lock.lock();
        calling_ = false;
        callingProc_ = nullptr;
        callingClientData_ = nullptr;
        changed_.notify_all();
    }
}

} // namespace kestrelamp::hal
