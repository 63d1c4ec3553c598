"""The plug-in registry, the built-in option plug-in and the message catalogue."""

import string
from importlib import metadata

import pytest

from varnok_client.languages import MESSAGES, Language, lang
from varnok_client.plugin.plugin_register import plugin_register as shared_register
from varnok_client.plugin.plugin_register import ENTRY_POINT_GROUP, ExperimentOptionsPlugin, PluginRegister
from varnok_client.utils.config_manager import ConfigManager


class Options:
    def __init__(self, name):
        self.name = name

    def experiment_options(self, config_manager):
        config_manager.add_item(self.name, int, default=1)


def test_plugins_come_back_per_hook_in_registration_order():
    register = PluginRegister(entry_point_group=None)
    a, b, c = Options("a"), Options("b"), Options("c")
    register.register(a, "experiment_options")
    register.register(b, ["other"])
    register.register(c, ("experiment_options", "other"))
    assert register.get_plugins_by_hook("experiment_options") == [a, c]
    assert register.get_plugins_by_hook("other") == [b, c]
    assert register.get_plugins_by_hook("missing") == []
    register.register(a, "other")
    assert register.get_plugins_by_hook("other") == [a, b, c]
    assert register.hooks_of(a) == ("experiment_options", "other")
    register.unregister(c)
    assert register.get_plugins_by_hook("experiment_options") == [a]
    with pytest.raises(ValueError):
        register.unregister(c)


@pytest.mark.parametrize("hooks", [[""], [3], None])
def test_bad_hook_names_are_refused(hooks):
    with pytest.raises(TypeError):
        PluginRegister(entry_point_group=None).register(Options("a"), hooks)


class FakeEntryPoint:
    def __init__(self, name, target):
        self.name = name
        self.target = target

    def load(self):
        if isinstance(self.target, Exception):
            raise self.target
        return self.target


def test_discovery_registers_good_entry_points_once_and_records_broken_ones(monkeypatch):
    good = Options("from_entry_point")

    class Declared:
        hooks = ("other",)

    queried = []

    def entry_points(group):
        queried.append(group)
        return [
            FakeEntryPoint("good", good),
            FakeEntryPoint("broken", ImportError("no such module")),
            FakeEntryPoint("declared", Declared),
            FakeEntryPoint("hookless", object()),
        ]

    monkeypatch.setattr(metadata, "entry_points", entry_points)
    register = PluginRegister()
    register.register(Options("explicit"), "experiment_options")
    found = register.get_plugins_by_hook("experiment_options")
    assert [p.name for p in found] == ["explicit", "from_entry_point"]
    assert [type(p) for p in register.get_plugins_by_hook("other")] == [Declared]
    assert queried == [ENTRY_POINT_GROUP]
    assert [name for name, _ in register.discovery_errors] == ["broken", "hookless"]
    assert isinstance(register.discovery_errors[0][1], ImportError)


def test_failing_entry_point_listing_does_not_break_queries(monkeypatch):
    def entry_points(group):
        raise RuntimeError("broken metadata")

    monkeypatch.setattr(metadata, "entry_points", entry_points)
    register = PluginRegister()
    assert register.get_plugins_by_hook("experiment_options") == []
    assert register.discovery_errors[0][0] == "<entry points>"


def test_shared_register_holds_the_builtin_options_plugin():
    plugins = shared_register.get_plugins_by_hook("experiment_options")
    assert any(isinstance(p, ExperimentOptionsPlugin) for p in plugins)


def test_builtin_plugin_defines_shots_and_seed():
    manager = ConfigManager()
    ExperimentOptionsPlugin().experiment_options(manager)
    items = manager.config_items
    assert list(items) == ["shots", "seed"]
    assert (items["shots"]["default"], items["shots"]["minimum"], items["shots"]["maximum"]) == (1024, 0, 10_000_000)
    assert items["seed"]["default"] is None
    manager.input("shots", 0)
    manager.input("seed", None)
    manager.input("seed", 5)
    with pytest.raises(ValueError):
        manager.input("shots", 10_000_001)
    with pytest.raises(TypeError):
        manager.input("seed", "5")
    manager.validate()
    assert manager.user_input == {"shots": 0, "seed": 5}


