"""`python -m vela_experiment_tracking sync`: upload the records that ended processes left behind."""
import sys

from vela_experiment_tracking.tracking.sender import main

sys.exit(main(sys.argv[1:]))
