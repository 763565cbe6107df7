#include "views/OutputDeviceSection.h"

#include "views/AppRowView.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/Symbols.h"
#include "views/toolkit/TextLabel.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrelamp {

using namespace toolkit;

namespace {

constexpr int kTransportSymbolWidth = 12;

bool sameDeviceRows(const AudioDeviceList& a, const AudioDeviceList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const AudioDeviceInfo& x, const AudioDeviceInfo& y) {
                          return x.id == y.id && x.uid == y.uid && x.name == y.name &&
                                 x.transportType == y.transportType;
                      });
}

bool contains(const std::vector<std::string>& values, const std::string& value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

} // namespace

OutputDeviceSection::OutputDeviceSection(std::string appID, AudioRouteManager& manager,
                                         QWidget* parent)
    : QWidget(parent)
    , appID_(std::move(appID))
    , manager_(manager) {
    setObjectName(QStringLiteral("outputDeviceSection"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(4, 4, 4, 4);
    column->setSpacing(0);

    auto* systemDefault = new ClickableRow(this);
    systemDefault->setObjectName(QStringLiteral("systemDefaultRow"));
    systemDefault->setAccessibleName(QStringLiteral("System Default"));
    auto* line = new QHBoxLayout(systemDefault);
    line->setContentsMargins(2, 3, 2, 3);
    line->setSpacing(6);
    defaultCheck_ = new SymbolImage(QStringLiteral("checkmark.circle.fill"), 11,
                                    ColorSpec::accent(), systemDefault);
    defaultCheck_->setObjectName(QStringLiteral("systemDefaultCheck"));
    line->addWidget(defaultCheck_);
    defaultName_ = new TextLabel(QStringLiteral("System Default"), systemFont(10),
                                 ColorSpec::primary(), systemDefault);
    line->addWidget(defaultName_, 1);
    column->addWidget(systemDefault);
    column->addWidget(new Divider(0, 2, this));

    connect(systemDefault, &QAbstractButton::clicked, this,
            [this] { manager_.setOutputDevices(appID_, {}); });
}

void OutputDeviceSection::showChoices(const AppAudioState& state, const AudioDeviceList& devices) {
    state_ = state;
    std::vector<std::string> absent;
    for (const std::string& uid : state.outputDeviceUIDs) {
        const bool listed = std::any_of(devices.begin(), devices.end(),
                                        [&](const AudioDeviceInfo& d) { return d.uid == uid; });
        if (!listed && !contains(absent, uid)) {
            absent.push_back(uid);
        }
    }
    if (!built_ || !sameDeviceRows(devices, devices_) || absent != absent_) {
        rebuild(devices, absent);
    }
    const bool systemDefault = state.outputDeviceUIDs.empty();
    defaultCheck_->setSymbol(systemDefault ? QStringLiteral("checkmark.circle.fill")
                                           : QStringLiteral("circle"));
    defaultCheck_->setColor(systemDefault ? ColorSpec::accent() : ColorSpec::secondary());
    defaultName_->setColor(systemDefault ? ColorSpec::primary() : ColorSpec::secondary());
    for (const DeviceRow& row : rows_) {
        const bool selected = contains(state.outputDeviceUIDs, row.uid);
        row.check->setSymbol(selected ? QStringLiteral("checkmark.square.fill")
                                      : QStringLiteral("square"));
        row.check->setColor(selected ? ColorSpec::accent() : ColorSpec::secondary());
        row.name->setColor(selected ? ColorSpec::primary() : ColorSpec::secondary());
        const QString connection =
            selected ? AppRowView::connectionText(manager_.routeState(appID_, row.uid)) : QString();
        row.status->setText(connection);
        row.status->setToolTip(connection);
        row.status->setVisible(!connection.isEmpty());
    }
}

void OutputDeviceSection::rebuild(const AudioDeviceList& devices,
                                  const std::vector<std::string>& absent) {
    for (QWidget* widget : rowWidgets_) {
        widget->hide();
        widget->deleteLater();
    }
    rowWidgets_.clear();
    rows_.clear();
    devices_ = devices;
    absent_ = absent;
    built_ = true;
    for (const AudioDeviceInfo& device : devices) {
        addRow(device.uid, QString::fromStdString(device.name), device.transportType);
    }
    for (const std::string& uid : absent) {
        addRow(uid, QString::fromStdString(uid), AudioDeviceTransportType::unknown);
    }
}

void OutputDeviceSection::addRow(const std::string& uid, const QString& name,
                                 AudioDeviceTransportType transportType) {
    auto* column = static_cast<QVBoxLayout*>(layout());
    auto* row = new ClickableRow(this);
    row->setObjectName(QStringLiteral("deviceRow:%1").arg(QString::fromStdString(uid)));
    row->setAccessibleName(name);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(2, 3, 2, 3);
    line->setSpacing(6);
    auto* check = new SymbolImage(QStringLiteral("square"), 11, ColorSpec::secondary(), row);
    check->setObjectName(QStringLiteral("deviceCheck"));
    line->addWidget(check, 0, Qt::AlignTop);
    auto* transport = new SymbolImage(QLatin1String(transportSymbol(transportType)), 9,
                                      ColorSpec::secondary(), row);
    transport->setObjectName(QStringLiteral("transportSymbol"));
    auto* transportHolder = new QWidget(row);
    transportHolder->setAttribute(Qt::WA_TransparentForMouseEvents);
    transportHolder->setFixedWidth(std::max(kTransportSymbolWidth, transport->width()));
    auto* holderLayout = new QHBoxLayout(transportHolder);
    holderLayout->setContentsMargins(0, 0, 0, 0);
    holderLayout->addWidget(transport, 0, Qt::AlignCenter);
    line->addWidget(transportHolder, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setContentsMargins(0, 0, 0, 0);
    texts->setSpacing(1);
    auto* nameLabel = new TextLabel(name, systemFont(10), ColorSpec::secondary(), row);
    nameLabel->setObjectName(QStringLiteral("deviceName"));
    texts->addWidget(nameLabel);
    auto* status = new TextLabel(QString(), systemFont(8), ColorSpec::fixed(named::orange), row);
    status->setObjectName(QStringLiteral("deviceStatus"));
    status->hide();
    texts->addWidget(status);
    line->addLayout(texts, 1);
    column->addWidget(row);
    rowWidgets_.push_back(row);
    rows_.push_back({uid, check, nameLabel, status});

    connect(row, &QAbstractButton::clicked, this, [this, uid] {
        if (contains(state_.outputDeviceUIDs, uid)) {
            manager_.removeOutputDevice(appID_, uid);
        } else {
            manager_.addOutputDevice(appID_, uid);
        }
    });
}

void OutputDeviceSection::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(ColorSpec::controlBackground(0.5).resolve(palette()));
    painter.drawRoundedRect(QRectF(rect()), 6, 6);
}

} // namespace kestrelamp
