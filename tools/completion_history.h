// What kestrel-host's prompt offers and keeps: the completions of a word, and the line as the
// history may keep it, without the secrets typed into it.
#pragma once

#include <string>
#include <vector>

#include "module_host.h"

// What the last word of before (a line up to the cursor) may become: the commands and the
// methods (methods[0], `new`, is a command) for the first word and after help, else the objects'
// names, except after new and sleep.
std::vector<std::string> CompleteWord(const std::string& before,
                                      const std::vector<std::string>& commands,
                                      const std::vector<MethodInfo>& methods,
                                      const std::vector<std::string>& objects);

// The line as the history may keep it: passwords of a method's call and a raw PASS or ACCT
// command taken out; "" when the line must not be kept at all. methods: the module's table.
std::string HistoryLine(const std::string& line, const std::vector<MethodInfo>& methods);
