#pragma once
// A small element tree for the referee console's XML messages, with the lookups and
// value readers the message handlers use. GUI thread only; one document per message.

#include <QString>
#include <QStringView>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/ResultCodes.h"

namespace hv {

struct XmlAttribute {
    QString Name;   // local name (any prefix dropped)
    QString Value;  // as delivered (entities resolved), with every ">" kept as "&gt;"
};

class XmlElement {
public:
    XmlElement() = default;
    // Tears the subtree down without recursion, so that a deeply nested message cannot
    // exhaust the stack.
    ~XmlElement();
    XmlElement(const XmlElement&) = delete;
    XmlElement& operator=(const XmlElement&) = delete;

    QString Name;  // local name; empty for the document
    QString Text;  // the text nodes directly inside, appended
    XmlElement* Parent = nullptr;
    std::vector<XmlAttribute> Attributes;
    std::vector<std::unique_ptr<XmlElement>> Children;

protected:
    void Reset();
};

// The document stands for the "<root>" wrapper put around every message: the message's
// own top-level elements are its children.
class XmlDocument : public XmlElement {
public:
    // Result of a load that met an end tag it could not pair, or a node after the end
    // of the wrapper.
    static constexpr HResult kStructureError = 1;

    // Replaces the content by the tree parsed from `text`. byteLength is the message's
    // length in bytes (two per UTF-16 unit); it is bounded by the text's own length, and
    // an odd last byte is dropped. True when the result is 0. A syntax error inside the
    // message ends the reading: the tree built so far stays and the load succeeds.
    bool Load(const QString& text, qsizetype byteLength);
    bool Load(const QString& text) { return Load(text, text.size() * 2); }

    HResult LoadResult() const { return loadResult_; }

    // Lookups: the first child / attribute whose name equals `name` exactly. A missing
    // element gives nothing.
    static const XmlElement* FindChild(const XmlElement* element, QStringView name);
    static const XmlAttribute* FindAttribute(const XmlElement* element, QStringView name);

    // The value with every "&gt;" turned back into ">"; empty when the element or the
    // attribute is missing.
    static QString GetAttributeText(const XmlElement* element, QStringView name);
    // The decimal digits of the value, others skipped (so "-3" gives 3 and "1,500"
    // gives 1500), in wrapping 32-bit arithmetic. False, and `out` untouched, when the
    // element or the attribute is missing.
    static bool GetAttributeInt(const XmlElement* element, QStringView name, std::int32_t& out);
    // Two numbers separated by ":" ("12:05" gives 12 and 5); a "." ends the value and
    // any other character is skipped. False, and `out` untouched, when missing.
    static bool GetAttributeClock(const XmlElement* element, QStringView name,
                                  std::pair<std::int32_t, std::int32_t>& out);

    // The hexadecimal digits of `text`, others skipped ("0x1f" and "1 F" give 31),
    // in wrapping 32-bit arithmetic; an empty text gives 0.
    static std::int32_t HexToInt(QStringView text);
    // Replaces every occurrence of `find` from left to right; an inserted replacement is
    // not searched again. Nothing happens when text or find is empty.
    static void ReplaceAll(QString& text, QStringView find, QStringView replacement);

private:
    HResult loadResult_ = S_OK;
};

}  // namespace hv
