from typing import Any, Optional

from vela_experiment_tracking.auth.authenticator import Authenticator
from vela_experiment_tracking.auth.user import User

def show_device_code(verification_uri: str, user_code: str, verification_uri_complete: Optional[str] = ...) -> None: ...
def offers_device_login(url: str) -> bool: ...

class DeviceAuthenticator(Authenticator):
    url: str
    client_id: Optional[str]
    client_secret: Optional[str]
    scope: str
    def __init__(self, url: str, client_id: Optional[str] = ..., client_secret: Optional[str] = ...,
                 scope: str = ..., *args: Any, **kwargs: Any) -> None: ...
    def authenticate(self, **kwargs: Any) -> User: ...
