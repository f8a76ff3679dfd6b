from typing import Any, List, Optional

from mlflow.entities import Experiment as MlflowExperiment
from mlflow.entities import Run

from vela_experiment_tracking.entities.labeled_record import LabeledRecord
from vela_experiment_tracking.tracking.client import Client

class Project(LabeledRecord):
    client: Client
    def __init__(self, name: Optional[str], description: Optional[str], client: Optional[Client] = ...) -> None: ...
    def list_experiments(self) -> List[MlflowExperiment]: ...
    def list_iterations(self, experiment: Any, filter_string: str = ...) -> List[Run]: ...
