// How kestrel-host shows values to a person: texts with what a terminal would act on escaped,
// results of several lines as lines, byte counts and durations.
#pragma once

#include <string>
#include <vector>

#include "host_environment.h"

// A text for a terminal: valid UTF-8 printable characters as they are; control characters (C0,
// DEL and C1, which a terminal would act on) and bytes of no valid sequence as \xHH. quoted: as
// inside a string of the script language (\", \\, \n, \r and \t escaped too), else a tab stays.
std::string EscapeForDisplay(const std::string& text, bool quoted);

// Texts as kestrel-host shows them to a person: a string in double quotes with the script
// language's escapes, characters of valid UTF-8 as they are, other bytes as \xHH.
std::string DisplayString(const std::string& text);
// A result text: one quoted line, or for a text of several lines every line on a line of its own,
// indented by two blanks (the line ends, LF or CR LF, are not shown).
std::string DisplayResult(const std::string& text);

// The lines of text, split at LF, each without its line end (LF or CR LF); a last LF ends the
// last line rather than starting an empty one.
std::vector<std::string> SplitLines(const std::string& text);

// A method's result as a result line shows it: an integer; a string quoted as JSON, or for a
// person (display) as DisplayResult; a list as a JSON array, or for a person one indented line an
// item; no value as "<void>" (json: "null").
std::string ResultText(const HostEnvironment& env, const HostValue& result, bool display,
                       bool json);

// A byte count with a binary unit: "512 B", "3.2 MiB", and from 100 of a unit on without the
// tenths ("409 KiB") unless alwaysTenths.
std::string HumanBytes(double bytes, bool alwaysTenths = false);

// A duration as M:SS, or H:MM:SS from an hour on.
std::string Duration(double seconds);
