from typing import Any, Optional, Union, overload

from vela_experiment_tracking.auth.authenticator import Authenticator
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.entities.project import Project

@overload
def init(project: Union[str, Project], experiment: Union[str, Experiment], use_if_exists: Any = ...,
         tracking_uri: Optional[str] = ..., authenticator: Optional[Authenticator] = ...) -> Experiment: ...
@overload
def init(project: Union[str, Project], *, use_if_exists: Any = ..., tracking_uri: Optional[str] = ...,
         authenticator: Optional[Authenticator] = ...) -> Project: ...
