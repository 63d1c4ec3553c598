// Slot functions, method tables and properties of Experiment. Every entry point here is a thin
// trampoline: it binds arguments, finds the module state and calls the concern's function,
// catching the one error convention at the boundary.
#include "experiment_type.hpp"

#include <structmember.h>

#include <cstddef>
#include <vector>

#include "args.hpp"
#include "compile.hpp"
#include "core.hpp"
#include "docs.hpp"
#include "editing.hpp"
#include "object.hpp"
#include "persist.hpp"
#include "run.hpp"
#include "state.hpp"

namespace varnok {
namespace {

// All state lives in the instance dictionary; the object itself only carries the dictionary and
// the weak-reference list, which also keeps the default pickling protocol applicable.
struct ExperimentObject {
  PyObject_HEAD PyObject* dict;
  PyObject* weakreflist;
};

using FastMethod = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, size_t, PyObject*);

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;
// The most parameters any method takes besides the experiment.
constexpr int kMaxParameters = 8;

// ---- construction ------------------------------------------------------------------------

const char* const kInitNames[] = {"title", "desc", "group"};
const Signature kInitSignature{"Experiment.__init__", kInitNames, 3, 2};

void initialise(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  bind_arguments(kInitSignature, args, nargs, kwnames, bound);
  State& st = state_of_instance(self);
  core::construct(st, self, bound[0], bound[1], bound[2] == nullptr ? Py_None : bound[2]);
}

int experiment_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(-1, [&] {
    // Lay the call out as a vectorcall so both ways in share one binding.
    std::vector<PyObject*> stack;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      stack.push_back(PyTuple_GET_ITEM(args, i));
    }
    Ref kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = require(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      Py_ssize_t pos = 0;
      Py_ssize_t index = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(key));
        stack.push_back(value);
      }
    }
    // The argument tuple and keyword dictionary belong to the caller and outlive this call.
    initialise(self, stack.data(), nargs, kwnames.get());
    return 0;
  });
}

PyObject* method_init(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    initialise(self, args, PyVectorcall_NARGS(nargsf), kwnames);
    return Py_NewRef(Py_None);
  });
}

// ---- methods -----------------------------------------------------------------------------

const Signature kUpdateConfigManager{"Experiment.__update_config_manager", nullptr, 0, 0};
const Signature kClearBatchCircuits{"Experiment.clear_batch_circuits", nullptr, 0, 0};
const Signature kResetCompiledData{"Experiment.reset_compiled_data", nullptr, 0, 0};

// A method that takes nothing besides the experiment and returns None.
template <const Signature* Sig, void (*Body)(State&, PyObject*)>
PyObject* no_argument_method(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                             size_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    bind_arguments(*Sig, args, PyVectorcall_NARGS(nargsf), kwnames, nullptr);
    Body(state_of_class(cls), self);
    return Py_NewRef(Py_None);
  });
}

PyObject* method_set_options(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                             size_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    // Positional arguments are accepted and ignored; only keywords carry option values.
    core::set_options(state_of_class(cls), self, args + PyVectorcall_NARGS(nargsf), kwnames);
    return Py_NewRef(Py_None);
  });
}

// A method whose parameters are bound by `Sig`; `Body` gets the bound arguments (nullptr for an
// optional one that was not given) and returns the method's result.
template <const Signature* Sig, Ref (*Body)(State&, PyObject*, PyObject* const*)>
PyObject* bound_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[kMaxParameters];
    bind_arguments(*Sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    return Body(state_of_class(cls), self, bound).release();
  });
}

Ref none() {
  return Ref::borrow(Py_None);
}
PyObject* or_none(PyObject* bound) {
  return bound == nullptr ? Py_None : bound;
}

const char* const kWaveCircuitNames[] = {"wave_circuit"};
const Signature kSetCircuit{"Experiment.set_circuit", kWaveCircuitNames, 1, 1};
Ref set_circuit(State& st, PyObject* self, PyObject* const* a) {
  editing::set_circuit(st, self, a[0]);
  return none();
}

