from http.server import BaseHTTPRequestHandler
from queue import Queue
from typing import Any, Type

class DisposableHandler(BaseHTTPRequestHandler): ...

def get_disposable_handler(client: Any, state: str, queue: Queue) -> Type[BaseHTTPRequestHandler]: ...
