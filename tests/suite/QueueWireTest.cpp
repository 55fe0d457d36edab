// The wire frame: what the parser makes of byte streams, whole, cut and damaged.
#include <gtest/gtest.h>

#include "QueueWire.h"

namespace zandrel {
namespace {

WireMessage Sample() {
    WireMessage m;
    m.sequence = 42;
    m.reserved1 = -1;
    m.reserved2 = 7;
    m.senderHost = QStringLiteral("replay-pc");
    m.senderQueue = QStringLiteral("Halvane");
    m.targetHost = QStringLiteral("localhost");
    m.targetQueue = QStringLiteral("Kestrilo");
    m.firstText = QStringLiteral("EventCountДрака");
    m.secondText = QString();
    return m;
}

QByteArray Encoded(const WireMessage& m) {
    QByteArray bytes;
    EXPECT_TRUE(EncodeMessage(m, bytes));
    return bytes;
}

ParseResult Parse(const QByteArray& bytes, Frame& frame) {
    return ParseFrame(bytes.constData(), static_cast<std::size_t>(bytes.size()), frame);
}

QByteArray Header(char version, char kind, std::uint32_t payloadBytes) {
    QByteArray h("ZQ");
    h.append(version);
    h.append(kind);
    for (int i = 0; i < 4; ++i) h.append(static_cast<char>((payloadBytes >> (8 * i)) & 0xFF));
    return h;
}

QByteArray U32(std::uint32_t v) {
    QByteArray b;
    for (int i = 0; i < 4; ++i) b.append(static_cast<char>((v >> (8 * i)) & 0xFF));
    return b;
}

TEST(QueueWire, MessageSurvivesTheRoundTrip) {
    const WireMessage m = Sample();
    const QByteArray bytes = Encoded(m);
    Frame frame;
    const ParseResult r = Parse(bytes, frame);
    ASSERT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.consumedBytes, static_cast<std::size_t>(bytes.size()));
    ASSERT_EQ(frame.kind, FrameKind::Message);
    EXPECT_EQ(frame.message.sequence, 42);
    EXPECT_EQ(frame.message.reserved1, -1);
    EXPECT_EQ(frame.message.reserved2, 7);
    EXPECT_EQ(frame.message.senderHost, m.senderHost);
    EXPECT_EQ(frame.message.senderQueue, m.senderQueue);
    EXPECT_EQ(frame.message.targetHost, m.targetHost);
    EXPECT_EQ(frame.message.targetQueue, m.targetQueue);
    EXPECT_EQ(frame.message.firstText, m.firstText);
    EXPECT_TRUE(frame.message.secondText.isEmpty());
}

TEST(QueueWire, APresenceQuestionSurvivesTheRoundTripAsItsOwnKind) {
    const WireMessage m = Sample();
    QByteArray bytes;
    ASSERT_TRUE(EncodeMessage(m, bytes, FrameKind::Probe));
    EXPECT_EQ(bytes[3], '\x03');
    Frame frame;
    ASSERT_EQ(Parse(bytes, frame).status, ParseStatus::Complete);
    EXPECT_EQ(frame.kind, FrameKind::Probe);
    EXPECT_EQ(frame.message.targetQueue, m.targetQueue);
    EXPECT_EQ(frame.message.firstText, m.firstText);
}

TEST(QueueWire, AcknowledgementSurvivesTheRoundTrip) {
    Frame frame;
    const QByteArray bytes = EncodeAck({static_cast<std::int32_t>(0x8007006F), 111, 0});
    ASSERT_EQ(Parse(bytes, frame).status, ParseStatus::Complete);
    ASSERT_EQ(frame.kind, FrameKind::Ack);
    EXPECT_EQ(frame.ack.res, static_cast<std::int32_t>(0x8007006F));
    EXPECT_EQ(frame.ack.result, 111);
    EXPECT_EQ(frame.ack.status, 0);
}

TEST(QueueWire, EveryCutOfAFrameAsksForMore) {
    const QByteArray bytes = Encoded(Sample());
    for (qsizetype size = 0; size < bytes.size(); ++size) {
        Frame frame;
        const ParseResult r = ParseFrame(bytes.constData(), static_cast<std::size_t>(size), frame);
        EXPECT_EQ(r.status, ParseStatus::NeedMore) << "at " << size;
        EXPECT_EQ(r.consumedBytes, 0u);
    }
}

TEST(QueueWire, FramesBackToBackAreTakenOneAtATime) {
    WireMessage second = Sample();
    second.sequence = 43;
    const QByteArray first = Encoded(Sample());
    const QByteArray both = first + Encoded(second) + QByteArray("ZQ");
    Frame frame;
    ParseResult r = Parse(both, frame);
    ASSERT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.consumedBytes, static_cast<std::size_t>(first.size()));
    r = Parse(both.mid(static_cast<qsizetype>(r.consumedBytes)), frame);
    ASSERT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(frame.message.sequence, 43);
    EXPECT_EQ(Parse(QByteArray("ZQ"), frame).status, ParseStatus::NeedMore);
}

