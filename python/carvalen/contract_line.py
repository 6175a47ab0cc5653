"""The operations of Carvalen.ContractLine, one function each, with plain Python values.

Written by scripts/python-api.py from the operation description; do not edit.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import date as _date
from typing import Any, Dict, List, Mapping, Optional, Sequence, TypedDict, Union

from ._plain import MISSING, MissingType, Value, invoke as _invoke

__all__ = [
    "GetContractLineDetailFields",
    "GetContractLineNumberRow",
    "GetPriceBreakupRow",
    "GetDiscountBreakUpRow",
    "GetEffectivePriceFields",
    "GetContractLineAttachmentRow",
    "GetContractUserDataRow",
    "GetContractBISRow",
    "GetPriceBreakupResult",
    "GetDiscountBreakUpResult",
    "GetEffectivePriceResult",
    "GetPriceResult",
    "GetDiscountResult",
    "GetOldContractResult",
    "get_contract_line_detail",
    "get_contract_line_number",
    "get_eligible_contracts_for_rfq_creation",
    "get_price_breakup",
    "get_discount_break_up",
    "get_effective_price",
    "get_price",
    "get_discount",
    "get_contract_field_value",
    "get_contract_line_attachment",
    "get_contract_user_data",
    "get_contract_bis",
    "get_bis_transaction_ignore",
    "contract_line_attachment_exists",
    "contract_price_break_up_exists",
    "contract_discount_break_up_exists",
    "get_old_contract",
    "maximum_quantity_exceeded",
    "old_contract_exists",
]


class GetContractLineDetailFields(TypedDict, total=False):
    QUOTATIONID: Value
    RFQID: Value
    PRODUCTID: Value
    CURRENCYCODE: Value
    BUYERID: Value
    SUPPLIERID: Value
    CONTRACTSTATUS: Value
    ORIGIN: Value
    QUANTITY: Value
    PRICE: Value
    DISCOUNTPERCENTAGE: Value
    DISCOUNTAMOUNT: Value
    EFFECTIVEDATETIME: Value
    EXPIRYDATETIME: Value
    CONTRACTHEADERID: Value
    REMARK: Value
    CREATIONDATE: Value
    DELIVERYBEGINDATE: Value
    DELIVERYENDDATE: Value
    ORDERINTERVAL: Value
    HANDLINGCHARGE: Value
    FREIGHTCHARGE: Value
    TAXPERCENTAGE: Value
    UNITCODE: Value
    INCLUDEPRICEBREAKUP: Value
    INCLUDEDISCOUNTBREAKUP: Value
    RFQGENERATED: Value
    CALLEDQUANTITY: Value
    INVOICEDQUANTITY: Value
    CALLEDVALUE: Value
    INVOICEDVALUE: Value
    PRODUCTPARTNUMBER: Value
    PRODUCTDESCRIPTION: Value
    CONTRACTDESCRIPTION: Value
    INCLUDECONTRACTLINEBIS: Value
    MINQTYBREAKUP: Value
    SUPPLIERAPPROVAL: Value
    LANDEDCOST: Value
    PAYMENTTERM: Value
    PAYMENTMETHOD: Value
    PACKAGINGTERM: Value
    SHIPPINGMETHOD: Value
    SHIPPINGSERVICELEVEL: Value
    WARRANTYTERM: Value
    PENALTYTERM: Value


class GetContractLineNumberRow(TypedDict):
    CONTRACTHEADERID: Value
    CONTRACTLINEID: Value


class GetPriceBreakupRow(TypedDict):
    QUANTITY: Value
    PRICE: Value


class GetDiscountBreakUpRow(TypedDict):
    QUANTITY: Value
    DISCOUNTPERCENTAGE: Value
    DISCOUNTAMOUNT: Value


class GetEffectivePriceFields(TypedDict, total=False):
    CONTRACTLINEID: Value
    EFFECTIVEPRICE: Value
    CONTRACTHEADERID: Value


class GetContractLineAttachmentRow(TypedDict):
    ATTACHMENTID: Value
    REVISIONNUMBER: Value
    DESCRIPTION: Value
    CONTRACTHEADERID: Value
    ATTACHMENTTYPECODE: Value
    INTERNAL: Value
    ATTACHMENTSTATUS: Value
    FILEPATH: Value


class GetContractUserDataRow(TypedDict):
    FIELDCODE: Value
    FIELDDESCRIPTION: Value
    COSTTYPE: Value
    NUMERICFIELD: Value
    VALUE: Value
    UNUSED: Value


class GetContractBISRow(TypedDict):
    BISID: Value
    EXPORTSTATUS: Value
    BACKENDHEADERID: Value
    BACKENDLINEID: Value
    ERRORFIELD: Value
    CALLEDQUANTITY: Value
    INVOICEDQUANTITY: Value
    CALLEDVALUE: Value
    INVOICEDVALUE: Value
    PREVENTTRANSACTION: Value
    PRICESERIES: Value
    CONTRACTSERIES: Value
    DISCOUNTSERIES: Value


@dataclass
class GetPriceBreakupResult:
    """Lists the price breaks of one line. The result, then each by-reference output."""

    result: List[GetPriceBreakupRow]
    currency_code: Optional[str]


@dataclass
class GetDiscountBreakUpResult:
    """Lists the discount breaks of one line. The result, then each by-reference output."""

    result: List[GetDiscountBreakUpRow]
    currency_code: Optional[str]


@dataclass
class GetEffectivePriceResult:
    """Prices an Active line (status 6) at a quantity: unit price less discount, plus tax, freight and handling. Either both ids are given (direct), or a product and a business partner (the partner's first contract, optionally of one category). The result, then each by-reference output."""

    result: Optional[GetEffectivePriceFields]
    currency_code: Optional[str]


@dataclass
class GetPriceResult:
    """The unit price of one line at a quantity: the line's PRICE, or the price break that applies when the line uses breaks. The result, then each by-reference output."""

    result: float
    currency_code: Optional[str]
    return_value: Optional[float]


@dataclass
class GetDiscountResult:
    """The discount of one line at a quantity: the line's own, or the discount break that applies when the line uses breaks. The result, then each by-reference output."""

    result: float
    currency: Optional[str]
    percentage: Optional[bool]


@dataclass
class GetOldContractResult:
    """Finds the latest line of a contract for a product that is Active (6) or expired (7) and began no later than today, and values it at its contracted quantity. The result, then each by-reference output."""

    result: bool
    net_amount: Optional[float]
    currency_code: Optional[str]


def get_contract_line_detail(
    *,
    contract_header_id: int,
    contract_line_id: int,
) -> GetContractLineDetailFields:
    """Reads every field of one contract line.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).

    Returns: The line's 45 fields by column name, values as stored (Null for NULL); no
    entries when the line does not exist.
    Row members: QUOTATIONID, RFQID, PRODUCTID, CURRENCYCODE, BUYERID, SUPPLIERID,
    CONTRACTSTATUS, ORIGIN, QUANTITY, PRICE, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT,
    EFFECTIVEDATETIME, EXPIRYDATETIME, CONTRACTHEADERID, REMARK, CREATIONDATE,
    DELIVERYBEGINDATE, DELIVERYENDDATE, ORDERINTERVAL, HANDLINGCHARGE, FREIGHTCHARGE,
    TAXPERCENTAGE, UNITCODE, INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, RFQGENERATED,
    CALLEDQUANTITY, INVOICEDQUANTITY, CALLEDVALUE, INVOICEDVALUE, PRODUCTPARTNUMBER,
    PRODUCTDESCRIPTION, CONTRACTDESCRIPTION, INCLUDECONTRACTLINEBIS, MINQTYBREAKUP,
    SUPPLIERAPPROVAL, LANDEDCOST, PAYMENTTERM, PAYMENTMETHOD, PACKAGINGTERM, SHIPPINGMETHOD,
    SHIPPINGSERVICELEVEL, WARRANTYTERM, PENALTYTERM.
    """
    return _invoke("ContractLine.GetContractLineDetail", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id})[0]  # type: ignore[no-any-return]


