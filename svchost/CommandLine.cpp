#include "svchost/CommandLine.h"

namespace nimbora {

namespace {

bool IsSeparator(wchar_t c) { return c >= 1 && c <= 32; }

// Reads one word starting at `pos`; returns false when the text is exhausted.
bool NextWord(const std::wstring& text, std::size_t& pos, std::wstring& word) {
    const std::size_t n = text.size();
    for (;;) {
        while (pos < n && IsSeparator(text[pos])) ++pos;
        if (pos + 1 < n && text[pos] == L'"' && text[pos + 1] == L'"')
            pos += 2;
        else
            break;
    }
    word.clear();
    if (pos >= n || text[pos] == L'\0') return false;
    while (pos < n && text[pos] != L'\0' && !IsSeparator(text[pos])) {
        if (text[pos] == L'"') {
            ++pos;
            while (pos < n && text[pos] != L'\0' && text[pos] != L'"') word += text[pos++];
            if (pos < n && text[pos] == L'"') ++pos;
        } else {
            word += text[pos++];
        }
    }
    return true;
}

wchar_t FoldAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

}  // namespace

std::vector<std::wstring> CommandLineArguments(const std::wstring& commandLine) {
    std::vector<std::wstring> words;
    std::size_t pos = 0;
    std::wstring word;
    bool first = true;
    while (NextWord(commandLine, pos, word)) {
        if (!first) words.push_back(word);
        first = false;
    }
    return words;
}

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

bool HasSwitch(const std::vector<std::wstring>& arguments, const std::wstring& word, const TextEquals& equals) {
    for (const std::wstring& argument : arguments) {
        if (argument.empty() || (argument[0] != L'-' && argument[0] != L'/')) continue;
        if (equals(argument.substr(1), word)) return true;
    }
    return false;
}

}  // namespace nimbora
