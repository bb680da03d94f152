// kestrel-host: a host for the module. It loads the module through its exported entry points,
// registers it, and runs a script of method calls from a file or standard input, or an
// interactive prompt when standard input is a terminal.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "console.h"
#include "host_environment.h"
#include "library.h"
#include "line_input.h"
#include "module_host.h"
#include "script_runner.h"

namespace {

bool Readable(const std::string& path) {
    int32_t probe = PlatInputOpen(path.c_str());
    if (probe < 0) {
        return false;
    }
    PlatInputClose(probe);
    return true;
}

// The README that describes the script language: the installed one, else the source tree's.
std::string ReadmePath() {
    char directory[4096];
    uint32_t length = PlatProgramDirectory(directory, sizeof directory);
    if (length > 0 && length < sizeof directory) {
        std::string installed = std::string(directory) + KESTREL_INSTALLED_DOC_DIR + "README.md";
        if (Readable(installed)) {
            return std::filesystem::path(installed).lexically_normal().string();
        }
    }
    return Readable(KESTREL_SOURCE_README) ? KESTREL_SOURCE_README
                                           : "README.md, in share/doc/kestrel/ of the installation";
}

void Usage(FILE* stream) {
    fputs(
        "usage: kestrel-host [--json] [--progress] [--fail] [--trace] [--module PATH] [SCRIPT | "
        "-]\n"
        "       kestrel-host --version | --help\n"
        "Runs SCRIPT (or standard input) against the module; with a terminal on standard input\n"
        "it is an interactive prompt (type help).\n",
        stream);
    fprintf(stream, "The script language and the methods: %s\n", ReadmePath().c_str());
    fputs(
        "\n"
        "  --json        one JSON object per output line\n"
        "  --progress    JSON progress records on standard error while a wait runs\n"
        "  --fail        a wait that ends with a code below 0 or of 1000 and above (or other\n"
        "                than its `expect` codes) forgets every object and ends with status 4\n"
        "  --trace       every object traces its session (commands and replies, passwords\n"
        "                as ****) on standard error; ftpSetOption NAME \"trace\" \"1\" does\n"
        "                it for one object\n"
        "  --module PATH the module to load (default: next to kestrel-host, else in\n"
        "                ../lib/kestrel/ from it)\n"
        "\n"
        "Exit status: 0 the script ran to its end (or quit); 1 the module cannot be loaded or\n"
        "does not behave as a module; 2 a script error, or a wrong command line; 3 a wait limit\n"
        "passed; 4 a failed wait under --fail; 130 Ctrl-C (SIGINT), 143 SIGTERM and 129 SIGHUP\n"
        "while a script ran, after aborting and forgetting every object.\n",
        stream);
}

// The module next to this executable, as in a build tree, or where an installation puts it.
std::string DefaultModulePath() {
    char directory[4096];
    uint32_t length = PlatProgramDirectory(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory) {
        return PLAT_MODULE_FILE_NAME;
    }
    std::string beside = std::string(directory) + PLAT_MODULE_FILE_NAME;
    std::string installed =
        std::string(directory) + KESTREL_INSTALLED_MODULE_DIR + PLAT_MODULE_FILE_NAME;
    int32_t probe = PlatInputOpen(beside.c_str());
    if (probe >= 0) {
        PlatInputClose(probe);
        return beside;
    }
    probe = PlatInputOpen(installed.c_str());
    if (probe >= 0) {
        PlatInputClose(probe);
        return installed;
    }
    return beside;  // the error then names where the module was expected
}

// The history of the prompt lives in the user's home directory.
std::string HistoryPath() {
    const char* home = getenv("HOME");
    return home != nullptr && home[0] != '\0' ? std::string(home) + "/.kestrel_history" : "";
}

}  // namespace

int main(int argc, char** argv) {
    RunnerOptions options;
    std::string modulePath;
    const char* scriptPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            options.json = true;
        } else if (strcmp(argv[i], "--progress") == 0) {
            options.jsonProgress = true;
        } else if (strcmp(argv[i], "--fail") == 0) {
            options.fail = true;
        } else if (strcmp(argv[i], "--trace") == 0) {
            options.trace = true;
        } else if (strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
            modulePath = argv[++i];
        } else if (strcmp(argv[i], "--version") == 0) {
            printf("kestrel-host %s\n", KESTREL_VERSION);
            return RUN_OK;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return RUN_OK;
        } else if (argv[i][0] == '-' && strcmp(argv[i], "-") != 0) {
            Usage(stderr);
            return RUN_SCRIPT_ERROR;
        } else if (scriptPath == nullptr) {
            scriptPath = argv[i];
        } else {
            Usage(stderr);
            return RUN_SCRIPT_ERROR;
        }
    }
    if (modulePath.empty()) {
        modulePath = DefaultModulePath();
    }

    int32_t input = PLAT_STANDARD_INPUT;
    if (scriptPath != nullptr && strcmp(scriptPath, "-") != 0) {
        input = PlatInputOpen(scriptPath);
        if (input < 0) {
            fprintf(stderr, "kestrel-host: cannot open %s: %s\n", scriptPath, strerror(errno));
            return RUN_SCRIPT_ERROR;
        }
    }
    bool interactive = input == PLAT_STANDARD_INPUT && PlatInputIsTerminal(input);
    // The progress line and the texts for a person only where a person reads them; --json
    // output stays the same wherever it goes.
    options.progress = !options.json && PlatErrorIsTerminal();
    options.display = !options.json && PlatOutputIsTerminal();

    // Before the module starts any thread: interrupts are noted from now on, not fatal.
    PlatInterruptsCatch();

    HostEnvironment environment;
    ModuleHost host(environment);
    std::string error;
    if (!host.Load(modulePath, &error)) {
        fprintf(stderr, "kestrel-host: %s\n", error.c_str());
        return RUN_LOAD_FAILED;
    }
    int status;
    {
        ScriptRunner runner(host, environment, options, stdout, stderr);
        std::unique_ptr<LineInput> lines;
        if (interactive) {
            lines = MakeConsoleInput(
                input, stdout, "kestrel> ",
                [&runner](const std::string& before) { return runner.Completions(before); },
                HistoryPath());
        } else {
            lines = MakeScriptInput(input);
        }
        status = runner.Run(*lines, interactive);
    }
    if (input != PLAT_STANDARD_INPUT) {
        PlatInputClose(input);
    }
    return status;
}
