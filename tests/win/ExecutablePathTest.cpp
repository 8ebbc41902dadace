#include <gtest/gtest.h>

#include "svchost/Exception.h"
#include "svchost/ServiceApplication.h"

namespace nimbora {
namespace {

// Copies `path` the way GetModuleFileNameW does, cutting it short (and saying
// so) when the buffer is too small.
DWORD CopyLikeTheLoader(const std::wstring& path, wchar_t* buffer, DWORD size) {
    if (path.size() + 1 > size) {
        std::copy_n(path.begin(), size - 1, buffer);
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

TEST(ExecutablePath, PathsLongerThanTheClassicLimitAreReadWhole) {
    for (std::size_t length : {10u, 260u, 261u, 262u, 600u, 5000u}) {
        const std::wstring path = L"C:\\" + std::wstring(length - 3, L'x');
        EXPECT_EQ(ReadWholePath([&](wchar_t* b, DWORD n) { return CopyLikeTheLoader(path, b, n); }), path) << length;
    }
}

TEST(ExecutablePath, APathThatNeverFitsFailsInsteadOfNamingAnotherFile) {
    EXPECT_THROW(ReadWholePath([](wchar_t*, DWORD n) {
                     SetLastError(ERROR_INSUFFICIENT_BUFFER);
                     return n;
                 }),
                 EOSError);
    EXPECT_THROW(ReadWholePath([](wchar_t*, DWORD) {
                     SetLastError(ERROR_ACCESS_DENIED);
                     return DWORD{0};
                 }),
                 EOSError);
}

TEST(ExecutablePath, TheRealPathNamesThisProgram) {
    const std::wstring path = ExecutablePath();
    EXPECT_EQ(path.substr(path.size() - 13), L"win_tests.exe");
    EXPECT_EQ(ExecutableFileName(), L"win_tests.exe");
}

}  // namespace
}  // namespace nimbora
