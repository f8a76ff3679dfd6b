"""Access tokens under attack and through faults: with the real provider, the real MLflow server behind
the token-verifying gateway, and a second local server standing for any other host."""
import logging
import os
import threading
import time

import pytest
import requests
from mlflow import MlflowClient

from vela_experiment_tracking.auth.authenticator import Authenticator, ZELTAuthenticator
from vela_experiment_tracking.tracking.client import create_mlflow_client
from vela_experiment_tracking.tracking.initialize import init
from vela_experiment_tracking.tracking import sender as sender_module
from vela_experiment_tracking.tracking.sender import get_sender

from .conftest import PLATFORM_CLIENT, TOKEN_LIFETIME, Relay


def platform_login(oidc_provider, refresh_token):
    return ZELTAuthenticator(refresh_token, oidc_provider + "/oauth2/token", oidc_provider + "/userinfo",
                             PLATFORM_CLIENT)


def provider_of(authenticator):
    return vars(authenticator)["_Authenticator__token_provider"]


class Switch(Relay):
    """Stands before the gateway; while `down`, the tracking service is out (503)."""

    def __init__(self, upstream):
        self.down = False
        super().__init__(upstream)

    def answer(self, handler, body):
        if self.down:
            self.reply(handler, 503)
        return self.down

    def outage(self, seconds):
        self.down = True
        timer = threading.Timer(seconds, lambda: setattr(self, "down", False))
        timer.daemon = True
        timer.start()


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
                                                                    unique_name, caplog, monkeypatch):
    monkeypatch.setattr(sender_module, "_sender", None)  # a sender of this test's own, whatever earlier ones left
    authenticator = platform_login(oidc_provider, platform_refresh_token)
    experiment = init("churn", unique_name, tracking_uri=gateway.url, authenticator=authenticator)
    mlflow = create_mlflow_client(gateway.url)
    run_id = mlflow.create_run(experiment.experiment_id).info.run_id
    mlflow.log_metric(run_id, "loss", 1.0)
    before = provider_of(authenticator).requests_made
    requests.post(f"{oidc_provider}/users/jdoe/revoke-tokens", timeout=10).raise_for_status()

    with caplog.at_level(logging.WARNING, "vela_experiment_tracking.tracking.sender"):
        for step in range(5):  # MLflow's writes are queued: the sender meets the revocation
            mlflow.log_metric(run_id, "loss", 0.5, step=step)
        assert get_sender().flush(run_id, timeout=3) is False
    token_requests = provider_of(authenticator).requests_made - before
    # the process's sender may still be trying servers that earlier tests stopped: this gateway's warnings only
    warnings = [record.getMessage() for record in caplog.records if gateway.url in record.getMessage()]
    print(f"\nafter the revocation: {len(warnings)} warning(s), {token_requests} token request(s)")
    assert len(warnings) == 1 and "Please log in again" in warnings[0]  # said once, kept for later
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
