// Code-page conversion of names between the host and a server that speaks UTF-8. The host's
// texts are in the system's code page: on Windows the ANSI code page, on POSIX the bytes as they
// are (UTF-8 in practice), so that there both conversions leave every text unchanged. Any thread.
#pragma once

#include <string>

// True when the host's texts already are what a UTF-8 server expects (POSIX): nothing to convert.
bool PlatHostTextIsUtf8();

// text in the host's code page, as UTF-8.
std::string PlatHostToUtf8(const std::string& text);

// UTF-8 text in the host's code page. A character the code page lacks becomes '?'; a text that
// is not UTF-8 is left as it is.
std::string PlatUtf8ToHost(const std::string& text);
