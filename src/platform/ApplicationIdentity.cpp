#include "platform/ApplicationIdentity.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace kestrelamp {

namespace {

enum class HostKind { wine, python, perl, ruby, node, java, mono, dotnet, electron, qemu, shell };

struct HostFamily {
    HostKind kind;
    // Executable names as hostForm() gives them.
    std::vector<std::string_view> forms;
};

const std::vector<HostFamily>& hostFamilies() {
    static const std::vector<HostFamily> families{
        {HostKind::wine, {"wine", "wine-preloader", "proton"}},
        {HostKind::python, {"python", "pypy"}},
        {HostKind::perl, {"perl"}},
        {HostKind::ruby, {"ruby"}},
        {HostKind::node, {"node", "nodejs"}},
        {HostKind::java, {"java"}},
        {HostKind::mono, {"mono", "mono-sgen"}},
        {HostKind::dotnet, {"dotnet"}},
        {HostKind::electron, {"electron"}},
        // Every qemu-system-ARCH; matched by prefix.
        {HostKind::qemu, {"qemu"}},
        {HostKind::shell, {"sh", "bash", "dash", "zsh", "fish", "ksh", "mksh", "csh", "tcsh"}},
    };
    return families;
}

std::string_view baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return result;
}

// Lower case, without versions and spaces: "Python 3.11" and "python3" are both "python".
std::string hostForm(std::string_view name) {
    std::string form = lowered(baseName(name));
    std::erase_if(form, [](unsigned char c) { return std::isdigit(c) || c == '.' || c == ' '; });
    return form;
}

const HostFamily* familyOf(std::string_view executable) {
    const std::string form = hostForm(executable);
    if (form.empty()) {
        return nullptr;
    }
    for (const HostFamily& family : hostFamilies()) {
        const bool matches =
            family.kind == HostKind::qemu
                ? form.starts_with("qemu")
                : std::find(family.forms.begin(), family.forms.end(), form) != family.forms.end();
        if (matches) {
            return &family;
        }
    }
    return nullptr;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           lowered(text.substr(text.size() - suffix.size())) == lowered(suffix);
}

bool oneOf(std::string_view text, std::initializer_list<std::string_view> candidates) {
    return std::find(candidates.begin(), candidates.end(), text) != candidates.end();
}

std::string withoutScriptExtension(std::string_view name) {
    for (std::string_view extension :
         {".py", ".pyw", ".pyc", ".pl", ".rb", ".js", ".mjs", ".cjs", ".ts", ".jar", ".java",
          ".dll", ".sh", ".bash", ".zsh", ".fish", ".asar"}) {
        if (name.size() > extension.size() && endsWithIgnoringCase(name, extension)) {
            return std::string(name.substr(0, name.size() - extension.size()));
        }
    }
    return std::string(name);
}

// The program a script, archive or module path stands for. Entry points with a generic name
// ("main.py", "resources/app.asar") are named after the folder of the program they start.
std::string programFromPath(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    if (parts.empty()) {
        return {};
    }
    const std::string stem = withoutScriptExtension(parts.back());
    if (stem == "." || stem == "..") {
        return {};
    }
    if (!oneOf(lowered(stem),
               {"__main__", "main", "index", "app", "cli", "run", "start", "server"})) {
        return stem;
    }
    for (std::size_t i = parts.size() - 1; i-- > 0;) {
        if (!oneOf(parts[i],
                   {"bin", "lib", "lib64", "libexec", "src", "dist", "build", "out", "resources",
                    "js", "scripts", "share", "local", "usr", "opt", ".", ".."})) {
            return std::string(parts[i]);
        }
    }
    return stem;
}

struct OptionRules {
    // Options whose value is the next argument (or, for two-character ones, follows directly).
    std::initializer_list<std::string_view> valued;
    // Options whose value names the program.
    std::initializer_list<std::string_view> naming;
    // Letters of short options that run code given on the line: no program follows.
    std::string_view inlineLetters;
    std::initializer_list<std::string_view> inlineOptions;
    // "+o" is an option too.
    bool plusOptions = false;
};

struct ProgramArgument {
    std::string_view option; // empty for the first argument that is no option
    std::string_view value;
};

