#include "svchost/Exception.h"

#include "svchost/Messages.h"

namespace nimbora {

Exception::Exception(std::wstring message)
    : message_(std::move(message)), address_(__builtin_return_address(0)) {}

EOSError::EOSError(std::uint32_t code, const std::wstring& systemText)
    : Exception(OSErrorMessage(code, systemText)), code_(code) {}

std::wstring OSErrorMessage(std::uint32_t code, const std::wstring& systemText) {
    if (code == 0) return L"A call to an OS function failed";
    // The code is shown as the signed decimal the platform's own tools show.
    return L"System Error.  Code: " + DecimalText(static_cast<std::int32_t>(code)) + L".\r\n" +
           systemText;
}

std::wstring TrimSystemMessage(std::wstring text) {
    while (!text.empty()) {
        const wchar_t last = text.back();
        if (last <= L' ' || last == L'.' || last == 0x7F)
            text.pop_back();
        else
            break;
    }
    return text;
}

}  // namespace nimbora
