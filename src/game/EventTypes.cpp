#include "game/EventTypes.h"

namespace hv {

namespace {
struct EventTypeEntry {
    const char16_t* name;
    int prefixLength;
};
constexpr EventTypeEntry kEventTypes[kEventTypeCount] = {
    {u"Драка", 5},
    {u"Удаление игрока", 15},
    {u"Выход на лёд игрока", 19},
    {u"Синяя линия", 11},
    {u"Гол", 3},
    {u"Булит", 5},
    {u"Интересный момент", 17},
    {u"Опасный момент", 14},
    {u"Начало игры", 11},
    {u"Конец игры", 10},
    {u"Начало периода", 14},
    {u"Конец периода", 13},
    {u"Раскатка", 8},
};
}  // namespace

QString EventTypeName(int index) {
    if (index < 0 || index >= kEventTypeCount) return {};
    return QString::fromUtf16(kEventTypes[index].name);
}

int EventTypePrefixLength(int index) {
    if (index < 0 || index >= kEventTypeCount) return 0;
    return kEventTypes[index].prefixLength;
}

}  // namespace hv
