// The contract line made from a quotation.
#include "carvalen/contract_line.hpp"
#include "frame/operation.hpp"

namespace carvalen {

Variant ContractLine::GetContractLineNumber(std::int32_t i_lQuotationNumber) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetContractLineNumber", [&](const frame::Query& q) {
        Array ids(0, 1);
        std::string quotation = q.Number(i_lQuotationNumber);
        auto rs =
            q.Open(frame::Concat({"SELECT CONTRACTHEADERID,CONTRACTLINEID FROM CONTRACTLINE "
                                  "WHERE QUOTATIONID = ",
                                  quotation}));
        if (rs->Eof()) {
          // No line: two zeros, not Empty and not an error.
          ids.At(0) = Variant(std::int16_t{0});
          ids.At(1) = Variant(std::int16_t{0});
        } else {
          ids.At(0) = rs->Field("CONTRACTHEADERID");
          ids.At(1) = rs->Field("CONTRACTLINEID");
        }
        return Variant(std::move(ids));
      });
}

}  // namespace carvalen
