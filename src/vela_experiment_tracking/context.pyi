import threading
from typing import Any, List, Set, Tuple

from vela_experiment_tracking.entities.iteration import Iteration
from vela_experiment_tracking.tracking.client import Client

class ContextClient(Client):
    is_set_up: bool
    def __init__(self) -> None: ...
    def update(self, client: Client) -> None: ...
    def __bool__(self) -> bool: ...

current_client: ContextClient

class ThreadIterations(threading.local):
    open: List[Iteration]
    def __init__(self) -> None: ...

thread_iterations: ThreadIterations
open_iterations: List[Iteration]
exiting_on_exception: bool
tagged_experiments: Set[Tuple[Any, ...]]
