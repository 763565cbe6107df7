#include "engine/hal/StreamTargets.h"

namespace kestrelamp::hal {

std::vector<MetadataWrite> StreamTargets::hold(std::uint32_t stream, const std::string& ours,
                                               const StreamTargetEntries& current,
                                               bool (*isOurs)(const std::string& value)) {
    const auto foreign =
        [&](const std::optional<std::string>& value) -> std::optional<std::string> {
        // While a stream is first sent to a device, ours is that device: the stream's own
        // choice of it stays its own.
        if (!value || (isOurs != nullptr ? isOurs(*value) : *value == ours)) {
            return std::nullopt;
        }
        return value;
    };
    std::vector<MetadataWrite> writes;
    auto [it, inserted] = held_.try_emplace(stream);
    if (inserted) {
        it->second.before = {foreign(current.targetObject), foreign(current.targetNode)};
        if (it->second.before.targetObject) {
            writes.push_back({stream, kEarlierTargetObjectKey, it->second.before.targetObject});
        }
    }
    it->second.ours = ours;
    if (current.targetObject != ours) {
        writes.push_back({stream, kTargetObjectKey, ours});
    }
    return writes;
}

std::optional<std::string> StreamTargets::heldAt(std::uint32_t stream) const {
    const auto it = held_.find(stream);
    return it != held_.end() ? std::optional(it->second.ours) : std::nullopt;
}

std::vector<std::uint32_t> StreamTargets::streams() const {
    std::vector<std::uint32_t> streams;
    for (const auto& [stream, held] : held_) {
        streams.push_back(stream);
    }
    return streams;
}

std::vector<MetadataWrite> StreamTargets::release(std::uint32_t stream,
                                                  const StreamTargetEntries& current) {
    std::vector<MetadataWrite> writes;
    const auto it = held_.find(stream);
    if (it == held_.end()) {
        return writes;
    }
    const Held held = it->second;
    held_.erase(it);
    if (current.targetObject == held.ours) {
        writes.push_back({stream, kTargetObjectKey, held.before.targetObject});
        // Removing our entry makes the session manager forget the target it keeps for the
        // application; writing the earlier one again has it remember that one.
        if (!held.before.targetObject && held.before.targetNode &&
            current.targetNode == held.before.targetNode) {
            writes.push_back({stream, kTargetNodeKey, held.before.targetNode});
        }
    }
    // Last, so that the earlier target is never lost in between.
    if (held.before.targetObject) {
        writes.push_back(earlierTargetGone(stream));
    }
    return writes;
}

StreamTargets::Change StreamTargets::changed(std::uint32_t stream, const std::string& key,
                                             const std::optional<std::string>& value) {
    const auto it = held_.find(stream);
    if (it == held_.end()) {
        return Change::none;
    }
    Held& held = it->second;
    if (key == kTargetObjectKey) {
        if (value == held.ours) {
            return Change::none;
        }
        if (!value) {
            return Change::removed;
        }
        held_.erase(it);
        return Change::movedElsewhere;
    }
    if (key == kTargetNodeKey) {
        // Our target.object outranks it, so the stream stays where it is.
        held.before.targetNode = value;
        return Change::noted;
    }
    return Change::none;
}

std::vector<MetadataWrite>
StreamTargets::repairLeftovers(const MetadataEntries& entries,
                               const std::function<bool(const std::string& value)>& isOurs,
                               const std::function<bool(const std::string& value)>& exists) {
    const auto entry = [&](std::uint32_t subject, const char* key) -> std::optional<std::string> {
        const auto it = entries.find({subject, key});
        return it != entries.end() ? std::optional(it->second) : std::nullopt;
    };
    std::vector<MetadataWrite> writes;
    for (const auto& [subjectKey, value] : entries) {
        const auto& [subject, key] = subjectKey;
        if (key == kTargetObjectKey && isOurs(value) && !exists(value)) {
            const auto earlier = entry(subject, kEarlierTargetObjectKey);
            writes.push_back({subject, kTargetObjectKey, earlier});
            if (earlier) {
                writes.push_back(earlierTargetGone(subject));
            }
        } else if (key == kEarlierTargetObjectKey) {
            const auto target = entry(subject, kTargetObjectKey);
            if (!target || !isOurs(*target)) {
                writes.push_back(earlierTargetGone(subject));
            }
        }
    }
    return writes;
}

void TargetsOnTheirWay::wrote(const MetadataWrite& write) {
    if (write.key == kTargetObjectKey) {
        values_[write.subject].push_back(write.value);
    }
}

StreamTargetEntries TargetsOnTheirWay::expected(std::uint32_t stream,
                                                StreamTargetEntries current) const {
    if (const auto it = values_.find(stream); it != values_.end()) {
        current.targetObject = it->second.back();
    }
    return current;
}

bool TargetsOnTheirWay::cameBack(std::uint32_t stream, const std::string& key,
                                 const std::optional<std::string>& value) {
    const auto it = values_.find(stream);
    if (key != kTargetObjectKey || it == values_.end() || it->second.front() != value) {
        return false;
    }
    it->second.pop_front();
    if (it->second.empty()) {
        values_.erase(it);
    }
    return true;
}

} // namespace kestrelamp::hal
