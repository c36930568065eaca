// Byte-level checks of the client-to-server messages. Expected bytes are written out by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "client/WireFormat.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kGuardLength = 32;
constexpr uint8_t kGuardByte = 0xA5;

// A message buffer as the send path hands it out: zero-filled, with the sequence number (here
// 0x0C0B0A09) already in place. Guard bytes behind it reveal writes past its end.
class MessageBuffer {
public:
  explicit MessageBuffer(size_t size) : size_(size), storage_(size + kGuardLength, 0) {
    std::memset(storage_.data() + size, kGuardByte, kGuardLength);
    storage_[12] = 0x09;
    storage_[13] = 0x0A;
    storage_[14] = 0x0B;
    storage_[15] = 0x0C;
  }
  uint8_t* data() { return storage_.data(); }
  Bytes bytes() const { return Bytes(storage_.begin(), storage_.begin() + size_); }
  bool guardIntact() const {
    for (size_t i = size_; i < storage_.size(); ++i)
      if (storage_[i] != kGuardByte) return false;
    return true;
  }

private:
  size_t size_;
  Bytes storage_;
};

// Expected message bytes: zeros with hand-written pieces put in at hand-written offsets.
class Expected {
public:
  explicit Expected(size_t size) : bytes_(size, 0) {}
  Expected& at(size_t offset, std::initializer_list<uint8_t> piece) {
    std::copy(piece.begin(), piece.end(), bytes_.begin() + offset);
    return *this;
  }
  Expected& text(size_t offset, const std::string& value) {
    std::copy(value.begin(), value.end(), bytes_.begin() + offset);
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

private:
  Bytes bytes_;
};

// Reports the first differing offset, which a plain vector comparison hides in 500 bytes.
::testing::AssertionResult sameBytes(const Bytes& expected, const Bytes& actual) {
  if (expected.size() != actual.size())
    return ::testing::AssertionFailure()
           << "length " << actual.size() << ", expected " << expected.size();
  for (size_t i = 0; i < expected.size(); ++i)
    if (expected[i] != actual[i])
      return ::testing::AssertionFailure() << "offset " << i << ": 0x" << std::hex << int{actual[i]}
                                           << ", expected 0x" << int{expected[i]};
  return ::testing::AssertionSuccess();
}

bool allZero(const Bytes& bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Each message type, byte for byte.

TEST(WireFormatMessages, OpenCarriesNameTagAndInterfaceVersion) {
  MessageBuffer buffer(296);
  EXPECT_EQ(wire::encodeOpen(buffer.data(), "Aerolumen VR"), 0u);
  Expected expected(296);
  expected
      .at(0, {0x28, 0x01, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0xF0, 0x09, 0x0A,
              0x0B, 0x0C})
      .text(16, "Aerolumen VR")
      .at(276, {0x00, 0x44, 0x33, 0x50})
      .at(280, {0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x00, 0x00});
  EXPECT_TRUE(sameBytes(expected.bytes(), buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatMessages, MapClientEventToSimEvent) {
  MessageBuffer buffer(276);
  EXPECT_EQ(wire::encodeMapClientEventToSimEvent(buffer.data(), 0x11223344, "PARKING_BRAKES"), 0u);
  Expected expected(276);
  expected
      .at(0, {0x14, 0x01, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x04, 0x00,
              0x00, 0xF0, 0x09, 0x0A, 0x0B, 0x0C, 0x44, 0x33, 0x22, 0x11})
      .text(20, "PARKING_BRAKES");
  EXPECT_TRUE(sameBytes(expected.bytes(), buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatMessages, TransmitClientEvent) {
  MessageBuffer buffer(36);
  EXPECT_EQ(wire::encodeTransmitClientEvent(buffer.data(), 0x00000001, 0xA1B2C3D4, 0xFFFFFFFF,
                                            0x00010002, 0x80000010),
            0u);
  const Bytes expected = {0x24, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0xF0,
                          0x09, 0x0A, 0x0B, 0x0C, 0x01, 0x00, 0x00, 0x00, 0xD4, 0xC3, 0xB2, 0xA1,
                          0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x01, 0x00, 0x10, 0x00, 0x00, 0x80};
  EXPECT_TRUE(sameBytes(expected, buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatMessages, AddToDataDefinition) {
  MessageBuffer buffer(544);
  EXPECT_EQ(wire::encodeAddToDataDefinition(buffer.data(), 0x0000BEEF, "PLANE ALTITUDE", "feet", 4,
                                            0.25f, 0x76543210),
            0u);
  Expected expected(544);
  expected
      .at(0, {0x20, 0x02, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x0C, 0x00,
              0x00, 0xF0, 0x09, 0x0A, 0x0B, 0x0C, 0xEF, 0xBE, 0x00, 0x00})
      .text(20, "PLANE ALTITUDE")
      .text(276, "feet")
      .at(532, {0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3E, 0x10, 0x32, 0x54, 0x76});
  EXPECT_TRUE(sameBytes(expected.bytes(), buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatMessages, RequestDataOnSimObject) {
  MessageBuffer buffer(48);
  EXPECT_EQ(wire::encodeRequestDataOnSimObject(buffer.data(), 1, 2, 3, 4, 5, 6, 7, 0xFEDCBA98), 0u);
  const Bytes expected = {0x30, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0xF0,
                          0x09, 0x0A, 0x0B, 0x0C, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                          0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
                          0x06, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x98, 0xBA, 0xDC, 0xFE};
  EXPECT_TRUE(sameBytes(expected, buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatMessages, SetDataOnSimObjectWithArray) {
  const Bytes data = {0x10, 0x11, 0x12, 0x13, 0x20, 0x21, 0x22, 0x23, 0x30, 0x31, 0x32, 0x33};
  MessageBuffer buffer(48);
  EXPECT_EQ(wire::encodeSetDataOnSimObject(buffer.data(), 0x0A, 0x0B, 0x01, 3, 4, data.data()), 0u);
  const Bytes expected = {0x30, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0xF0,
                          0x09, 0x0A, 0x0B, 0x0C, 0x0A, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00,
                          0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                          0x10, 0x11, 0x12, 0x13, 0x20, 0x21, 0x22, 0x23, 0x30, 0x31, 0x32, 0x33};
  EXPECT_TRUE(sameBytes(expected, buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatMessages, RequestSystemState) {
  MessageBuffer buffer(276);
  EXPECT_EQ(wire::encodeRequestSystemState(buffer.data(), 0xCAFE0001, "Sim"), 0u);
  Expected expected(276);
  expected
      .at(0, {0x14, 0x01, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x35, 0x00,
              0x00, 0xF0, 0x09, 0x0A, 0x0B, 0x0C, 0x01, 0x00, 0xFE, 0xCA})
      .text(20, "Sim");
  EXPECT_TRUE(sameBytes(expected.bytes(), buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatMessages, WriteSequenceTouchesOnlyItsField) {
  Bytes buffer(20, 0xEE);
  wire::writeSequence(buffer.data(), 0x01020304);
  const Bytes expected = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                          0xEE, 0xEE, 0x04, 0x03, 0x02, 0x01, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(buffer, expected);
}

TEST(WireFormatMessages, HeadersOfMessagesBackToBackAreFound) {
  std::vector<uint8_t> data(16 + 20 + 3, 0);
  data[0] = 16;
  data[8] = 0x05, data[11] = 0xF0, data[12] = 9;
  data[16] = 20;
  data[24] = 0x35, data[27] = 0xF0, data[28] = 10;
  const auto found = wire::messageHeadersIn(data.data(), data.size());
  ASSERT_EQ(found.size(), 2u); // the three bytes behind them are no header
  EXPECT_EQ(found[0].type, 0xF0000005u);
  EXPECT_EQ(found[0].sequence, 9u);
  EXPECT_EQ(found[1].size, 20u);
  EXPECT_STREQ(wire::clientMessageName(found[1].type), "RequestSystemState");
}

// ---------------------------------------------------------------------------------------------
// String fields: every field of every message at the 255/256 boundary and with null.

struct StringField {
  const char* name;
  size_t messageSize;
  size_t offset; // of the 256-byte field
  std::function<uint32_t(uint8_t*, const char*)> encode;
};

void PrintTo(const StringField& field, std::ostream* out) {
  *out << field.name;
}

class WireFormatStringField : public ::testing::TestWithParam<StringField> {};

TEST_P(WireFormatStringField, NameOf255CharactersIsSentWhole) {
  const StringField& field = GetParam();
  const std::string name(255, 'n');
  MessageBuffer buffer(field.messageSize);
  EXPECT_EQ(field.encode(buffer.data(), name.c_str()), 0u);
  const Bytes bytes = buffer.bytes();
  EXPECT_EQ(std::string(bytes.begin() + field.offset, bytes.begin() + field.offset + 255), name);
  EXPECT_EQ(bytes[field.offset + 255], 0);
  EXPECT_TRUE(buffer.guardIntact());
}

TEST_P(WireFormatStringField, NameOf256CharactersFailsKeeping255AndStopsTheBuild) {
  const StringField& field = GetParam();
  for (size_t length : {size_t{256}, size_t{257}, size_t{4000}}) {
    SCOPED_TRACE(length);
    std::string name(length, 'm');
    name[254] = 'z'; // the last character kept
    MessageBuffer buffer(field.messageSize);
    EXPECT_EQ(field.encode(buffer.data(), name.c_str()), 0x8007007Au);
    const Bytes bytes = buffer.bytes();
    EXPECT_EQ(std::string(bytes.begin() + field.offset, bytes.begin() + field.offset + 255),
              name.substr(0, 255));
    EXPECT_EQ(bytes[field.offset + 255], 0);
    // Nothing behind the failed field is written.
    EXPECT_TRUE(allZero(bytes, field.offset + 256, bytes.size()));
    EXPECT_TRUE(buffer.guardIntact());
  }
}

TEST_P(WireFormatStringField, NullNameGivesAnEmptyField) {
  const StringField& field = GetParam();
  MessageBuffer buffer(field.messageSize);
  EXPECT_EQ(field.encode(buffer.data(), nullptr), 0u);
  EXPECT_TRUE(allZero(buffer.bytes(), field.offset, field.offset + 256));
}

INSTANTIATE_TEST_SUITE_P(
    AllFields, WireFormatStringField,
    ::testing::Values(StringField{"OpenApplicationName", 296, 16,
                                  [](uint8_t* b, const char* s) { return wire::encodeOpen(b, s); }},
                      StringField{"MapEventName", 276, 20,
                                  [](uint8_t* b, const char* s) {
                                    return wire::encodeMapClientEventToSimEvent(b, 7, s);
                                  }},
                      StringField{"DatumName", 544, 20,
                                  [](uint8_t* b, const char* s) {
                                    return wire::encodeAddToDataDefinition(b, 1, s, "knots", 4,
                                                                           0.0f, 2);
                                  }},
                      StringField{"UnitsName", 544, 276,
                                  [](uint8_t* b, const char* s) {
                                    return wire::encodeAddToDataDefinition(b, 1, "AIRSPEED", s, 4,
                                                                           0.0f, 2);
                                  }},
                      StringField{"SystemStateName", 276, 20,
                                  [](uint8_t* b, const char* s) {
                                    return wire::encodeRequestSystemState(b, 9, s);
                                  }}),
    [](const ::testing::TestParamInfo<StringField>& info) { return std::string(info.param.name); });

TEST(WireFormatStrings, EightBitCharactersAreCopiedUnchanged) {
  uint8_t field[256];
  std::memset(field, 0xCC, sizeof field);
  EXPECT_EQ(wire::copyStringField(field, "\xC4\x80\xFF"
                                         "a"),
            0u);
  EXPECT_EQ(field[0], 0xC4);
  EXPECT_EQ(field[1], 0x80);
  EXPECT_EQ(field[2], 0xFF);
  EXPECT_EQ(field[3], 'a');
  EXPECT_EQ(field[4], 0x00);
  EXPECT_EQ(field[5], 0xCC); // the buffer arrives zero-filled; nothing behind the terminator
}

TEST(WireFormatStrings, EmptyAndNullWriteOneZeroByte) {
  uint8_t field[256];
  std::memset(field, 0xCC, sizeof field);
  EXPECT_EQ(wire::copyStringField(field, ""), 0u);
  EXPECT_EQ(field[0], 0x00);
  EXPECT_EQ(field[1], 0xCC);
  std::memset(field, 0xCC, sizeof field);
  EXPECT_EQ(wire::copyStringField(field, nullptr), 0u);
  EXPECT_EQ(field[0], 0x00);
  EXPECT_EQ(field[1], 0xCC);
}

TEST(WireFormatStrings, FailedDatumNameLeavesUnitsAndTailUnwritten) {
  const std::string datum(256, 'd');
  MessageBuffer buffer(544);
  EXPECT_EQ(wire::encodeAddToDataDefinition(buffer.data(), 3, datum.c_str(), "feet", 4, 1.0f, 5),
            0x8007007Au);
  const Bytes bytes = buffer.bytes();
  EXPECT_EQ(bytes[274], 'd');
  EXPECT_EQ(bytes[275], 0);
  EXPECT_TRUE(allZero(bytes, 276, 544)); // units, datum type, epsilon and datum id
}

TEST(WireFormatStrings, FailedUnitsNameKeepsTheDatumName) {
  const std::string units(300, 'u');
  MessageBuffer buffer(544);
  EXPECT_EQ(wire::encodeAddToDataDefinition(buffer.data(), 3, "FUEL", units.c_str(), 4, 1.0f, 5),
            0x8007007Au);
  const Bytes bytes = buffer.bytes();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[20])), "FUEL");
  EXPECT_EQ(bytes[276 + 254], 'u');
  EXPECT_EQ(bytes[276 + 255], 0);
  EXPECT_TRUE(allZero(bytes, 532, 544));
}

// ---------------------------------------------------------------------------------------------
// The epsilon goes out bit for bit.

TEST(WireFormatEpsilon, FloatBitsAreCopiedUnchanged) {
  struct Case {
    uint32_t bits;
    Bytes wire;
  };
  const Case cases[] = {
      {0x3F000000, {0x00, 0x00, 0x00, 0x3F}}, // 0.5
      {0x80000000, {0x00, 0x00, 0x00, 0x80}}, // -0.0
      {0x7FC12345, {0x45, 0x23, 0xC1, 0x7F}}, // quiet NaN with a payload
      {0xFFA00001, {0x01, 0x00, 0xA0, 0xFF}}, // negative signalling NaN
      {0x00000001, {0x01, 0x00, 0x00, 0x00}}, // smallest subnormal
      {0xFF800000, {0x00, 0x00, 0x80, 0xFF}}, // -infinity
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    float epsilon;
    std::memcpy(&epsilon, &c.bits, sizeof epsilon);
    MessageBuffer buffer(544);
    ASSERT_EQ(wire::encodeAddToDataDefinition(buffer.data(), 0, "A", "B", 0, epsilon, 0), 0u);
    const Bytes bytes = buffer.bytes();
    EXPECT_EQ(Bytes(bytes.begin() + 536, bytes.begin() + 540), c.wire);
  }
}

// ---------------------------------------------------------------------------------------------
// SetDataOnSimObject: element count, data length and the 32-bit size limit.

TEST(WireFormatSetData, ArrayCountZeroSendsOneElement) {
  const Bytes data = {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7}; // exactly one unit
  uint32_t total = 0;
  ASSERT_TRUE(wire::setDataMessageSize(0, 8, total));
  EXPECT_EQ(total, 44u);
  MessageBuffer buffer(44);
  EXPECT_EQ(wire::encodeSetDataOnSimObject(buffer.data(), 1, 2, 0, 0, 8, data.data()), 0u);
  const Bytes expected = {0x2C, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                          0xF0, 0x09, 0x0A, 0x0B, 0x0C, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x08,
                          0x00, 0x00, 0x00, 0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7};
  EXPECT_TRUE(sameBytes(expected, buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatSetData, UnitSizeZeroGivesA36ByteMessageWithoutReadingData) {
  uint32_t total = 0;
  ASSERT_TRUE(wire::setDataMessageSize(5, 0, total));
  EXPECT_EQ(total, 36u);
  MessageBuffer buffer(36);
  // No data may be read: a null pointer would crash otherwise.
  EXPECT_EQ(wire::encodeSetDataOnSimObject(buffer.data(), 1, 2, 3, 5, 0, nullptr), 0u);
  const Bytes expected = {0x24, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0xF0,
                          0x09, 0x0A, 0x0B, 0x0C, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                          0x03, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_TRUE(sameBytes(expected, buffer.bytes()));
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatSetData, ReadsExactlyCountTimesUnitBytes) {
  // The data sits at the very end of its own heap block, so a longer read is caught by the
  // address sanitizer; the guard bytes catch a longer write.
  const uint32_t count = 7;
  const uint32_t unit = 3;
  std::vector<uint8_t> data(count * unit);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(0x40 + i);
  MessageBuffer buffer(36 + 21);
  EXPECT_EQ(wire::encodeSetDataOnSimObject(buffer.data(), 0, 0, 0, count, unit, data.data()), 0u);
  const Bytes bytes = buffer.bytes();
  EXPECT_EQ((Bytes{bytes[0], bytes[1], bytes[2], bytes[3]}), (Bytes{0x39, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(bytes.begin() + 36, bytes.end()), data);
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(WireFormatSetData, SizesThatDoNotFit32BitsAreRefused) {
  struct Case {
    uint32_t arrayCount;
    uint32_t unitSize;
    bool fits;
    uint32_t total;
  };
  const Case cases[] = {
      {0, 0, true, 36},
      {1, 0xFFFFFFDB, true, 0xFFFFFFFF},  // the largest message
      {0, 0xFFFFFFDB, true, 0xFFFFFFFF},  // array count 0 counts as 1
      {1, 0xFFFFFFDC, false, 0},          // one byte more
      {0x10000, 0x10000, false, 0},       // 2^32 + 36 would wrap to 36
      {0xFFFFFFFF, 0xFFFFFFFF, false, 0}, // the product itself overflows 32 bits
      {0xFFFFFFFF, 1, false, 0},
      {0x3FFFFFF6, 4, true, 0xFFFFFFFC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.arrayCount << " x " << c.unitSize);
    uint32_t total = 0x12345678;
    EXPECT_EQ(wire::setDataMessageSize(c.arrayCount, c.unitSize, total), c.fits);
    if (c.fits) {
      EXPECT_EQ(total, c.total);
    }
  }
}

TEST(WireFormatSetData, EncoderRefusesAnOversizedMessageWithoutWriting) {
  MessageBuffer buffer(36);
  EXPECT_NE(wire::encodeSetDataOnSimObject(buffer.data(), 1, 2, 3, 0x10000, 0x10000, nullptr), 0u);
  const Bytes bytes = buffer.bytes();
  EXPECT_TRUE(allZero(bytes, 0, 12));
  EXPECT_TRUE(allZero(bytes, 16, 36));
  EXPECT_TRUE(buffer.guardIntact());
}

} // namespace
