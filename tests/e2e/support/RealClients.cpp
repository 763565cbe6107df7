#include "RealClients.h"

#include <QDir>

#include <fstream>
#include <unistd.h>

namespace kestrelamp::e2e {

namespace {

// Autoplay allowed; no first-run pages, updates, reports or lookups, and any connection it
// still tries goes to a closed local port.
constexpr const char* kBrowserPreferences = R"(user_pref("media.autoplay.default", 0);
user_pref("media.autoplay.blocking_policy", 0);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("toolkit.startup.max_resumed_crashes", -1);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.healthreport.uploadEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.auto", false);
user_pref("app.normandy.enabled", false);
user_pref("extensions.update.enabled", false);
user_pref("extensions.getAddons.cache.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("network.dns.disablePrefetch", true);
user_pref("network.prefetch-next", false);
user_pref("network.proxy.type", 1);
user_pref("network.proxy.http", "127.0.0.1");
user_pref("network.proxy.http_port", 9);
user_pref("network.proxy.share_proxy_settings", true);
)";

std::string fileUrl(const std::string& path) {
    return "file://" + path;
}

// A shell line, as the leader of a process group that is killed whole if the test process dies
// without ending it: a browser outlives the server it played on.
std::vector<std::string> watchedGroup(const std::string& command) {
    return {"sh", "-c",
            "(while kill -0 " + std::to_string(::getpid()) +
                " 2>/dev/null; do sleep 1; done; kill -KILL 0) & " + command};
}

} // namespace

// In the order of ClientKind: the key it is listed under, and its name for messages.
constexpr std::pair<const char*, const char*> kClients[] = {
    {"pacat", "paplay"},
    {"gst-launch-1.0", "gst-launch-1.0 ... ! pulsesink"},
    {"aplay", "aplay -D pipewire"},
    {"firefox-esr", "firefox-esr --headless"},
};

std::string clientAppID(ClientKind kind) {
    return kClients[int(kind)].first;
}

std::string clientName(ClientKind kind) {
    return kClients[int(kind)].second;
}

RealClients::RealClients(PipeWireSession& session)
    : session_(session) {}

std::string RealClients::logPath(const std::string& what) {
    return session_.logPath(what + "-" + std::to_string(++started_));
}

std::string RealClients::tone(double frequency, int seconds) {
    ToneOptions options;
    options.frequencies = {frequency};
    options.amplitude = kClientAmplitude;
    options.seconds = seconds;
    return session_.toneFile(options);
}

std::unique_ptr<ChildProcess> RealClients::start(ClientKind kind, double frequency) {
    switch (kind) {
    case ClientKind::paplay:
        return std::make_unique<ChildProcess>(std::vector<std::string>{"paplay", tone(frequency)},
                                              logPath("paplay"));
    case ClientKind::gstreamer:
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"gst-launch-1.0", "-q", "audiotestsrc", "wave=sine",
                                     "freq=" + std::to_string(frequency),
                                     "volume=" + std::to_string(kClientAmplitude), "is-live=true",
                                     "!", "audio/x-raw,rate=48000,channels=2", "!", "pulsesink"},
            logPath("gst"));
    case ClientKind::aplay:
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"aplay", "-q", "-D", "pipewire", tone(frequency)},
            logPath("aplay"));
    case ClientKind::firefox:
        return startFirefox(page(tone(frequency), true, {}));
    }
    return nullptr;
}

std::unique_ptr<ChildProcess> RealClients::startBrowser(double first, int firstSeconds,
                                                        double then) {
    return startFirefox(page(tone(first, firstSeconds), false, tone(then)));
}

std::unique_ptr<ChildProcess> RealClients::startLatePacat(double frequency, int delayMs) {
    // The WAV header is 44 bytes; what follows is the raw sound.
    const std::string script = "(sleep " + std::to_string(delayMs / 1000.0) +
                               "; exec tail -c +45 '" + tone(frequency) +
                               "') | exec pacat --raw --format=s16le --rate=48000 --channels=2";
    return std::make_unique<ChildProcess>(watchedGroup(script), logPath("pacat"),
                                          std::map<std::string, std::string>{}, ProcessGroup::own);
}

std::string RealClients::page(const std::string& first, bool loopFirst, const std::string& then) {
    const std::string path =
        session_.path() + "/tones/page-" + std::to_string(++started_) + ".html";
    std::ofstream html(path);
    html << "<!doctype html><html><body>\n<audio id=\"first\" src=\"" << fileUrl(first)
         << "\" autoplay" << (loopFirst ? " loop" : "") << "></audio>\n";
    if (!then.empty()) {
        html << "<script>document.getElementById('first').addEventListener('ended', () => {\n"
             << "  const next = new Audio('" << fileUrl(then) << "');\n"
             << "  next.loop = true;\n  next.play();\n});</script>\n";
    }
    html << "</body></html>\n";
    return path;
}

std::unique_ptr<ChildProcess> RealClients::startFirefox(const std::string& page) {
    // A fresh profile each time: nothing of an earlier run decides where this one plays.
    const std::string profile = session_.path() + "/firefox-" + std::to_string(++started_);
    QDir().mkpath(QString::fromStdString(profile + "/home"));
    std::ofstream(profile + "/user.js") << kBrowserPreferences;
    return std::make_unique<ChildProcess>(
        watchedGroup("exec firefox-esr --headless --no-remote --profile '" + profile + "' '" +
                     fileUrl(page) + "'"),
        logPath("firefox"),
        std::map<std::string, std::string>{{"MOZ_HEADLESS", "1"}, {"HOME", profile + "/home"}},
        ProcessGroup::own);
}

} // namespace kestrelamp::e2e
