#include "platform/BundleInfo.h"

#ifndef KESTRELAMP_BUILD_NUMBER
#define KESTRELAMP_BUILD_NUMBER "1"
#endif

namespace kestrelamp {

BundleInfo::BundleInfo()
    : BundleInfo(buildInfo()) {}

BundleInfo::BundleInfo(QVariantMap info)
    : info_(std::move(info)) {}

QVariantMap BundleInfo::buildInfo() {
    return {
        {shortVersionStringKey, QStringLiteral(KESTRELAMP_VERSION)},
        {buildNumberKey, QStringLiteral(KESTRELAMP_BUILD_NUMBER)},
    };
}

QString BundleInfo::shortVersionString() const {
    return stringFor(shortVersionStringKey, "1.0");
}

QString BundleInfo::buildNumber() const {
    return stringFor(buildNumberKey, "1");
}

QString BundleInfo::versionWithBuildNumber() const {
    return shortVersionString() + " (" + buildNumber() + ")";
}

QString BundleInfo::stringFor(const char* key, const char* fallback) const {
    const QVariant value = info_.value(key);
    if (value.typeId() != QMetaType::QString || value.toString().isEmpty()) {
        return fallback;
    }
    return value.toString();
}

} // namespace kestrelamp
