// The commands of kestrel-host's script language, besides the calls of the module's methods:
//
//   # comment                       empty lines, and everything from a # that starts a word on
//   new NAME                        make an object of the script class, bind it to NAME
//   METHOD NAME ARG...              call a method of the registered table on NAME
//   wait NAME [SECONDS] [expect CODE...]
//                                   poll ftpDone until it returns 1 (back to back at
//                                   first, then at most every 20 ms)
//   sleep MS                        pause
//   release NAME                    drop the host's reference to NAME (without forget)
//   help [METHOD]                   the commands and the registered methods
//   quit                            forget every object and end
//
// The ScriptRunner runs them (script_commands.cpp, wait_command.cpp).
#pragma once

#include <chrono>
#include <string>
#include <vector>

// The longest pause between two polls of a wait or a sleep, and how often a wait's progress is
// drawn.
inline constexpr auto kPollInterval = std::chrono::milliseconds(20);

// One of the host's own commands, for help, completion and suggestions.
struct HostCommand {
    const char* name;
    const char* usage;
    const char* what;
};

// The host's commands, in the order help lists them.
const std::vector<HostCommand>& HostCommands();

// The commands' names.
std::vector<std::string> HostCommandNames();

// Whether the method called name only reads an object's state; every other call may start an
// operation.
bool IsStatusMethod(const std::string& name);
