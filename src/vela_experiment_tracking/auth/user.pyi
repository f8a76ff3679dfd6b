from typing import Any, List, Optional

class User:
    username: str
    name: str
    active_iteration_stack: List[Any]
    active_experiment: Optional[Any]
    active_project: Optional[Any]
    def __init__(self, username: str) -> None: ...
    def _set_name(self, username: str) -> None: ...
    @staticmethod
    def create_terminal_user() -> User: ...
