#include "carvalen/error.hpp"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace carvalen {
namespace {

// 6, 13 and 94 are checked word for word through the tool (cli_test).
TEST(Error, RuntimeCarriesClassicText) {
  const struct {
    std::int32_t number;
    const char* text;
  } cases[] = {
      {5, "Invalid procedure call or argument"},
      {9, "Subscript out of range"},
      {91, "Object variable or With block variable not set"},
      {438, "Object doesn't support this property or method"},
      {450, "Wrong number of arguments or invalid property assignment"},
      {457, "This key is already associated with an element of this collection"},
      {12345, "Application-defined or object-defined error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Error::Runtime(c.number).Info(), (ErrorInfo{c.number, "Carvalen", c.text, "", 0}))
        << c.number;
  }
  // An error raised without source or description gets the library's.
  EXPECT_EQ(Error::Raised(errnum::kLineMissing).Info(),
            (ErrorInfo{errnum::kLineMissing, "Carvalen", kGenericDescription, "", 0}));
  EXPECT_EQ(Error(7, "", "").Info(), (ErrorInfo{7, "Carvalen", kGenericDescription, "", 0}));
}

template <class E>
Error Caught(E thrown) {
  try {
    throw thrown;
  } catch (...) {
    return CurrentError();
  }
}

TEST(Error, CurrentErrorMapsForeignExceptions) {
  const Error own = Caught(Error::Runtime(13).WithNative("X1", "SELECT 1"));
  EXPECT_EQ(own.Number(), 13);
  EXPECT_EQ(own.NativeCode(), "X1");
  EXPECT_EQ(Caught(std::bad_alloc()).Info(), Error::Runtime(7).Info());
  // A foreign message stays out of the description.
  const Error foreign = Caught(std::runtime_error("socket closed"));
  EXPECT_EQ(foreign.Info(), (ErrorInfo{51, "Carvalen", "Internal error", "", 0}));
  EXPECT_EQ(foreign.NativeCode(), "socket closed");
  EXPECT_EQ(Caught(42).Info(), Error::Runtime(51).Info());
}

}  // namespace
}  // namespace carvalen
