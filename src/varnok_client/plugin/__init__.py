"""Plug-ins: objects that contribute to named hooks (see :mod:`.plugin_register`)."""

from .plugin_register import ENTRY_POINT_GROUP, ExperimentOptionsPlugin, PluginRegister, plugin_register

__all__ = ["ENTRY_POINT_GROUP", "ExperimentOptionsPlugin", "PluginRegister", "plugin_register"]
