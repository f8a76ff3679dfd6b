from typing import Optional

from mlflow.entities import Run

from vela_experiment_tracking.entities.iteration import Iteration
from vela_experiment_tracking.entities.labeled_record import LabeledRecord
from vela_experiment_tracking.entities.project import Project
from vela_experiment_tracking.tracking.client import Client

class Experiment(LabeledRecord):
    experiment_id: Optional[str]
    project: Optional[Project]
    client: Client
    def __init__(self, name: Optional[str], description: Optional[str], experiment_id: Optional[str] = ...,
                 project: Optional[Project] = ...) -> None: ...
    def get_iteration_meta(self, iteration_id: Optional[str]) -> Run: ...
    def get_iteration(self) -> Iteration: ...
