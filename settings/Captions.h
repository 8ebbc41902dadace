#pragma once
// Localized texts from the caption tables built into the executable: one
// RCDATA resource per language, named after the language, chosen by the
// Language setting.

#include <optional>
#include <string>

namespace nimbora {

// Sets `text` to the text of `owner`'s `item` in the table that the Language
// setting names (the letters A to Z matched without case). Leaves `text` as
// it was when there is no such table, no matching row, or any failure.
void GetCaption(const std::wstring& owner, const std::wstring& item, std::wstring& text) noexcept;

// The same, giving the empty text when nothing is found.
std::wstring GetCaption(const std::wstring& owner, const std::wstring& item) noexcept;

// The text of `owner`'s `item` in the table named `language` (A to Z
// without case) that the program at `programPath` carries: how that program
// names itself when it is installed. Nothing when the program cannot be
// read, or has no such table or row.
std::optional<std::wstring> CaptionOfProgram(const std::wstring& programPath, const std::wstring& language,
                                             const std::wstring& owner, const std::wstring& item) noexcept;

}  // namespace nimbora
