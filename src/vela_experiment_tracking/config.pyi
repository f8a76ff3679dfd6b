from typing import Optional

from vela_experiment_tracking.auth.authenticator import Authenticator

def check_auth_env_configs() -> Optional[Authenticator]: ...
