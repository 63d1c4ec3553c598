"""The plug-in registry, the built-in option plug-in and the message catalogue."""

import string
import sys

import pytest

from varnok_client.languages import MESSAGES, Language, lang
from varnok_client.plugin.plugin_register import PluginRegister


class Options:
    def __init__(self, name):
        self.name = name

    def experiment_options(self, config_manager):
        config_manager.add_item(self.name, int, default=1)


def test_plugins_come_back_per_hook_in_registration_order_and_bad_ones_are_refused():
    register = PluginRegister(entry_point_group=None)
    a, b, c = Options("a"), Options("b"), Options("c")
    for plugin, hooks in [(a, "experiment_options"), (b, ["other"]), (c, ("experiment_options", "other")),
                          (a, "other")]:
        register.register(plugin, hooks)
    assert register.get_plugins_by_hook("experiment_options") == [a, c]
    assert (register.get_plugins_by_hook("other"), register.get_plugins_by_hook("missing")) == ([a, b, c], [])
    register.unregister(c)
    assert register.get_plugins_by_hook("experiment_options") == [a]
    with pytest.raises(TypeError):  # it could not serve the hook
        register.register(object(), "experiment_options")
    assert register.plugins == [a, b]


PLUGIN_MODULE = '''
class LabOptions:
    def experiment_options(self, config_manager):
        config_manager.add_item("lab_delay", float, default=1.5, minimum=0.0)


class Declares:
    hooks = ("experiment_options",)  # but lacks the method


instance = LabOptions()
'''

ENTRY_POINTS = """\
[varnok_client.plugins]
lab = {module}:LabOptions
shared_instance = {module}:instance
missing = {module}:DoesNotExist
no_method = {module}:Declares

[some.other.group]
ignored = {module}:LabOptions
"""


def test_entry_points_are_discovered_once_from_installed_package_metadata(tmp_path, monkeypatch):
    module = "varnok_lab_plugin_under_test"
    (tmp_path / f"{module}.py").write_text(PLUGIN_MODULE)
    dist_info = tmp_path / f"{module}-1.0.dist-info"
    dist_info.mkdir()
    (dist_info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {module}\nVersion: 1.0\n")
    (dist_info / "entry_points.txt").write_text(ENTRY_POINTS.format(module=module))
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, module, raising=False)
    register = PluginRegister()
    register.register(Options("explicit"), "experiment_options")
    found = register.get_plugins_by_hook("experiment_options")
    assert [type(p).__name__ for p in found] == ["Options", "LabOptions", "LabOptions"]
    assert found[2] is sys.modules[module].instance
    assert sorted(name for name, _ in register.discovery_errors) == ["missing", "no_method"]
    assert register.get_plugins_by_hook("experiment_options") == found and len(register.discovery_errors) == 2


# The positional fields of each message, as the engine fills them.
ARGUMENT_COUNTS = {
    "exp_not_compiled": 0, "exp_gate_not_found": 2, "exp_gate_no_wave_no_comp": 2, "exp_gate_cannot_comp": 3,
    "exp_group_not_set": 0, "exp_wave_sweep_length_wrong": 1, "exp_space_param_wrong": 1, "exp_step_len_wrong": 3,
    "exp_wave_param_wrong": 3, "exp_sweep_dim_wrong": 0, "exp_wave_para_invalid": 1, "exp_sweep_failed": 0,
}


@pytest.mark.parametrize("code", ["en", "zh"])
def test_catalogues_hold_every_key_with_exactly_its_positional_fields(code):
    assert set(MESSAGES[code]) == set(ARGUMENT_COUNTS)
    for key, count in ARGUMENT_COUNTS.items():
        template = Language(code).msg(key)
        fields = [field for _, field, _, _ in string.Formatter().parse(template) if field is not None]
        assert fields == [""] * count, key
        text = template.format(*[f"<arg{i}>" for i in range(count)])
        assert all(text.count(f"<arg{i}>") == 1 for i in range(count)) and "{" not in text and "}" not in text
        assert MESSAGES["en"][key] != MESSAGES["zh"][key]


def test_shared_lang_switches_language_and_refuses_unknown_codes_and_keys():
    assert lang.language == "en"
    try:
        lang.set_language("zh")
        for code in ["fr", None, "EN"]:
            with pytest.raises(ValueError, match="unknown language"):
                lang.set_language(code)
        assert (lang.language, lang.msg("exp_sweep_failed")) == ("zh", MESSAGES["zh"]["exp_sweep_failed"])
    finally:
        lang.set_language("en")
    with pytest.raises(KeyError, match="exp_nonexistent"):
        lang.msg("exp_nonexistent")