// The argument that names the program, after the host's own options.
std::optional<ProgramArgument> programArgument(const std::vector<std::string>& arguments,
                                               const OptionRules& rules) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        const bool option = argument.size() > 1 && (argument.front() == '-' ||
                                                    (rules.plusOptions && argument.front() == '+'));
        if (argument == "-") {
            // The program comes from the standard input.
            return std::nullopt;
        }
        if (!option) {
            return ProgramArgument{{}, argument};
        }
        if (argument == "--") {
            return i + 1 < arguments.size() ? std::optional(ProgramArgument{{}, arguments[i + 1]})
                                            : std::nullopt;
        }
        const std::string_view name = argument.substr(0, argument.find('='));
        const bool attached = name.size() < argument.size();
        const auto next = [&]() -> std::optional<std::string_view> {
            if (attached) {
                return argument.substr(name.size() + 1);
            }
            if (i + 1 < arguments.size()) {
                return arguments[++i];
            }
            return std::nullopt;
        };
        if (oneOf(name, rules.naming)) {
            const auto value = next();
            return value ? std::optional(ProgramArgument{name, *value}) : std::nullopt;
        }
        if (oneOf(name, rules.inlineOptions)) {
            return std::nullopt;
        }
        if (oneOf(name, rules.valued)) {
            next();
            continue;
        }
        const bool shortOption = argument[1] != '-';
        if (shortOption && argument.size() > 2) {
            const std::string_view leading = argument.substr(0, 2);
            if (oneOf(leading, rules.naming)) {
                return ProgramArgument{leading, argument.substr(2)};
            }
            if (oneOf(leading, rules.valued)) {
                continue;
            }
        }
        if (shortOption &&
            argument.find_first_of(rules.inlineLetters, 1) != std::string_view::npos) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string scriptProgram(const std::vector<std::string>& arguments, const OptionRules& rules) {
    const auto argument = programArgument(arguments, rules);
    return argument ? programFromPath(argument->value) : std::string();
}

std::string javaProgram(const std::vector<std::string>& arguments) {
    const auto argument = programArgument(
        arguments, {{"-cp", "-classpath", "--class-path", "-p", "--module-path",
                     "--upgrade-module-path", "--add-modules", "--limit-modules", "--add-reads",
                     "--add-exports", "--add-opens", "--patch-module"},
                    {"-jar", "-m", "--module"},
                    {},
                    {}});
    if (!argument) {
        return {};
    }
    if (argument->option == "-m" || argument->option == "--module") {
        // Its main class may follow the module's name: "app.module/app.Main".
        return std::string(argument->value.substr(0, argument->value.find('/')));
    }
    return programFromPath(argument->value);
}

// Wine shows the Windows command line in place of its own; its launchers (start.exe, a
// system32 shim) come before the program they start.
std::string windowsProgram(const std::vector<std::string>& arguments) {
    std::optional<std::string_view> launcher;
    for (const std::string& argument : arguments) {
        if (argument.starts_with('-') || !endsWithIgnoringCase(argument, ".exe")) {
            continue;
        }
        const std::string path = lowered(argument);
        const bool system = path.find("\\windows\\") != std::string::npos ||
                            path.find("/windows/") != std::string::npos;
        const std::string_view file =
            std::string_view(argument).substr(argument.find_last_of("\\/") + 1);
        if (!system) {
            return std::string(file);
        }
        if (!launcher) {
            launcher = file;
        }
    }
    return launcher ? std::string(*launcher) : std::string();
}

// "-name guest=win10,debug-threads=on" or "-name win10".
std::string guestName(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments[i] != "-name" && arguments[i] != "--name") {
            continue;
        }
        std::string_view value = arguments[i + 1];
        value = value.substr(0, value.find(','));
        if (value.starts_with("guest=")) {
            value.remove_prefix(6);
        }
        return std::string(value);
    }
    return {};
}

std::string dotnetProgram(const std::vector<std::string>& arguments) {
    std::vector<std::string> rest{arguments.front()};
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != "exec") {
            rest.push_back(arguments[i]);
        }
    }
    const auto argument =
        programArgument(rest, {{"--runtimeconfig", "--depsfile", "--additionalprobingpath",
                                "--additional-deps", "--fx-version", "--roll-forward"},
                               {},
                               {},
                               {}});
    // Anything else is a command of the SDK ("run", "build"), not a program.
    if (!argument || !endsWithIgnoringCase(argument->value, ".dll")) {
        return {};
    }
    return programFromPath(argument->value);
}

// A helper process (renderer, utility, GPU process) gets "--type=" and no application path.
std::string electronProgram(const std::vector<std::string>& arguments) {
    // A retitled process has its whole line in one argument.
    const bool helper =
        std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
            return argument.starts_with("--type=") || argument.find(" --type=") != argument.npos;
        });
    return helper ? std::string() : scriptProgram(arguments, {});
}

std::optional<std::string> firstValue(const ClientProperties& client,
                                      const ClientProperties& stream, std::string_view key) {
    for (const ClientProperties* properties : {&client, &stream}) {
        if (const auto it = properties->find(key); it != properties->end() && !it->second.empty()) {
            return it->second;
        }
    }
    return std::nullopt;
}

} // namespace