const Signature kAppendCircuit{"Experiment.append_circuit", kWaveCircuitNames, 1, 1};
Ref append_circuit(State& st, PyObject* self, PyObject* const* a) {
  editing::append_circuit(st, self, a[0]);
  return none();
}

const char* const kAddWaveGateObjNames[] = {"wave_gate_obj", "layer_in_circuit"};
const Signature kAddWaveGateObj{"Experiment.add_wave_gate_obj", kAddWaveGateObjNames, 2, 2};
Ref add_wave_gate_obj(State& st, PyObject* self, PyObject* const* a) {
  editing::add_wave_gate_obj(st, self, a[0], a[1]);
  return none();
}

const char* const kAddWaveGateNames[] = {"gate_on_entity", "layer_in_circuit"};
const Signature kAddWaveGate{"Experiment.add_wave_gate", kAddWaveGateNames, 2, 2};
Ref add_wave_gate(State& st, PyObject* self, PyObject* const* a) {
  return editing::add_wave_gate(st, self, a[0], a[1]);
}

const char* const kSpaceScriptNames[] = {"key", "script"};
const Signature kSetSpaceScript{"Experiment.set_space_parameter_script", kSpaceScriptNames, 2, 2};
Ref set_space_parameter_script(State& st, PyObject* self, PyObject* const* a) {
  editing::set_space_parameter_script(st, self, a[0], a[1]);
  return none();
}

const char* const kByIdsNames[] = {"entity", "layer", "wave_ids", "parameter", "script"};
const char* const kByNameNames[] = {"entity", "layer", "wave_names", "parameter", "script"};
const char* const kByChannelNames[] = {"entity", "layer", "channels", "parameter", "script"};
const Signature kByIds{"Experiment.set_waveform_script_by_ids", kByIdsNames, 5, 5};
const Signature kByName{"Experiment.set_waveform_script_by_name", kByNameNames, 5, 5};
const Signature kByChannel{"Experiment.set_waveform_script_by_channel", kByChannelNames, 5, 5};
template <editing::WaveSelection Selection>
Ref set_waveform_script(State& st, PyObject* self, PyObject* const* a) {
  editing::set_waveform_script(st, self, Selection, a[0], a[1], a[2], a[3], a[4]);
  return none();
}

const char* const kFillNames[] = {"group", "space_timestamp"};
const Signature kFill{"Experiment.fill_empty_wave_gates", kFillNames, 2, 0};
Ref fill_empty_wave_gates(State& st, PyObject* self, PyObject* const* a) {
  editing::fill_empty_wave_gates(st, self, or_none(a[0]), or_none(a[1]));
  return none();
}

const Signature kCompile{"Experiment.compile_scripts", kFillNames, 2, 0};
Ref compile_scripts(State& st, PyObject* self, PyObject* const* a) {
  compilation::compile_scripts(st, self, or_none(a[0]), or_none(a[1]));
  return none();
}

const char* const kRunNames[] = {"callback", "options", "group", "space_timestamp"};
const Signature kRunExp{"Experiment.run_exp", kRunNames, 3, 1};
Ref run_exp(State& st, PyObject* self, PyObject* const* a) {
  return run::run_exp(st, self, a[0], or_none(a[1]), or_none(a[2]));
}

const Signature kRunNormal{"Experiment.run_exp_normal", kRunNames, 4, 1};
Ref run_exp_normal(State& st, PyObject* self, PyObject* const* a) {
  return run::run_exp_normal(st, self, a[0], or_none(a[1]), or_none(a[2]), or_none(a[3]));
}

const Signature kRunBatch{"Experiment.run_exp_batch_circuit", kRunNames, 4, 1};
Ref run_exp_batch_circuit(State& st, PyObject* self, PyObject* const* a) {
  return run::run_exp_batch_circuit(st, self, a[0], or_none(a[1]), or_none(a[2]), or_none(a[3]));
}

const Signature kValid{"Experiment.valid", nullptr, 0, 0};
Ref valid(State& st, PyObject* self, PyObject* const*) {
  persist::valid(st, self);
  return none();
}

