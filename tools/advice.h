// What kestrel-host tells a person about a slip: the name nearest to a misspelt one, and what is
// wrong with a call's arguments that the module took or refused without saying why.
#pragma once

#include <string>
#include <vector>

#include "host_environment.h"
#include "module_host.h"
#include "script_language.h"

// The nearest of candidates to word (letter case ignored, a swap of two neighbours counting as
// one edit), or "" when none is near enough to be a likely slip of the keyboard.
std::string NearestName(const std::string& word, const std::vector<std::string>& candidates);

// The error for a method name the module's table does not have: "no method NAME in the
// module's table", with "; did you mean X?" when one of candidates is near.
std::string NoMethodMessage(const std::string& name, const std::vector<std::string>& candidates);

// The argument of a call to method given as name (in method's table line), or null when the
// method has no such argument or the call gave too few.
const ScriptToken* ArgumentNamed(const MethodInfo& method,
                                 const std::vector<ScriptToken>& arguments,
                                 const std::string& name);

// What a person should know about the arguments of a call of method (arguments: the call's
// tokens after the object's name) that ended with result: a TransferType the module ignores, an
// unknown option of ftpSetOption or a value out of its range. "" when there is nothing to say.
std::string ArgumentAdvice(const MethodInfo& method, const std::vector<ScriptToken>& arguments,
                           const HostValue& result);
