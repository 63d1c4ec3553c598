"""run_exp: option checks, group adoption, the space timestamp, filling and mode dispatch."""

import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group, Space


class SpyExperiment(Experiment):
    """Records what run_exp hands to empty-gate filling and to the two loops, with the group at that moment."""

    answer = object()

    def record(self, name, args, kwargs):
        self.log.append((name, args, kwargs, self.group))
        return self.answer

    def fill_empty_wave_gates(self, *args, **kwargs):
        self.record("fill", args, kwargs)

    def run_exp_normal(self, *args, **kwargs):
        return self.record("normal", args, kwargs)

    def run_exp_batch_circuit(self, *args, **kwargs):
        return self.record("batch", args, kwargs)


def callback(**kwargs):
    return None


@pytest.fixture
def spy_exp():
    exp = SpyExperiment("title", "description")
    exp.log = []
    return exp


class OptionsDict(dict):
    pass


@pytest.mark.parametrize(("options", "type_name"), [(OptionsDict(space_timestamp=3), "OptionsDict"), ([], "list")])
def test_options_must_be_a_plain_dict_and_nothing_changes(spy_exp, spy_registers, group, options, type_name):
    with pytest.raises(TypeError) as info:
        spy_exp.run_exp(callback, options, group)
    assert str(info.value) == f"Argument 'options' has incorrect type (expected dict, got {type_name})"
    assert spy_exp.group is None and spy_exp.log == [] and spy_registers.calls == []


@pytest.mark.parametrize(("batch", "loop"), [(None, "normal"), ([], "batch")])
@pytest.mark.parametrize(("options", "timestamp"), [
    (None, None), ({"other": 5}, None), ({"space_timestamp": None}, None), ({"space_timestamp": 0}, 0),
    ({"space_timestamp": 12.9}, 12), ({"space_timestamp": -3.7}, -3), ({"space_timestamp": "42"}, 42)])
def test_fill_then_the_batch_list_picks_the_loop_and_both_get_the_integer_timestamp(spy_exp, batch, loop, options,
                                                                                    timestamp):
    spy_exp._Experiment__batch_circuits = batch
    before = None if options is None else dict(options)
    assert spy_exp.run_exp(callback, options) is spy_exp.answer
    fill, called = spy_exp.log
    assert fill[:3] == ("fill", (), {"space_timestamp": timestamp})
    assert called[:3] == (loop, (callback, options, None), {"space_timestamp": timestamp})
    assert type(called[2]["space_timestamp"]) is type(timestamp)
    assert called[1][1] is options and options == before  # the caller's dict goes on, key included


@pytest.mark.parametrize(("value", "error"), [("twelve", ValueError), ([12], TypeError)])
def test_unconvertible_space_timestamp_fails_after_the_group_is_adopted(spy_exp, spy_registers, group, value, error):
    with pytest.raises(error):
        spy_exp.run_exp(callback, {"space_timestamp": value}, group)
    assert spy_exp.group is group and spy_exp.log == []


@pytest.mark.parametrize("given", [True, False])
def test_a_given_group_is_adopted_through_the_setter_before_filling(spy_registers, group, given):
    kept = Group("kept")
    exp = SpyExperiment("t", "d", kept)
    exp.log, argument = [], group if given else None
    spy_registers.calls.clear()
    exp.run_exp(callback, None, argument)
    assert spy_registers.calls == ([("get_gate_compiler", group), ("load_waveforms_for_group", group)] if given else [])
    fill, loop = exp.log
    assert fill[3] is loop[3] is (group if given else kept) and loop[1] == (callback, None, argument)


@pytest.mark.parametrize(("timestamp", "amp"), [(500, 0.2), (1500.7, 0.8)])
def test_empty_gates_are_filled_with_the_space_at_the_pinned_time(timestamp, amp):
    space = Space()
    space.update({"q01.freq": 5.0e9, "q01.x_amp": 0.2, "q01.x_width": 20.0}, timestamp=0)
    space.update({"q01.x_amp": 0.8}, timestamp=1000)
    exp = Experiment("t", "d", Group("pinned", space))
    gate = exp.add_wave_gate(("X", "q01"), 0)
    packages = []
    assert exp.run_exp(lambda **kw: packages.append(kw["wave_package"]), {"space_timestamp": timestamp}) is None
    assert len(gate.waves) == 1 and gate.waves[0].wave_parameters["amp"] == pytest.approx(amp)
    assert exp._Experiment__compile_space_timestamp == int(timestamp)
    assert len(packages) == 1 and len(packages[0].waves) == 1
