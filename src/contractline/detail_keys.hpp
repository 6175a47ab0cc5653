// The keys of a contract line's detail dictionary, shared by the operation that fills it and the
// operations' description that names them.
#pragma once

#include <array>
#include <string_view>

namespace carvalen::contractline {

// The keys callers know, in the order they expect them; the table's own column order may differ,
// and CONTRACTLINEID is left out although the query selects it.
inline constexpr std::array<std::string_view, 45> kDetailKeys = {
    "QUOTATIONID",
    "RFQID",
    "PRODUCTID",
    "CURRENCYCODE",
    "BUYERID",
    "SUPPLIERID",
    "CONTRACTSTATUS",
    "ORIGIN",
    "QUANTITY",
    "PRICE",
    "DISCOUNTPERCENTAGE",
    "DISCOUNTAMOUNT",
    "EFFECTIVEDATETIME",
    "EXPIRYDATETIME",
    "CONTRACTHEADERID",
    "REMARK",
    "CREATIONDATE",
    "DELIVERYBEGINDATE",
    "DELIVERYENDDATE",
    "ORDERINTERVAL",
    "HANDLINGCHARGE",
    "FREIGHTCHARGE",
    "TAXPERCENTAGE",
    "UNITCODE",
    "INCLUDEPRICEBREAKUP",
    "INCLUDEDISCOUNTBREAKUP",
    "RFQGENERATED",
    "CALLEDQUANTITY",
    "INVOICEDQUANTITY",
    "CALLEDVALUE",
    "INVOICEDVALUE",
    "PRODUCTPARTNUMBER",
    "PRODUCTDESCRIPTION",
    "CONTRACTDESCRIPTION",
    "INCLUDECONTRACTLINEBIS",
    "MINQTYBREAKUP",
    "SUPPLIERAPPROVAL",
    "LANDEDCOST",
    "PAYMENTTERM",
    "PAYMENTMETHOD",
    "PACKAGINGTERM",
    "SHIPPINGMETHOD",
    "SHIPPINGSERVICELEVEL",
    "WARRANTYTERM",
    "PENALTYTERM",
};

}  // namespace carvalen::contractline
