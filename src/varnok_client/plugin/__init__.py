"""Plug-ins: objects that contribute to named hooks.

The shared registry is ``varnok_client.plugin.plugin_register.plugin_register``.
It is deliberately not re-exported here: the package attribute
``plugin_register`` must stay the submodule, so that
``import varnok_client.plugin.plugin_register as module`` gives the module.
"""

from .plugin_register import ENTRY_POINT_GROUP, ExperimentOptionsPlugin, PluginRegister

__all__ = ["ENTRY_POINT_GROUP", "ExperimentOptionsPlugin", "PluginRegister"]