const Signature kClone{"Experiment.clone", nullptr, 0, 0};
Ref clone(State& st, PyObject* self, PyObject* const*) {
  return persist::clone(st, self);
}

const Signature kSerialize{"Experiment.serialize", nullptr, 0, 0};
Ref serialize(State& st, PyObject* self, PyObject* const*) {
  return persist::serialize(st, self);
}

// A static method over a module-level function (which finds the module state through its
// `self`): reached through the class or an instance, it always builds an Experiment.
const char* const kDeserializeNames[] = {"json_str", "group"};
const Signature kDeserialize{"Experiment.deserialize", kDeserializeNames, 2, 1};
PyObject* function_deserialize(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[2];
    bind_arguments(kDeserialize, args, nargs, kwnames, bound);
    State& st = state_of_module(module);
    return persist::deserialize(st, bound[0], or_none(bound[1])).release();
  });
}

PyMethodDef deserialize_def = {"deserialize", as_cfunction(function_deserialize),
                               METH_FASTCALL | METH_KEYWORDS, docs::deserialize};

#define VARNOK_METHOD(name, signature, body) \
  {#name, as_cfunction(bound_method<&signature, body>), kMethodFlags, docs::name}

PyMethodDef experiment_methods[] = {
    {"__init__", as_cfunction(method_init), kMethodFlags | METH_COEXIST, docs::init},
    {"_Experiment__update_config_manager",
     as_cfunction(no_argument_method<&kUpdateConfigManager, core::update_config_manager>),
     kMethodFlags, docs::update_config_manager},
    {"clear_batch_circuits",
     as_cfunction(no_argument_method<&kClearBatchCircuits, core::clear_batch_circuits>),
     kMethodFlags, docs::clear_batch_circuits},
    {"reset_compiled_data",
     as_cfunction(no_argument_method<&kResetCompiledData, core::reset_compiled_data>), kMethodFlags,
     docs::reset_compiled_data},
    {"set_options", as_cfunction(method_set_options), kMethodFlags, docs::set_options},
    VARNOK_METHOD(set_circuit, kSetCircuit, set_circuit),
    VARNOK_METHOD(append_circuit, kAppendCircuit, append_circuit),
    VARNOK_METHOD(add_wave_gate_obj, kAddWaveGateObj, add_wave_gate_obj),
    VARNOK_METHOD(add_wave_gate, kAddWaveGate, add_wave_gate),
    VARNOK_METHOD(set_space_parameter_script, kSetSpaceScript, set_space_parameter_script),
    VARNOK_METHOD(set_waveform_script_by_ids, kByIds,
                  set_waveform_script<editing::WaveSelection::ids>),
    VARNOK_METHOD(set_waveform_script_by_name, kByName,
                  set_waveform_script<editing::WaveSelection::name>),
    VARNOK_METHOD(set_waveform_script_by_channel, kByChannel,
                  set_waveform_script<editing::WaveSelection::channel>),
    VARNOK_METHOD(fill_empty_wave_gates, kFill, fill_empty_wave_gates),
    VARNOK_METHOD(compile_scripts, kCompile, compile_scripts),
    VARNOK_METHOD(run_exp, kRunExp, run_exp),
    VARNOK_METHOD(run_exp_normal, kRunNormal, run_exp_normal),
    VARNOK_METHOD(run_exp_batch_circuit, kRunBatch, run_exp_batch_circuit),
    VARNOK_METHOD(valid, kValid, valid),
    VARNOK_METHOD(clone, kClone, clone),
    VARNOK_METHOD(serialize, kSerialize, serialize),
    {nullptr, nullptr, 0, nullptr},
};

// ---- properties --------------------------------------------------------------------------
// Properties are ordinary `property` objects over module-level functions, as in a class written
// in Python: `Experiment.group.fset`, `del exp.group` and subclass overrides behave as usual.

template <Ref (*Getter)(State&, PyObject*)>
PyObject* property_getter(PyObject* module, PyObject* self) {
  return guarded<PyObject*>(nullptr,
                            [&] { return Getter(state_of_module(module), self).release(); });
}

PyObject* group_setter(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&] {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "group() takes exactly 2 arguments (%zd given)", nargs);
      throw_error_set();
    }
    core::set_group(state_of_module(module), args[0], args[1]);
    return Py_NewRef(Py_None);
  });
}

