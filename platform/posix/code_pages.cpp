// On POSIX the host's texts are bytes, and names travel as they are.

#include "code_pages.h"

bool PlatHostTextIsUtf8() { return true; }

std::string PlatHostToUtf8(const std::string& text) { return text; }

std::string PlatUtf8ToHost(const std::string& text) { return text; }
