"""Prices a contract line and lists the breaks of another, as a script of an integration job
would (run with CARVALEN_CONFIG_DIR naming a store, such as the demo's)."""

import sys

import carvalen
from carvalen import contract, contract_line


def main() -> int:
    price = contract_line.get_price(contract_header_id=1, contract_line_id=1, quantity=60.0)
    print(f"line 1 of contract 1 at 60: {price.result:.2f} {price.currency_code}")

    for row in contract_line.get_price_breakup(contract_header_id=1, contract_line_id=1).result:
        print("  from", row["QUANTITY"], "at", row["PRICE"])

    offer = contract_line.get_effective_price(quantity=10.0, contract_header_id=1,
                                              contract_line_id=1)
    if offer.result is not None:
        print("effective:", offer.result.get("EFFECTIVEPRICE"))

    lines = contract.get_active_contract_lines(contract_fields=["CONTRACTLINEID", "PRICE"],
                                               contract_header_id=1)
    print(carvalen.to_json(lines[:2]))

    try:
        contract_line.get_price(contract_header_id=1, contract_line_id=99, quantity=1.0)
    except carvalen.NotFoundError as error:
        print("as expected:", error)
        return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())
