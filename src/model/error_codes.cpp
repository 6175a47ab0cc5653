// Stable names of the error numbers, for callers that branch on a name rather than a number.
#include "carvalen/error.hpp"
#include "carvalen/operations.hpp"
#include "db/client.hpp"

namespace carvalen {
namespace {

struct NamedError {
  std::int32_t number;
  std::string_view code;
};

constexpr NamedError kCodes[] = {
    {errnum::kHeaderMissing, "ContractHeaderMissing"},
    {errnum::kLineMissing, "ContractLineMissing"},
    {errnum::kBisMissing, "BisRecordMissing"},
    {errnum::kNoConfigurationStore, "NoConfigurationStore"},
    {errnum::kInvalidProcedureCall, "InvalidProcedureCall"},
    {errnum::kOverflow, "Overflow"},
    {errnum::kOutOfMemory, "OutOfMemory"},
    {errnum::kSubscriptOutOfRange, "SubscriptOutOfRange"},
    {errnum::kTypeMismatch, "TypeMismatch"},
    {errnum::kObjectNotSet, "ObjectNotSet"},
    {errnum::kInvalidUseOfNull, "InvalidUseOfNull"},
    {errnum::kCannotCreateObject, "CannotCreateObject"},
    {errnum::kNotSupported, "NotSupported"},
    {errnum::kWrongArgumentCount, "WrongArgumentCount"},
    {errnum::kDuplicateKey, "DuplicateKey"},
    {db::dberr::kNotFoundInCollection, "FieldNotFound"},
    {db::dberr::kNoCurrentRecord, "NoCurrentRecord"},
    {db::dberr::kObjectClosed, "ObjectClosed"},
    {db::dberr::kObjectOpen, "ObjectOpen"},
    {db::dberr::kProviderNotFound, "ProviderNotFound"},
    {db::dberr::kInvalidArgument, "InvalidArgument"},
    {db::dberr::kNotSupported, "OperationNotSupported"},
    {db::dberr::kPoolTimeout, "PoolTimeout"},
};

}  // namespace

std::string_view ErrorCode(std::int32_t number) {
  for (const NamedError& named : kCodes) {
    if (named.number == number) return named.code;
  }
  return "DatabaseError";
}

std::string_view ShapeName(ResultShape shape) {
  switch (shape) {
    case ResultShape::Scalar:
      return "Scalar";
    case ResultShape::Row:
      return "Row";
    case ResultShape::List:
      return "List";
    case ResultShape::Dictionary:
      return "Dictionary";
    case ResultShape::Named:
      return "Named";
    case ResultShape::Matrix:
      return "Matrix";
    case ResultShape::Recordset:
      break;
  }
  return "Recordset";
}

}  // namespace carvalen
