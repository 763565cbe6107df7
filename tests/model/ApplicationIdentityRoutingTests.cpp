// Programs that share a host binary, described by what they announce and by their command lines:
// each is its own application, named so that it can be told apart. Routing them apart is the real
// server's end-to-end case (ApplicationIdentityOnPipeWireTests).

#include "RouteWorld.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

namespace kestrelamp::test {
namespace {

std::string hostedScenario() {
    return R"({
      "processes": [
        { "pid": 501, "signal": { "type": "sine", "frequency": 1000, "amplitude": 0.5 },
          "client": { "application.process.binary": "wine64-preloader",
                      "application.name": "VRChat.exe" } },
        { "pid": 502, "signal": { "type": "sine", "frequency": 32, "amplitude": 0.25 },
          "client": { "application.process.binary": "wine64-preloader" },
          "stream": { "application.name": "Diablo IV" } },
        { "pid": 601, "client": { "application.process.binary": "python3",
                                  "application.name": "python3" },
          "commandLine": [ "/usr/bin/python3", "/usr/bin/radio-tray.py" ] },
        { "pid": 603, "client": { "application.process.binary": "python3",
                                  "application.name": "python3" },
          "commandLine": [ "python3", "-c", "import sound" ], "parentCommandLine": [ "bash" ] },
        { "pid": 701, "client": { "application.process.binary": "electron",
                                  "application.name": "Chromium" },
          "commandLine": [ "electron", "/opt/Notes/resources/app.asar" ] },
        { "pid": 702, "client": { "application.process.binary": "electron",
                                  "application.name": "Chromium" },
          "commandLine": [ "electron", "/usr/lib/signal-desktop/resources/app.asar" ] },
        { "pid": 703, "client": { "application.process.binary": "electron",
                                  "application.name": "Chromium" },
          "commandLine": [ "electron", "--type=utility" ],
          "parentCommandLine": [ "/usr/lib/electron/electron", "/opt/Notes/resources/app.asar" ] },
        { "bundleID": "org.example.Player", "pid": 100 }
      ],
      "runningApps": [ { "bundleID": "org.example.Player", "name": "Player" } ],
      "desktopEntries": [ { "id": "signal-desktop", "name": "Signal", "icon": "signal" } ],
      "devices": [
        { "uid": "speakers", "name": "Speakers", "sampleRate": 48000 },
        { "uid": "headphones", "name": "Headphones", "sampleRate": 48000 }
      ],
      "defaultOutput": "speakers"
    })";
}

std::map<std::string, std::string> namesByID(const AudioRouteManager& manager) {
    std::map<std::string, std::string> names;
    for (const AudioApp& app : manager.audioApps()) {
        names[app.id] = app.displayName;
    }
    return names;
}

TEST(ProgramsUnderOneHost, AreListedOnePerProgramWithNamesThatTellThemApart) {
    RouteWorld world(hostedScenario());
    EXPECT_EQ(namesByID(world.manager()), (std::map<std::string, std::string>{
                                              {"VRChat.exe", "VRChat.exe"},
                                              {"Diablo IV", "Diablo IV"},
                                              {"radio-tray", "Radio Tray"},
                                              {"python3", "python3"},
                                              {"Notes", "Notes"},
                                              {"signal-desktop", "Signal"},
                                              {"org.example.Player", "Player"},
                                          }));
    // Notes' audio-service helper has no program on its command line; its parent names Notes.
    const auto notes = world.hardware().processID("Notes");
    EXPECT_EQ(world.manager().app("Notes")->audioObjectID, notes);
    EXPECT_EQ(world.hardware().audioClients("Notes").size(), 2u);
    EXPECT_TRUE(world.hardware().audioClients("org.example.Player").empty())
        << "a process given only a bundle identifier announces nothing";
}

} // namespace
} // namespace kestrelamp::test
