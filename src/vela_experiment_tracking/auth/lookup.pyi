from typing import Any, Optional

from vela_experiment_tracking.auth.authenticator import Authenticator

def check_authentication(authenticator: Any) -> Optional[Authenticator]: ...
