#include "platform/UserDefaults.h"

#include <QSettings>
#include <QStandardPaths>

namespace kestrelamp {
namespace {

// One notifier for the whole process, so that a write through one instance reaches all of them.
class ChangeNotifier : public QObject {
    Q_OBJECT

public:
    static ChangeNotifier& shared() {
        static ChangeNotifier notifier;
        return notifier;
    }

Q_SIGNALS:
    void changed();
};

} // namespace

QString UserDefaults::defaultFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/Kestrelamp/Kestrelamp.conf";
}

UserDefaults::UserDefaults(QObject* parent)
    : UserDefaults(defaultFilePath(), parent) {}

UserDefaults::UserDefaults(const QString& filePath, QObject* parent)
    : QObject(parent)
    , settings_(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {
    connect(&ChangeNotifier::shared(), &ChangeNotifier::changed, this, [this] {
        settings_->sync();
        Q_EMIT didChange();
    });
}

UserDefaults::~UserDefaults() = default;

bool UserDefaults::boolForKey(const QString& key) const {
    return settings_->value(key, false).toBool();
}

double UserDefaults::doubleForKey(const QString& key) const {
    bool ok = false;
    const double value = settings_->value(key, 0.0).toDouble(&ok);
    return ok ? value : 0.0;
}

QString UserDefaults::stringForKey(const QString& key) const {
    return settings_->value(key, QString()).toString();
}

bool UserDefaults::contains(const QString& key) const {
    return settings_->contains(key);
}

void UserDefaults::setBool(const QString& key, bool value) {
    settings_->setValue(key, value);
    written();
}

void UserDefaults::setDouble(const QString& key, double value) {
    settings_->setValue(key, value);
    written();
}

void UserDefaults::setString(const QString& key, const QString& value) {
    settings_->setValue(key, value);
    written();
}

void UserDefaults::remove(const QString& key) {
    settings_->remove(key);
    written();
}

QString UserDefaults::filePath() const {
    return settings_->fileName();
}

void UserDefaults::written() {
    settings_->sync();
    Q_EMIT ChangeNotifier::shared().changed();
}

} // namespace kestrelamp

#include "UserDefaults.moc"
