#include "carvalen/error.hpp"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace carvalen {
namespace {

// 6, 13 and 94 are checked word for word through the tool (cli_test), 5 and 9 in the operation
// tests, 91 in rfq_test.
TEST(Error, RuntimeCarriesClassicText) {
  const struct {
    std::int32_t number;
    const char* text;
  } cases[] = {
      {438, "Object doesn't support this property or method"},
      {450, "Wrong number of arguments or invalid property assignment"},
      {457, "This key is already associated with an element of this collection"},
      {12345, "Application-defined or object-defined error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Error::Runtime(c.number).Info(), (ErrorInfo{c.number, "Carvalen", c.text, "", 0}))
        << c.number;
  }
  // An error raised without source or description gets the library's (kLineMissing: price_test).
  EXPECT_EQ(Error(7, "", "").Info(), (ErrorInfo{7, "Carvalen", kGenericDescription, "", 0}));
}

// A foreign exception, or an error numbered 0, becomes a library error; its message stays out of
// the description.
TEST(Error, CurrentErrorMapsForeignExceptions) {
  const auto caught = [](auto thrown) {
    try {
      throw thrown;
    } catch (...) {
      return CurrentError();
    }
  };
  EXPECT_EQ(caught(std::bad_alloc()).Info(), Error::Runtime(7).Info());
  const Error foreign = caught(std::runtime_error("socket closed"));
  EXPECT_EQ(foreign.Info(), (ErrorInfo{51, "Carvalen", "Internal error", "", 0}));
  EXPECT_EQ(foreign.Diagnostics(), (ErrorDiagnostics{"", "socket closed", ""}));
  // Number 0 is no error to a reporter: it becomes 51, keeping everything else.
  const Error zero =
      caught(Error(ErrorInfo{0, "Host.Store", "store locked", "h.chm", 7}).WithNative("E1"));
  EXPECT_EQ(zero.Info(), (ErrorInfo{51, "Host.Store", "Internal error", "h.chm", 7}));
  EXPECT_EQ(zero.Diagnostics(), (ErrorDiagnostics{"E1", "store locked", ""}));
}

}  // namespace
}  // namespace carvalen
