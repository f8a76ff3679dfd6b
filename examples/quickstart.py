"""Start tracking: log in (if the environment describes a login), find or create the experiment,
and record one iteration with a few parameters and metrics."""
import math

from vela_experiment_tracking.tracking.initialize import init

experiment = init("quickstart", "first-steps")
print("experiment:", experiment, "id", experiment.experiment_id)

with experiment.get_iteration() as iteration:
    iteration.log_params({"learning_rate": 0.05, "depth": 6})
    for step in range(1, 6):
        iteration.log_metrics({"loss": round(math.exp(-step / 2), 4), "accuracy": round(1 - math.exp(-step), 4)},
                              step=step)
    iteration.set_tag("purpose", "demo")
    print("iteration:", iteration)

run = experiment.get_iteration_meta(iteration.iteration_id)
print("run:", run.info.run_name, "status", run.info.status, "metrics", run.data.metrics)
address = experiment.client.tracking_uri.rstrip("/")
print(f"MLflow UI: {address}/#/experiments/{experiment.experiment_id}/runs/{iteration.iteration_id}")
