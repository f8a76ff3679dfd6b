from typing import Any, Optional, Union

from vela_experiment_tracking.auth.authenticator import Authenticator
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.entities.project import Project

def init(project: Union[str, Project], experiment: Union[str, Experiment] = ..., use_if_exists: Any = ...,
         tracking_uri: Optional[str] = ..., authenticator: Optional[Authenticator] = ...) -> Union[Project, Experiment]: ...