bool isProgramHost(std::string_view executable) {
    return familyOf(executable) != nullptr;
}

bool namesOnlyTheHost(std::string_view name, std::string_view host) {
    const HostFamily* family = familyOf(host);
    return family != nullptr && familyOf(name) == family;
}

bool isEngineName(std::string_view name, std::string_view executable) {
    const std::string form = hostForm(name);
    return oneOf(form, {"chromium", "electron"}) && !hostForm(executable).starts_with(form);
}

std::string announcedApplicationName(std::string_view name) {
    for (std::string_view wrapper : {"PipeWire ALSA [", "ALSA plug-in ["}) {
        if (name.size() > wrapper.size() + 1 && name.starts_with(wrapper) && name.ends_with(']')) {
            return std::string(name.substr(wrapper.size(), name.size() - wrapper.size() - 1));
        }
    }
    return std::string(name);
}

std::string programRunBy(std::string_view host, const std::vector<std::string>& arguments) {
    const HostFamily* family = familyOf(host);
    if (family == nullptr || arguments.empty()) {
        return {};
    }
    switch (family->kind) {
    case HostKind::wine:
        return windowsProgram(arguments);
    case HostKind::python:
        return scriptProgram(arguments, {{"-W", "-X", "--check-hash-based-pycs"}, {"-m"}, "c", {}});
    case HostKind::perl:
        return scriptProgram(arguments, {{"-I", "-M", "-m"}, {}, "eE", {}});
    case HostKind::ruby:
        return scriptProgram(arguments, {{"-I", "-r", "-C", "-E", "--encoding",
                                          "--external-encoding", "--internal-encoding"},
                                         {},
                                         "e",
                                         {}});
    case HostKind::node:
        return scriptProgram(arguments,
                             {{"-r", "--require", "--loader", "--experimental-loader", "--import",
                               "-C", "--conditions", "--title", "--env-file"},
                              {},
                              "epi",
                              {"--eval", "--print", "--interactive"}});
    case HostKind::java:
        return javaProgram(arguments);
    case HostKind::mono:
        return scriptProgram(arguments, {});
    case HostKind::dotnet:
        return dotnetProgram(arguments);
    case HostKind::electron:
        return electronProgram(arguments);
    case HostKind::qemu:
        return guestName(arguments);
    case HostKind::shell:
        return scriptProgram(
            arguments, {{"-o", "+o", "-O", "+O", "--rcfile", "--init-file"}, {}, "cs", {}, true});
    }
    return {};
}

std::string programOfHelper(std::string_view host,
                            const std::vector<std::string>& parentArguments) {
    if (parentArguments.empty() || !namesOnlyTheHost(parentArguments.front(), host)) {
        return {};
    }
    return programRunBy(host, parentArguments);
}

ApplicationIdentity identifyApplication(const ClientProperties& client,
                                        const ClientProperties& stream,
                                        const HostedProgramLookup& hostedProgram) {
    ApplicationIdentity identity;
    const auto binary = firstValue(client, stream, "application.process.binary");
    const std::string executable = binary ? std::string(baseName(*binary)) : std::string();
    const bool hosted = isProgramHost(executable);
    if (hosted) {
        identity.host = executable;
    } else {
        identity.executable = executable;
    }
    // A stream names what the program plays as; its client is often named after the process
    // (pw-cat, python3).
    std::vector<std::string> names;
    for (const ClientProperties* properties : {&stream, &client}) {
        if (const auto name = firstValue(*properties, {}, "application.name")) {
            names.push_back(announcedApplicationName(*name));
        }
    }
    identity.applicationName = names.empty() ? std::string() : names.front();

    for (const auto& [properties, key] : {std::pair{&client, "pipewire.access.portal.app_id"},
                                          {&client, "application.id"},
                                          {&stream, "application.id"}}) {
        if (const auto it = properties->find(key); it != properties->end() && !it->second.empty()) {
            identity.key = it->second;
            return identity;
        }
    }
    if (!binary) {
        identity.key = firstValue(client, stream, "application.name").value_or(std::string());
        return identity;
    }
    if (!hosted) {
        identity.key = *binary;
        return identity;
    }
    for (const std::string& name : names) {
        if (!namesOnlyTheHost(name, executable) && !isEngineName(name, executable)) {
            identity.applicationName = name;
            identity.key = name;
            return identity;
        }
    }
    if (hostedProgram) {
        if (std::string program = hostedProgram(executable); !program.empty()) {
            identity.key = program;
            identity.executable = std::move(program);
            return identity;
        }
    }
    identity.key = *binary;
    return identity;
}

} // namespace kestrelamp
