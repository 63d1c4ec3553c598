"""The run entry point: option checks, group adoption, the space timestamp and mode dispatch."""

import collections

import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group
from varnok_client.group import Space
from varnok_client.waveform import WaveCircuit

RUN_EXP_DOC = (
    "Experiment.run_exp(self, callback: Callable, dict options: Optional[Dict] = None, group: Group = None)"
    "\n\nRun the experiment iteratively.\n\nThe callback function can be defined as:\n\n```\n"
    "def run_exp_callback(wave_package: WavePackage, exp_obj: Experiment):\n"
    "    wave_package.plot(dt=0.2)\n```\n\nArgs:\n"
    "    callback: the callback function to pass the WavePackage instances for every step of the experiment.\n"
    "    options: Host/transfer options；可含 space_timestamp（复制实验钉死空间参数时刻）\n"
    "    group: the Group instance"
)
RUN_NORMAL_DOC = (
    "Experiment.run_exp_normal(self, callback: Callable, dict options: Optional[Dict] = None, "
    "group: Group = None, int space_timestamp: int = None)"
)
RUN_BATCH_DOC = (
    "Experiment.run_exp_batch_circuit(self, callback: Callable, dict options: Optional[Dict] = None, "
    "group: Group = None, int space_timestamp: int = None)"
)


@pytest.mark.parametrize(
    ("member", "doc"),
    [("run_exp", RUN_EXP_DOC), ("run_exp_normal", RUN_NORMAL_DOC), ("run_exp_batch_circuit", RUN_BATCH_DOC)],
)
def test_run_method_documentation(member, doc):
    assert getattr(Experiment, member).__doc__ == doc


