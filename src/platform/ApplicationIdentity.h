#pragma once

// Which program an audio client is. The key (its bundle identifier) is, in order: the sandbox's
// application id, application.id (client, then stream), the executable (client, then stream),
// the application name. A known host of other programs (Wine, an interpreter, a runtime, an
// emulator, a shell) is no program of its own: under one, the program's own application name
// is the key, else the program its command line names, and only without either the host's
// executable, as for any other binary. So every key that does not involve a host stays what it
// always was, and two programs under one host are two keys.
//
// A key is the text the program announced ("VRChat.exe", "Diablo IV") or took from its command
// line ("foo" for python3 /usr/bin/foo.py), as it is: keys are compared whole and never split.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

using ClientProperties = std::map<std::string, std::string, std::less<>>;

struct ApplicationIdentity {
    // The bundle identifier; empty when nothing tells.
    std::string key;
    // What desktop entries and names go by: the binary's base name, or for a program a host
    // runs, the program its command line names; never a host's own. Empty when unknown.
    std::string executable;
    // The base name of the host's binary, for a program that runs under one.
    std::string host;
    // The application name as the program meant it, the stream's before the client's (under a
    // host, the first that tells the program apart): "PipeWire ALSA [aplay]" is aplay's.
    std::string applicationName;
};

// Wine and Proton loaders, interpreters and runtimes, emulators and shells, by the base name of
// their executable, with or without a version ("python3.11", "electron25", "wine64-preloader").
bool isProgramHost(std::string_view executable);

// The name is nothing but its host's own ("Python" or "python3" under python3.11).
bool namesOnlyTheHost(std::string_view name, std::string_view host);

// The name is a browser engine's ("Chromium", "Electron"), and the executable is not that engine.
bool isEngineName(std::string_view name, std::string_view executable);

// The application name without what a client library wrapped around the program's own.
std::string announcedApplicationName(std::string_view name);

// The program a host runs, from the host process's command line (argv[0] first): the script,
// module, archive or Windows executable it was given. Empty when the line names none (code given
// inline, an interactive shell, a helper process of the program).
std::string programRunBy(std::string_view host, const std::vector<std::string>& arguments);

// A helper process of a hosted program (Electron's "--type=" children, Python's workers) names no
// program: the process that started it under the same host does. Empty for any other parent.
std::string programOfHelper(std::string_view host, const std::vector<std::string>& parentArguments);

// The program a host process runs (programRunBy on its command line, else programOfHelper on its
// parent's); asked only when the properties do not tell two programs of that host apart.
using HostedProgramLookup = std::function<std::string(std::string_view host)>;

ApplicationIdentity identifyApplication(const ClientProperties& client,
                                        const ClientProperties& stream,
                                        const HostedProgramLookup& hostedProgram = {});

} // namespace kestrelamp
