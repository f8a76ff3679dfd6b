from typing import Optional

from vela_experiment_tracking.tracking.initialize import init as init

__version__: str

def logout(login_id: Optional[str] = ...) -> None:
    """Log out on this machine: forget the remembered login named, else every remembered login."""
