from vela_experiment_tracking.tracking.initialize import init as init

__version__: str
