"""Request identifiers and HMAC-SHA-256 digests."""

from __future__ import annotations

import re

import pytest

from cabi import lib, take_text

UUID_V4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


def new_id():
    return take_text(lib.scb_generate_uuid())


def hmac_hex(key: bytes, message: bytes):
    return take_text(lib.scb_hmac_sha256(key, message))


def test_identifiers_are_version_4_and_unique():
    ids = [new_id() for _ in range(2000)]
    assert all(UUID_V4.fullmatch(value) for value in ids)
    assert len(set(ids)) == len(ids)
    digits = [value.replace("-", "") for value in ids]
    # Every digit but the version digit varies; the variant digit takes all four of its values.
    fixed = [i for i in range(32) if len({d[i] for d in digits}) == 1]
    assert fixed == [12]
    assert {d[16] for d in digits} == set("89ab")


@pytest.mark.parametrize(
    ("key", "message", "digest"),
    [
        (b"\x0b" * 20, b"Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"),
        (b"Jefe", b"what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"),
        (b"\xaa" * 20, b"\xdd" * 50, "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"),
        (bytes(range(1, 26)), b"\xcd" * 50, "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"),
        (b"\xaa" * 131, b"Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"),
        (b"\xaa" * 131,
         b"This is a test using a larger than block-size key and a larger than block-size data. "
         b"The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"),
        (b"", b"", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"),
    ],
    ids=["rfc4231-1", "rfc4231-2", "rfc4231-3", "rfc4231-4", "rfc4231-6", "rfc4231-7", "empty"],
)
def test_hmac_sha256_known_digests(key, message, digest):
    assert hmac_hex(key, message) == digest
