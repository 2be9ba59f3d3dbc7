// Windows: the loader and the program's own path, through the wide-character API so that any
// path works; the rest of the launcher sees UTF-8.
#include "launcher/native.hpp"

#include <windows.h>

#include <cstdio>

namespace launcher {

namespace {

std::wstring widen(const std::string &text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string narrow(const wchar_t *wide, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), size, nullptr, nullptr);
    return text;
}

// The text of the system's last error, without its trailing line break.
std::string last_error_text() {
    const DWORD code = GetLastError();
    wchar_t *message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    if (length == 0)
        return "error " + std::to_string(code);
    std::string text = narrow(message, static_cast<int>(length));
    LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace

std::string executable_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::string();
        if (length < path.size())
            return narrow(path.data(), static_cast<int>(length));
        path.resize(path.size() * 2);
    }
}

bool is_file(const std::string &path) {
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::FILE *open_for_reading(const std::string &path) {
    return _wfopen(widen(path).c_str(), L"rb");
}

void *load_library(const std::string &path, bool, std::string &error) {
    // Windows shares a loaded DLL with every later module that names it, so `global` needs no
    // flag. The altered search path lets the library's own dependencies come from its folder.
    HMODULE library = LoadLibraryExW(widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library)
        error = last_error_text();
    return reinterpret_cast<void *>(library);
}

void *find_function(void *library, const char *name) {
    FARPROC function = GetProcAddress(static_cast<HMODULE>(library), name);
    return reinterpret_cast<void *>(function);
}

} // namespace launcher
