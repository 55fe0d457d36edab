#pragma once
// User-interface texts in the language in use.
//
// The language in use is process-wide, like the source of a program's resources: it is
// kept in one object (UiLanguage) and every text the user sees is loaded through it. At
// start the built-in English texts are in use.
//
// The frame's language commands run, with the icon's clicks ignored meanwhile:
//   English (32774): ChooseLanguage(0);
//   Russian (32775): ChooseLanguage(kRussianLanguageId);
// which switch the language and store the result as "Locale". The next menu, message box
// and dialog use it; texts already shown stay until they are set again.

#include <QString>
#include <memory>
#include <mutex>

#include "language/LangTable.h"
#include "language/LanguageFile.h"

namespace hv {

inline constexpr unsigned kRussianLanguageId = 0x0419;  // 1049

// Where the language files of a program in `programFolder` are looked for: that folder,
// then the data folder of an installed program (lib/halvane -> share/halvane).
QStringList LanguageFolders(const QString& programFolder);

class UiLanguage {
public:
    // The process's one language state.
    static UiLanguage& Instance();

    // Builds the language table from the files next to the executable and in its data
    // folder (or, for tests, in `folder` for an executable named `exeBaseName`) and goes
    // back to the built-in texts.
    void InitForExecutable();
    void Init(const QString& folder, const QString& exeBaseName);
    void Init(const QStringList& folders, const QString& exeBaseName);

    // Switches to language `lcid`: true when that language is in use afterwards. 0 is the
    // built-in language; an id without a file, or whose file cannot be read, leaves the
    // built-in texts in use (result false).
    bool SetLanguage(unsigned lcid);

    // The language id of the entry in use (0 for the built-in language).
    unsigned CurrentLanguageId() const;
    int CurrentEntry() const;
    LangTable Table() const;

    // The texts, each looked up in the language in use; see the free functions below.
    QString String(unsigned id) const;
    QString MenuText(const QString& key, const char* english) const;
    QString DialogText(unsigned dialog, const char* key) const;
    QString Text(const char* english) const;

private:
    UiLanguage() = default;
    // The texts in use, taken under the lock: null for the built-in language.
    std::shared_ptr<const LanguageTexts> Texts() const;

    mutable std::mutex mutex_;
    LangTable table_;
    int current_ = 0;
    std::shared_ptr<const LanguageTexts> texts_;  // null for the built-in language
};

// The text of string-table entry `id` in the current language, or "UNTRANSLATED" when
// that language has no such entry (a language file's missing string is not replaced by
// the English one).
QString LoadStringOrMark(unsigned id);

// A menu item's text (with its '&' mnemonic) in the current language: a command by its
// number, a submenu by its English name. A text the language file lacks stays English.
QString LoadMenuCommandText(unsigned command);
QString LoadSubmenuText(const char* englishName);

// A dialog's fixed text (see res/MenuResource.h for the keys); English when the language
// file lacks it, empty when there is no such text.
QString LoadDialogText(unsigned dialog, const char* key);

// A text without a string number (a workflow step text) in the current language: the
// English wording itself when the language file does not translate it.
QString LoadUiText(const char* english);

// The user's default language id, from the default locale (0x0409 when unknown).
unsigned UserDefaultLanguageId();

// The "Locale" value at the top level of the program's settings, or the user's default
// language id when it is missing.
unsigned ReadLocaleSetting();
void WriteLocaleSetting(unsigned lcid);

// Start-up: the language table from the files next to the executable and the saved
// language applied (whether it could be used is not looked at).
void ApplySavedLanguage();

// The English and Russian commands: SetLanguage(lcid), then "Locale" = the id of the
// language now in use (0 when the requested one was missing or failed to load). Returns
// the value written.
unsigned ChooseLanguage(unsigned lcid);

}  // namespace hv
