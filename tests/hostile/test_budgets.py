"""Small requests that would make the service spend out of proportion: array bounds a caller
chose, bodies that decode to far more than their bytes, messages that repeat what was sent. Each
is answered at once within the service's budgets, and a well-behaved client is served after it."""

import json
import time

import pytest

from hostile_conftest import MIB, TIME_SCALE, Service, good, make_store, request

MAX_CELLS = 1_000_000  # some 50 MB of cells
MAX_ENTRIES = 200_000
HEADERS = ["Connection: close"]


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    args = ("--max-cells", str(MAX_CELLS), "--max-entries", str(MAX_ENTRIES), "--max-body",
            "16MiB", "--max-answer", "4KiB", "--threads", "2")
    with Service(make_store(tmp_path_factory.mktemp("budgets") / "store"), *args) as running:
        yield running


def body(**arguments) -> bytes:
    return json.dumps(arguments).encode()


def fields(lbound: int) -> dict:
    return {"$array": ["CONTRACTLINEID"], "lbound": lbound}


NUMBERS = b'{"i_lContractHeaderID": {"$array": [' + b"1," * (4 * MIB) + b'1]}, "nope": 1}'
EMPTY_TEXTS = b'{"i_aContractFields": {"$array": [' + b'"",' * (5 * MIB) + b'""]}}'
SMALL_LISTS = b'{"i_aContractFields": {"$array": [' + b'{"$array": [1]},' * (MIB // 2) + b'1]}}'
BIG = "x" * MIB
# (name, operation, body, status, part of the answer, seconds, peak growth in MB)
ATTACKS = [
    # Array sizes from the caller's bounds: refused before the cells are taken.
    ("rfq-lbound", "ContractLine/GetEligibleContractsForRFQCreation",
     body(i_aContractFields=fields(2_000_000)), 422, '"number": 7', 2, 16),
    # Within the budget per row, past it in all: at most the budget is ever held.
    ("rfq-rows", "ContractLine/GetEligibleContractsForRFQCreation",
     body(i_aContractFields=fields(400_000)), 422, '"number": 7', 5, 100),
    ("matrix-lbounds", "Contract/getActiveContractLineFieldsperSupplier",
     body(i_lProductId=7001, i_aBusinessPartnerIds={"$array": [501], "lbound": 3000},
          i_aContractLineFieldNames={"$array": ["PRICE"], "lbound": 3000}), 422, '"number": 7',
     2, 16),
    # An answer past --max-answer fails whole, as a call past its cells does.
    ("answer-over-4KiB", "Contract/getActiveContractLineFieldsperSupplier",
     body(i_lProductId=7001, i_aBusinessPartnerIds={"$array": list(range(501, 541))},
          i_aContractLineFieldNames={"$array": ["PRICE"] * 40}), 422, '"number": 7', 2, 16),
    # Decode bombs: counted over the whole body, said when the count is passed.
    ("8MiB-numbers-unknown-name", "ContractLine/GetPrice", NUMBERS, 400, "entries in all", 5, 64),
    ("16MiB-empty-texts", "Contract/GetActiveContractLines", EMPTY_TEXTS, 400, "entries in all",
     5, 64),
    ("1M-small-lists", "Contract/GetActiveContractLines", SMALL_LISTS, 400, "entries in all", 5,
     64),
    ("unknown-name-last", "ContractLine/GetPrice",
     b'{"i_fQuantity": {"$array": [' + b"1," * 150_000 + b'1]}, "nope": 1}', 400,
     'has no parameter \\"nope\\"', 5, 64),
    # A message that would repeat 1 MiB of the caller's text (the codec's own: json_codec_test).
    ("name-1MiB", "ContractLine/GetPrice", body(**{BIG: 1}), 400, "has no parameter", 2, 32),
]


@pytest.mark.parametrize("name, operation, sent, status, part, seconds, mb", ATTACKS,
                         ids=[attack[0] for attack in ATTACKS])
def test_attack_is_answered_within_budget(service, name, operation, sent, status, part, seconds,
                                          mb):
    with service.growth() as grown:
        start = time.monotonic()
        reply = request(service.port, "POST", f"/v1/{operation}", sent, HEADERS, timeout=30)
        elapsed = time.monotonic() - start
    assert reply.status == status and part in reply.body.decode(), reply.body[:300]
    assert len(reply.body) < 2048, "the answer quotes at most the first 200 bytes sent"
    assert elapsed < seconds * TIME_SCALE
    assert grown.kb < mb * 1024 + 2 * len(sent) // 1024, f"{grown.kb} kB"
    assert good(service.port) < 2.0  # no worker left stuck, no budget left spent
