#include "game/XmlDocument.h"

#include <QXmlStreamReader>
#include <algorithm>

#include "platform/HexDigit.h"

namespace hv {

namespace {

// Frees a subtree one element at a time: no recursion however deep the tree is.
void DestroyChildren(std::vector<std::unique_ptr<XmlElement>>& children) {
    std::vector<std::unique_ptr<XmlElement>> pending = std::move(children);
    children.clear();
    while (!pending.empty()) {
        std::unique_ptr<XmlElement> element = std::move(pending.back());
        pending.pop_back();
        for (auto& child : element->Children) pending.push_back(std::move(child));
        element->Children.clear();
    }
}

constexpr bool IsDecimalDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The message as the reader takes it: its first `byteLength` bytes (whole UTF-16 units,
// within the text) inside a "<root>" wrapper.
QString WrappedMessage(const QString& text, qsizetype byteLength) {
    const qsizetype units = std::clamp<qsizetype>(byteLength, 0, text.size() * 2) / 2;
    QString wrapped;
    wrapped.reserve(units + 13);
    wrapped += u"<root>";
    wrapped += QStringView(text).left(units);
    wrapped += u"</root>";
    return wrapped;
}

// An attribute as the tree keeps it: every ">" of its value kept as "&gt;".
void AddAttribute(XmlElement& element, QString name, QString value) {
    XmlAttribute attribute;
    attribute.Name = std::move(name);
    attribute.Value = std::move(value);
    XmlDocument::ReplaceAll(attribute.Value, u">", u"&gt;");
    element.Attributes.push_back(std::move(attribute));
}

// The element the reader stands on (a start tag), with its attributes, below `parent`.
// Namespace declarations are attributes of the element too ("xmlns" for the default
// namespace, the prefix otherwise), before the others.
std::unique_ptr<XmlElement> StartedElement(const QXmlStreamReader& reader, XmlElement* parent) {
    auto element = std::make_unique<XmlElement>();
    element->Name = reader.name().toString();
    element->Parent = parent;
    for (const QXmlStreamNamespaceDeclaration& ns : reader.namespaceDeclarations())
        AddAttribute(*element, ns.prefix().isEmpty() ? QStringLiteral("xmlns") : ns.prefix().toString(),
                     ns.namespaceUri().toString());
    for (const QXmlStreamAttribute& a : reader.attributes())
        AddAttribute(*element, a.name().toString(), a.value().toString());
    return element;
}

}  // namespace

XmlElement::~XmlElement() { DestroyChildren(Children); }

void XmlElement::Reset() {
    Name.clear();
    Text.clear();
    Attributes.clear();
    DestroyChildren(Children);
}

bool XmlDocument::Load(const QString& text, qsizetype byteLength) {
    Reset();
    // Reading from a string fixes the encoding: a declaration inside the message cannot
    // change it (and is an error there anyway).
    const QString wrapped = WrappedMessage(text, byteLength);
    QXmlStreamReader reader(wrapped);

    XmlElement* current = this;
    bool wrapperPending = true;
    HResult result = S_OK;
    bool reading = true;
    while (reading) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        // The end of the input, or a syntax error: keep what was built.
        if (token == QXmlStreamReader::Invalid || token == QXmlStreamReader::EndDocument) break;
        if (current == nullptr) {  // a node after the wrapper's end
            result = kStructureError;
            break;
        }
        switch (token) {
        case QXmlStreamReader::StartElement:
            if (wrapperPending) {  // the wrapper is the document itself
                wrapperPending = false;
                break;
            }
            current->Children.push_back(StartedElement(reader, current));
            current = current->Children.back().get();  // a self-closing element is closed by its own end token
            break;
        case QXmlStreamReader::Characters:
            // Whitespace between elements and CDATA sections are not element text.
            if (!wrapperPending && !reader.isWhitespace() && !reader.isCDATA()) current->Text += reader.text();
            break;
        case QXmlStreamReader::EndElement:
            if (current->Parent == nullptr) {
                current = nullptr;  // the wrapper's end
            } else if (reader.name() == current->Name) {
                current = current->Parent;
            } else {
                result = kStructureError;
                reading = false;
            }
            break;
        case QXmlStreamReader::DTD:
            // A document type declaration inside the message is a syntax error at that
            // point: the tree ends here. (Its entities are never expanded.)
            reading = false;
            break;
        default:  // comments, processing instructions, entity references, the start
            break;
        }
    }

    loadResult_ = result;
    return result == S_OK;
}

const XmlElement* XmlDocument::FindChild(const XmlElement* element, QStringView name) {
    if (element == nullptr) return nullptr;
    for (const auto& child : element->Children)
        if (child->Name == name) return child.get();
    return nullptr;
}

const XmlAttribute* XmlDocument::FindAttribute(const XmlElement* element, QStringView name) {
    if (element == nullptr) return nullptr;
    for (const XmlAttribute& attribute : element->Attributes)
        if (attribute.Name == name) return &attribute;
    return nullptr;
}

QString XmlDocument::GetAttributeText(const XmlElement* element, QStringView name) {
    const XmlAttribute* attribute = FindAttribute(element, name);
    if (attribute == nullptr) return {};
    QString text = attribute->Value;
    ReplaceAll(text, u"&gt;", u">");
    return text;
}

bool XmlDocument::GetAttributeInt(const XmlElement* element, QStringView name, std::int32_t& out) {
    const XmlAttribute* attribute = FindAttribute(element, name);
    if (attribute == nullptr) return false;
    std::uint32_t value = 0;  // unsigned: wraps without overflow
    for (const QChar c : attribute->Value) {
        const char16_t u = c.unicode();
        if (IsDecimalDigit(u)) value = value * 10u + static_cast<std::uint32_t>(u - u'0');
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

bool XmlDocument::GetAttributeClock(const XmlElement* element, QStringView name,
                                    std::pair<std::int32_t, std::int32_t>& out) {
    const XmlAttribute* attribute = FindAttribute(element, name);
    if (attribute == nullptr) return false;
    std::uint32_t parts[2] = {0, 0};
    int index = 0;
    for (const QChar c : attribute->Value) {
        const char16_t u = c.unicode();
        if (u == u':') {
            index = 1;
        } else if (u == u'.') {
            break;
        } else if (IsDecimalDigit(u)) {
            parts[index] = parts[index] * 10u + static_cast<std::uint32_t>(u - u'0');
        }
    }
    out = {static_cast<std::int32_t>(parts[0]), static_cast<std::int32_t>(parts[1])};
    return true;
}

std::int32_t XmlDocument::HexToInt(QStringView text) {
    std::uint32_t weight = 1;
    std::uint32_t sum = 0;
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        const char16_t u = text[i].unicode();
        const int digit = HexDigitValue(u);
        if (digit < 0) continue;
        sum += static_cast<std::uint32_t>(digit) * weight;
        weight *= 16u;
    }
    return static_cast<std::int32_t>(sum);
}

void XmlDocument::ReplaceAll(QString& text, QStringView find, QStringView replacement) {
    if (text.isEmpty() || find.isEmpty()) return;
    qsizetype position = text.indexOf(find);
    if (position < 0) return;
    // Built into a new string: one pass, however many occurrences.
    QString result;
    result.reserve(text.size());
    qsizetype from = 0;
    while (position >= 0) {
        result += QStringView(text).mid(from, position - from);
        result += replacement;
        from = position + find.size();
        position = text.indexOf(find, from);
    }
    result += QStringView(text).mid(from);
    text = std::move(result);
}

}  // namespace hv
