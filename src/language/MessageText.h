#pragma once
// Message texts with fields, filled safely. The texts come from the string table and so
// from language files that anyone may edit: a text is never handed to printf. Each "%s"
// or "%d" takes the next value, already typed by the caller; "%%" is a percent sign; any
// other '%' and anything past the values stays as written, so a text with too many, too
// few or foreign fields can neither read past the values nor change the output's form.

#include <QString>
#include <initializer_list>
#include <type_traits>

namespace hv {

// One value for a field: a text, or a whole number shown in decimal.
class MessageValue {
public:
    MessageValue(const QString& text) : text_(text) {}  // NOLINT(google-explicit-constructor)
    MessageValue(const char* utf8) : text_(QString::fromUtf8(utf8)) {}  // NOLINT
    template <typename Number, typename = std::enable_if_t<std::is_integral_v<Number>>>
    MessageValue(Number number) : text_(QString::number(number)) {}  // NOLINT
    const QString& Text() const { return text_; }

private:
    QString text_;
};

QString FillMessage(const QString& format, std::initializer_list<MessageValue> values);

}  // namespace hv
