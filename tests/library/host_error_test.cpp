#include "library/host_error.h"

#include <gtest/gtest.h>

#include <string>

#include "comport/serial_errors.h"
#include "vexcard/exception.h"

namespace vexcard::library {
namespace {

template <class E>
HostError describe(const E& error, const std::uint8_t* status = nullptr) {
  try {
    throw error;
  } catch (...) {
    return describeCurrentError(status);
  }
}

TEST(HostError, ClassKindStatusAndMessageOfEachFamily) {
  const std::uint8_t record[4] = {0x2A, 0, 0, 0};
  HostError e = describe(Exception("Это не БОНУС-карта"), record);
  EXPECT_EQ(e.errorClass, HostErrorClass::kGeneral);
  EXPECT_EQ(e.serialKind, SerialErrorKind::kNotSerial);
  EXPECT_EQ(e.status, 0x2Au);
  EXPECT_EQ(std::string(e.message, e.length), "Это не БОНУС-карта");
  EXPECT_EQ(e.lineFault, LineFault::kNone);
  Exception dead("Ошибка обмена с ридером");
  dead.setLineFault(LineFault::kNoAnswer);
  EXPECT_EQ(describe(dead).lineFault, LineFault::kNoAnswer);

  e = describe(comport::EPortNotOpen("Port COM0 not open"));
  EXPECT_EQ(e.errorClass, HostErrorClass::kSerial);
  EXPECT_EQ(e.serialKind, SerialErrorKind::kPortNotOpen);
  EXPECT_EQ(e.status, 0xFFu);  // no result record
  EXPECT_EQ(describe(comport::EOpenPortFail("x", "why")).serialKind,
            SerialErrorKind::kOpenPortFail);
  EXPECT_EQ(describe(comport::ESerialIO("x")).serialKind, SerialErrorKind::kSerialIO);
  EXPECT_EQ(describe(EAbstractError("Abstract Error")).errorClass, HostErrorClass::kAbstract);
  EXPECT_EQ(describe(EConvertError("x")).errorClass, HostErrorClass::kConversion);
  EXPECT_EQ(std::string(describe(std::bad_alloc()).message), "Out of memory");
}

TEST(HostError, LongMessageIsCutToTheThreadsBuffer) {
  const HostError e = describe(Exception(std::string(1000, 'x')));
  EXPECT_EQ(e.length, kHostMessageCapacity - 1);
  EXPECT_EQ(e.message[e.length], '\0');
}

}  // namespace
}  // namespace vexcard::library