ARGUMENT_COUNTS = {
    "exp_not_compiled": 0,
    "exp_gate_not_found": 2,
    "exp_gate_no_wave_no_comp": 2,
    "exp_gate_cannot_comp": 3,
    "exp_group_not_set": 0,
    "exp_wave_sweep_length_wrong": 1,
    "exp_space_param_wrong": 1,
    "exp_step_len_wrong": 3,
    "exp_wave_param_wrong": 3,
    "exp_sweep_dim_wrong": 0,
    "exp_wave_para_invalid": 1,
    "exp_sweep_failed": 0,
}


@pytest.mark.parametrize("code", ["en", "zh"])
@pytest.mark.parametrize("key, count", ARGUMENT_COUNTS.items())
def test_templates_have_exactly_their_positional_fields(code, key, count):
    template = Language(code).msg(key)
    fields = [field for _, field, _, _ in string.Formatter().parse(template) if field is not None]
    assert fields == [""] * count
    if count == 0:
        assert "{" not in template and "}" not in template
    markers = [f"<arg{i}>" for i in range(count)]
    text = template.format(*markers)
    assert all(text.count(marker) == 1 for marker in markers)


def test_catalogues_cover_exactly_the_message_keys():
    assert set(MESSAGES) == {"en", "zh"}
    for code in MESSAGES:
        assert set(MESSAGES[code]) == set(ARGUMENT_COUNTS)
    assert all(MESSAGES["en"][key] != MESSAGES["zh"][key] for key in ARGUMENT_COUNTS)


def test_shared_lang_switches_language_and_refuses_unknowns():
    assert lang.language == "en"
    english = lang.msg("exp_sweep_failed")
    try:
        lang.set_language("zh")
        assert lang.msg("exp_sweep_failed") == MESSAGES["zh"]["exp_sweep_failed"] != english
        with pytest.raises(ValueError, match="'fr'"):
            lang.set_language("fr")
        assert lang.language == "zh"
    finally:
        lang.set_language("en")
    with pytest.raises(KeyError, match="exp_nonexistent"):
        lang.msg("exp_nonexistent")


def test_the_submodule_is_importable_as_a_module():
    import varnok_client.plugin.plugin_register as module

    assert module.__name__ == "varnok_client.plugin.plugin_register"
    assert module.plugin_register is shared_register


PLUGIN_MODULE = '''
class LabOptions:
    """Adds the lab's own option, discovered through package metadata."""

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


def test_entry_points_are_discovered_from_installed_package_metadata(tmp_path, monkeypatch):
    module = "varnok_lab_plugin_under_test"
    (tmp_path / f"{module}.py").write_text(PLUGIN_MODULE)
    dist_info = tmp_path / f"{module}-1.0.dist-info"
    dist_info.mkdir()
    (dist_info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {module}\nVersion: 1.0\n")
    (dist_info / "entry_points.txt").write_text(ENTRY_POINTS.format(module=module))
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(__import__("sys").modules, module, raising=False)

    register = PluginRegister()
    found = register.get_plugins_by_hook("experiment_options")
    assert [type(p).__name__ for p in found] == ["LabOptions", "LabOptions"]
    assert found[1] is __import__(module).instance
    assert sorted(name for name, _ in register.discovery_errors) == ["missing", "no_method"]
    manager = ConfigManager()
    found[0].experiment_options(manager)
    assert manager.config_items["lab_delay"]["default"] == 1.5
    # Discovery runs once: a second query does not load the entry points again.
    assert register.get_plugins_by_hook("experiment_options") == found
    assert len(register.discovery_errors) == 2


class NoOptions:
    pass


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda r: r.register(NoOptions(), "experiment_options"), TypeError),
        (lambda r: r.register(Options("a"), []), TypeError),
        (lambda r: r.get_plugins_by_hook(None), TypeError),
        (lambda r: r.unregister(Options("never registered")), ValueError),
    ],
)
def test_register_refuses_plugins_that_could_not_serve_their_hook(call, error):
    register = PluginRegister(entry_point_group=None)
    with pytest.raises(error):
        call(register)
    assert register.plugins == []


@pytest.mark.parametrize("code", [None, ["en"], "EN", "fr"])
def test_set_language_refuses_unknown_codes_and_keeps_the_current_one(code):
    catalogue = Language("zh")
    with pytest.raises(ValueError, match="unknown language"):
        catalogue.set_language(code)
    assert catalogue.language == "zh"
