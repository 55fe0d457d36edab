#include "fixity/CopyNames.h"

#include <climits>

namespace hv {

namespace {
constexpr char kTemporarySuffix[] = ".halvane-copy";
}

QByteArray TemporaryCopyName(const QByteArray& name) {
    constexpr qsizetype kSuffix = sizeof kTemporarySuffix - 1;
    return '.' + name.left(NAME_MAX - 1 - kSuffix) + kTemporarySuffix;
}

bool IsTemporaryCopyName(const QByteArray& name) {
    return name.size() > qsizetype(sizeof kTemporarySuffix) && name.startsWith('.') &&
           name.endsWith(kTemporarySuffix);
}

}  // namespace hv
