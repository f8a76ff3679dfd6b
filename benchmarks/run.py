"""`make bench`: each figure measured side by side with its baseline in one run, printed as a ratio.
Targets are printed beside the ratios; nothing is asserted."""
import json
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import requests

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from local_servers import LocalMlflowServer, free_port  # noqa: E402

ROUNDS = 15


def median_seconds(action, rounds=ROUNDS):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def side_by_side(title, ours, baseline, target, rounds=ROUNDS):
    # alternate the two so that drift in the machine's load affects both alike
    ours_times, base_times = [], []
    for _ in range(rounds):
        ours_times.append(median_seconds(ours, 1))
        base_times.append(median_seconds(baseline, 1))
    a, b = statistics.median(ours_times), statistics.median(base_times)
    print(f"{title:<58} {a * 1000:9.2f} ms  vs {b * 1000:9.2f} ms   ratio {a / b:5.2f}   (target {target})")


def bench_init(address):
    from vela_experiment_tracking.tracking.initialize import init

    init("bench", "existing", tracking_uri=address)  # the experiment exists from here on
    session = requests.Session()

    def bare_requests():
        assert requests.get(address, timeout=10).status_code == 200
        session.get(f"{address}/api/2.0/mlflow/experiments/get-by-name",
                    params={"experiment_name": "existing"}, timeout=10).raise_for_status()

    side_by_side("init on an existing experiment / its bare HTTP requests",
                 lambda: init("bench", "existing", tracking_uri=address), bare_requests, "<= 1.3")


def bench_metrics(address):
    from mlflow import MlflowClient

    from vela_experiment_tracking.tracking.initialize import init

    experiment = init("bench", "metrics", tracking_uri=address)
    iteration = experiment.get_iteration()
    client = MlflowClient(tracking_uri=address)
    run_id = client.create_run(experiment.experiment_id).info.run_id

    def ours():
        for i in range(1000):
            iteration.log_metric("m", float(i), step=i)

    def theirs():
        for i in range(1000):
            client.log_metric(run_id, "m", float(i), step=i)

    side_by_side("1,000 metrics: iteration / MLflow's client", ours, theirs, "<= 1.1", rounds=3)
    iteration.end()


def bench_import():
    def importing(module):
        return lambda: subprocess.run([sys.executable, "-c", f"import {module}"], check=True)

    side_by_side("import the package (init) / import mlflow",
                 importing("vela_experiment_tracking.tracking.initialize"), importing("mlflow"), "report", rounds=5)


def bench_token_requests():
    import vela_authn

    seen = []

    class TokenEndpoint(BaseHTTPRequestHandler):
        def do_POST(self):
            self.rfile.read(int(self.headers["Content-Length"]))
            seen.append(1)
            body = json.dumps({"access_token": f"a{len(seen)}", "refresh_token": f"r{len(seen)}", "expires_in": 300})
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.end_headers()
            self.wfile.write(body.encode())

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), TokenEndpoint)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    provider = vela_authn.TokenProvider(refresh_token="r0", client_id="bench",
                                        token_endpoint_url=f"http://127.0.0.1:{server.server_port}/token")
    for _ in range(1000):
        provider.token()
    server.shutdown()
    print(f"{'network requests per 1,000 token() calls in one lifetime':<58} {len(seen):9d}          "
          f"                       (target 1)")


def bench_printing():
    import pprint

    from vela_experiment_tracking.entities.experiment import Experiment
    from vela_experiment_tracking.entities.labeled_record import LabeledRecord

    class Stage(LabeledRecord):
        params = property(lambda self: {"lr": 0.1, "depth": 6})
        parent = property(lambda self: Experiment("churn", None))

    stage = Stage("fit", None)
    printer = pprint.PrettyPrinter()

    def ours():
        for _ in range(1000):
            repr(stage)
            list(stage)

    def plain_python():  # the same listing from a dict of the values
        for _ in range(1000):
            values = {"name": "fit", "params": {"lr": 0.1, "depth": 6}, "parent": "<Experiment: name='churn'>"}
            "<Stage: " + ", ".join(f"{k}={printer.pformat(v)}" for k, v in values.items()) + ">"
            list(values.items())

    side_by_side("1,000 records printed and enumerated / pprint of a dict", ours, plain_python, "report")


def main():
    with tempfile.TemporaryDirectory() as folder, LocalMlflowServer(folder, free_port()) as server:
        print(f"benchmarks against a local MLflow server at {server.address}\n")
        bench_init(server.address)
        bench_metrics(server.address)
    bench_import()
    bench_token_requests()
    bench_printing()


if __name__ == "__main__":
    main()
