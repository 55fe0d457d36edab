#include "app/Language.h"

#include "res/StringTable.h"

namespace hv {

QString LoadStringOrMark(unsigned id) {
    const char* text = BuiltInString(id);
    return text != nullptr ? QString::fromUtf8(text) : QStringLiteral("UNTRANSLATED");
}

}  // namespace hv
