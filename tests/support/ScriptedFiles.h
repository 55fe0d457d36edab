#pragma once
// The settings dialog's file pickers answered by a test: prepared paths in order, and a
// record of which picker was asked and where it started.

#include <QString>
#include <vector>

#include "settings/SettingsDlg.h"

namespace hv::test {

class ScriptedFiles final : public IFilePrompt {
public:
    QString Ask(FilePromptKind kind, const QString& startFile, QWidget*) override {
        kinds.push_back(kind);
        starts.push_back(startFile);
        if (answers.empty()) return {};
        QString answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
    std::vector<QString> answers;
    std::vector<FilePromptKind> kinds;
    std::vector<QString> starts;
};

}  // namespace hv::test
