"""The operations of Carvalen.Contract, one function each, with plain Python values.

Written by scripts/python-api.py from the operation description; do not edit.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import date as _date
from typing import Any, Dict, List, Mapping, Optional, Sequence, TypedDict, Union

from ._plain import MISSING, MissingType, Value, invoke as _invoke

__all__ = [
    "GetContractHeaderRow",
    "GetContractHeaderDetailsRow",
    "GetContractLineDetailsRow",
    "GetContractLineIdforProductRow",
    "GetActiveContractLinesForBuyerRow",
    "GetContractHeaderAttachmentsRow",
    "GetApprovedHeaderAttachmentRow",
    "GetActiveHeaderAttachmentsRow",
    "GetActiveContractLinesProcRow",
    "get_contract_header",
    "get_contract_header_details",
    "get_contract_line_details",
    "get_contract_line_idfor_product",
    "get_active_contract_lines_for_buyer",
    "get_active_contract_lines",
    "get_active_contract_line_details",
    "get_contract_header_attachments",
    "get_contract_approvallines",
    "get_approved_header_attachment",
    "get_active_contract_line_fieldsper_supplier",
    "get_contract_user_data_per_supplier",
    "contract_header_exists",
    "get_active_header_attachments",
    "get_active_contract_lines_proc",
]


class GetContractHeaderRow(TypedDict):
    CONTRACTHEADERID: Value
    BUSINESSPARTNERID: Value
    CATEGORYID: Value


class GetContractHeaderDetailsRow(TypedDict):
    BUSINESSPARTNERID: Value
    CATEGORYID: Value


class GetContractLineDetailsRow(TypedDict):
    CONTRACTLINEID: Value
    BUYERID: Value
    SUPPLIERID: Value
    CONTRACTSTATUS: Value
    EFFECTIVEDATETIME: Value
    EXPIRYDATETIME: Value
    PRODUCTDESCRIPTION: Value
    CONTRACTDESCRIPTION: Value
    PRODUCTID: Value


class GetContractLineIdforProductRow(TypedDict):
    CONTRACTHEADERID: Value
    CONTRACTLINEID: Value
    CONTRACTSTATUS: Value


class GetActiveContractLinesForBuyerRow(TypedDict):
    CONTRACTHEADERID: Value
    CONTRACTLINEID: Value
    BUSINESSPARTNERID: Value


class GetContractHeaderAttachmentsRow(TypedDict):
    ATTACHMENTID: Value
    REVISIONNUMBER: Value
    DESCRIPTION: Value
    CONTRACTLINEID: Value
    ATTACHMENTTYPECODE: Value
    INTERNAL: Value
    ATTACHMENTSTATUS: Value
    FILEPATH: Value


class GetApprovedHeaderAttachmentRow(TypedDict):
    ATTACHMENTID: Value
    REVISIONNUMBER: Value


class GetActiveHeaderAttachmentsRow(TypedDict):
    ATTACHMENTID: Value
    REVISIONNUMBER: Value
    DESCRIPTION: Value
    ATTACHMENTTYPECODE: Value
    INTERNAL: Value
    FILEPATH: Value
    UNUSED6: Value
    UNUSED7: Value


class GetActiveContractLinesProcRow(TypedDict):
    CONTRACTHEADERID: Value
    CONTRACTLINEID: Value
    PRICE: Value
    DISCOUNTPERCENTAGE: Value
    DISCOUNTAMOUNT: Value
    CURRENCYCODE: Value
    TAXPERCENTAGE: Value
    FREIGHTCHARGE: Value
    PRICEFOUND: Value
    DISCOUNTFOUND: Value


def get_contract_header(
    *,
    business_partner_id: Union[Optional[int], MissingType] = MISSING,
    category_id: Union[Optional[int], MissingType] = MISSING,
) -> List[GetContractHeaderRow]:
    """Lists contract headers, all of them or those of a business partner and/or a category.

    Arguments:
        business_partner_id (i_lBusinessPartnerId) (optional): Only headers of this
        business partner (BUSINESSPARTNERID).
        category_id (i_lCategoryId) (optional): Only headers of this purchasing category
        (CATEGORYID).

    Returns: One entry per header, values as stored.
    Row members: CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID.
    """
    return _invoke("Contract.GetContractHeader", {"i_lBusinessPartnerId": business_partner_id, "i_lCategoryId": category_id})[0]  # type: ignore[no-any-return]


def get_contract_header_details(
    *,
    contract_header_id: int,
) -> GetContractHeaderDetailsRow:
    """Reads the business partner and category of one contract header.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).

    Returns: The header's partner and category, as stored.
    Row members: BUSINESSPARTNERID, CATEGORYID.

    Raises:
        NotFoundError (ContractHeaderMissing): No contract header has that id.
    """
    return _invoke("Contract.GetContractHeaderDetails", {"i_lContractHeaderID": contract_header_id})[0]  # type: ignore[no-any-return]


def get_contract_line_details(
    *,
    contract_header_id: int,
    buyer_id: Union[Optional[str], MissingType] = MISSING,
    contract_status: Union[Optional[int], MissingType] = MISSING,
    product_part_number: Union[Optional[str], MissingType] = MISSING,
    effective_date: Union[Optional[_date], MissingType] = MISSING,
    expiry_date: Union[Optional[_date], MissingType] = MISSING,
) -> List[GetContractLineDetailsRow]:
    """Lists the lines of one contract, narrowed by the optional filters (each an equality).

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).
        buyer_id (i_sBuyerId) (optional): Only lines of this buyer (BUYERID), exact
        case.
        contract_status (i_nContractStatus) (optional): Only lines in this status: 1
        Create, 2 Under Approval, 3 Supplier Approved, 4 Rejected, 5 Finalized, 6
        Active, 7 expired.
        product_part_number (i_sProductPartNumber) (optional): Only lines of this part
        number (PRODUCTPARTNUMBER).
        effective_date (i_dEffectiveDate) (optional): Only lines whose EFFECTIVEDATETIME
        equals this date-time exactly.
        expiry_date (i_dExpiryDate) (optional): Only lines whose EXPIRYDATETIME equals
        this date-time exactly.

    Returns: One entry per line; SUPPLIERID, EXPIRYDATETIME, PRODUCTDESCRIPTION and
    CONTRACTDESCRIPTION are "" when NULL.
    Row members: CONTRACTLINEID, BUYERID, SUPPLIERID, CONTRACTSTATUS, EFFECTIVEDATETIME,
    EXPIRYDATETIME, PRODUCTDESCRIPTION, CONTRACTDESCRIPTION, PRODUCTID.
    """
    return _invoke("Contract.GetContractLineDetails", {"i_lContractHeaderID": contract_header_id, "i_sBuyerId": buyer_id, "i_nContractStatus": contract_status, "i_sProductPartNumber": product_part_number, "i_dEffectiveDate": effective_date, "i_dExpiryDate": expiry_date})[0]  # type: ignore[no-any-return]


def get_contract_line_idfor_product(
    *,
    product_id: Union[Optional[int], MissingType] = MISSING,
    product_part_number: Union[Optional[str], MissingType] = MISSING,
    business_partner_id: Union[Optional[int], MissingType] = MISSING,
) -> List[GetContractLineIdforProductRow]:
    """Lists the lines of a product, given by id or else by part number, optionally only in
    contracts of one business partner.

    Arguments:
        product_id (i_lProductId) (optional): Product id (PRODUCTID); takes precedence
        over the part number.
        product_part_number (i_sProductPartNumber) (optional): Part number
        (PRODUCTPARTNUMBER), when no id is given.
        business_partner_id (i_lBusinessPartnerId) (optional): Only contracts of this
        business partner.

    Returns: One entry per line, in any status; values as stored.
    Row members: CONTRACTHEADERID, CONTRACTLINEID, CONTRACTSTATUS.
    """
    return _invoke("Contract.GetContractLineIdforProduct", {"i_lProductId": product_id, "i_sProductPartNumber": product_part_number, "i_lBusinessPartnerId": business_partner_id})[0]  # type: ignore[no-any-return]


def get_active_contract_lines_for_buyer(
    *,
    buyer_id: str,
) -> List[GetActiveContractLinesForBuyerRow]:
    """Lists the Active lines (status 6) of a buyer.

    Arguments:
        buyer_id (i_sBuyerId): Buyer id (BUYERID), exact case.

    Returns: One entry per line, values as stored.
    Row members: CONTRACTHEADERID, CONTRACTLINEID, BUSINESSPARTNERID.
    """
    return _invoke("Contract.GetActiveContractLinesForBuyer", {"i_sBuyerId": buyer_id})[0]  # type: ignore[no-any-return]


def get_active_contract_lines(
    *,
    contract_fields: Optional[Sequence[str]],
    contract_header_id: Union[Optional[int], MissingType] = MISSING,
    product_id: Union[Optional[int], MissingType] = MISSING,
    business_partner_id: Union[Optional[int], MissingType] = MISSING,
    contract_line_id: Union[Optional[int], MissingType] = MISSING,
) -> List[Dict[str, Value]]:
    """Lists the Active lines (status 6) of one contract, of one contract and product, or of
    one business partner and product, with the columns asked for.

    Arguments:
        contract_fields (i_aContractFields): Names of the CONTRACTLINE columns to return
        for each line.
        contract_header_id (i_lContractHeaderID) (optional): Lines of this contract
        header.
        product_id (i_lProductId) (optional): Lines of this product (with the header or
        the partner).
        business_partner_id (i_lBusinessPartnerId) (optional): Lines of this business
        partner's contracts (with the product).
        contract_line_id (i_lContractLineID) (optional): Leaves this line out.

    Returns: One entry per line; a NULL value is given as "".
    Row members: the names given in contract_fields.
    """
    return _invoke("Contract.GetActiveContractLines", {"i_aContractFields": contract_fields, "i_lContractHeaderID": contract_header_id, "i_lProductId": product_id, "i_lBusinessPartnerId": business_partner_id, "i_lContractLineID": contract_line_id})[0]  # type: ignore[no-any-return]


def get_active_contract_line_details(
    *,
    category_id: int,
    business_partner_id: int,
) -> List[Dict[str, Value]]:
    """Reads every column of the Active lines (status 6) of a business partner's contracts in
    one category.

    Arguments:
        category_id (i_lCategoryId): Category id of the contracts (CATEGORYID).
        business_partner_id (i_lBusinessPartnerId): Business partner id of the contracts
        (BUSINESSPARTNERID).

    Returns: A record set of the lines: the header's CONTRACTHEADERID, then every column of
    CONTRACTLINE (the repeated CONTRACTHEADERID becomes CONTRACTHEADERID_2 in plain JSON).
    Row members: CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID, RFQID, PRODUCTID,
    PRODUCTPARTNUMBER, PRODUCTDESCRIPTION, CONTRACTDESCRIPTION, CURRENCYCODE, BUYERID,
    SUPPLIERID, CONTRACTSTATUS, ORIGIN, QUANTITY, PRICE, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT,
    EFFECTIVEDATETIME, EXPIRYDATETIME, REMARK, CREATIONDATE, DELIVERYBEGINDATE,
    DELIVERYENDDATE, ORDERINTERVAL, HANDLINGCHARGE, FREIGHTCHARGE, TAXPERCENTAGE, UNITCODE,
    INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP, RFQGENERATED,
    CALLEDQUANTITY, INVOICEDQUANTITY, CALLEDVALUE, INVOICEDVALUE, INCLUDECONTRACTLINEBIS,
    SUPPLIERAPPROVAL, LANDEDCOST, PAYMENTTERM, PAYMENTMETHOD, PACKAGINGTERM, SHIPPINGMETHOD,
    SHIPPINGSERVICELEVEL, WARRANTYTERM, PENALTYTERM.
    """
    return _invoke("Contract.GetActiveContractLineDetails", {"i_lCategoryId": category_id, "i_lBusinessPartnerId": business_partner_id})[0]  # type: ignore[no-any-return]


def get_contract_header_attachments(
    *,
    contract_header_id: int,
) -> List[GetContractHeaderAttachmentsRow]:
    """Lists the attachments of a contract header itself (not of its lines), in any status.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).

    Returns: One entry per attachment; DESCRIPTION and ATTACHMENTTYPECODE are "" when NULL;
    CONTRACTLINEID is always null; ATTACHMENTSTATUS 1 Create ... 5 Active, 6 expired.
    Row members: ATTACHMENTID, REVISIONNUMBER, DESCRIPTION, CONTRACTLINEID,
    ATTACHMENTTYPECODE, INTERNAL, ATTACHMENTSTATUS, FILEPATH.
    """
    return _invoke("Contract.GetContractHeaderAttachments", {"i_lContractHeaderID": contract_header_id})[0]  # type: ignore[no-any-return]


def get_contract_approvallines(
    *,
    contract_header_id: int,
) -> Optional[List[Value]]:
    """Lists the lines of a contract that are Under Approval (2) or Supplier Approved (3).

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).

    Returns: The CONTRACTLINEID of each line; an unallocated array (null) when none.
    Row members: CONTRACTLINEID.
    """
    return _invoke("Contract.GetContractApprovallines", {"i_lContractHeaderID": contract_header_id})[0]  # type: ignore[no-any-return]


def get_approved_header_attachment(
    *,
    contract_header_id: Optional[int],
) -> List[GetApprovedHeaderAttachmentRow]:
    """Lists the attachments of a contract and its lines that are Under Approval (status 2).

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header; a number or
        its digits as text.

    Returns: One entry per attachment, both values as integers.
    Row members: ATTACHMENTID, REVISIONNUMBER.
    """
    return _invoke("Contract.GetApprovedHeaderAttachment", {"i_lContractHeaderID": contract_header_id})[0]  # type: ignore[no-any-return]


def get_active_contract_line_fieldsper_supplier(
    *,
    product_id: int,
    business_partner_ids: Optional[Sequence[int]],
    contract_line_field_names: Optional[Sequence[str]],
) -> List[Dict[str, Value]]:
    """For one product, reads named columns of an Active line (6) of each business partner.

    Arguments:
        product_id (i_lProductId): Product id (PRODUCTID).
        business_partner_ids (i_aBusinessPartnerIds): Business partner ids, one row of
        the answer each; a blank ("") gives a row of nulls.
        contract_line_field_names (i_aContractLineFieldNames): CONTRACTLINE column
        names, one position of each row.

    Returns: One row per partner: a value per name, "" for NULL, empty (null) when the
    partner has no Active line for the product.
    Row members: the names given in contract_line_field_names.
    """
    return _invoke("Contract.getActiveContractLineFieldsperSupplier", {"i_lProductId": product_id, "i_aBusinessPartnerIds": business_partner_ids, "i_aContractLineFieldNames": contract_line_field_names})[0]  # type: ignore[no-any-return]


def get_contract_user_data_per_supplier(
    *,
    contract_header_ids: Optional[Sequence[int]],
    contract_line_ids: Optional[Sequence[int]],
    business_partner_ids: Optional[Sequence[int]],
    contract_user_defined_fields: Optional[Sequence[str]],
    bp_array_index: int,
) -> List[Dict[str, Value]]:
    """Reads the values of user-defined fields of one line, into a fixed 11 x 21 matrix at the
    row of the partner's index.

    Arguments:
        contract_header_ids (i_aContractHeaderIds): Contract header ids, one per partner
        index.
        contract_line_ids (i_aContractLineIds): Contract line ids, parallel to the
        header ids.
        business_partner_ids (i_aBusinessPartnerIds): Not used.
        contract_user_defined_fields (i_aContractUserDefinedFields): Field codes
        (FIELDCODE) to read, one position each.
        bp_array_index (i_lBPArrayIndex): Index (0 to 10) of the partner: the ids read
        and the row written.

    Returns: 11 rows of 21 positions; only row i_lBPArrayIndex is filled, at the positions
    of the field codes, with each field's VALUE; every other cell is empty (null). Positions
    past the field codes are named by their index.
    Row members: the names given in contract_user_defined_fields.
    """
    return _invoke("Contract.GetContractUserDataPerSupplier", {"i_aContractHeaderIds": contract_header_ids, "i_aContractLineIds": contract_line_ids, "i_aBusinessPartnerIds": business_partner_ids, "i_aContractUserDefinedFields": contract_user_defined_fields, "i_lBPArrayIndex": bp_array_index})[0]  # type: ignore[no-any-return]


def contract_header_exists(
    *,
    contract_header_id: int,
) -> bool:
    """Whether a contract header exists.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).

    Returns: True when it exists.
    """
    return _invoke("Contract.ContractHeaderExists", {"i_lContractHeaderID": contract_header_id})[0]  # type: ignore[no-any-return]


def get_active_header_attachments(
    *,
    contract_header_id: int,
) -> List[GetActiveHeaderAttachmentsRow]:
    """Lists the Active attachments (status 5) of a contract header itself.

    Arguments:
        contract_header_id (i_lContractHeaderID): Id of the contract header
        (CONTRACTHEADERID).

    Returns: One entry per attachment; DESCRIPTION and ATTACHMENTTYPECODE are "" when NULL;
    UNUSED6 and UNUSED7 are always empty (null).
    Row members: ATTACHMENTID, REVISIONNUMBER, DESCRIPTION, ATTACHMENTTYPECODE, INTERNAL,
    FILEPATH, UNUSED6, UNUSED7.
    """
    return _invoke("Contract.GetActiveHeaderAttachments", {"i_lContractHeaderID": contract_header_id})[0]  # type: ignore[no-any-return]


def get_active_contract_lines_proc(
    *,
    dic_bp_product_quan: Mapping[Any, Any],
) -> Dict[int, GetActiveContractLinesProcRow]:
    """Prices many products in one call: for each requested product and business partner, the
    Active line (6) with its unit price and discount at the requested quantity.

    Arguments:
        dic_bp_product_quan (i_oDicBPProductQuan): Requests keyed by product id
        (PRODUCTID), each item [business partner id, quantity].

    Returns: One entry per line found; PRICE, DISCOUNTPERCENTAGE and DISCOUNTAMOUNT are
    those at the requested quantity; PRICEFOUND (DISCOUNTFOUND) is false when the line uses
    price (discount) breaks and none applies.
    Row members: CONTRACTHEADERID, CONTRACTLINEID, PRICE, DISCOUNTPERCENTAGE,
    DISCOUNTAMOUNT, CURRENCYCODE, TAXPERCENTAGE, FREIGHTCHARGE, PRICEFOUND, DISCOUNTFOUND.

    Raises:
        OperationError (ObjectNotSet): The request is Nothing.
        OperationError (DuplicateKey): Two lines found have the same product.
    """
    return _invoke("Contract.GetActiveContractLinesProc", {"i_oDicBPProductQuan": dic_bp_product_quan}, True)[0]  # type: ignore[no-any-return]
