import pprint

import pytest
from hypothesis import given, strategies as st

from vela_experiment_tracking.entities import labeled_record
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.entities.labeled_record import (
    LabeledRecord, LabeledRecordPrinter, is_valid_property, property_and_nodump)


class Other(property):
    pass


class Alpha(LabeledRecord):
    alpha = property(lambda self: "a")
    beta = property_and_nodump(lambda self: "b")


class Mixed(LabeledRecord):
    Zeta = property(lambda self: "z")
    alpha = property(lambda self: "a")


class Hidden(LabeledRecord):
    _hidden = property(lambda self: "h")


class Parent(LabeledRecord):
    pass


class Leaf(Parent):
    pass


class Child(Alpha):
    gamma = property(lambda self: "g")

    def __init__(self, name, description):
        super().__init__(name, description)
        self.plain = 1

    def method(self):
        pass


class Renamed(LabeledRecord):
    name = property(lambda self: "renamed")


class Stage(LabeledRecord):
    params = property(lambda self: {"lr": 0.1, "depth": 6})
    parent = property(lambda self: Experiment("churn", "weekly retrain"))
    notes = property_and_nodump(lambda self: "not shown")


class Loop(LabeledRecord):
    me = property(lambda self: self)
    friends = property(lambda self: [self])


@pytest.mark.parametrize(
    "cls, listed",
    [(LabeledRecord, ["name"]), (Alpha, ["alpha", "name"]), (Mixed, ["Zeta", "alpha", "name"]),
     (Hidden, ["_hidden", "name"]), (Leaf, []), (Child, ["alpha", "gamma"]), (Renamed, ["name"]),
     (Experiment, ["name"])],
)
def test_listed_properties(cls, listed):
    assert cls._properties() == listed


def test_record_basics():
    record = LabeledRecord("run-1", "first run")
    assert (record.name, record.description) == ("run-1", "first run")
    assert list(record) == [("name", "run-1")] and record._properties() == ["name"]
    with pytest.raises(AttributeError):
        record.name = "other"
    assert record.name == "run-1"
    assert LabeledRecord(None, None).name is None


@pytest.mark.parametrize(
    "attribute, valid",
    [(LabeledRecord.__dict__["name"], True), (LabeledRecord.__dict__["description"], False), ("name", False),
     (None, False), (Other(), True)],
)
def test_is_valid_property(attribute, valid):
    assert is_valid_property(attribute=attribute) is valid


def test_iteration_is_lazy_and_reads_values_as_produced():
    reads = []

    class Watched(LabeledRecord):
        a = property(lambda self: reads.append("a") or 1)
        b = property(lambda self: reads.append("b") or 2)

    pairs = iter(Watched("w", None))
    assert reads == []
    assert next(pairs) == ("a", 1) and reads == ["a"]


def test_getter_error_stops_the_iteration():
    class Broken(LabeledRecord):
        a = property(lambda self: 1)
        b = property(lambda self: 1 / 0)

    pairs = iter(Broken("x", None))
    assert next(pairs) == ("a", 1)
    with pytest.raises(ZeroDivisionError):
        next(pairs)
    assert list(pairs) == []


@pytest.mark.parametrize(
    "record, text",
    [
        (Experiment("churn", "weekly retrain"), "<Experiment: name='churn'>"),
        (Stage("fit", None), "<Stage: name='fit', params={'depth': 6, 'lr': 0.1}, parent=<Experiment: name='churn'>>"),
        ([Experiment("a", None), Experiment("b", None)], "[<Experiment: name='a'>, <Experiment: name='b'>]"),
        (Leaf("x", None), "<Leaf: >"),
        (LabeledRecord("x", "y"), "<LabeledRecord: name='x'>"),
        (LabeledRecord(7, None), "<LabeledRecord: name=7>"),
        (Loop("o", None), "<Loop: friends=[<Loop: ...>], me=<Loop: ...>, name='o'>"),
    ],
)
def test_printing(record, text):
    assert LabeledRecordPrinter().to_string(record) == text
    assert repr(record) == str(record) == text


def test_long_values_wrap_as_pprint_wraps_them():
    class Long(LabeledRecord):
        values = property(lambda self: list(range(40)))

    assert repr(Long("x", None)) == "<Long: name='x', values=" + pprint.pformat(list(range(40))) + ">"
    assert "\n" in repr(Long("x", None))


@given(st.recursive(st.none() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary(),
                    lambda c: st.lists(c) | st.dictionaries(st.text(), c) | st.tuples(c, c), max_leaves=20))
def test_non_records_print_as_pprint_prints(value):
    assert LabeledRecordPrinter().to_string(value) == pprint.PrettyPrinter().pformat(value)


def test_unpacking_needs_pairs():
    with pytest.raises(ValueError):
        LabeledRecordPrinter()._entity_to_string([("a", 1, 2)])


def test_names_are_read_at_call_time(monkeypatch):
    monkeypatch.setattr(labeled_record, "is_valid_property", lambda attribute: False)
    assert Alpha._properties() == []
