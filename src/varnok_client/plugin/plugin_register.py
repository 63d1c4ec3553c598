"""The plug-in registry.

A plug-in is any object registered for one or more hook names; whoever runs a
hook asks :meth:`PluginRegister.get_plugins_by_hook` and calls the method of
that name on each plug-in, in registration order.  The experiment engine runs
the hook ``"experiment_options"`` with its option manager when an experiment
is built.

Installed packages contribute plug-ins through the entry-point group
``varnok_client.plugins``.  An entry point names a plug-in object or a class
(instantiated with no arguments); its hooks are its ``hooks`` attribute, or
else the known hook methods it defines.  Entry points are read once, on the
first query.  A broken entry point never breaks the library: it is skipped and
its error kept in :attr:`PluginRegister.discovery_errors`.
"""

from __future__ import annotations

from importlib import metadata
from typing import Any, Iterable

from ..utils.config_manager import ConfigManager

__all__ = ["ENTRY_POINT_GROUP", "KNOWN_HOOKS", "ExperimentOptionsPlugin", "PluginRegister", "plugin_register"]

ENTRY_POINT_GROUP = "varnok_client.plugins"
#: Hooks the package itself runs; used to infer the hooks of a plug-in
#: that does not list them.
KNOWN_HOOKS = ("experiment_options",)


def _hook_names(hooks: str | Iterable[str]) -> tuple[str, ...]:
    names = (hooks,) if isinstance(hooks, str) else tuple(hooks)
    for name in names:
        if not isinstance(name, str) or not name:
            raise TypeError(f"hook names must be non-empty strings, got {name!r}")
    return tuple(dict.fromkeys(names))


class PluginRegister:
    """Plug-ins by hook, in registration order."""

    def __init__(self, entry_point_group: str | None = ENTRY_POINT_GROUP) -> None:
        self.entry_point_group = entry_point_group
        self._entries: list[tuple[Any, tuple[str, ...]]] = []
        self._discovered = entry_point_group is None
        #: ``(entry point name, exception)`` for every entry point that failed.
        self.discovery_errors: list[tuple[str, BaseException]] = []

    def register(self, plugin: Any, hooks: str | Iterable[str]) -> None:
        """Register ``plugin`` for ``hooks`` (one name or several).

        Registering a plug-in again adds the new hooks and keeps its place.

        Raises:
            TypeError: a hook name is not a non-empty string, no hook is
                given, or the plug-in lacks the method of a hook the package
                runs (``experiment_options``).
        """
        names = _hook_names(hooks)
        if not names:
            raise TypeError(f"plug-in {plugin!r} must be registered for at least one hook")
        for name in names:
            if name in KNOWN_HOOKS and not callable(getattr(plugin, name, None)):
                raise TypeError(f"plug-in {plugin!r} has no method {name!r} for its hook")
        for index, (known, known_hooks) in enumerate(self._entries):
            if known is plugin:
                self._entries[index] = (known, tuple(dict.fromkeys(known_hooks + names)))
                return
        self._entries.append((plugin, names))

    def unregister(self, plugin: Any) -> None:
        """Remove ``plugin`` from every hook.

        Raises:
            ValueError: ``plugin`` is not registered.
        """
        for index, (known, _) in enumerate(self._entries):
            if known is plugin:
                del self._entries[index]
                return
        raise ValueError(f"plug-in {plugin!r} is not registered")

    def get_plugins_by_hook(self, hook: str) -> list[Any]:
        """The plug-ins registered for ``hook``, in registration order (a new list)."""
        if not isinstance(hook, str):
            raise TypeError(f"hook name must be a string, got {hook!r}")
        self.discover()
        return [plugin for plugin, hooks in self._entries if hook in hooks]

    def hooks_of(self, plugin: Any) -> tuple[str, ...]:
        """The hooks ``plugin`` is registered for (empty when it is not registered)."""
        for known, hooks in self._entries:
            if known is plugin:
                return hooks
        return ()

    @property
    def plugins(self) -> list[Any]:
        """Every registered plug-in, in registration order."""
        self.discover()
        return [plugin for plugin, _ in self._entries]

    def discover(self) -> None:
        """Register the plug-ins of the entry-point group, once."""
        if self._discovered:
            return
        # Set first: a plug-in that queries the registry while loading must
        # not start a second discovery.
        self._discovered = True
        try:
            entry_points = list(metadata.entry_points(group=self.entry_point_group))
        except Exception as exc:  # a broken installation must not break the library
            self.discovery_errors.append(("<entry points>", exc))
            return
        for entry_point in entry_points:
            try:
                plugin = entry_point.load()
                if isinstance(plugin, type):
                    plugin = plugin()
                hooks = getattr(plugin, "hooks", None)
                if hooks is None:
                    hooks = [name for name in KNOWN_HOOKS if callable(getattr(plugin, name, None))]
                names = _hook_names(hooks)
                if not names:
                    raise ValueError("the plug-in declares no hooks")
                self.register(plugin, names)
            except Exception as exc:
                self.discovery_errors.append((entry_point.name, exc))


class ExperimentOptionsPlugin:
    """Defines the run options every experiment has: ``shots`` and ``seed``."""

    hooks = ("experiment_options",)

    def experiment_options(self, config_manager: ConfigManager) -> None:
        config_manager.add_item(
            "shots",
            int,
            default=1024,
            description="Measurements per step; 0 reports exact probabilities.",
            minimum=0,
            maximum=10_000_000,
        )
        config_manager.add_item(
            "seed",
            (int, None),
            default=None,
            description="Seed of the measurement noise; None draws a fresh one.",
        )

    def __repr__(self) -> str:
        return "ExperimentOptionsPlugin()"


#: The shared registry the experiment engine consults.
plugin_register = PluginRegister()
plugin_register.register(ExperimentOptionsPlugin(), ExperimentOptionsPlugin.hooks)
