"""Helpers shared by the experiment engine: the safe script evaluator and the option manager."""

from .config_manager import ConfigManager
from .script_evaluator import ScriptError, ScriptEvaluator

__all__ = ["ConfigManager", "ScriptError", "ScriptEvaluator"]
