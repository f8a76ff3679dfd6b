"""Start tracking: log in (if the environment describes a login), find or create the experiment,
and train a small scikit-learn model inside an iteration. MLflow's autolog records the model's
parameters and training metrics in the iteration, and the model is logged with it.

Besides the package it needs scikit-learn, with pandas and skops for MLflow's scikit-learn flavour.
"""
import mlflow
import mlflow.sklearn
from sklearn.datasets import load_iris  # type: ignore[import-untyped]
from sklearn.linear_model import LogisticRegression  # type: ignore[import-untyped]
from sklearn.model_selection import train_test_split  # type: ignore[import-untyped]

from vela_experiment_tracking import init

experiment = init("quickstart", "first-steps")
print("experiment:", experiment, "id", experiment.experiment_id)

mlflow.sklearn.autolog(log_models=False)
features, labels = load_iris(return_X_y=True)
train_features, test_features, train_labels, test_labels = train_test_split(features, labels, random_state=0)

with experiment.get_iteration() as iteration:
    iteration.set_tag("purpose", "demo")
    model = LogisticRegression(max_iter=300).fit(train_features, train_labels)
    iteration.log_metric("test_accuracy", float(model.score(test_features, test_labels)))
    mlflow.sklearn.log_model(model, name="model")
    print("iteration:", iteration)

run = experiment.get_iteration_meta(iteration.iteration_id)
print("run:", run.info.run_name, "status", run.info.status)
print("metrics:", {name: round(value, 4) for name, value in sorted(run.data.metrics.items())})
address = str(experiment.client.tracking_uri).rstrip("/")
print(f"MLflow UI: {address}/#/experiments/{experiment.experiment_id}/runs/{iteration.iteration_id}")
