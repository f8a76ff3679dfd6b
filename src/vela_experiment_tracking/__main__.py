"""`python -m vela_experiment_tracking`: the command line (login, status, logout, sync)."""
import sys

from vela_experiment_tracking.command_line import main

sys.exit(main(sys.argv[1:]))
