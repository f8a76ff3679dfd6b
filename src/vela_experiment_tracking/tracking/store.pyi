from typing import Any, Callable, Optional

from mlflow.store.tracking.rest_store import RestStore

class DurableRestStore(RestStore):
    store_uri: str
    def __init__(self, get_host_creds: Callable[[], Any], store_uri: str) -> None: ...

def durable_server(uri: str) -> Optional[str]: ...
def build_store(store_uri: str, artifact_uri: Optional[str] = ...) -> DurableRestStore: ...
