// The caption tables' names, from the build's one list of tables
// (NIMBORA_LANGUAGES, set by admin/CMakeLists.txt).
#include "admin/AdminSettings.h"

namespace nimbora {

const std::vector<std::wstring>& LanguageNames() {
    static const std::vector<std::wstring> names = {NIMBORA_LANGUAGES};
    return names;
}

}  // namespace nimbora
