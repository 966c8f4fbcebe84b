"""Small helpers shared by the tests that run against the bank sandbox."""

from __future__ import annotations

import http.client
import json
import ssl
import uuid
from typing import Any


def envelope(code: int, description: str) -> dict[str, Any]:
    """The error envelope as Python sees it once decoded."""
    return {"status": {"code": code, "description": description}, "data": None}


def endpoints(sandbox: Any) -> list[str]:
    """The endpoint of every request the sandbox has received, in order."""
    return [request.endpoint for request in sandbox.requests]


def bank_token(sandbox: Any, key: str = "KEY1", secret: str = "SECRET1") -> str:
    """A token the bank really issued, fetched past the module; the sandbox's request log is cleared after."""
    host, port = sandbox.address.rsplit(":", 1)
    context = ssl.create_default_context(cafile=sandbox.ca_file)
    connection = http.client.HTTPSConnection(host, int(port), context=context, timeout=5)
    try:
        connection.request("POST", "/partners/sandbox/v1/oauth/token",
                           body=json.dumps({"applicationKey": key, "applicationSecret": secret}),
                           headers={"Content-Type": "application/json", "resourceOwnerId": key,
                                    "requestUId": str(uuid.uuid4())})
        token: str = json.loads(connection.getresponse().read())["data"]["accessToken"]
    finally:
        connection.close()
    sandbox.requests.clear()
    return token
