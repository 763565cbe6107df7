#pragma once

// The "target.object" entries Kestrelamp writes on applications' streams in the "default"
// metadata, what each stream targeted before, and whether another client moved it since. Pure
// bookkeeping: the caller reads the metadata, hands in what it holds, and makes the writes it gets.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp::hal {

inline constexpr const char* kTargetObjectKey = "target.object";
inline constexpr const char* kTargetNodeKey = "target.node";
// The stream's earlier target.object while ours stands in its place. Kept on the stream in the
// metadata, not only in memory: a run that was killed cannot give it back, the next run does, and
// it goes with the stream.
inline constexpr const char* kEarlierTargetObjectKey = "com.kestrelamp.earlier.target.object";

// A stream's two target entries as the metadata holds them now.
struct StreamTargetEntries {
    std::optional<std::string> targetObject;
    std::optional<std::string> targetNode;

    friend bool operator==(const StreamTargetEntries&, const StreamTargetEntries&) = default;
};

struct MetadataWrite {
    std::uint32_t subject = 0;
    std::string key;
    // Nothing removes the entry.
    std::optional<std::string> value;

    friend bool operator==(const MetadataWrite&, const MetadataWrite&) = default;
};

class StreamTargets {
public:
    enum class Change {
        // Not a stream we hold, or our own write coming back.
        none,
        // Another client changed an entry that does not decide where the stream plays while ours
        // stands; remembered, to be put back when we let go.
        noted,
        // Another client chose where the stream plays: it is no longer ours to change, and the
        // earlier target we kept for it (earlierTargetGone) is moot.
        movedElsewhere,
        // Our entry was removed, which chooses no place to play (and is what the server does for
        // a stream that went, even after its id was given to a new one): it is to be written
        // again.
        removed,
    };

    // Points the stream at ours. Its earlier entries are kept unless they name one of ours
    // (isOurs), so that letting go gives it back to whatever it played on before; an earlier
    // target.object is written under kEarlierTargetObjectKey first.
    std::vector<MetadataWrite> hold(std::uint32_t stream, const std::string& ours,
                                    const StreamTargetEntries& current,
                                    bool (*isOurs)(const std::string& value) = nullptr);
    bool holds(std::uint32_t stream) const { return held_.count(stream) > 0; }
    // What our entry points the stream at; nothing when we do not hold it.
    std::optional<std::string> heldAt(std::uint32_t stream) const;
    std::vector<std::uint32_t> streams() const;

    // What puts the stream back, when our entry still stands; nothing of that when another
    // client has changed it since. The kept earlier target goes and the stream is forgotten
    // either way.
    std::vector<MetadataWrite> release(std::uint32_t stream, const StreamTargetEntries& current);
    static MetadataWrite earlierTargetGone(std::uint32_t stream) {
        return {stream, kEarlierTargetObjectKey, std::nullopt};
    }

    // What mends the entries a killed run left in the metadata (by subject and key): each
    // target.object naming one of ours that no longer exists goes back to the earlier target kept
    // beside it, or goes; an earlier target kept beside no entry of ours goes.
    using MetadataEntries = std::map<std::pair<std::uint32_t, std::string>, std::string>;
    static std::vector<MetadataWrite>
    repairLeftovers(const MetadataEntries& entries,
                    const std::function<bool(const std::string& value)>& isOurs,
                    const std::function<bool(const std::string& value)>& exists);

    // An entry of the metadata changed (value nothing: removed).
    Change changed(std::uint32_t stream, const std::string& key,
                   const std::optional<std::string>& value);

    // The stream is gone; its entries went with it.
    void forget(std::uint32_t stream) { held_.erase(stream); }

private:
    struct Held {
        std::string ours;
        StreamTargetEntries before;
    };
    std::map<std::uint32_t, Held> held_;
};

// Our target.object writes until the metadata's owner, the session manager, sends each back,
// which may come after our next moves: a stream held again meanwhile starts from the value that
// will stand, and a value of ours coming back is not another client's choice.
class TargetsOnTheirWay {
public:
    // Notes a target.object write; other keys are not followed.
    void wrote(const MetadataWrite& write);
    // The stream's entries as they stand once ours have come through.
    StreamTargetEntries expected(std::uint32_t stream, StreamTargetEntries current) const;
    // True when the change is our oldest write of the stream not yet back, which is then
    // forgotten.
    bool cameBack(std::uint32_t stream, const std::string& key,
                  const std::optional<std::string>& value);
    void forget(std::uint32_t stream) { values_.erase(stream); }
    void clear() { values_.clear(); }

private:
    std::map<std::uint32_t, std::deque<std::optional<std::string>>> values_;
};

} // namespace kestrelamp::hal
