#pragma once
// The process command line as the service application reads its switches.

#include <functional>
#include <string>
#include <vector>

namespace nimbora {

// The words after the first (the program path). Words are separated by any
// character from 1 to 32; a pair of double quotes at the start of a word is
// skipped; inside a word a double quote opens a stretch that runs to the next
// one, and the quotes themselves are dropped.
std::vector<std::wstring> CommandLineArguments(const std::wstring& commandLine);

// Whole-text comparison without regard to case (the Windows shell compares
// under the user's locale; natively only A-Z fold).
using TextEquals = std::function<bool(const std::wstring&, const std::wstring&)>;
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

// True when some argument is "-" or "/" followed by exactly `word`.
bool HasSwitch(const std::vector<std::wstring>& arguments, const std::wstring& word,
               const TextEquals& equals = EqualsIgnoringAsciiCase);

}  // namespace nimbora
