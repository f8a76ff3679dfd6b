from typing import Any, Optional

from mlflow.entities import Run
from mlflow.tracking import MlflowClient
from requests.auth import AuthBase

from vela_experiment_tracking.auth.authenticator import Authenticator
from vela_experiment_tracking.auth.user import User

class Client:
    authenticator: Optional[Authenticator]
    user: User
    tracking_uri: Optional[str]
    def __init__(self, authenticator: Optional[Authenticator]) -> None: ...
    def get_iteration(self, iteration_id: Optional[str]) -> Run: ...

def create_mlflow_client(tracking_uri: Optional[str]) -> MlflowClient: ...

class BearerAuth(AuthBase): ...

class RequestAuthProvider:
    def get_name(self) -> str: ...
    def get_auth(self) -> BearerAuth: ...
