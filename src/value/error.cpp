// The library's error type: classic runtime error texts and the mapping of foreign exceptions.
#include "carvalen/error.hpp"

#include <new>
#include <utility>

namespace carvalen {

namespace {

// Not among the numbers callers test for, but the classic text of what CurrentError reports for
// an exception that is not ours.
constexpr std::int32_t kInternalError = 51;

}  // namespace

std::string RuntimeErrorText(std::int32_t number) {
  switch (number) {
    case 5:
      return "Invalid procedure call or argument";
    case 6:
      return "Overflow";
    case 7:
      return "Out of memory";
    case 9:
      return "Subscript out of range";
    case 11:
      return "Division by zero";
    case 13:
      return "Type mismatch";
    case kInternalError:
      return "Internal error";
    case 91:
      return "Object variable or With block variable not set";
    case 94:
      return "Invalid use of Null";
    case 429:
      return "ActiveX component can't create object";
    case 438:
      return "Object doesn't support this property or method";
    case 450:
      return "Wrong number of arguments or invalid property assignment";
    case 457:
      return "This key is already associated with an element of this collection";
    default:
      return kGenericDescription;
  }
}

Error::Error(std::int32_t number, std::string description, std::string source)
    : info_{number,
            source.empty() ? std::string(kLibraryName) : std::move(source),
            description.empty() ? std::string(kGenericDescription) : std::move(description),
            {},
            0} {}

Error Error::Runtime(std::int32_t number) { return Error(number, RuntimeErrorText(number)); }

Error Error::Raised(std::int32_t number) { return Error(number, kGenericDescription); }

Error CurrentError() {
  std::exception_ptr current = std::current_exception();
  if (!current) return Error::Runtime(kInternalError);  // called outside a catch block
  try {
    std::rethrow_exception(current);
  } catch (const Error& error) {
    if (error.Number() != 0) return error;
    // Number 0 means "no error" to every reporter, so such an error would vanish: it becomes the
    // classic internal error, its text kept for the log.
    Error numbered(ErrorInfo{kInternalError, error.Source(), RuntimeErrorText(kInternalError),
                             error.Info().HelpFile, error.Info().HelpContext});
    numbered.WithDiagnostics(error.Diagnostics());
    if (numbered.NativeMessage().empty()) numbered.WithMessage(error.Description());
    return numbered;
  } catch (const std::bad_alloc&) {
    return Error::Runtime(7);
  } catch (const std::exception& e) {
    // What a foreign exception says is no classic text: keep it for diagnostics only.
    return Error::Runtime(kInternalError).WithMessage(e.what());
  } catch (...) {
    return Error::Runtime(kInternalError);
  }
}

}  // namespace carvalen
