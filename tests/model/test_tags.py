from vela_experiment_tracking.model import tags


def test_tag_keys():
    keys = {name: value for name, value in vars(tags).items() if name.startswith("EXP_STORE_")}
    assert keys == {
        "EXP_STORE_RUN_NAME": "vela_experiment_tracking.runName",
        "EXP_STORE_PARENT_RUN_ID": "vela_experiment_tracking.parentRunId",
        "EXP_STORE_PROJECT_NAME": "vela_experiment_tracking.projectName",
        "EXP_STORE_PROJECT_DESCRIPTION": "vela_experiment_tracking.projectDescription",
        "EXP_STORE_EXPERIMENT_DESCRIPTION": "vela_experiment_tracking.experimentDescription",
    }
    assert not [n for n in vars(tags) if not n.startswith("__") and not n.startswith("EXP_STORE_")]
