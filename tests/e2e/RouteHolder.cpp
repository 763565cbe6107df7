// Builds one route for an application to a device, says "ready", then waits to be killed: the
// end-to-end tests kill it to see what the server and the session manager leave behind.
//   kestrelamp_e2e_route_holder BUNDLE_ID DEVICE_UID

#include "engine/hal/PipeWireAudioHardware.h"
#include "support/Routing.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BUNDLE_ID DEVICE_UID\n", argv[0]);
        return 2;
    }
    kestrelamp::hal::PipeWireAudioHardware hardware;
    const auto process = kestrelamp::e2e::findProcess(hardware, argv[1]);
    if (!process) {
        std::printf("no process for %s\n", argv[1]);
        return 1;
    }
    kestrelamp::e2e::PassThrough renderer;
    kestrelamp::e2e::TestRoute route(hardware, *process, argv[2], renderer);
    if (!route.failure().empty()) {
        std::printf("%s\n", route.failure().c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
