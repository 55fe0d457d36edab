#include "res/Icons.h"

#include <QFile>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

static void InitIconResources() { Q_INIT_RESOURCE(HalvaneIcons); }

namespace hv {

namespace {

QString IconPath(unsigned id) {
    if (id == kAppIconId) return QStringLiteral(":/icons/halvane.svg");
    if (id >= kFirstStatusIconId && id <= kLastStatusIconId) {
        return QStringLiteral(":/icons/status%1.svg").arg(id);
    }
    return {};
}

}  // namespace

QIcon LoadIconResource(unsigned id) {
    static const bool initialised = (InitIconResources(), true);
    (void)initialised;

    const QString path = IconPath(id);
    if (path.isEmpty()) return {};
    QSvgRenderer renderer(path);
    if (!renderer.isValid()) return {};

    // Rendered by hand rather than through an icon-engine plugin, so that the icons do not
    // depend on which plugins the machine has.
    QIcon icon;
    for (const int size : {16, 20, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, size, size));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace hv
