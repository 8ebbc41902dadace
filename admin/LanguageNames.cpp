// The caption tables' names, from the build's one list of tables
// (NIMBORA_LANGUAGES, set by admin/CMakeLists.txt).
#include "admin/AdminSettings.h"

namespace nimbora {

namespace {
constexpr const wchar_t* kLanguageNames[] = {NIMBORA_LANGUAGES};
}  // namespace

std::span<const wchar_t* const> LanguageNames() { return kLanguageNames; }

}  // namespace nimbora