def get_contract_line_number(
    *,
    quotation_number: int,
) -> GetContractLineNumberRow:
    """Finds the contract line created from a quotation.

    Arguments:
        quotation_number (i_lQuotationNumber): Id of the quotation the line was made
        from (QUOTATIONID).

    Returns: The line's ids; both 0 when no line comes from that quotation.
    Row members: CONTRACTHEADERID, CONTRACTLINEID.
    """
    return _invoke("ContractLine.GetContractLineNumber", {"i_lQuotationNumber": quotation_number})[0]  # type: ignore[no-any-return]


def get_eligible_contracts_for_rfq_creation(
    *,
    contract_fields: Optional[Sequence[str]],
) -> List[Dict[str, Value]]:
    """Lists the Active lines (status 6) whose request for quotation is due: not yet generated,
    of a category with automatic generation, expiring within the category's interval in days
    from today (or already expired).

    Arguments:
        contract_fields (i_aContractFields): Names of the columns of CONTRACTHEADER or
        CONTRACTLINE to return for each due line.

    Returns: One entry per due line, ordered by category; a NULL value is given as "". Empty
    when no line is due.
    Row members: the names given in contract_fields.
    """
    return _invoke("ContractLine.GetEligibleContractsForRFQCreation", {"i_aContractFields": contract_fields})[0]  # type: ignore[no-any-return]


