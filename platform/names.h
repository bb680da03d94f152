// The code-page conversions are declared in code_pages.h. This name is kept only for
// ftp/control_channel.cpp, which includes it; new code includes code_pages.h.
#pragma once

#include "code_pages.h"
