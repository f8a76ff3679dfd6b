from typing import Optional

class TokenRefreshError(Exception): ...

class TokenProvider:
    client_id: Optional[str]
    token_endpoint_url: str
    requests_made: int
    def __init__(self, refresh_token: str, client_id: Optional[str], token_endpoint_url: str) -> None: ...
    def token(self) -> str: ...

def remember_client(
    client_id: str, client_secret: Optional[str], token_endpoint_auth_method: str = "client_secret_basic"
) -> None: ...
