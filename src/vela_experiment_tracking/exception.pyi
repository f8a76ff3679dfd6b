from typing import Any

from mlflow.exceptions import MlflowException

class ExperimentTrackingException(MlflowException): ...
class ServerNotAccessibleException(ExperimentTrackingException): ...

class RestException(ExperimentTrackingException):
    json: Any
    def __init__(self, json: Any) -> None: ...
