"""Logins against a misbehaving provider and on unusual local host names, with real peers."""
import logging
import re
import socket
import threading

import pytest

import vela_authn
from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator

from .test_login_attacks import needs_ipv6

ANSWER = (b'HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 71\r\n\r\n'
          b'{"access_token": "access-1", "refresh_token": "refresh-2", "expires_in": 60}')


class TricklingEndpoint:
    """Answers every request a byte at a time, a byte every quarter second: each read gets its byte in time,
    the whole answer would take half a minute. Counts the bytes it sent."""

    def __init__(self):
        self.sent, self.stop = 0, threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.listener.getsockname()[1]}/token"
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        connection, _ = self.listener.accept()
        with connection:
            connection.recv(65536)
            for byte in ANSWER:
                if self.stop.wait(0.25):
                    return
                try:
                    connection.sendall(bytes([byte]))
                except OSError:
                    return  # the client gave up and closed the connection
                self.sent += 1

    def close(self):
        self.stop.set()
        self.listener.close()


@pytest.fixture
def trickling():
    endpoint = TricklingEndpoint()
    yield endpoint
    endpoint.close()


def test_a_token_endpoint_that_trickles_its_answer_is_given_up_at_the_deadline(trickling, monkeypatch):
    monkeypatch.setattr(vela_authn, "ANSWER_DEADLINE", 2.0)
    provider = vela_authn.TokenProvider(refresh_token="refresh-1", client_id="cli", token_endpoint_url=trickling.url)
    with pytest.raises(vela_authn.TokenRefreshError, match="no complete answer within 2.0 s"):
        provider.token()
    assert 0 < trickling.sent < len(ANSWER)  # it was still answering when the wait ended


@needs_ipv6
@pytest.mark.parametrize("hostname", ["LOCALHOST", "::1"])
def test_a_login_on_any_spelling_of_the_loopback_closes_its_listener(oidc_provider, browser, caplog, hostname):
    caplog.set_level(logging.DEBUG, logger="vela_experiment_tracking.auth.authenticator")
    user = OIDCAuthenticator(oidc_provider, hostname).authenticate()
    assert user.username == "john.smith@example.org" and "Login complete" in browser.read_text()
    port = int(re.search(r"Handler started listening '.*':(\d+)", caplog.text).group(1))
    for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        with socket.socket(family) as probe, pytest.raises(ConnectionRefusedError):
            probe.connect((address, port))  # nothing listens there any more
    assert [r.getMessage() for r in caplog.records if r.name.startswith("oic") and r.levelno >= logging.ERROR] == []