def get_price_breakup(
    *,
    contract_header_id: int,
    contract_line_id: int,
) -> GetPriceBreakupResult:
    """Lists the price breaks of one line.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).

    Returns: One entry per break (CONTRACTPRICE row), values as stored; the currency is ""
    when the line does not exist.
    Row members: QUANTITY, PRICE.

    Outputs, attributes of the result beside .result:
        currency_code (o_sCurrencyCode): Receives the line's currency code
        (CURRENCYCODE).
    """
    result, byref = _invoke("ContractLine.GetPriceBreakup", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id})
    return GetPriceBreakupResult(result, byref["o_sCurrencyCode"])


def get_discount_break_up(
    *,
    contract_header_id: int,
    contract_line_id: int,
) -> GetDiscountBreakUpResult:
    """Lists the discount breaks of one line.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).

    Returns: One entry per break (CONTRACTDISCOUNT row), as numbers; the currency is "" when
    the line does not exist.
    Row members: QUANTITY, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT.

    Outputs, attributes of the result beside .result:
        currency_code (o_sCurrencyCode): Receives the line's currency code
        (CURRENCYCODE).
    """
    result, byref = _invoke("ContractLine.GetDiscountBreakUp", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id})
    return GetDiscountBreakUpResult(result, byref["o_sCurrencyCode"])


def get_effective_price(
    *,
    quantity: float,
    contract_header_id: Union[Optional[int], MissingType] = MISSING,
    contract_line_id: Union[Optional[int], MissingType] = MISSING,
    product_id: Union[Optional[int], MissingType] = MISSING,
    business_partner: Union[Optional[int], MissingType] = MISSING,
    category_id: Union[Optional[int], MissingType] = MISSING,
) -> GetEffectivePriceResult:
    """Prices an Active line (status 6) at a quantity: unit price less discount, plus tax,
    freight and handling. Either both ids are given (direct), or a product and a business
    partner (the partner's first contract, optionally of one category).

    Arguments:
        quantity (i_fQuantity): Ordered quantity, in the line's unit; selects the break
        that applies.
        contract_header_id (i_lContractHeaderID) (optional): Contract header id
        (direct).
        contract_line_id (i_lContractLineID) (optional): Contract line id (direct; by
        partner, the line to take).
        product_id (i_lProductId) (optional): Product id (PRODUCTID), by partner.
        business_partner (i_lBusinessPartner) (optional): Business partner (supplier)
        id, by partner.
        category_id (i_lCategoryId) (optional): Category id of the contract, by partner
        (optional narrowing).

    Returns: The line priced, or Nothing (null) when no Active line qualifies.
    EFFECTIVEPRICE is (price - discount) x (1 + TAXPERCENTAGE/100) + FREIGHTCHARGE +
    HANDLINGCHARGE.
    Row members: CONTRACTLINEID, EFFECTIVEPRICE, CONTRACTHEADERID.

    Outputs, attributes of the result beside .result:
        currency_code (o_sCurrencyCode): Receives the found line's currency code;
        untouched when none is found.
    """
    result, byref = _invoke("ContractLine.GetEffectivePrice", {"i_fQuantity": quantity, "i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id, "i_lProductId": product_id, "i_lBusinessPartner": business_partner, "i_lCategoryId": category_id})
    return GetEffectivePriceResult(result, byref["o_sCurrencyCode"])


def get_price(
    *,
    contract_header_id: int,
    contract_line_id: int,
    quantity: float,
    return_value: Union[float, MissingType] = MISSING,
) -> GetPriceResult:
    """The unit price of one line at a quantity: the line's PRICE, or the price break that
    applies when the line uses breaks.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).
        quantity (i_fQuantity): Ordered quantity, in the line's unit; selects the break
        that applies.
        return_value (i_fReturnValue) (optional): Price to answer when the line uses
        breaks and none applies; default 0.

    Returns: The unit price, in the line's currency.

    Outputs, attributes of the result beside .result:
        currency_code (o_sCurrencyCode): Receives the line's currency code
        (CURRENCYCODE).
        return_value (i_fReturnValue): Price to answer when the line uses breaks and
        none applies; default 0.

    Raises:
        NotFoundError (ContractLineMissing): No contract line has those ids.
    """
    result, byref = _invoke("ContractLine.GetPrice", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id, "i_fQuantity": quantity, "i_fReturnValue": return_value})
    return GetPriceResult(result, byref["o_sCurrencyCode"], byref["i_fReturnValue"])


def get_discount(
    *,
    contract_header_id: int,
    contract_line_id: int,
    quantity: float,
) -> GetDiscountResult:
    """The discount of one line at a quantity: the line's own, or the discount break that
    applies when the line uses breaks.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).
        quantity (i_fQuantity): Ordered quantity, in the line's unit; selects the break
        that applies.

    Returns: The discount: a percentage or an amount, as o_bPercentage says; 0 when none.

    Outputs, attributes of the result beside .result:
        currency (o_sCurrency): Receives the line's currency code (CURRENCYCODE).
        percentage (o_bPercentage): Receives true when the answer is a percentage, false
        when an amount; untouched when the discount is 0.

    Raises:
        NotFoundError (ContractLineMissing): No contract line has those ids.
    """
    result, byref = _invoke("ContractLine.GetDiscount", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id, "i_fQuantity": quantity})
    return GetDiscountResult(result, byref["o_sCurrency"], byref["o_bPercentage"])


