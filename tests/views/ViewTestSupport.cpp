#include "ViewTestSupport.h"

namespace kestrelamp::test {

std::string scenarioWithApps(int count) {
    std::string processes;
    std::string apps;
    for (int i = 0; i < count; ++i) {
        const std::string number = (i < 10 ? "0" : "") + std::to_string(i);
        const std::string id = "org.example.App" + number;
        if (i > 0) {
            processes += ",";
            apps += ",";
        }
        processes += R"({ "bundleID": ")" + id + R"(", "pid": )" + std::to_string(1000 + i) +
                     R"(, "running": )" + (i == 0 ? "true" : "false") + "}";
        apps += R"({ "bundleID": ")" + id + R"(", "name": "App )" + number + R"(" })";
    }
    return R"({ "processes": [)" + processes + R"(], "runningApps": [)" + apps +
           R"(], "devices": [ { "uid": "speakers", "name": "Speakers", "transport": "bltn",
           "sampleRate": 48000 } ], "defaultOutput": "speakers" })";
}

} // namespace kestrelamp::test
