from abc import ABC, abstractmethod
import queue
from typing import Any, Optional

from vela_experiment_tracking.auth.user import User
from vela_experiment_tracking.exception import ExperimentTrackingException

class LoginTimeout(ExperimentTrackingException, queue.Empty): ...

class Authenticator(ABC):
    USER_KEY: str
    TOKEN_PROVIDER_KEY: str
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    @staticmethod
    def cleanup() -> None: ...
    @property
    def is_authenticated(self) -> bool: ...
    @abstractmethod
    def authenticate(self, **kwargs: Any) -> User: ...
    def token(self) -> str: ...
    @property
    def user(self) -> User: ...

class OIDCAuthenticator(Authenticator):
    url: str
    hostname: str
    dcr_enabled: Any
    client_id: Optional[str]
    client_secret: Optional[str]
    def __init__(self, url: str, hostname: str = ..., dcr_enabled: Any = ..., client_id: Optional[str] = ...,
                 client_secret: Optional[str] = ..., *args: Any, **kwargs: Any) -> None: ...
    def authenticate(self, **kwargs: Any) -> User: ...

class ZELTAuthenticator(Authenticator):
    def __init__(self, refresh_token: str, token_endpoint: str, userinfo_endpoint: str,
                 client_id: Optional[str] = ..., *args: Any, **kwargs: Any) -> None: ...
    def authenticate(self, **kwargs: Any) -> User: ...
