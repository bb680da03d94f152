// kestrel-host: a host for the module. It loads the module through its exported entry points,
// registers it, and runs a script of method calls from a file or standard input.
//
// Exit status: 0 when the script ran to its end, 1 when the module cannot be loaded or does not
// behave as a module, 2 for a script error, 3 when a wait limit passes.

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "host_environment.h"
#include "library.h"
#include "module_host.h"
#include "script_runner.h"

namespace {

void Usage(FILE* stream) {
    fputs(
        "usage: kestrel-host [--json] [--module PATH] [SCRIPT | -]\n"
        "Runs SCRIPT (or standard input) against the module; see README.md for the language.\n",
        stream);
}

// The module in the directory of this executable.
std::string DefaultModulePath() {
    char directory[4096];
    uint32_t length = PlatProgramDirectory(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory) {
        return PLAT_MODULE_FILE_NAME;
    }
    return std::string(directory) + PLAT_MODULE_FILE_NAME;
}

}  // namespace

int main(int argc, char** argv) {
    RunnerOptions options;
    std::string modulePath = DefaultModulePath();
    const char* scriptPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            options.json = true;
        } else if (strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
            modulePath = argv[++i];
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

    FILE* in = stdin;
    if (scriptPath != nullptr && strcmp(scriptPath, "-") != 0) {
        in = fopen(scriptPath, "r");
        if (in == nullptr) {
            fprintf(stderr, "kestrel-host: cannot open %s: %s\n", scriptPath, strerror(errno));
            return RUN_SCRIPT_ERROR;
        }
    }
    bool interactive = in == stdin && isatty(STDIN_FILENO);
    options.progress = isatty(STDERR_FILENO);

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
        status = runner.Run(in, interactive);
    }
    if (in != stdin) {
        fclose(in);
    }
    return status;
}
