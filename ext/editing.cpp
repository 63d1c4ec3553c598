#include "editing.hpp"

#include "args.hpp"
#include "calls.hpp"
#include "core.hpp"

namespace varnok::editing {
namespace {

bool mode_is(State& st, PyObject* self, PyObject* mode) {
  Ref current = core::exp_mode_of(st, self);
  return require_status(PyObject_RichCompareBool(current.get(), mode, Py_EQ)) != 0;
}

Ref strip(State& st, PyObject* text) {
  return call_method(text, st.strip);
}
Ref strip_newlines(State& st, PyObject* text) {
  return call_method(text, st.strip, st.newline);
}

Ref list_of(PyObject* item) {
  Ref list = require(PyList_New(1));
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
  return list;
}

}  // namespace

Ref normalise_wave_ids(PyObject* wave_ids, PyObject* layer, PyObject* entity) {
  if (PyLong_Check(wave_ids)) {
    return list_of(wave_ids);
  }
  if (PyUnicode_Check(wave_ids)) {
    Ref id = require(PyNumber_Long(wave_ids));
    return list_of(id.get());
  }
  if (PyList_Check(wave_ids)) {
    Ref ids = require(PyList_New(0));
    // Conversions may run user code that edits the list; the walk refuses that.
    for_each_in_list(wave_ids, [&](PyObject* element) {
      Ref id = require(PyNumber_Long(element));
      require_status(PyList_Append(ids.get(), id.get()));
    });
    return ids;
  }
  Ref message = require(
      PyUnicode_FromFormat("Unknown type for wave_ids of script on layer %S, %S.", layer, entity));
  raise_object(PyExc_RuntimeError, message.get());
}

void set_circuit(State& st, PyObject* self, PyObject* wave_circuit) {
  if (mode_is(st, self, st.batch_circuit)) {
    raise(PyExc_RuntimeError,
          "Experiment already set as batch circuit mode, cannot set circuit, please use "
          "`append_circuit()` function instead.");
  }
  Ref copy = call(st.deepcopy, wave_circuit);
  set_attr(self, st.p_wave_circuit, copy.get());
}

void append_circuit(State& st, PyObject* self, PyObject* wave_circuit) {
  Ref circuits = read_private(st, self, st.p_batch_circuits);
  if (circuits.get() == Py_None) {
    circuits = require(PyList_New(0));
    set_attr(self, st.p_batch_circuits, circuits.get());
  }
  append_to(st, circuits.get(), wave_circuit);
}

void add_wave_gate_obj(State& st, PyObject* self, PyObject* wave_gate_obj, PyObject* layer) {
  Ref layer_int = int_param("layer_in_circuit", layer, false);
  if (!mode_is(st, self, st.normal)) {
    raise(PyExc_RuntimeError,
          "Current experiment is set as `batch_circuit` mode, hence cannot use "
          "`add_wave_gate_obj()` method.");
  }
  Ref circuit = core::circuit_of(st, self);
  call_method(circuit.get(), st.add_wave_gate_obj, wave_gate_obj, layer_int.get());
}

Ref add_wave_gate(State& st, PyObject* self, PyObject* gate_on_entity, PyObject* layer) {
  Ref layer_int = int_param("layer_in_circuit", layer, false);
  if (!mode_is(st, self, st.normal)) {
    raise(PyExc_RuntimeError,
          "Current experiment is set as `batch_circuit` mode, hence cannot use "
          "`add_wave_gate()` method.");
  }
  Ref gate = call(st.WaveGate, gate_on_entity, layer_int.get());
  Ref circuit = core::circuit_of(st, self);
  call_method(circuit.get(), st.add_wave_gate_obj, gate.get(), layer_int.get());
  return gate;
}

void set_space_parameter_script(State& st, PyObject* self, PyObject* key, PyObject* script) {
  check_str_param("key", key);
  check_str_param("script", script);
  Ref stripped_key = strip(st, key);
  Ref stripped_script = strip_newlines(st, script);
  Ref store = read_private(st, self, st.p_space_parameter_script);
  require_status(PyObject_SetItem(store.get(), stripped_key.get(), stripped_script.get()));
}

void set_waveform_script(State& st, PyObject* self, WaveSelection selection, PyObject* entity,
                         PyObject* layer, PyObject* waves, PyObject* parameter, PyObject* script) {
  check_str_param("entity", entity);
  Ref layer_int = int_param("layer", layer, false);
  check_str_param("parameter", parameter);
  check_str_param("script", script);

  Ref entity_text = strip(st, entity);
  Ref parameter_text = strip(st, parameter);
  Ref script_text = strip_newlines(st, script);

  Ref circuit = read_private(st, self, st.p_wave_circuit);
  Ref gates = call_method_kw(circuit.get(), st.search_gates, st.kw_entity_layer, {},
                             {entity_text.get(), layer_int.get()});
  if (size_of(gates.get()) == 0) {
    raise_catalogue(st, st.exp_gate_not_found, entity_text.get(), layer_int.get());
  }
  Ref first = require(PySequence_GetItem(gates.get(), 0));
  Ref gate_name = get_attr(first.get(), st.gate_name);

  Ref selected;
  PyObject* search_type = nullptr;
  switch (selection) {
    case WaveSelection::ids:
      selected = normalise_wave_ids(waves, layer_int.get(), entity_text.get());
      search_type = st.ids;
      break;
    case WaveSelection::name:
      search_type = st.name;
      selected = PyUnicode_Check(waves) ? list_of(waves) : Ref::borrow(waves);
      break;
    case WaveSelection::channel:
      search_type = st.channel;
      selected = PyUnicode_Check(waves) ? list_of(waves) : Ref::borrow(waves);
      break;
  }
  Ref final_script = strip(st, strip_newlines(st, script_text.get()).get());

  PyObject* channels = selection == WaveSelection::channel ? selected.get() : Py_None;
  PyObject* wave_names = selection == WaveSelection::name ? selected.get() : Py_None;
  PyObject* wave_ids = selection == WaveSelection::ids ? selected.get() : Py_None;

  Ref record = require(PyDict_New());
  auto put = [&](PyObject* key, PyObject* value) {
    require_status(PyDict_SetItem(record.get(), key, value));
  };
  put(st.search_type, search_type);
  put(st.gate_name, gate_name.get());
  put(st.entity, entity_text.get());
  put(st.layer, layer_int.get());
  put(st.channels, channels);
  // Records made by channel list the wave ids before the names; the others the other way round.
  if (selection == WaveSelection::channel) {
    put(st.wave_ids, wave_ids);
    put(st.wave_names, wave_names);
  } else {
    put(st.wave_names, wave_names);
    put(st.wave_ids, wave_ids);
  }
  put(st.parameter, parameter_text.get());
  put(st.script, final_script.get());

  Ref store = read_private(st, self, st.p_waveform_script);
  append_to(st, store.get(), record.get());
}

namespace {

// Splits one `gates.items()` element into its gate id and gate.
void unpack_pair(PyObject* item, Ref& first, Ref& second) {
  Ref pair = require(PySequence_Tuple(item));
  if (PyTuple_GET_SIZE(pair.get()) != 2) {
    PyErr_Format(PyExc_ValueError,
                 "expected (gate id, gate) pairs from gates.items(), got %zd items",
                 PyTuple_GET_SIZE(pair.get()));
    throw_error_set();
  }
  first = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
  second = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
}

void fill_circuit(State& st, PyObject* self, PyObject* circuit, PyObject* space_timestamp) {
  Ref gates = get_attr(circuit, st.gates);
  Ref items = call_method(gates.get(), st.items);
  for_each(items.get(), [&](PyObject* item) {
    Ref gate_id;
    Ref gate;
    unpack_pair(item, gate_id, gate);
    Ref waves = get_attr(gate.get(), st.waves);
    if (size_of(waves.get()) > 0) {
      return;
    }
    Ref stored_compiler = read_private(st, self, st.p_gate_compiler);
    if (stored_compiler.get() == Py_None) {
      raise_catalogue(st, st.exp_gate_no_wave_no_comp, gate_id.get(), gate.get());
    }
    Ref gate_name = get_attr(gate.get(), st.gate_name);
    Ref entity = get_attr(gate.get(), st.entity);
    Ref compiler = core::gate_compiler_of(st, self);
    Ref request = require(PyTuple_Pack(2, gate_name.get(), entity.get()));
    Ref package = call_method_kw(compiler.get(), st.compile, st.kw_timestamp, {request.get()},
                                 {space_timestamp});
    Ref new_waves;
    if (package.get() != Py_None) {
      new_waves = get_attr(package.get(), st.waves);
    }
    if (!new_waves || size_of(new_waves.get()) == 0) {
      Ref compiler_name = get_attr(compiler.get(), st.compiler_name);
      raise_catalogue(st, st.exp_gate_cannot_comp, gate_id.get(), gate.get(), compiler_name.get());
    }
    set_attr(gate.get(), st.waves, new_waves.get());
  });
}

}  // namespace

void fill_empty_wave_gates(State& st, PyObject* self, PyObject* group, PyObject* space_timestamp) {
  Ref timestamp = int_param("space_timestamp", space_timestamp, true);
  if (group != Py_None) {
    set_attr(self, st.group, group);
  }
  Ref circuits;
  if (mode_is(st, self, st.normal)) {
    Ref circuit = core::circuit_of(st, self);
    circuits = list_of(circuit.get());
  } else {
    circuits = core::batch_circuits_of(st, self);
    if (!is_true(circuits.get())) {
      return;
    }
  }
  for_each(circuits.get(),
           [&](PyObject* circuit) { fill_circuit(st, self, circuit, timestamp.get()); });
}

}  // namespace varnok::editing
