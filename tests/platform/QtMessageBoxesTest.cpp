// Message boxes on the offscreen platform, where nobody can see or answer them: the text goes
// to standard error and the box gives the answer it gives when closed without a choice,
// at once, leaving no window behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include "platform/QtMessageBoxes.h"

namespace hv {
namespace {

// Standard error, redirected into a file while it lives.
class StandardErrorCapture {
public:
    explicit StandardErrorCapture(const QString& path) : path_(path) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int file = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }
    ~StandardErrorCapture() { Restore(); }
    // What was written meanwhile; standard error is its own again.
    QString Text() {
        Restore();
        QFile file(path_);
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    QString path_;
    int saved_ = -1;
};

TEST(QtMessageBoxesTest, OffscreenABoxIsWrittenOutAndTakesTheAnswerOfABoxClosedWithoutAChoice) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const struct {
        const char* name;
        BoxIcon icon;
        BoxButtons buttons;
        BoxAnswer answer;
        const char* said;
    } cases[] = {
        {"an error", BoxIcon::Error, BoxButtons::Ok, BoxAnswer::Ok, "OK"},
        {"a warning", BoxIcon::Warning, BoxButtons::Ok, BoxAnswer::Ok, "OK"},
        {"a message", BoxIcon::Information, BoxButtons::Ok, BoxAnswer::Ok, "OK"},
        {"a question", BoxIcon::Question, BoxButtons::YesNo, BoxAnswer::No, "No"},
    };
    QtMessageBoxes boxes;
    // A box that waited for a click after all would wait for ever: one left up is closed
    // after a while and the test fails instead.
    bool leftUp = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&leftUp] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            leftUp = true;
            box->done(0);
        }
    });
    closer.start(5000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString text = QStringLiteral("Some files not copied yet!\n\n%1").arg(QLatin1String(c.name));
        StandardErrorCapture errors(dir.filePath(QStringLiteral("stderr.txt")));
        EXPECT_EQ(boxes.Show(text, c.icon, c.buttons), c.answer);
        EXPECT_EQ(errors.Text(),
                  QStringLiteral("Halvane: a message nobody can answer without a display, taken as %1:\n%2\n")
                      .arg(QLatin1String(c.said), text));
        EXPECT_EQ(QtMessageBoxes::UnattendedAnswer(c.buttons), c.answer);
        for (QWidget* window : QApplication::topLevelWidgets()) EXPECT_FALSE(window->isVisible());
        EXPECT_FALSE(leftUp) << "the box waited for an answer";
    }
}

}  // namespace
}  // namespace hv
