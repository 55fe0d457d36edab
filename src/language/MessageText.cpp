#include "language/MessageText.h"

namespace hv {

QString FillMessage(const QString& format, std::initializer_list<MessageValue> values) {
    QString out;
    out.reserve(format.size());
    auto next = values.begin();
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'%' && i + 1 < format.size()) {
            const QChar kind = format[i + 1];
            if (kind == u'%') {
                out += u'%';
                ++i;
                continue;
            }
            if ((kind == u's' || kind == u'd') && next != values.end()) {
                out += (next++)->Text();
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

}  // namespace hv
