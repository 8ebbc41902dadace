#include "svchost/SystemMessage.h"

#include "svchost/Exception.h"

namespace nimbora {

std::wstring SystemErrorMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) text.assign(buffer, length);
    LocalFree(buffer);
    return TrimSystemMessage(std::move(text));
}

void RaiseOSError(DWORD code) { throw EOSError(code, SystemErrorMessage(code)); }

void RaiseLastOSError() { RaiseOSError(GetLastError()); }

}  // namespace nimbora
