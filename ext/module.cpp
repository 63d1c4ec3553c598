// The extension module: interns the names, imports the collaborators once and creates the class.
#include <Python.h>

#include <initializer_list>

#include "calls.hpp"
#include "experiment_type.hpp"
#include "read_memo.hpp"
#include "refs.hpp"
#include "state.hpp"

namespace varnok {
namespace {

extern PyModuleDef module_def;

Ref interned_tuple(std::initializer_list<const char*> names) {
  Ref tuple = require(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t index = 0;
  for (const char* name : names) {
    PyTuple_SET_ITEM(tuple.get(), index++, require(PyUnicode_InternFromString(name)).release());
  }
  return tuple;
}

State& raw_state(PyObject* module) {
  return *static_cast<State*>(PyModule_GetState(module));
}

int exec_module(PyObject* module) {
  return guarded(-1, [&] {
    State& st = raw_state(module);
#define VARNOK_INTERN(id, text) st.id = require(PyUnicode_InternFromString(text)).release();
    VARNOK_PRIVATE_NAMES(VARNOK_INTERN)
    VARNOK_PUBLIC_NAMES(VARNOK_INTERN)
#undef VARNOK_INTERN
#define VARNOK_IMPORT(field, module_name, attr)                                 \
  {                                                                             \
    Ref imported = require(PyImport_ImportModule(module_name));                 \
    st.field = require(PyObject_GetAttrString(imported.get(), attr)).release(); \
  }
    VARNOK_COLLABORATORS(VARNOK_IMPORT)
#undef VARNOK_IMPORT
    // Keyword names must be interned: a Python callee matches keywords by identity first and
    // compares text only for names it cannot find that way.
    st.callback_kwnames =
        interned_tuple({"wave_package", "exp_obj", "pos", "steps", "options"}).release();
    st.result_kwnames =
        interned_tuple({"complete", "final", "chunk_id", "item_id_start", "dims"}).release();
    st.kw_timestamp = require(PyTuple_Pack(1, st.timestamp)).release();
    st.kw_space_timestamp = require(PyTuple_Pack(1, st.space_timestamp)).release();
    st.kw_group = require(PyTuple_Pack(1, st.group)).release();
    st.kw_group_space_timestamp = require(PyTuple_Pack(2, st.group, st.space_timestamp)).release();
    st.kw_entity_layer = require(PyTuple_Pack(2, st.entity, st.layer)).release();
    st.kw_wave_name = require(PyTuple_Pack(1, st.wave_name)).release();
    st.kw_channel = require(PyTuple_Pack(1, st.channel)).release();
    st.dict_watcher = new DictWatcher();
    st.dict_watcher->install();
    Ref type = create_experiment_type(module);
    st.experiment_type = Py_NewRef(type.get());
    // The finished class gets its version tag now; instances read their state directly only
    // while the class still carries that tag (any change to the class drops it).
    auto* klass = reinterpret_cast<PyTypeObject*>(type.get());
#if PY_VERSION_HEX >= 0x030C0000
    PyUnstable_Type_AssignVersionTag(klass);
#else
    // Before 3.12 an attribute lookup through the class is what assigns the tag.
    require(PyObject_GetAttr(type.get(), st.group));
#endif
    st.experiment_type_version = klass->tp_version_tag;
    if (!class_unmodified(klass, st.experiment_type_version)) {
      st.experiment_type_version = 0;
    }
    require_status(PyModule_AddObjectRef(module, "Experiment", type.get()));
    return 0;
  });
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  State* st = static_cast<State*>(PyModule_GetState(module));
  if (st == nullptr) {
    return 0;
  }
#define VARNOK_VISIT(field, ...) Py_VISIT(st->field);
  VARNOK_COLLABORATORS(VARNOK_VISIT)
#undef VARNOK_VISIT
  Py_VISIT(st->experiment_type);
  return 0;
}

int clear_module(PyObject* module) {
  State* st = static_cast<State*>(PyModule_GetState(module));
  if (st == nullptr) {
    return 0;
  }
#define VARNOK_CLEAR(field, ...) Py_CLEAR(st->field);
  VARNOK_PRIVATE_NAMES(VARNOK_CLEAR)
  VARNOK_PUBLIC_NAMES(VARNOK_CLEAR)
  VARNOK_COLLABORATORS(VARNOK_CLEAR)
#undef VARNOK_CLEAR
  Py_CLEAR(st->experiment_type);
  Py_CLEAR(st->callback_kwnames);
  Py_CLEAR(st->result_kwnames);
  Py_CLEAR(st->kw_timestamp);
  Py_CLEAR(st->kw_space_timestamp);
  Py_CLEAR(st->kw_group);
  Py_CLEAR(st->kw_group_space_timestamp);
  Py_CLEAR(st->kw_entity_layer);
  Py_CLEAR(st->kw_wave_name);
  Py_CLEAR(st->kw_channel);
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
  State* st = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(module)));
  if (st != nullptr && st->dict_watcher != nullptr) {
    st->dict_watcher->uninstall();
    delete st->dict_watcher;
    st->dict_watcher = nullptr;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "experiment",
    "The experiment engine: the Experiment class, which compiles user scripts into a sweep and\n"
    "runs it step by step against a callback.",
    sizeof(State),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

State& state_of_class(PyTypeObject* defining_class) {
  return *static_cast<State*>(PyType_GetModuleState(defining_class));
}

State& state_of_instance(PyObject* self) {
  PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
  if (module == nullptr) {
    throw_error_set();
  }
  return raw_state(module);
}

State& state_of_module(PyObject* module) {
  return raw_state(module);
}

}  // namespace varnok

PyMODINIT_FUNC PyInit_experiment(void) {
  return PyModuleDef_Init(&varnok::module_def);
}
