#pragma once

#include <QString>
#include <QVariantMap>

namespace kestrelamp {

// The program's version texts: the short version string (the build's project version) and the
// build number, read from an information dictionary that tests can replace.
class BundleInfo {
public:
    static constexpr const char* shortVersionStringKey = "shortVersionString";
    static constexpr const char* buildNumberKey = "buildNumber";

    // The dictionary of this build.
    BundleInfo();
    explicit BundleInfo(QVariantMap info);

    // "1.0" when the entry is missing, empty or not a string.
    QString shortVersionString() const;
    // "1" when the entry is missing, empty or not a string.
    QString buildNumber() const;
    // "0.1.0 (1)": the short version and, in parentheses, the build number.
    QString versionWithBuildNumber() const;

    static QVariantMap buildInfo();

private:
    QString stringFor(const char* key, const char* fallback) const;

    QVariantMap info_;
};

} // namespace kestrelamp
