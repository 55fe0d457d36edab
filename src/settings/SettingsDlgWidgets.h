#pragma once
// The settings dialog's own kinds of control, and how its controls are named and labelled.
// For the dialog's files only.

#include <QByteArray>
#include <QLineEdit>
#include <QListWidgetItem>
#include <QLocale>
#include <QSpinBox>
#include <QString>

#include "language/Language.h"
#include "res/MenuResource.h"
#include "settings/SettingsRules.h"

namespace hv::settingsdlg {

// A text of the dialog's template, by its key.
inline QString DialogText(const char* key) { return LoadDialogText(kSettingsDialogId, key); }
// The text of the control with template id `id`.
inline QString DialogText(int id) { return DialogText(QByteArray::number(id).constData()); }

// Controls keep the template's ids as their object names.
inline QString ObjectName(int id) { return QString::number(id); }

// An edit with its spin control: digits only, right-aligned, at most `rule.Chars`
// characters, positions within `rule.Range` (a value outside it is shown as the nearest end).
class SpinEdit final : public QSpinBox {
public:
    SpinEdit(QWidget* parent, int id, NumberEditRule rule) : QSpinBox(parent) {
        setObjectName(ObjectName(id));
        // The edit takes the digits 0 to 9 only, so it shows them too, whatever the user's
        // locale would write (other digits, group separators).
        setLocale(QLocale::c());
        setRange(rule.Range.Min, rule.Range.Max);
        setAlignment(Qt::AlignRight);
        setButtonSymbols(QAbstractSpinBox::UpDownArrows);
        lineEdit()->setMaxLength(rule.Chars);
    }

protected:
    // Digits only: no sign, no other digits than 0 to 9.
    QValidator::State validate(QString& text, int& pos) const override {
        for (QChar c : text)
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return QValidator::Invalid;
        return QSpinBox::validate(text, pos);
    }
};

// A folder of the From list, kept in the list's order (FolderSortsBefore).
class FolderItem final : public QListWidgetItem {
public:
    explicit FolderItem(const QString& folder) : QListWidgetItem(folder) {}
    bool operator<(const QListWidgetItem& other) const override {
        return FolderSortsBefore(text(), other.text());
    }
};

}  // namespace hv::settingsdlg
