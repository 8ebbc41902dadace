#include "svchost/Messages.h"

#include "svchost/MessageTexts.h"

namespace nimbora {

std::wstring DecimalText(std::int64_t value) {
    // Digits of the magnitude, taken as unsigned so the most negative value works too.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    wchar_t digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::wstring text = value < 0 ? L"-" : L"";
    while (n > 0) text += digits[--n];
    return text;
}

std::wstring HexText(std::uint64_t value, int digits) {
    std::wstring text(static_cast<std::size_t>(digits), L'0');
    for (int i = digits - 1; i >= 0 && value != 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = L"0123456789ABCDEF"[value & 0xF];
    return text;
}

std::wstring FormatMessageText(const std::wstring& format, std::initializer_list<std::wstring> args) {
    std::wstring out;
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == L'%' && i + 1 < format.size() && (format[i + 1] == L's' || format[i + 1] == L'd')) {
            if (next != args.end()) out += *next++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

MessageTexts MessageTexts::BuiltIn() {
    return MessageTexts{TXT_SERVICE_FAILED_ON, TXT_SERVICE_FAILED_CUSTOM, TXT_ACTION_EXECUTE, TXT_ACTION_START,
                        TXT_ACTION_STOP,       TXT_ACTION_PAUSE,          TXT_ACTION_CONTINUE, TXT_ACTION_INTERROGATE,
                        TXT_ACTION_SHUTDOWN,   TXT_INSTALL_OK,            TXT_UNINSTALL_OK,    TXT_INSTALL_FAILED,
                        TXT_UNINSTALL_FAILED,  TXT_TIMERS_EXHAUSTED};
}

const std::wstring& MessageTexts::ActionWord(std::uint32_t code) const {
    static const std::wstring none;
    switch (code) {
        case 1: return Stop;
        case 2: return Pause;
        case 3: return Continue;
        case 4: return Interrogate;
        case 5: return Shutdown;
        default: return none;
    }
}

std::wstring MessageTexts::FailedOn(const std::wstring& action, const std::wstring& message) const {
    return FormatMessageText(ServiceFailedOn, {action, message});
}

std::wstring MessageTexts::FailedInCustom(std::uint32_t code, const std::wstring& message) const {
    return FormatMessageText(ServiceFailedCustom, {DecimalText(static_cast<std::int32_t>(code)), message});
}

}  // namespace nimbora
