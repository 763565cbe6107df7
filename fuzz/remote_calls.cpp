// Calls of the remote-control interface with hostile arguments, on a route manager in a simulated
// world: a refused call changes nothing (neither what the status says nor the stored files), what
// the instance answers is valid UTF-8 JSON, and the settings stay in range whatever was asked.
//
// The input is a series of calls separated by NUL bytes; a call's first byte chooses the
// operation, its arguments follow separated by 0x1F.

#include "FuzzCheck.h"

#include "app/RemoteControl.h"
#include "engine/hal/SimulatedScenario.h"
#include "model/AudioRouteManager.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <memory>

using namespace kestrelamp;
using namespace kestrelamp::fuzz;

namespace {

constexpr const char* kScenario = R"({
  "processes": [
    { "bundleID": "org.example.Player", "pid": 100,
      "signal": { "type": "sine", "frequency": 1000, "amplitude": 0.5 } },
    { "bundleID": "org.example.Player.helper", "pid": 101, "running": false },
    { "bundleID": "org.example.Quiet", "pid": 300, "running": false }
  ],
  "runningApps": [ { "bundleID": "org.example.Player", "name": "Player" } ],
  "devices": [
    { "uid": "speakers", "name": "Speakers", "transport": "bltn", "sampleRate": 48000 },
    { "uid": "headphones", "name": "Headphones", "transport": "usb ", "sampleRate": 48000 }
  ],
  "defaultOutput": "speakers"
})";

struct Setting {
    QTemporaryDir home;
    QString folder;
    QString defaultsPath;
};

Setting* setting = nullptr;

std::string fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// Everything a call could change, as the instance would show or keep it.
std::string snapshot(RemoteControl& control) {
    return control.status() + "\n" + control.profileList() + "\n" +
           fileBytes(setting->folder + "/appStates.json") + "\n" +
           fileBytes(setting->folder + "/profiles.json");
}

void requireJson(const std::string& text, const char* what) {
    requireUtf8(text, what);
    require(nlohmann::json::accept(text), what, "not JSON");
}

std::vector<std::string> arguments(std::string_view bytes, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= bytes.size()) {
        auto end = bytes.find(separator, start);
        if (end == std::string_view::npos) {
            end = bytes.size();
        }
        // As QtDBus hands them over: D-Bus strings are UTF-8, the service reads them as QString.
        const auto piece = bytes.substr(start, end - start);
        pieces.push_back(QString::fromUtf8(piece.data(), qsizetype(piece.size())).toStdString());
        start = end + 1;
    }
    return pieces;
}

RemoteResult<void> perform(RemoteControl& control, std::uint8_t operation,
                           std::vector<std::string> arguments) {
    arguments.resize(std::max<std::size_t>(arguments.size(), 3));
    const std::string& a = arguments[0];
    const std::string& b = arguments[1];
    const std::string& c = arguments[2];
    switch (operation % 15) {
    case 0:
        return control.setOutputDevices(
            a, std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    case 1:
        return control.addOutputDevice(a, b);
    case 2:
        return control.removeOutputDevice(a, b);
    case 3:
        return control.setVolume(a, b);
    case 4:
        return control.setMute(a, b);
    case 5:
        return control.setBoost(a, b);
    case 6:
        return control.setEQPreset(a, b);
    case 7:
        return control.setEQBand(a, b, c);
    case 8:
        return control.setPinned(a, b);
    case 9:
        return control.setIgnored(a, b);
    case 10:
        return control.setDefaultOutputDevice(a);
    case 11: {
        const auto saved = control.saveProfile(a, b);
        if (!saved) {
            return unexpected(saved.error());
        }
        requireUtf8(*saved, "saved profile id");
        return {};
    }
    case 12:
        return control.applyProfile(a);
    case 13:
        return control.deleteProfile(a);
    default:
        control.refresh();
        return {};
    }
}

void checkSettings(AudioRouteManager& manager) {
    for (const auto& [id, state] : manager.appStates()) {
        require(std::isfinite(state.volume) && state.volume >= 0 && state.volume <= 1,
                "volume within 0...1 after a remote call");
        require(state.boostMultiplier >= 1 && state.boostMultiplier <= 4,
                "boost within 1...4 after a remote call");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication application(*argc, *argv);
    setting = new Setting;
    const QString root = setting->home.path();
    qputenv("HOME", root.toLocal8Bit());
    qputenv("XDG_DATA_HOME", (root + "/data").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (root + "/config").toLocal8Bit());
    setting->folder = root + "/data/Kestrelamp";
    setting->defaultsPath = root + "/config/Kestrelamp.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QDir(setting->folder).removeRecursively();
    QFile::remove(setting->defaultsPath);
    auto world = hal::loadScenario(kScenario);
    require(world.hasValue(), "the harness's scenario loads");
    UserDefaults defaults(setting->defaultsPath);
    AudioRouteManager manager(*world->hardware, *world->runningApplications, defaults,
                              setting->folder);
    RemoteControl control(manager);

    std::string before = snapshot(control);
    std::size_t start = 0;
    while (start < size) {
        const auto end = std::find(data + start, data + size, std::uint8_t(0)) - data;
        const std::string_view call = bytesOf(data + start, std::size_t(end) - start);
        start = std::size_t(end) + 1;
        if (call.empty()) {
            continue;
        }
        const auto result =
            perform(control, std::uint8_t(call[0]), arguments(call.substr(1), '\x1f'));
        manager.flushPendingSave();
        const std::string after = snapshot(control);
        if (!result) {
            requireUtf8(result.error().message, "remote error message");
            if (result.error().kind != RemoteError::Kind::routeNotActive) {
                require(after == before, "a refused call changes nothing", result.error().message);
            }
        }
        requireJson(control.status(), "status");
        requireJson(control.profileList(), "profile list");
        checkSettings(manager);
        before = after;
    }
    return 0;
}
