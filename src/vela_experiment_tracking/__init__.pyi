from vela_experiment_tracking.auth.remembered import forget_login as logout
from vela_experiment_tracking.tracking.initialize import init as init

__version__: str