TEST(QueueWire, DamagedStreamsAreRefused) {
    const QByteArray valid = Encoded(Sample());
    // A message payload of three numbers and six empty texts, then damaged variants.
    const QByteArray fixed = U32(1) + U32(0) + U32(0);
    QByteArray emptyTexts;
    for (int i = 0; i < 6; ++i) emptyTexts += U32(0);
    const QByteArray minimal = fixed + emptyTexts;

    struct Case {
        const char* name;
        QByteArray bytes;
        ParseStatus expected;
    };
    const Case cases[] = {
        {"minimal message", Header(1, 1, static_cast<std::uint32_t>(minimal.size())) + minimal,
         ParseStatus::Complete},
        {"wrong first byte", QByteArray("X"), ParseStatus::Malformed},
        {"wrong second byte", QByteArray("ZX"), ParseStatus::Malformed},
        {"text line instead of a frame", QByteArray("GET / HTTP/1.0\r\n\r\n"), ParseStatus::Malformed},
        {"future version", Header(2, 1, 0), ParseStatus::Malformed},
        {"unknown kind", Header(1, 9, 0), ParseStatus::Malformed},
        {"kind zero", QByteArray("ZQ\x01\x00", 4), ParseStatus::Malformed},
        {"too large, header only", Header(1, 1, 256 * 1024 + 1), ParseStatus::TooLarge},
        {"largest size, header only", Header(1, 1, 256 * 1024), ParseStatus::NeedMore},
        {"size field all ones", Header(1, 1, 0xFFFFFFFFu), ParseStatus::TooLarge},
        {"empty message payload", Header(1, 1, 0), ParseStatus::Malformed},
        {"short message payload", Header(1, 1, 8) + U32(1) + U32(2), ParseStatus::Malformed},
        {"texts missing", Header(1, 1, 12) + fixed, ParseStatus::Malformed},
        {"odd text length",
         Header(1, 1, static_cast<std::uint32_t>(fixed.size() + 4 + 1)) + fixed + U32(1) + QByteArray("a"),
         ParseStatus::Malformed},
        {"text longer than the payload",
         Header(1, 1, static_cast<std::uint32_t>(fixed.size() + 4)) + fixed + U32(0x7FFFFFFE),
         ParseStatus::Malformed},
        {"trailing bytes in the payload",
         Header(1, 1, static_cast<std::uint32_t>(minimal.size() + 2)) + minimal + QByteArray("xx"),
         ParseStatus::Malformed},
        {"acknowledgement too short", Header(1, 2, 8) + U32(0) + U32(0), ParseStatus::Malformed},
        {"acknowledgement too long", Header(1, 2, 16) + U32(0) + U32(0) + U32(1) + U32(0),
         ParseStatus::Malformed},
        {"valid frame", valid, ParseStatus::Complete},
    };
    for (const Case& c : cases) {
        Frame frame;
        const ParseResult r = Parse(c.bytes, frame);
        EXPECT_EQ(r.status, c.expected) << c.name;
        if (r.status != ParseStatus::Complete) {
            EXPECT_EQ(r.consumedBytes, 0u) << c.name;
        }
        if (r.status == ParseStatus::Malformed || r.status == ParseStatus::TooLarge) {
            EXPECT_STRNE(r.error, "") << c.name;
        }
    }
}

TEST(QueueWire, OversizedMessagesAreNotEncoded) {
    WireMessage m = Sample();
    m.secondText = QString(static_cast<qsizetype>(kMaxPayloadBytes / 2), u'x');
    QByteArray bytes("left over");
    EXPECT_FALSE(EncodeMessage(m, bytes));
    EXPECT_TRUE(bytes.isEmpty());

    // The largest message that fits is taken whole by the parser.
    m.secondText.clear();
    QByteArray base;
    ASSERT_TRUE(EncodeMessage(m, base));
    const std::size_t room = kMaxPayloadBytes - (static_cast<std::size_t>(base.size()) - kFrameHeaderBytes);
    m.secondText = QString(static_cast<qsizetype>(room / 2), u'y');
    ASSERT_TRUE(EncodeMessage(m, bytes));
    Frame frame;
    ASSERT_EQ(Parse(bytes, frame).status, ParseStatus::Complete);
    EXPECT_EQ(frame.message.secondText.size(), static_cast<qsizetype>(room / 2));
}

}  // namespace
}  // namespace zandrel
