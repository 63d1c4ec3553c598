"""run_exp: option checks, group adoption, the space timestamp, filling and mode dispatch."""

import pytest

from support_collaborators import raised
from support_persistence import quiet as callback
from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group


def recording(name):
    return lambda self, *args, **kwargs: self.log.append((name, args, kwargs, self.group)) or self.answer


class SpyExperiment(Experiment):
    """Records what run_exp hands to empty-gate filling and to the two loops, with the group at that moment."""

    answer = object()
    fill_empty_wave_gates, run_exp_normal, run_exp_batch_circuit = map(recording, ["fill", "normal", "batch"])
    log = property(lambda self: vars(self).setdefault("calls", []))


@pytest.mark.parametrize(("batch", "loop"), [(None, "normal"), ([], "batch")])
@pytest.mark.parametrize(("options", "timestamp"), [
    (None, None), ({"other": 5}, None), ({"space_timestamp": None}, None), ({"space_timestamp": 0}, 0),
    ({"space_timestamp": 12.9}, 12), ({"space_timestamp": -3.7}, -3), ({"space_timestamp": "42"}, 42)])
def test_fill_then_the_batch_list_picks_the_loop_and_both_get_the_integer_timestamp(batch, loop, options, timestamp):
    spy_exp = SpyExperiment("title", "description")
    spy_exp._Experiment__batch_circuits = batch
    before = None if options is None else dict(options)
    assert spy_exp.run_exp(callback, options) is spy_exp.answer
    fill, called = spy_exp.log
    assert fill[:3] == ("fill", (), {"space_timestamp": timestamp})
    assert called[:3] == (loop, (callback, options, None), {"space_timestamp": timestamp})
    assert type(called[2]["space_timestamp"]) is type(timestamp)
    assert called[1][1] is options and options == before  # the caller's dict goes on, key included


@pytest.mark.parametrize(("given", "timestamp", "error"), [
    (True, None, None), (False, None, None), (True, "twelve", ValueError), (True, [12], TypeError)])
def test_a_given_group_is_adopted_through_the_setter_before_the_timestamp_is_converted(spy_registers, group, given,
                                                                                       timestamp, error):
    kept, options = Group("kept"), timestamp and {"space_timestamp": timestamp}
    exp, argument = SpyExperiment("t", "d", kept), group if given else None
    spy_registers.calls.clear()
    raised(error, exp.run_exp, callback, options, argument) if error else exp.run_exp(callback, options, argument)
    assert spy_registers.calls == ([("get_gate_compiler", group), ("load_waveforms_for_group", group)] if given else [])
    assert exp.group is (group if given else kept) and len(exp.log) == (0 if error else 2)
    if error is None:  # filling and the loop both see the adopted group
        fill, loop = exp.log
        assert fill[3] is loop[3] is exp.group and loop[1] == (callback, None, argument)
