"""The command line's sync, with its collaborators substituted through the module's attributes."""
from unittest import mock

import pytest

from vela_experiment_tracking import command_line


@pytest.mark.parametrize(
    "counts, code, printed",
    [((3, 0), 0, "Uploaded 3 record(s); 0 left.\n"),
     ((3, 2), 1, "Uploaded 3 record(s); 2 left.\n"),
     ((3, 0, 0), 0, "Uploaded 3 record(s); 0 left.\n"),
     ((3, 0, 4), 1, "Uploaded 3 record(s); 0 left. 4 damaged journal line(s) were skipped.\n")],
    ids=["all sent", "some left", "nothing damaged", "damaged lines"],
)
def test_sync_uploads_with_the_environments_login(monkeypatch, capsys, counts, code, printed):
    collaborators = {name: mock.MagicMock() for name in ("check_authentication", "Client", "Sender", "context")}
    for name, substitute in collaborators.items():
        monkeypatch.setattr(command_line, name, substitute)
    collaborators["Sender"].return_value.sync.return_value = counts
    assert command_line.main(["sync"]) == code
    assert capsys.readouterr().out == printed
    collaborators["check_authentication"].assert_called_once_with(None)
    collaborators["Client"].assert_called_once_with(collaborators["check_authentication"].return_value)
    collaborators["context"].current_client.update.assert_called_once_with(collaborators["Client"].return_value)
    collaborators["Sender"].return_value.sync.assert_called_once_with()


def test_a_failure_is_one_line_without_a_traceback(monkeypatch, capsys):
    from vela_experiment_tracking.exception import ExperimentTrackingException

    monkeypatch.setattr(command_line, "check_authentication",
                        mock.MagicMock(side_effect=ExperimentTrackingException("The device login was denied.")))
    assert command_line.main(["sync"]) == 1
    assert capsys.readouterr().err == "python -m vela_experiment_tracking sync: error: The device login was denied.\n"
