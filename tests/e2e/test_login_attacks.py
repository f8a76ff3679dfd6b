"""The browser login attacked by a hostile local process, with the real provider and chromium."""
import errno
import logging
import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import webbrowser

import pytest
import requests

from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator

LOGIN_LOGGER = "vela_experiment_tracking.auth.authenticator"


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


needs_ipv6 = pytest.mark.skipif(not has_ipv6_loopback(), reason="no IPv6 loopback")


class WhenListening(logging.Handler):
    """Runs the attack as soon as the login's listener is up, before the browser is opened."""

    def __init__(self, attack):
        super().__init__(logging.DEBUG)
        self.attack, self.results = attack, []

    def emit(self, record):
        found = re.match(r"Handler started listening 'http://.*':(\d+)$", record.getMessage())
        if found:
            self.results.append(self.attack(int(found.group(1))))


@pytest.fixture
def when_listening(monkeypatch):
    logger = logging.getLogger(LOGIN_LOGGER)
    monkeypatch.setattr(logger, "level", logging.DEBUG)
    handlers = []

    def install(attack):
        handlers.append(WhenListening(attack))
        logger.addHandler(handlers[-1])
        return handlers[-1]

    yield install
    for handler in handlers:
        logger.removeHandler(handler)


@pytest.fixture
def attacker_as_browser(tmp_path, monkeypatch):
    """The login address goes to a script of the attacker's instead of the browser (it reads the address
    from the browser's command line just as well)."""

    def install(source):
        script = tmp_path / "attacker"
        script.write_text(f"#!{sys.executable}\n{source}")
        script.chmod(0o755)
        monkeypatch.setenv("BROWSER", str(script))
        monkeypatch.setattr(webbrowser, "_tryorder", None)
        return script

    return install


INJECT_CODE = '''
import base64, hashlib, secrets, sys, urllib.parse
import requests

login = sys.argv[1]
query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(login).query))
authorize = login.split("?")[0]
verifier = secrets.token_urlsafe(48)
challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=").decode()
# a code for the attacker's own account, for the victim's client and redirect, with the victim's state
issued = requests.post(authorize, params={
    "client_id": query["client_id"], "redirect_uri": query["redirect_uri"], "response_type": "code",
    "scope": "openid", "state": query["state"], "nonce": "n", "code_challenge": challenge,
    "code_challenge_method": "S256"}, data={"sub": "mallory@example.org"}, allow_redirects=False, timeout=10)
delivered = requests.get(issued.headers["Location"], timeout=30)
print(delivered.status_code, file=sys.stderr)
'''


def test_code_for_another_account_delivered_with_the_right_state_is_refused(oidc_provider, attacker_as_browser):
    attacker_as_browser(INJECT_CODE)
    authenticator = OIDCAuthenticator(oidc_provider)
    with pytest.raises(Exception, match="invalid_grant|refused the login"):
        authenticator.authenticate()
    assert authenticator.is_authenticated is False  # not logged in as mallory


@needs_ipv6
def test_squatter_cannot_take_the_port_on_either_loopback_address(oidc_provider, browser, when_listening):
    def squat(port):
        refused = []
        for family, address in ((socket.AF_INET6, "::1"), (socket.AF_INET, "127.0.0.1")):
            with socket.socket(family) as squatter:
                try:
                    squatter.bind((address, port))
                    squatter.listen()
                except OSError as error:
                    refused.append(error.errno)
        return refused

    attempts = when_listening(squat)
    user = OIDCAuthenticator(oidc_provider).authenticate()
    assert attempts.results == [[errno.EADDRINUSE, errno.EADDRINUSE]]
    assert user.username == "john.smith@example.org" and "Login complete" in browser.read_text()


def test_idle_connections_opened_before_the_redirect_do_not_stall_the_login(oidc_provider, browser,
                                                                             when_listening):
    addresses = [("127.0.0.1", socket.AF_INET)] + ([("::1", socket.AF_INET6)] if has_ipv6_loopback() else [])

    def idle(port):
        return [socket.create_connection((address, port)) for address, _ in addresses]

    attack = when_listening(idle)
    started = time.monotonic()
    user = OIDCAuthenticator(oidc_provider).authenticate()
    print(f"\nlogin with {len(addresses)} idle connections open: {time.monotonic() - started:.1f} s")
    assert user.username == "john.smith@example.org" and "Login complete" in browser.read_text()
    for connection in attack.results[0]:
        with connection:
            connection.settimeout(20)
            assert connection.recv(1) == b""  # the listener closed it: no complete request in time


def test_error_redirect_without_the_state_does_not_end_the_login(oidc_provider, browser, when_listening):
    def abort(port):
        return requests.get(f"http://127.0.0.1:{port}/callback?error=access_denied&error_description=bye",
                            timeout=10).status_code

    attack = when_listening(abort)
    user = OIDCAuthenticator(oidc_provider).authenticate()
    assert attack.results == [400]
    assert user.username == "john.smith@example.org" and "Login complete" in browser.read_text()


def test_ctrl_c_ends_a_waiting_login_and_the_process_exits(oidc_provider, tmp_path):
    opened = tmp_path / "opened"
    browser = tmp_path / "browser"
    browser.write_text(f"#!/bin/sh\necho \"$1\" > {opened}\n")  # a browser the user never logs in with
    browser.chmod(0o755)
    code = ("import sys, time\n"
            "from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator\n"
            "try:\n"
            f"    OIDCAuthenticator({oidc_provider!r}).authenticate()\n"
            "finally:\n"
            "    print('ended', time.monotonic(), file=sys.stderr)\n")
    login = subprocess.Popen([sys.executable, "-c", code], env={**os.environ, "BROWSER": str(browser)},
                             stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not opened.exists() and time.monotonic() < deadline and login.poll() is None:
            time.sleep(0.1)
        assert opened.exists()
        port = urllib.parse.urlsplit(dict(urllib.parse.parse_qsl(
            urllib.parse.urlsplit(opened.read_text().strip()).query))["redirect_uri"]).port
        time.sleep(0.5)  # waiting for the browser's redirect now
        interrupted = time.monotonic()
        login.send_signal(signal.SIGINT)
        returncode = login.wait(timeout=30)
        took = time.monotonic() - interrupted
    finally:
        if login.poll() is None:
            login.kill()
            login.wait()
    errors = login.stderr.read()
    ended = float(re.search(r"ended ([\d.]+)", errors).group(1)) - interrupted
    print(f"\nCtrl-C: the login ended after {ended:.2f} s, the process exited after {took:.2f} s")
    assert returncode != 0 and "KeyboardInterrupt" in errors
    assert ended < took < 10
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
