// The shipped programs' own definitions of the points where the standard
// library raises its errors, linked as the programs link them: without
// GoogleTest, whose use of the library needs the library's own definitions.
// Exits 0 when every fault arrives as expected, 1 otherwise.

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace {

struct Case {
    const char* what;
    void (*fault)();
    const char* expected;  // part of the library's text; null for bad_alloc
};

const Case kCases[] = {
    {"index past the end", [] { (void)std::wstring(L"ab").at(2); }, "(which is 2) >= this->size() (which is 2)"},
    {"substring past the end", [] { (void)std::wstring(L"ab").substr(3); },
     "basic_string::substr: __pos (which is 3) > this->size() (which is 2)"},
    {"length beyond the maximum", [] { std::vector<int>().reserve(std::vector<int>().max_size() + 1); }, "reserve"},
    {"string from a null pointer",
     [] {
         const wchar_t* volatile none = nullptr;
         std::wstring text(none);
     },
     "null"},
    {"allocation failure", [] { std::__throw_bad_alloc(); }, nullptr},
};

// "ok" or what went wrong.
std::string Check(const Case& c) {
    try {
        c.fault();
        return "no exception";
    } catch (const std::bad_alloc&) {
        return c.expected == nullptr ? "ok" : "raised as an allocation failure";
    } catch (const std::exception& e) {
        if (c.expected == nullptr) return std::string("not an allocation failure: ") + e.what();
        if (std::string(e.what()).find(c.expected) == std::string::npos) return std::string("text: ") + e.what();
        return "ok";
    } catch (...) {
        return "not a std::exception";
    }
}

}  // namespace

int main() {
    int failures = 0;
    for (const Case& c : kCases) {
        const std::string outcome = Check(c);
        std::printf("%s: %s\n", c.what, outcome.c_str());
        if (outcome != "ok") ++failures;
    }
    return failures == 0 ? 0 : 1;
}