def get_contract_field_value(
    *,
    contract_header_id: int,
    contract_line_id: int,
    field: str,
) -> str:
    """Reads one field of one contract line as text.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).
        field (i_sField): Column name of CONTRACTLINE, such as PRICE or EXPIRYDATETIME.

    Returns: The value as text; "" when it is NULL or the name is not a column.

    Raises:
        NotFoundError (ContractLineMissing): The field is a column and no contract line
        has those ids.
    """
    return _invoke("ContractLine.GetContractFieldValue", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id, "i_sField": field})[0]  # type: ignore[no-any-return]


def get_contract_line_attachment(
    *,
    contract_header_id: int,
    contract_line_id: int,
) -> List[GetContractLineAttachmentRow]:
    """Lists every attachment of one line, in any status.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).

    Returns: One entry per attachment; DESCRIPTION, ATTACHMENTTYPECODE and FILEPATH are ""
    when NULL; ATTACHMENTSTATUS 1 Create ... 5 Active, 6 expired.
    Row members: ATTACHMENTID, REVISIONNUMBER, DESCRIPTION, CONTRACTHEADERID,
    ATTACHMENTTYPECODE, INTERNAL, ATTACHMENTSTATUS, FILEPATH.
    """
    return _invoke("ContractLine.GetContractLineAttachment", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id})[0]  # type: ignore[no-any-return]


def get_contract_user_data(
    *,
    contract_header_id: int,
    contract_line_id: int,
) -> List[GetContractUserDataRow]:
    """Lists the user-defined fields of one line.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).

    Returns: One entry per field; FIELDDESCRIPTION and VALUE are "" when NULL; UNUSED is
    always empty (null).
    Row members: FIELDCODE, FIELDDESCRIPTION, COSTTYPE, NUMERICFIELD, VALUE, UNUSED.
    """
    return _invoke("ContractLine.GetContractUserData", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id})[0]  # type: ignore[no-any-return]


def get_contract_bis(
    *,
    contract_header_id: int,
    contract_line_id: int,
    contract_export_status: Union[Optional[int], MissingType] = MISSING,
    bis_id: Union[Optional[int], MissingType] = MISSING,
) -> List[GetContractBISRow]:
    """Lists the back-end integration status records of one line.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).
        contract_export_status (i_nContractExportStatus) (optional): Only records of
        this export status: 1 = Open, 2 = Exported; all when left out.
        bis_id (i_lBISId) (optional): Only the record of this BIS id; all when left out.

    Returns: One entry per record; the text columns are "" when NULL.
    Row members: BISID, EXPORTSTATUS, BACKENDHEADERID, BACKENDLINEID, ERRORFIELD,
    CALLEDQUANTITY, INVOICEDQUANTITY, CALLEDVALUE, INVOICEDVALUE, PREVENTTRANSACTION,
    PRICESERIES, CONTRACTSERIES, DISCOUNTSERIES.

    Raises:
        OperationError (TypeMismatch): Both optionals are given and i_lBISId is not a
        plain number.
    """
    return _invoke("ContractLine.GetContractBIS", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id, "i_nContractExportStatus": contract_export_status, "i_lBISId": bis_id})[0]  # type: ignore[no-any-return]


