"""Access tokens under attack and through faults: with the real provider, the real MLflow server behind
the token-verifying gateway, and a second local server standing for any other host."""
import os
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests
from mlflow import MlflowClient

from vela_experiment_tracking.auth.authenticator import Authenticator, ZELTAuthenticator
from vela_experiment_tracking.tracking.client import create_mlflow_client
from vela_experiment_tracking.tracking.initialize import init

from .conftest import PLATFORM_CLIENT, TOKEN_LIFETIME


def platform_login(oidc_provider, refresh_token):
    return ZELTAuthenticator(refresh_token, oidc_provider + "/oauth2/token", oidc_provider + "/userinfo",
                             PLATFORM_CLIENT)


def provider_of(authenticator):
    return vars(authenticator)["_Authenticator__token_provider"]


class Switch:
    """Stands before the gateway; while `down`, the tracking service is out (503)."""

    def __init__(self, upstream):
        self.down = False
        switch = self

        class Handler(BaseHTTPRequestHandler):
            def forward(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                if switch.down:
                    self.send_response(503)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "content-length")}
                answer = requests.request(self.command, upstream + self.path, headers=headers, data=body, timeout=60)
                self.send_response(answer.status_code)
                self.send_header("Content-Type", answer.headers.get("Content-Type", "application/json"))
                self.send_header("Content-Length", str(len(answer.content)))
                self.end_headers()
                self.wfile.write(answer.content)

            do_GET = do_POST = forward

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_port}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def outage(self, seconds):
        self.down = True
        timer = threading.Timer(seconds, lambda: setattr(self, "down", False))
        timer.daemon = True
        timer.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def switch(gateway):
    switch = Switch(gateway.url)
    yield switch
    switch.stop()


def test_another_mlflow_server_receives_no_token(oidc_provider, platform_refresh_token, gateway, local_server,
                                                 unique_name):
    authenticator = platform_login(oidc_provider, platform_refresh_token)
    init("churn", unique_name, tracking_uri=gateway.url, authenticator=authenticator)
    assert gateway.refused == [] and os.environ["MLFLOW_TRACKING_TOKEN"]

    other = local_server(lambda request: (404, {"error_code": "RESOURCE_DOES_NOT_EXIST", "message": "none"}))
    assert MlflowClient(tracking_uri=other.url).get_experiment_by_name("anything") is None
    assert other.requests and all("Authorization" not in r.headers for r in other.requests)

    Authenticator.cleanup()
    assert "MLFLOW_TRACKING_AUTH" not in os.environ and "MLFLOW_TRACKING_TOKEN" not in os.environ


def test_outage_longer_than_two_token_lifetimes_loses_no_metric(oidc_provider, platform_refresh_token, gateway,
                                                                switch, mlflow_client, unique_name):
    authenticator = platform_login(oidc_provider, platform_refresh_token)
    experiment = init("churn", unique_name, tracking_uri=switch.url, authenticator=authenticator)
    outage = 2.5 * TOKEN_LIFETIME
    logged = 0
    with experiment.get_iteration() as iteration:
        while logged < 40:  # 10 before the outage, the rest during and after it
            if logged == 10:
                switch.outage(outage)
            iteration.log_metric("loss", 1.0 / (logged + 1), step=logged)
            logged += 1
            time.sleep(0.5 if switch.down else 0.1)
    stored = len(mlflow_client.get_metric_history(iteration.iteration_id, "loss"))
    print(f"\n{logged} metrics logged across a {outage:.0f} s outage ({TOKEN_LIFETIME} s tokens): "
          f"{stored} stored, {logged - stored} lost; gateway refused {len(gateway.refused)} stale tokens")
    assert stored == logged


def test_revoked_refresh_token_asks_for_a_new_login_without_a_storm(oidc_provider, platform_refresh_token, gateway,
                                                                    unique_name):
    authenticator = platform_login(oidc_provider, platform_refresh_token)
    experiment = init("churn", unique_name, tracking_uri=gateway.url, authenticator=authenticator)
    mlflow = create_mlflow_client(gateway.url)
    run_id = mlflow.create_run(experiment.experiment_id).info.run_id
    mlflow.log_metric(run_id, "loss", 1.0)
    before = provider_of(authenticator).requests_made
    requests.post(f"{oidc_provider}/users/jdoe/revoke-tokens", timeout=10).raise_for_status()

    failures = []
    for step in range(5):
        try:
            mlflow.log_metric(run_id, "loss", 0.5, step=step)
        except Exception as error:  # MLflow reports what the auth hook raised
            failures.append(str(error))
    token_requests = provider_of(authenticator).requests_made - before
    print(f"\nafter the revocation: {len(failures)} of 5 requests failed, {token_requests} token request(s)")
    assert len(failures) == 5  # the very first request after the revocation says so
    assert all("invalid_grant" in f and "Please log in again" in f for f in failures)
    assert token_requests == 1


def test_four_threads_start_with_one_authenticator_and_log_in_once(oidc_provider, platform_refresh_token,
                                                                   mlflow_server, unique_name):
    class Counted(ZELTAuthenticator):
        logins = 0

        def authenticate(self, **kwargs):
            Counted.logins += 1
            return super().authenticate(**kwargs)

    authenticator = Counted(platform_refresh_token, oidc_provider + "/oauth2/token", oidc_provider + "/userinfo",
                            PLATFORM_CLIENT)
    start, experiments, errors = threading.Barrier(4), [], []

    def start_tracking():
        start.wait()
        try:
            experiments.append(init("churn", unique_name, tracking_uri=mlflow_server, authenticator=authenticator))
        except Exception as error:
            errors.append(error)

    threads = [threading.Thread(target=start_tracking) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert errors == [] and len(experiments) == 4
    assert len({e.experiment_id for e in experiments}) == 1 and Counted.logins == 1
