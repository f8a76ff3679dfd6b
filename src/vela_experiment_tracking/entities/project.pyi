from typing import Any, Optional

from vela_experiment_tracking.entities.labeled_record import LabeledRecord

class Project(LabeledRecord):
    client: Any
    def __init__(self, name: Optional[str], description: Optional[str], client: Any = ...) -> None: ...
