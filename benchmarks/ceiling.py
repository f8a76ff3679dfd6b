"""What a tracking server takes at most: a minimal client posting ready-made batch requests over a few
connections at once, the ceiling beside which `make bench` prints the sender's rates."""
import json
import threading
import time

import requests

CONNECTIONS = 4
BATCH = 1000


def new_run(address, experiment_name):
    """A run made with the REST API itself (not through a client that may queue its writes)."""
    experiment = requests.get(f"{address}/api/2.0/mlflow/experiments/get-by-name",
                              params={"experiment_name": experiment_name}, timeout=30).json()["experiment"]
    created = requests.post(f"{address}/api/2.0/mlflow/runs/create",
                            json={"experiment_id": experiment["experiment_id"]}, timeout=30)
    return created.json()["run"]["info"]["run_id"]


def server_ceiling(address, experiment_name, batches=40, connections=CONNECTIONS, batch=BATCH, runs=1):
    """Metrics a second the server holds from `batches` batches of `batch` metrics posted over `connections`
    connections at once, to `runs` runs in turn."""
    run_ids = [new_run(address, experiment_name) for _ in range(runs)]
    bodies = [json.dumps({"run_id": run_ids[b % runs], "metrics": [
        {"key": "ceiling", "value": float(i), "timestamp": 0, "step": b * batch + i} for i in range(batch)]})
        for b in range(batches)]

    def post(share):
        with requests.Session() as session:
            for body in share:
                answer = session.post(f"{address}/api/2.0/mlflow/runs/log-batch", data=body,
                                      headers={"Content-Type": "application/json"}, timeout=120)
                if answer.status_code != 200:
                    raise RuntimeError(f"the server answered {answer.status_code}: {answer.text[:300]}")

    threads = [threading.Thread(target=post, args=(bodies[n::connections],)) for n in range(connections)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return batches * batch / (time.perf_counter() - start)