def get_bis_transaction_ignore(
    *,
    bis_id: int,
    contract_header_id: int,
    contract_line_id: int,
) -> bool:
    """Whether one back-end status record says transactions on the line are to be ignored.

    Arguments:
        bis_id (i_lBISId): Id of the record (BISID).
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).

    Returns: PREVENTTRANSACTION as true or false.

    Raises:
        NotFoundError (BisRecordMissing): No status record has that id on that line.
    """
    return _invoke("ContractLine.GetBISTransactionIgnore", {"i_lBISId": bis_id, "i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id})[0]  # type: ignore[no-any-return]


def contract_line_attachment_exists(
    *,
    attachment_type_code: str,
) -> bool:
    """Whether any attachment of a type exists, in any contract, header or line, any status.

    Arguments:
        attachment_type_code (i_sAttachmentTypeCode): Attachment type code
        (ATTACHMENTTYPECODE), exact case.

    Returns: True when at least one exists.
    """
    return _invoke("ContractLine.ContractLineAttachmentExists", {"i_sAttachmentTypeCode": attachment_type_code})[0]  # type: ignore[no-any-return]


def contract_price_break_up_exists(
    *,
    contract_header_id: int,
    contract_line_id: int,
) -> bool:
    """Whether a line has at least one price break.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).

    Returns: True when a CONTRACTPRICE row exists for the line.
    """
    return _invoke("ContractLine.ContractPriceBreakUpExists", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id})[0]  # type: ignore[no-any-return]


def contract_discount_break_up_exists(
    *,
    contract_header_id: int,
    contract_line_id: int,
) -> bool:
    """Whether a line has at least one discount break.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).

    Returns: True when a CONTRACTDISCOUNT row exists for the line.
    """
    return _invoke("ContractLine.ContractDiscountBreakUpExists", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id})[0]  # type: ignore[no-any-return]


def get_old_contract(
    *,
    contract_header_id: int,
    contract_line_id: int,
    product_id: int,
) -> GetOldContractResult:
    """Finds the latest line of a contract for a product that is Active (6) or expired (7) and
    began no later than today, and values it at its contracted quantity.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Not used.
        product_id (i_lProductId): Product id (PRODUCTID).

    Returns: True when a line was found.

    Outputs, attributes of the result beside .result:
        net_amount (o_fNetAmount): Receives price x QUANTITY less the discount; 0 when
        none is found.
        currency_code (o_sCurrencyCode): Receives the found line's currency code; ""
        when none.
    """
    result, byref = _invoke("ContractLine.GetOldContract", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id, "i_lProductId": product_id})
    return GetOldContractResult(result, byref["o_fNetAmount"], byref["o_sCurrencyCode"])


def maximum_quantity_exceeded(
    *,
    contract_header_id: int,
    contract_line_id: int,
    quantity: float,
) -> bool:
    """Whether a quantity on top of what was called off and invoiced exceeds the line's
    contracted QUANTITY.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).
        quantity (i_fQuantity): Quantity requested now, in the line's unit.

    Returns: True when CALLEDQUANTITY + INVOICEDQUANTITY + the quantity > QUANTITY.

    Raises:
        NotFoundError (ContractLineMissing): No contract line has those ids.
    """
    return _invoke("ContractLine.MaximumQuantityExceeded", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id, "i_fQuantity": quantity})[0]  # type: ignore[no-any-return]


def old_contract_exists(
    *,
    contract_header_id: int,
    contract_line_id: int,
    product_id: int,
) -> bool:
    """Whether an Active line (6) of the same contract for a product overlaps the validity
    period of the given line (bounds inclusive; the line itself counts).

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        contract_line_id (i_lContractLineID): Id of the line within that contract
        (CONTRACTLINEID).
        product_id (i_lProductId): Product id (PRODUCTID) of the lines to look for.

    Returns: True when such a line exists.

    Raises:
        NotFoundError (ContractLineMissing): No contract line has those ids.
    """
    return _invoke("ContractLine.OldContractExists", {"i_lContractHeaderID": contract_header_id, "i_lContractLineID": contract_line_id, "i_lProductId": product_id})[0]  # type: ignore[no-any-return]
