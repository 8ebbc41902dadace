#include "svchost/StandardStream.h"

namespace nimbora {

void WriteStandardStream(DWORD which, const std::wstring& text) noexcept {
    try {
        if (text.empty()) return;
        const HANDLE handle = GetStdHandle(which);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
        DWORD mode = 0;
        DWORD written = 0;
        if (GetConsoleMode(handle, &mode)) {
            WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
            return;
        }
        const int length = static_cast<int>(text.size());
        const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr);
        if (size <= 0) return;
        std::string bytes(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, bytes.data(), size, nullptr, nullptr);
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    } catch (...) {
        // Output that cannot be converted is dropped.
    }
}

}  // namespace nimbora
