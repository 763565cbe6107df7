#pragma once

// Where the updater reports finished checks: the program shows a tray notification for a
// background check that found a newer version, and a dialog for every check the user asked for.

#include "platform/UpdateCheck.h"

#include <vector>

namespace kestrelamp {

class UpdateNotifier {
public:
    virtual ~UpdateNotifier() = default;

    // A background or scheduled check ended, whatever it found.
    virtual void backgroundCheckFinished(const UpdateCheckResult& result) = 0;
    // A check the user asked for ended.
    virtual void userCheckFinished(const UpdateCheckResult& result) = 0;
};

// Keeps every report, for tests.
class RecordingUpdateNotifier final : public UpdateNotifier {
public:
    struct Report {
        bool userInitiated = false;
        UpdateCheckResult result;
    };

    void backgroundCheckFinished(const UpdateCheckResult& result) override {
        reports.push_back({false, result});
    }
    void userCheckFinished(const UpdateCheckResult& result) override {
        reports.push_back({true, result});
    }

    std::vector<Report> reports;
};

} // namespace kestrelamp
