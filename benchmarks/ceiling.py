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


def server_ceiling(address, experiment_name, batches=40):
    """Metrics a second the server holds from `batches` batches of 1,000 metrics posted over CONNECTIONS
    connections at once."""
    run_id = new_run(address, experiment_name)
    bodies = [json.dumps({"run_id": run_id, "metrics": [
        {"key": "ceiling", "value": float(i), "timestamp": 0, "step": b * BATCH + i} for i in range(BATCH)]})
        for b in range(batches)]

    def post(share):
        with requests.Session() as session:
            for body in share:
                session.post(f"{address}/api/2.0/mlflow/runs/log-batch", data=body,
                             headers={"Content-Type": "application/json"}, timeout=120).raise_for_status()

    threads = [threading.Thread(target=post, args=(bodies[n::CONNECTIONS],)) for n in range(CONNECTIONS)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return batches * BATCH / (time.perf_counter() - start)
