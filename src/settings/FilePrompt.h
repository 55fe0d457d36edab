#pragma once
// The settings dialog's file pickers: the interface the dialog asks for a file name, and
// the desktop's file dialogs behind it. GUI thread only.

#include <QString>

class QWidget;

namespace hv {

// Asks the user for a file name; the folder pickers choose a folder by way of a file in it.
enum class FilePromptKind { Open, SaveAs };
class IFilePrompt {
public:
    virtual ~IFilePrompt() = default;
    // Shows the dialog at `startFile` (a folder and a file name in it). The chosen path,
    // empty when the user cancelled.
    virtual QString Ask(FilePromptKind kind, const QString& startFile, QWidget* parent) = 0;
};

// The desktop's file dialogs: mp4 files, the folder of the name must exist.
class QtFilePrompt final : public IFilePrompt {
public:
    QString Ask(FilePromptKind kind, const QString& startFile, QWidget* parent) override;
};

}  // namespace hv