class SpyExperiment(Experiment):
    """Records what the entry point hands to empty-gate filling and to the two loops."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.log = []
        self.answer = object()

    def fill_empty_wave_gates(self, *args, **kwargs):
        self.log.append(("fill", args, kwargs, self.group))

    def run_exp_normal(self, *args, **kwargs):
        self.log.append(("normal", args, kwargs, self.group))
        return self.answer

    def run_exp_batch_circuit(self, *args, **kwargs):
        self.log.append(("batch", args, kwargs, self.group))
        return self.answer


def callback(**kwargs):
    return None


@pytest.fixture
def spy_exp():
    return SpyExperiment("title", "description")


class OptionsDict(dict):
    pass


@pytest.mark.parametrize(
    ("options", "type_name"),
    [
        (OptionsDict(space_timestamp=3), "OptionsDict"),
        (collections.OrderedDict(), "collections.OrderedDict"),
        ([("space_timestamp", 3)], "list"),
        ("space_timestamp", "str"),
        (0, "int"),
    ],
)
def test_options_must_be_a_plain_dict(spy_exp, spy_registers, group, options, type_name):
    with pytest.raises(TypeError) as info:
        spy_exp.run_exp(callback, options, group)
    assert str(info.value) == f"Argument 'options' has incorrect type (expected dict, got {type_name})"
    # Refused before anything happens: no group adopted, nothing filled, no loop run.
    assert spy_exp.group is None and spy_exp.log == [] and spy_registers.calls == []


def test_options_check_also_applies_to_keyword_use(spy_exp):
    with pytest.raises(TypeError, match=r"^Argument 'options' has incorrect type \(expected dict, got OptionsDict\)$"):
        spy_exp.run_exp(callback=callback, options=OptionsDict())
    assert spy_exp.log == []


@pytest.mark.parametrize(
    ("options", "timestamp"),
    [
        (None, None),
        ({}, None),
        ({"other": 5}, None),
        ({"space_timestamp": None}, None),
        ({"space_timestamp": 7}, 7),
        ({"space_timestamp": 12.9}, 12),
        ({"space_timestamp": -3.7}, -3),
        ({"space_timestamp": "42"}, 42),
        ({"space_timestamp": " 8 "}, 8),
        ({"space_timestamp": 0}, 0),
    ],
)
def test_space_timestamp_comes_from_the_options(spy_exp, options, timestamp):
    before = None if options is None else dict(options)
    assert spy_exp.run_exp(callback, options) is spy_exp.answer
    (fill, loop) = spy_exp.log
    assert fill[:3] == ("fill", (), {"space_timestamp": timestamp})
    assert loop[:3] == ("normal", (callback, options, None), {"space_timestamp": timestamp})
    assert type(fill[2]["space_timestamp"]) is type(timestamp)
    assert type(loop[2]["space_timestamp"]) is type(timestamp)
    # The caller's dictionary goes on as it is, key included.
    assert loop[1][1] is options
    assert options == before


@pytest.mark.parametrize(
    ("value", "error"),
    [("twelve", ValueError), ("12.5", ValueError), ([12], TypeError), ({}, TypeError), (object(), TypeError)],
)
def test_unconvertible_space_timestamp_fails_after_group_adoption(spy_exp, spy_registers, group, value, error):
    with pytest.raises(error):
        spy_exp.run_exp(callback, {"space_timestamp": value}, group)
    assert spy_exp.group is group
    assert spy_registers.names() == ["get_gate_compiler", "load_waveforms_for_group"]
    assert spy_exp.log == []


def test_group_is_adopted_through_the_setter_before_filling(spy_exp, spy_registers, group):
    result = spy_exp.run_exp(callback, None, group)
    assert result is spy_exp.answer
    assert spy_registers.calls == [("get_gate_compiler", group), ("load_waveforms_for_group", group)]
    assert spy_exp.gate_compiler.group is group
    fill, loop = spy_exp.log
    assert fill[3] is group and loop[3] is group
    # The group goes on positionally, exactly as received.
    assert loop[1] == (callback, None, group) and loop[1][2] is group


def test_without_a_group_the_current_group_stays(spy_registers):
    kept = Group("kept")
    exp = SpyExperiment("t", "d", kept)
    spy_registers.calls.clear()
    exp.run_exp(callback)
    assert exp.group is kept and spy_registers.calls == []
    assert exp.log[1][1] == (callback, None, None)


@pytest.mark.parametrize(
    ("batch", "loop"),
    [(None, "normal"), ([], "batch"), ([WaveCircuit()], "batch"), ([WaveCircuit(), WaveCircuit()], "batch")],
)
def test_dispatch_follows_the_batch_list(spy_exp, batch, loop):
    spy_exp._Experiment__batch_circuits = batch
    options = {"space_timestamp": 4.2}
    assert spy_exp.run_exp(callback, options) is spy_exp.answer
    assert [entry[0] for entry in spy_exp.log] == ["fill", loop]
    args, kwargs = spy_exp.log[1][1:3]
    assert args[0] is callback and args[1] is options and args[2] is None
    assert kwargs == {"space_timestamp": 4}


@pytest.mark.parametrize("answer", [None, True, "anything"])
def test_run_exp_returns_what_the_loop_returns(spy_exp, answer):
    spy_exp.answer = answer
    assert spy_exp.run_exp(callback) is answer


def test_every_call_repeats_all_steps(spy_exp):
    spy_exp.run_exp(callback, {"space_timestamp": 1})
    spy_exp.run_exp(callback)
    assert [(entry[0], entry[2]) for entry in spy_exp.log] == [
        ("fill", {"space_timestamp": 1}),
        ("normal", {"space_timestamp": 1}),
        ("fill", {"space_timestamp": None}),
        ("normal", {"space_timestamp": None}),
    ]


def test_fill_failure_stops_before_the_loop(group, spy_registers):
    class Failing(SpyExperiment):
        def fill_empty_wave_gates(self, *args, **kwargs):
            raise LookupError("fill failed")

    exp = Failing("t", "d")
    with pytest.raises(LookupError, match="fill failed"):
        exp.run_exp(callback, None, group)
    assert exp.log == [] and exp.group is group


def test_loop_failure_propagates_unchanged(spy_exp):
    problem = KeyError("from the loop")

    def run_exp_normal(*args, **kwargs):
        raise problem

    spy_exp.run_exp_normal = run_exp_normal
    with pytest.raises(KeyError) as info:
        spy_exp.run_exp(callback)
    assert info.value is problem


# ---------------------------------------------------------------------------
# Through the real loops


class FakeCircuit:
    """A circuit without gates that counts its exports."""

    def __init__(self):
        self.gates = {}
        self.exports = 0

    def search_gates(self, entity, layer):
        return []

    def export_wave_package(self):
        self.exports += 1
        return ("package", self.exports)


def compiled_by_hand(exp, lengths):
    exp._Experiment__compiled = True
    exp._Experiment__compiled_sweep_len = list(lengths)
    exp._Experiment__compiled_sweep_dict = {0: [], 1: [], 2: []}


@pytest.mark.parametrize("lengths", [[1, 1, 1], [3, 1, 1]])
def test_callback_receives_the_callers_options_object(exp, lengths):
    exp._Experiment__wave_circuit = FakeCircuit()
    exp._Experiment__group = Group("g")
    compiled_by_hand(exp, lengths)
    options = {"space_timestamp": 99.5, "extra": [1]}
    seen = []

    def record(**kwargs):
        seen.append(kwargs["options"])

    exp.run_exp(record, options)
    assert len(seen) == lengths[0]
    assert all(value is options for value in seen)
    assert options == {"space_timestamp": 99.5, "extra": [1]}
    assert exp.options == {}


def test_batch_run_through_entry_passes_options(exp):
    circuits = [FakeCircuit(), FakeCircuit()]
    exp._Experiment__batch_circuits = circuits
    exp._Experiment__group = Group("g")
    compiled_by_hand(exp, [2, 1, 1])
    options = {"space_timestamp": "5"}
    seen = []

    def record(**kwargs):
        seen.append((kwargs["options"], kwargs["wave_package"]))

    assert isinstance(exp.run_exp(record, options), Result)
    assert seen == [(options, ("package", 1)), (options, ("package", 1))]
    assert seen[0][0] is options and [c.exports for c in circuits] == [1, 1]


def pinned_group():
    space = Space()
    calibration = {"q01.freq": 5.0e9, "q01.x_amp": 0.2, "q01.x_width": 20.0}
    space.update(calibration, timestamp=0)
    space.update({"q01.x_amp": 0.8}, timestamp=1000)
    return Group("pinned", space)


@pytest.mark.parametrize(("options", "amp"), [({"space_timestamp": 500}, 0.2), ({"space_timestamp": 1500.7}, 0.8)])
def test_empty_gates_are_filled_at_the_pinned_time(options, amp):
    exp = Experiment("t", "d", pinned_group())
    gate = exp.add_wave_gate(("X", "q01"), 0)
    packages = []

    def record(**kwargs):
        packages.append(kwargs["wave_package"])

    assert exp.run_exp(record, options) is None
    assert len(gate.waves) == 1
    assert gate.waves[0].wave_parameters["amp"] == pytest.approx(amp)
    assert exp._Experiment__compile_space_timestamp == int(options["space_timestamp"])
    assert len(packages) == 1 and len(packages[0].waves) == 1
