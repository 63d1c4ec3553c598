"""The message catalogue.

``lang.msg(key)`` returns the text template of a message in the current
language; templates with arguments carry positional ``{}`` fields, filled with
``str.format`` in the order listed beside each key below.  Templates without
arguments hold no braces, so formatting them is harmless.
``lang.set_language(code)`` switches between English (``"en"``) and Chinese
(``"zh"``) for every user of the shared ``lang`` object.
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Mapping

__all__ = ["Language", "MESSAGES", "lang"]

# key -> (English, Chinese).  Arguments, in order, in the comment.
_CATALOGUE: dict[str, tuple[str, str]] = {
    # none
    "exp_not_compiled": (
        "The experiment has not been compiled yet; compile its scripts first.",
        "实验尚未编译，请先编译实验脚本。",
    ),
    # entity, layer
    "exp_gate_not_found": (
        "No gate was found on entity {} in layer {}.",
        "在实体 {} 的第 {} 层上找不到门。",
    ),
    # gate id, gate
    "exp_gate_no_wave_no_comp": (
        "Gate {} ({}) has no waveforms and there is no gate compiler to generate them.",
        "门 {}（{}）没有波形，且没有可用来生成波形的门编译器。",
    ),
    # gate id, gate, gate compiler name
    "exp_gate_cannot_comp": (
        "Gate {} ({}) has no waveforms and the gate compiler {} cannot compile it.",
        "门 {}（{}）没有波形，门编译器 {} 无法编译该门。",
    ),
    # none
    "exp_group_not_set": (
        "No device group is set; give the experiment a group before compiling.",
        "未设置设备组，编译前请先为实验指定设备组。",
    ),
    # dimension index
    "exp_wave_sweep_length_wrong": (
        "The sweeps on dimension {} have different lengths.",
        "第 {} 维上的扫描长度不一致。",
    ),
    # the space-parameter script
    "exp_space_param_wrong": (
        "The space-parameter script gives neither a value nor a sweep: {}",
        "空间参数脚本既没有给出数值，也没有给出扫描：{}",
    ),
    # dimension, length of the new sequence, length already set for the dimension
    "exp_step_len_wrong": (
        "The sweep on dimension {} has {} steps, but that dimension already has {} steps.",
        "第 {} 维上的扫描有 {} 步，但该维度已设为 {} 步。",
    ),
    # joined wave ids, layer, entity
    "exp_wave_param_wrong": (
        "The waveform script of waves {} in layer {} on entity {} gives neither a value nor a sweep.",
        "波形 {}（第 {} 层，实体 {}）的波形脚本既没有给出数值，也没有给出扫描。",
    ),
    # none
    "exp_sweep_dim_wrong": (
        "Swept dimensions must be used in order 0, 1, 2 without gaps.",
        "扫描维度必须按 0、1、2 的顺序使用，中间不能空缺。",
    ),
    # parameter name
    "exp_wave_para_invalid": (
        "{} is not a parameter of the waveform.",
        "{} 不是该波形的参数。",
    ),
    # none
    "exp_sweep_failed": (
        "The sweep failed and the run was stopped.",
        "扫描失败，运行已停止。",
    ),
}

_LANGUAGE_INDEX = {"en": 0, "zh": 1}

#: Language code -> read-only mapping of message key -> template.
MESSAGES: Mapping[str, Mapping[str, str]] = MappingProxyType(
    {
        code: MappingProxyType({key: texts[index] for key, texts in _CATALOGUE.items()})
        for code, index in _LANGUAGE_INDEX.items()
    }
)


class Language:
    """Message templates in one selectable language (English by default)."""

    def __init__(self, code: str = "en") -> None:
        self._code = "en"
        self.set_language(code)

    @property
    def language(self) -> str:
        """The current language code."""
        return self._code

    @property
    def languages(self) -> tuple[str, ...]:
        """The language codes available."""
        return tuple(MESSAGES)

    def set_language(self, code: str) -> None:
        """Switch to ``code`` ("en" or "zh").

        Raises:
            ValueError: no catalogue exists for ``code``.
        """
        if not isinstance(code, str) or code not in MESSAGES:
            raise ValueError(f"unknown language {code!r}; available: {', '.join(MESSAGES)}")
        self._code = code

    def msg(self, key: str) -> str:
        """The template of message ``key`` in the current language.

        Raises:
            KeyError: ``key`` is not a message key.
        """
        try:
            return MESSAGES[self._code][key]
        except (KeyError, TypeError):
            raise KeyError(f"unknown message key {key!r}") from None


#: The shared catalogue the experiment engine reads.
lang = Language()
