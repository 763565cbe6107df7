#pragma once

// Whether the program may observe other applications' audio. Linux has no such permission, so
// the real implementation always grants it; the views take it by injection so that the denied
// path can be tested.

namespace kestrelamp {

class ScreenCapturePermission {
public:
    virtual ~ScreenCapturePermission() = default;
    virtual bool preflight() const = 0;
    // May show a system prompt where one exists; the answer is read with preflight().
    virtual void request() = 0;
};

class LinuxScreenCapturePermission final : public ScreenCapturePermission {
public:
    bool preflight() const override { return true; }
    void request() override {}
};

// For tests: denied until granted.
class ControllableScreenCapturePermission final : public ScreenCapturePermission {
public:
    explicit ControllableScreenCapturePermission(bool granted = false)
        : granted_(granted) {}
    bool preflight() const override { return granted_; }
    void request() override { ++requests_; }
    void setGranted(bool granted) { granted_ = granted; }
    int requestCount() const { return requests_; }

private:
    bool granted_ = false;
    int requests_ = 0;
};

} // namespace kestrelamp
