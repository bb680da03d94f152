// The ANSI code page and UTF-8, through UTF-16.

#include "code_pages.h"

#include "win32/wait.h"

namespace {

// text in code page from as UTF-16; false when it does not convert.
bool ToWide(UINT from, DWORD flags, const std::string& text, std::wstring* wide) {
    if (text.empty()) {
        wide->clear();
        return true;
    }
    const int length = MultiByteToWideChar(from, flags, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide->assign(static_cast<size_t>(length), L'\0');
    return MultiByteToWideChar(from, flags, text.data(), static_cast<int>(text.size()),
                               &(*wide)[0], length) == length;
}

std::string FromWide(UINT to, const std::wstring& wide) {
    if (wide.empty()) {
        return std::string();
    }
    // No best fit: a character the code page lacks must not turn into another letter (which
    // could name another file); it becomes the default character, '?'.
    const DWORD flags = to == CP_UTF8 || GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int length = WideCharToMultiByte(to, flags, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(to, flags, wide.data(), static_cast<int>(wide.size()), &text[0], length,
                        nullptr, nullptr);
    return text;
}

}  // namespace

bool PlatHostTextIsUtf8() { return GetACP() == CP_UTF8; }

std::string PlatHostToUtf8(const std::string& text) {
    std::wstring wide;
    return ToWide(CP_ACP, 0, text, &wide) ? FromWide(CP_UTF8, wide) : text;
}

std::string PlatUtf8ToHost(const std::string& text) {
    std::wstring wide;
    return ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, text, &wide) ? FromWide(CP_ACP, wide) : text;
}
