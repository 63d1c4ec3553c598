"""Gate compilers: turning gate descriptions into waveforms for a device group.

The shared registry is
:data:`varnok_client.compiler.gate_compiler_register.gate_compiler_register`
(not re-exported here, so the submodule keeps its name).
"""

from .gate_compiler import GateCompiler
from .gate_compiler_register import GateCompilerRegister

__all__ = ["GateCompiler", "GateCompilerRegister"]