struct PropertySpec {
  PyMethodDef getter;
  PyMethodDef setter;  // ml_name null when read-only
};

#define VARNOK_GETTER(name) {#name, property_getter<core::name>, METH_O, docs::name}
#define VARNOK_READ_ONLY(name)     \
  {                                \
    VARNOK_GETTER(name), {         \
      nullptr, nullptr, 0, nullptr \
    }                              \
  }

PropertySpec experiment_properties[] = {
    VARNOK_READ_ONLY(exp_mode),
    {{"group", property_getter<core::group>, METH_O, docs::group_get},
     {"group", as_cfunction(group_setter), METH_FASTCALL, docs::group_set}},
    VARNOK_READ_ONLY(batch_circuits),
    VARNOK_READ_ONLY(circuit),
    VARNOK_READ_ONLY(gate_compiler),
    VARNOK_READ_ONLY(is_compiled),
    VARNOK_READ_ONLY(compiled_sweep_dict),
    VARNOK_READ_ONLY(compiled_waveform_parameter_list),
    VARNOK_READ_ONLY(compiled_space_parameter_dict),
    VARNOK_READ_ONLY(compiled_sweep_len),
    VARNOK_READ_ONLY(total_sweep_steps),
    VARNOK_READ_ONLY(options),
    VARNOK_READ_ONLY(options_config_manager),
    VARNOK_READ_ONLY(options_setup),
};

#undef VARNOK_READ_ONLY
#undef VARNOK_GETTER

void add_properties(PyObject* type, PyObject* module) {
  Ref module_name = require(PyModule_GetNameObject(module));
  Ref deserialize = require(PyCFunction_NewEx(&deserialize_def, module, module_name.get()));
  Ref static_deserialize = require(PyStaticMethod_New(deserialize.get()));
  require_status(PyObject_SetAttrString(type, "deserialize", static_deserialize.get()));
  for (PropertySpec& spec : experiment_properties) {
    Ref getter = require(PyCFunction_NewEx(&spec.getter, module, module_name.get()));
    Ref setter = Ref::borrow(Py_None);
    if (spec.setter.ml_name != nullptr) {
      setter = require(PyCFunction_NewEx(&spec.setter, module, module_name.get()));
    }
    Ref property = require(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get(), setter.get(), nullptr));
    require_status(PyObject_SetAttrString(type, spec.getter.ml_name, property.get()));
  }
}

// ---- object life -------------------------------------------------------------------------

int experiment_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* object = reinterpret_cast<ExperimentObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(object->dict);
  return 0;
}

int experiment_clear(PyObject* self) {
  auto* object = reinterpret_cast<ExperimentObject*>(self);
  Py_CLEAR(object->dict);
  return 0;
}

void experiment_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* object = reinterpret_cast<ExperimentObject*>(self);
  if (object->weakreflist != nullptr) {
    PyObject_ClearWeakRefs(self);
  }
  experiment_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef experiment_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(ExperimentObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ExperimentObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef experiment_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot experiment_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::klass)},
    {Py_tp_init, reinterpret_cast<void*>(experiment_tp_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(experiment_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(experiment_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(experiment_dealloc)},
    {Py_tp_methods, experiment_methods},
    {Py_tp_members, experiment_members},
    {Py_tp_getset, experiment_getset},
    {0, nullptr},
};

PyType_Spec experiment_spec = {
    "varnok_client.experiment.experiment.Experiment",
    sizeof(ExperimentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    experiment_slots,
};

}  // namespace

Ref create_experiment_type(PyObject* module) {
  Ref type = require(PyType_FromModuleAndSpec(module, &experiment_spec, nullptr));
  add_properties(type.get(), module);
  return type;
}

}  // namespace varnok
