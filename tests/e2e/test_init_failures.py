"""init against servers that fail, and addresses that are not a server's: each ends soon, saying what is wrong."""
import logging

import mlflow
import pytest

from vela_experiment_tracking.entities.iteration import Iteration
from vela_experiment_tracking.exception import ServerNotAccessibleException
from vela_experiment_tracking.tracking.initialize import init
from vela_experiment_tracking.utils import addresses


def test_a_server_whose_api_fails_ends_init_with_the_status(local_server, monkeypatch, caplog):
    monkeypatch.setattr(addresses, "API_CHECK_SECONDS", 6.0)
    server = local_server(lambda request: (200, "<html>MLflow</html>") if request.path == "/" else
                          (500, {"error_code": "INTERNAL_ERROR", "message": "database is locked"}))
    caplog.set_level(logging.INFO, logger="vela_experiment_tracking.utils.addresses")
    with pytest.raises(ServerNotAccessibleException) as raised:
        init("churn", "weekly", tracking_uri=server.url)
    message = str(raised.value)
    assert f"The tracking server at '{server.url}' answers, but its API does not: it answered HTTP 500" in message
    api_calls = [r for r in server.requests if r.path.startswith("/api/")]
    retries = [r for r in caplog.records if r.levelno == logging.INFO and "trying again" in r.getMessage()]
    assert 2 <= len(api_calls) <= 5 and len(retries) == len(api_calls) - 1


def test_a_failed_probe_says_what_it_found(local_server):
    server = local_server(lambda request: (500, "down"))
    with pytest.raises(ServerNotAccessibleException, match=r"is running, and the address is correct\. The server "
                                                           r"answered HTTP 500\.$"):
        init("churn", "weekly", tracking_uri=server.url)
    assert len(server.requests) == 1


@pytest.mark.parametrize(
    "address, named",
    [("127.0.0.1:5000", "'127.0.0.1:5000' has no scheme: give 'http://127.0.0.1:5000'"),
     ("http://127.0.0.1:9/#/experiments/2", "is a page of the MLflow UI, not the server's: give 'http://127.0.0.1:9'"),
     ("http://127.0.0.1:9/api/2.0/mlflow/experiments/get", "an address of MLflow's REST API, not the server's"),
     (None, "VELA_TRACKING_SERVER_URI, which is not set")],
    ids=["no scheme", "UI address", "API address", "cloud without the address"],
)
def test_an_address_that_is_no_servers_is_named(monkeypatch, address, named):
    if address is None:
        monkeypatch.setenv("VELA_CLOUD_ENVIRONMENT", "1")
        monkeypatch.setenv("VELA_PLATFORM_TOKEN_ENDPOINT", "http://127.0.0.1:9/token")
    with pytest.raises(ServerNotAccessibleException, match="^No usable tracking server address: ") as raised:
        init("churn", "weekly", tracking_uri=address)
    assert named in str(raised.value)


def test_without_logname_iterations_and_mlflow_runs_have_one_user(mlflow_server, mlflow_client, unique_name):
    experiment = init("churn", unique_name, tracking_uri=mlflow_server)  # no login, LOGNAME unset
    with Iteration(experiment) as iteration:
        pass
    with mlflow.start_run() as fluent:
        pass
    users = {mlflow_client.get_run(run_id).data.tags["mlflow.user"] for run_id in (iteration.iteration_id,
                                                                                   fluent.info.run_id)}
    assert users == {experiment.client.user.username}
