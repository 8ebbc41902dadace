// The points where libstdc++ raises its containers' and allocators' errors,
// defined for the shipped programs. The library's own definitions build
// std::logic_error and its kin from narrow std::string objects of both string
// ABIs, which pulls about 75 KB of narrow-string runtime into programs that
// otherwise use only wide strings. These raise the same faults as exceptions
// derived from std::exception that carry the library's own text, which the
// last-chance handlers report as before; allocation failures stay
// std::bad_alloc. Linked as an object of each program, so the library's
// definitions are never needed; a symbol the library would still want from
// the same place shows up as a duplicate definition at link time.

#include <cstdarg>
#include <cstddef>
#include <exception>
#include <new>

namespace nimbora {
namespace {

// A fault found by the standard library (a length beyond what a container
// can hold, an index out of range, a null string): a programming fault.
class LibraryFault final : public std::exception {
public:
    explicit LibraryFault(const char* text) noexcept { Append(text); }
    // The library's formats use %s for the function's name, %zu for the
    // index and the size, and %% for itself.
    LibraryFault(const char* format, std::va_list arguments) noexcept {
        for (const char* p = format; *p != '\0'; ++p) {
            if (p[0] == '%' && p[1] == 's') {
                Append(va_arg(arguments, const char*));
                ++p;
            } else if (p[0] == '%' && p[1] == 'z' && p[2] == 'u') {
                AppendNumber(va_arg(arguments, std::size_t));
                p += 2;
            } else if (p[0] == '%' && p[1] == '%') {
                AppendChar('%');
                ++p;
            } else {
                AppendChar(*p);
            }
        }
    }
    const char* what() const noexcept override { return text_; }

private:
    void AppendChar(char c) noexcept {
        if (length_ + 1 < sizeof text_) text_[length_++] = c;
        text_[length_] = '\0';
    }
    void Append(const char* text) noexcept {
        for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) AppendChar(*p);
    }
    void AppendNumber(std::size_t value) noexcept {
        char digits[24];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) AppendChar(digits[--count]);
    }

    char text_[160] = {};
    std::size_t length_ = 0;
};

}  // namespace
}  // namespace nimbora

namespace std {

[[noreturn]] void __throw_bad_alloc() { throw bad_alloc(); }
[[noreturn]] void __throw_bad_array_new_length() { throw bad_array_new_length(); }
[[noreturn]] void __throw_length_error(const char* text) { throw nimbora::LibraryFault(text); }
[[noreturn]] void __throw_logic_error(const char* text) { throw nimbora::LibraryFault(text); }
[[noreturn]] void __throw_out_of_range_fmt(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const nimbora::LibraryFault fault(format, arguments);
    va_end(arguments);
    throw fault;
}

}  // namespace std
