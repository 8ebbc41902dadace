#pragma once
// The common base of every error this system raises, and the errors built on it.
// Service-host code catches `Exception` (never `...`) where a failure is to be
// logged; anything else is a programming fault and is left to escape.

#include <cstdint>
#include <string>

namespace nimbora {

class Exception {
public:
    explicit Exception(std::wstring message);
    virtual ~Exception() = default;
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;

    const std::wstring& Message() const noexcept { return message_; }
    // The class name shown by the last-chance error box.
    virtual const wchar_t* ClassName() const noexcept { return L"Exception"; }
    // Code address at which the error was raised (for the last-chance box).
    const void* Address() const noexcept { return address_; }

private:
    std::wstring message_;
    const void* address_;
};

// A failed call to the operating system, carrying its Win32 error code.
class EOSError : public Exception {
public:
    // `systemText` is the platform's text for `code` (already trimmed).
    EOSError(std::uint32_t code, const std::wstring& systemText);
    const wchar_t* ClassName() const noexcept override { return L"EOSError"; }
    std::uint32_t ErrorCode() const noexcept { return code_; }

private:
    std::uint32_t code_;
};

// The platform refused a resource, for instance a timer.
class EOutOfResources : public Exception {
public:
    using Exception::Exception;
    const wchar_t* ClassName() const noexcept override { return L"EOutOfResources"; }
};

// Division by zero, an invalid operation or an overflow in real arithmetic.
class EMathError : public Exception {
public:
    using Exception::Exception;
    const wchar_t* ClassName() const noexcept override { return L"EMathError"; }
};

// The message of an EOSError: "System Error.  Code: %d.\r\n%s" or, for code 0,
// "A call to an OS function failed".
std::wstring OSErrorMessage(std::uint32_t code, const std::wstring& systemText);

// Removes trailing control characters, blanks and periods, as the system
// message for an error code is shown everywhere.
std::wstring TrimSystemMessage(std::wstring text);

}  // namespace nimbora
