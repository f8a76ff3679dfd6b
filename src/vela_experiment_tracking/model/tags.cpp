// vela_experiment_tracking.model.tags: the tag keys of runs, projects and experiments.
#include "runtime.hpp"

VELA_MODULE(tags) {
    module.set("EXP_STORE_RUN_NAME", py::str("vela_experiment_tracking.runName"));
    module.set("EXP_STORE_PARENT_RUN_ID", py::str("vela_experiment_tracking.parentRunId"));
    module.set("EXP_STORE_PROJECT_NAME", py::str("vela_experiment_tracking.projectName"));
    module.set("EXP_STORE_PROJECT_DESCRIPTION", py::str("vela_experiment_tracking.projectDescription"));
    module.set("EXP_STORE_EXPERIMENT_DESCRIPTION", py::str("vela_experiment_tracking.experimentDescription"));
}
